// MD5 (RFC 1321), as PAR 2.0 uses it for file ids, file hashes and slice
// checksums, with a way to hash a block alongside its file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace par2 {

using Hash = std::array<std::uint8_t, 16>;

class Md5 {
public:
    void add(const void* data, std::size_t length);
    Hash done();
    // Adds the first `length` bytes of `block` and returns the MD5 of the
    // block's `blockLength` bytes as a message of its own: the two chains'
    // rounds interleaved, in little more than the time of one.
    Hash addWithBlock(const std::uint8_t* block, std::size_t length, std::size_t blockLength);

private:
    std::uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint8_t buffer_[64] = {};
    std::size_t buffered_ = 0;
    std::uint64_t total_ = 0;
};

Hash md5(const void* data, std::size_t length);
inline Hash md5(const std::string& s) { return md5(s.data(), s.size()); }

}  // namespace par2
