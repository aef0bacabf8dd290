#include "hash.h"

#include "codec/crc32.h"

namespace par2 {

void SourceHasher::addBlock(const std::uint8_t* block, std::size_t length) {
    hashes_.push_back(full_.addWithBlock(block, length, static_cast<std::size_t>(blockSize_)));
    crcs_.push_back(pelmor::crc32Update(0, block, static_cast<std::size_t>(blockSize_)));
    // A whole block's CRC is its bytes'; a file's short last block is
    // padded with zeros that the file does not have.
    fileCrc_ = length == blockSize_ ? pelmor::crc32Combine(fileCrc_, crcs_.back(), length)
                                    : pelmor::crc32Update(fileCrc_, block, length);
}

SourceChecksums SourceHasher::done() {
    SourceChecksums out;
    out.full = full_.done();
    for (std::size_t b = 0; b < crcs_.size(); ++b) {
        putHash(out.slices, hashes_[b]);
        put32(out.slices, crcs_[b]);
    }
    return out;
}

}  // namespace par2
