// MD5 (RFC 1321), as PAR 2.0 uses it for file ids, file hashes and slice
// checksums, with a way to hash many blocks of the same length at once.
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

private:
    std::uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint8_t buffer_[64] = {};
    std::size_t buffered_ = 0;
    std::uint64_t total_ = 0;
};

// The MD5 of each of `count` blocks of `length` bytes: eight at a time in
// the lanes of AVX2 registers where the CPU has them (unless `vector` is
// false), otherwise two at a time, their rounds interleaved.
void md5Blocks(const std::uint8_t* const* blocks, std::size_t count, std::size_t length, Hash* out,
               bool vector = true);

Hash md5(const void* data, std::size_t length);
inline Hash md5(const std::string& s) { return md5(s.data(), s.size()); }

}  // namespace par2
