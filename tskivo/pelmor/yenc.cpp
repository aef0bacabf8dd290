// yEnc: every byte + 42, with NUL, TAB, LF, CR, "." and "=" escaped as "="
// and the value + 64, lines of 128 characters (129 when an escape pair
// straddles the end), CR LF line ends.
#include <cstdio>
#include <cstring>

#include "encoder.h"
#include "kelvo_exception.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmor {

namespace {

constexpr bool needsEscape(unsigned char c) {
    return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0D || c == 0x2E || c == 0x3D;
}

// Room for the header and trailer lines besides the name (at most 183 bytes)
// and for the vector kernel's over-wide stores.
constexpr std::size_t kFrameRoom = 256 + 64;

}  // namespace

char* yencEncodeLines(const unsigned char* in, std::size_t length, char* out) {
    const unsigned char* const end = in + length;
    constexpr int kLine = YencEncoder::kLineLength;
    while (in < end) {
        int col = 0;
        while (col < kLine && in < end) {
#if defined(__SSE2__)
            // Up to sixteen bytes at a time, as many as the line has room
            // for; an escape sends only the bytes before it this way.
            if (end - in >= 16) {
                const __m128i v = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)),
                                               _mm_set1_epi8(42));
                const __m128i hit = _mm_or_si128(
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8(0x09))),
                                 _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A)),
                                              _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)))),
                    _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x2E)),
                                 _mm_cmpeq_epi8(v, _mm_set1_epi8(0x3D))));
                // Only as many bytes as the line has room for count.
                const int room = kLine - col < 16 ? kLine - col : 16;
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit)) & ((1u << room) - 1u);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
                if (mask == 0) {
                    out += room;
                    in += room;
                    col += room;
                    continue;
                }
                const int k = __builtin_ctz(mask);
                out += k;
                in += k;
                col += k;
                const unsigned char c = static_cast<unsigned char>(*in++ + 42);
                *out++ = '=';
                *out++ = static_cast<char>(c + 64);
                col += 2;
                continue;
            }
#endif
            const unsigned char c = static_cast<unsigned char>(*in++ + 42);
            if (needsEscape(c)) {
                *out++ = '=';
                *out++ = static_cast<char>(c + 64);
                col += 2;
            } else {
                *out++ = static_cast<char>(c);
                ++col;
            }
        }
        *out++ = '\r';
        *out++ = '\n';
    }
    return out;
}

YencEncoder::YencEncoder(const std::string& path, int lines) : Encoder(path, lines) {
    const std::uint64_t perPart = static_cast<std::uint64_t>(lines_) * kLineLength;
    parts_ = static_cast<int>(size_ / perPart + (size_ % perPart ? 1 : 0));
    std::vector<unsigned char> chunk(1 << 20);
    std::uint64_t offset = 0;
    std::uint32_t crc = 0;
    for (;;) {
        const long long n = readAt(offset, chunk.data(), chunk.size());
        if (n < 0) throw Kelvo_Exception(0, "Unable to read input file");
        crc = crc32Update(crc, chunk.data(), static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
        if (static_cast<std::size_t>(n) < chunk.size() || offset >= size_) break;
    }
    fileCrc_ = crc;
    input_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(perPart, size_)));
}

std::size_t YencEncoder::encodedSizeBound() const {
    return static_cast<std::size_t>(lines_) * 260 + kFrameRoom + name_.size();
}

bool YencEncoder::encodePart(int n, char* buffer, std::size_t bufferSize, int total) {
    if (n < 1 || n > parts_ || bufferSize < encodedSizeBound()) return false;
    const std::uint64_t perPart = static_cast<std::uint64_t>(lines_) * kLineLength;
    const std::uint64_t first = static_cast<std::uint64_t>(n - 1) * perPart;
    const std::uint64_t end = std::min<std::uint64_t>(first + perPart, size_);

    char* out = buffer;
    const std::size_t headerRoom = bufferSize - static_cast<std::size_t>(lines_) * 260;
    int w;
    if (parts_ == 1) {
        w = std::snprintf(out, headerRoom, "=ybegin part=1 line=%d size=%u name=%s\r\n=ypart begin=%llu end=%llu\r\n",
                          kLineLength, size_, name_.c_str(), static_cast<unsigned long long>(first + 1),
                          static_cast<unsigned long long>(end));
    } else {
        w = std::snprintf(out, headerRoom,
                          "=ybegin part=%d total=%d line=%d size=%u name=%s\r\n=ypart begin=%llu end=%llu\r\n", n,
                          total, kLineLength, size_, name_.c_str(), static_cast<unsigned long long>(first + 1),
                          static_cast<unsigned long long>(end));
    }
    if (w < 0) return false;
    out += w;

    // One read for the whole part; a file that shrank is encoded from what is there.
    const long long got = readAt(first, input_.data(), static_cast<std::size_t>(end - first));
    if (got < 0) return false;
    partCrc_ = crc32Update(0, input_.data(), static_cast<std::size_t>(got));
    out = yencEncodeLines(input_.data(), static_cast<std::size_t>(got), out);

    const std::size_t left = bufferSize - static_cast<std::size_t>(out - buffer);
    if (parts_ == 1) {
        w = std::snprintf(out, left, "=yend size=%u part=1 pcrc32=%08x\r\n", size_, partCrc_);
    } else {
        w = std::snprintf(out, left, "=yend size=%llu part=%d pcrc32=%08x crc32=%08x\r\n",
                          static_cast<unsigned long long>(end - first), n, partCrc_, fileCrc_);
    }
    if (w < 0) return false;
    out += w;
    encodedLength_ = static_cast<std::size_t>(out - buffer);
    return true;
}

}  // namespace pelmor
