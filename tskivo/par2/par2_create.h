// PAR 2.0 recovery sets of our own making: main, file description, input
// file slice checksum, recovery slice and creator packets, as downloaders'
// PAR2 clients expect them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

struct Par2Result {
    std::vector<std::string> files;  // index file first, then the volumes
    std::uint64_t blockSize = 0;
    std::uint32_t sourceBlocks = 0;
    std::uint32_t recoveryBlocks = 0;
    std::uint64_t sourceBytes = 0;    // of the files protected
    std::uint64_t recoveryBytes = 0;  // written, all files
    std::string error;                // empty when the set was made
};

inline constexpr std::uint32_t kMaxSourceBlocks = 32768;

// Creates "<base>.par2" and "<base>.volXX+YY.par2" files in `folder`.
// `progress` (may be empty) gets the share done, 0 to 100.
Par2Result createPar2(const std::vector<Par2Input>& inputs, const std::string& folder, const std::string& base,
                      const Par2Options& options, const std::function<void(int)>& progress = {});

// Sizes of the recovery files for `blocks` recovery blocks.
std::vector<std::uint32_t> recoveryFileSizes(std::uint32_t blocks, int fileCount, bool equal);

}  // namespace par2
