#include "hash.h"

#include "codec/crc32.h"

namespace par2 {

void SourceHasher::addBlock(const std::uint8_t* block, std::size_t length) {
    full_.add(block, length);
    crcs_.push_back(pelmor::crc32Update(0, block, static_cast<std::size_t>(blockSize_)));
}

SourceChecksums SourceHasher::done(const Hash* blockHashes) {
    SourceChecksums out;
    out.full = full_.done();
    for (std::size_t b = 0; b < crcs_.size(); ++b) {
        putHash(out.slices, blockHashes[b]);
        put32(out.slices, crcs_[b]);
    }
    return out;
}

}  // namespace par2
