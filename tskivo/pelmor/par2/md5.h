// MD5 (RFC 1321), as PAR 2.0 uses it for file ids, file hashes and slice
// checksums, with a way to take two hashes of the same bytes at once.
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
    friend void md5AddBoth(Md5& a, Md5& b, const void* data, std::size_t length);
    std::uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint8_t buffer_[64] = {};
    std::size_t buffered_ = 0;
    std::uint64_t total_ = 0;
};

// The same bytes added to two hashes (a slice's and its file's), their
// rounds interleaved: each of the two dependency chains runs in the cycles
// the other would wait through.
void md5AddBoth(Md5& a, Md5& b, const void* data, std::size_t length);

Hash md5(const void* data, std::size_t length);
inline Hash md5(const std::string& s) { return md5(s.data(), s.size()); }

}  // namespace par2
