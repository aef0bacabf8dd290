// The checksums PAR2 keeps of a source file, taken block by block as the
// first pass reads it, in file order: the file's MD5, and each block's MD5
// (alongside, in the same rounds) and CRC-32, and the file's CRC-32 from
// those.
#pragma once

#include <cstdint>
#include <vector>

#include "md5.h"
#include "packets.h"

namespace par2 {

class SourceHasher {
public:
    explicit SourceHasher(std::uint64_t blockSize) : blockSize_(blockSize) {}
    // The file's next block: `length` bytes of data followed in `block` by
    // zeros up to the block size (the last block of a file is short).
    void addBlock(const std::uint8_t* block, std::size_t length);
    // The CRC-32 of the file's bytes so far (what a yEnc trailer carries).
    std::uint32_t fileCrc() const { return fileCrc_; }
    SourceChecksums done();

private:
    std::uint64_t blockSize_;
    Md5 full_;
    std::vector<std::uint32_t> crcs_;
    std::vector<Hash> hashes_;
    std::uint32_t fileCrc_ = 0;
};

}  // namespace par2
