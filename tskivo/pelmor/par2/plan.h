// Planning a PAR 2.0 recovery set before any data is read: the block size,
// the source files in the order the set lists them, each block's constant,
// the recovery files with their names and sizes, and how much of the
// recovery data one pass over the input can make within the memory limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "md5.h"

namespace par2 {

struct Par2Options {
    int percent = 10;                 // recovery data as a share of the source data, 1 to 100
    int fileCount = 0;                // recovery files; 0: as many as sizes doubling from one block need
    bool equalSizes = false;          // equal-sized recovery files instead of doubling ones
    std::uint32_t blockCount = 0;     // source blocks wanted (0: 2000, as par2 does)
    std::uint64_t blockSize = 0;      // bytes, a multiple of 4; wins over blockCount
    std::uint64_t memoryLimit = 256u << 20;
    unsigned threads = 0;             // 0: every core
};

struct Par2Input {
    std::string path;  // where to read it
    std::string name;  // the name it is posted under
};

struct SourcePlan {
    Par2Input input;
    std::uint64_t size = 0;
    Hash id{}, hash16k{};
    std::uint32_t firstBlock = 0;  // its first block's number in the set
    std::uint32_t blocks = 0;
    std::uint32_t given = 0;       // its place among the inputs (the order they are posted in)
};

struct VolumePlan {
    std::string path;
    std::uint32_t firstExponent = 0;
    std::uint32_t count = 0;
    std::uint64_t size = 0;
};

struct SetPlan {
    std::uint64_t blockSize = 0;
    std::uint64_t sourceBytes = 0;
    std::uint32_t sourceBlocks = 0;
    std::uint32_t recoveryBlocks = 0;
    std::vector<SourcePlan> sources;   // by file id, empty files left out
    std::vector<std::uint32_t> logs;   // each block's constant, as its logarithm
    Hash setId{};
    std::string indexPath;             // the file with the critical packets alone
    std::uint64_t criticalBytes = 0;   // the critical packets, which every file ends with
    std::vector<VolumePlan> volumes;
    // Memory: a block's buffer (padded for every kernel), the blocks read
    // at once, and the recovery blocks one pass makes.
    std::size_t paddedBlock = 0;
    std::uint32_t groupBlocks = 0;
    std::uint32_t recoveryPerPass = 0;
    // When the recovery blocks do not fit the limit whole: every recovery
    // block is made a slice at a time, the same byte range of every block
    // (a multiple of every kernel's chunk), so that each pass after the
    // first reads only its slice of the input. 0: whole blocks.
    std::size_t sliceBytes = 0;
    // Blocks a group holds then: their slices alone (the first pass's
    // readers hash whole blocks, one a reader, and keep the first slice).
    std::uint32_t sliceGroupBlocks = 0;
    unsigned threads = 1;
    // The first pass's readers: files read and hashed side by side (each
    // file's hash is one chain of work), one a core, up to four.
    unsigned readers = 1;
    std::uint32_t slices() const {
        return sliceBytes ? static_cast<std::uint32_t>((paddedBlock + sliceBytes - 1) / sliceBytes) : 1;
    }
    std::uint32_t passes() const {
        return sliceBytes ? slices() : (recoveryBlocks + recoveryPerPass - 1) / recoveryPerPass;
    }
    // Bytes of each of the two groups of input.
    std::size_t groupBytes() const {
        return sliceBytes ? sliceGroupBlocks * sliceBytes : static_cast<std::size_t>(groupBlocks) * paddedBlock;
    }
    std::uint64_t recoveryBytes() const;  // of every file of the set
};

inline constexpr std::uint32_t kMaxSourceBlocks = 32768;

// Plans "<folder>/<base>.par2" and its volumes. False with `error` (never an
// exception) when the set cannot be made: no data, unreadable files, too
// many blocks, a block size larger than the largest file needs or whose
// working set does not fit the memory limit.
bool planSet(const std::vector<Par2Input>& inputs, const std::string& folder, const std::string& base,
             const Par2Options& options, SetPlan& plan, std::string& error);

// Sizes of the recovery files for `blocks` recovery blocks.
std::vector<std::uint32_t> recoveryFileSizes(std::uint32_t blocks, int fileCount, bool equal);

}  // namespace par2
