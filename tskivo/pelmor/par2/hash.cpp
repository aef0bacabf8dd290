#include "hash.h"

#include "codec/crc32.h"

namespace par2 {

void SourceHasher::addBlock(const std::uint8_t* block, std::size_t length) {
    Md5 slice;
    md5AddBoth(slice, full_, block, length);
    slice.add(block + length, static_cast<std::size_t>(blockSize_) - length);
    putHash(out_.slices, slice.done());
    put32(out_.slices, pelmor::crc32Update(0, block, static_cast<std::size_t>(blockSize_)));
}

SourceChecksums SourceHasher::done() {
    out_.full = full_.done();
    return std::move(out_);
}

}  // namespace par2
