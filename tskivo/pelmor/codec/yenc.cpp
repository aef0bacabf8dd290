// yEnc: every byte + 42, with NUL, TAB, LF, CR, "." and "=" escaped as "="
// and the value + 64, lines of 128 characters (129 when an escape pair
// straddles the end), CR LF line ends.
#include <fcntl.h>
#include <immintrin.h>
#include <unistd.h>

#include <cerrno>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/cpu_dispatch.h"
#include "common/read_fully.h"
#include "crc32.h"
#include "crc32_fold.h"
#include "encoder.h"
#include "kelvo_exception.h"

namespace pelmor {

namespace {

constexpr bool needsEscape(unsigned char c) {
    return c == 0x00 || c == 0x09 || c == 0x0A || c == 0x0D || c == 0x2E || c == 0x3D;
}

// Room for the header and trailer lines besides the name (at most 183 bytes)
// and for the vector kernels' over-wide stores.
constexpr std::size_t kFrameRoom = 256 + 64;
constexpr int kLine = YencEncoder::kLineLength;

// One byte the plain way; returns the new column.
inline int putByte(unsigned char b, char*& out, int col) {
    const auto c = static_cast<unsigned char>(b + 42);
    if (needsEscape(c)) {
        *out++ = '=';
        *out++ = static_cast<char>(c + 64);
        return col + 2;
    }
    *out++ = static_cast<char>(c);
    return col + 1;
}

// Finishes the line byte by byte from `col`, then its CR LF.
inline void finishLine(const unsigned char*& in, const unsigned char* end, char*& out, int col) {
    while (col < kLine && in < end) col = putByte(*in++, out, col);
    *out++ = '\r';
    *out++ = '\n';
}

// The reference: one byte at a time.
char* encodeScalar(const unsigned char* in, std::size_t length, char* out) {
    const unsigned char* const end = in + length;
    while (in < end) finishLine(in, end, out, 0);
    return out;
}

// SSE2: sixteen bytes at a time up to the first escape.
__attribute__((target("sse2"))) char* encodeSse2(const unsigned char* in, std::size_t length, char* out) {
    const unsigned char* const end = in + length;
    while (in < end) {
        int col = 0;
        while (col < kLine && end - in >= 16) {
            const __m128i v = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), _mm_set1_epi8(42));
            const __m128i hit = _mm_or_si128(
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x09))),
                             _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D)))),
                _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x2E)), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x3D))));
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
            col = putByte(*in++, out, col + k);
        }
        finishLine(in, end, out, col);
    }
    return out;
}

// For every pattern of escapes in eight bytes: the shuffle that puts "="
// (lane 8 and up) before each escaped byte, and how long the result is.
struct ExpandTable {
    alignas(16) std::array<std::array<std::uint8_t, 16>, 256> shuffle{};
    std::array<std::uint8_t, 256> length{};
    ExpandTable() {
        for (int m = 0; m < 256; ++m) {
            int at = 0;
            for (int i = 0; i < 8; ++i) {
                if (m & (1 << i)) shuffle[m][at++] = 8;
                shuffle[m][at++] = static_cast<std::uint8_t>(i);
            }
            for (int k = at; k < 16; ++k) shuffle[m][k] = 0x80;
            length[m] = static_cast<std::uint8_t>(at);
        }
    }
};
const ExpandTable kExpand;

// The escape mask of sixteen bytes already moved by 42, and the bytes with
// the escaped ones moved by 64 more. One shuffle gives the critical value of
// each low half-byte ("=" and CR share one, so "=" is compared apart); bytes
// of 0x80 and up shuffle to 0 and match nothing.
__attribute__((target("ssse3"))) inline unsigned escapes16(__m128i& v) {
    const __m128i critical = _mm_setr_epi8(0x00, -128, -128, -128, -128, -128, -128, -128, -128, 0x09, 0x0A, -128,
                                           -128, 0x0D, 0x2E, -128);
    const __m128i hit =
        _mm_or_si128(_mm_cmpeq_epi8(_mm_shuffle_epi8(critical, v), v), _mm_cmpeq_epi8(v, _mm_set1_epi8('=')));
    v = _mm_add_epi8(v, _mm_and_si128(hit, _mm_set1_epi8(64)));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

// Eight bytes (the low half of v) with their escapes written out; returns
// how many characters that made.
__attribute__((target("ssse3"))) inline int expand8(__m128i v, unsigned mask, char* out) {
    const __m128i withEquals = _mm_unpacklo_epi64(v, _mm_set1_epi8('='));
    const __m128i ctrl = _mm_load_si128(reinterpret_cast<const __m128i*>(kExpand.shuffle[mask].data()));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(withEquals, ctrl));
    return kExpand.length[mask];
}

// The vector kernels work in two passes over a part: first every byte is
// written out with its escapes, paying no attention to lines (no branch at
// all in the loop), then the result is cut into lines of 128 characters,
// 129 where an escape pair would straddle the end. Every "=" written is the
// first of a pair (the escaped values are never "="), so a line whose 128th
// character is "=" takes one more.
char* splitLines(const char* in, std::size_t n, char* out) {
    const char* const end = in + n;
    while (end - in > kLine) {
        const std::size_t len = in[kLine - 1] == '=' ? kLine + 1 : kLine;
        std::memcpy(out, in, kLine + 1);  // the 129th is harmless when not taken
        out += len;
        in += len;
        *out++ = '\r';
        *out++ = '\n';
    }
    if (in < end) {
        std::memcpy(out, in, static_cast<std::size_t>(end - in));
        out += end - in;
        *out++ = '\r';
        *out++ = '\n';
    }
    return out;
}

// Bytes the vector loop leaves over, escaped, without lines.
char* expandTail(const unsigned char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; ++i) putByte(in[i], out, 0);
    return out;
}

// The scratch the first pass writes into: one per thread, kept.
char* scratch(std::size_t length) {
    thread_local std::vector<char> buffer;
    if (buffer.size() < 2 * length + 64) buffer.resize(2 * length + 64);
    return buffer.data();
}

// SSSE3: every escape written out by a shuffle, no branch per escape.
__attribute__((target("ssse3"))) char* encodeSsse3(const unsigned char* in, std::size_t length, char* out) {
    char* const first = scratch(length);
    char* at = first;
    const std::size_t whole = length & ~static_cast<std::size_t>(15);
    for (std::size_t i = 0; i < whole; i += 16) {
        _mm_prefetch(reinterpret_cast<const char*>(in + i) + 4096, _MM_HINT_T0);  // as in the AVX-512 loop
        __m128i v = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), _mm_set1_epi8(42));
        const unsigned mask = escapes16(v);
        const int n0 = expand8(v, mask & 0xFF, at);
        at += n0 + expand8(_mm_srli_si128(v, 8), mask >> 8, at + n0);
    }
    at = expandTail(in + whole, length - whole, at);
    return splitLines(first, static_cast<std::size_t>(at - first), out);
}

// AVX2: thirty-two bytes looked at a time; the escapes written out as above,
// each eight bytes' place known from the mask alone, so that the four
// expansions do not wait for one another. With `Crc` the part's CRC-32 is
// folded in from the same loads (PCLMULQDQ, two lanes).
template <bool Crc>
__attribute__((target("avx2,popcnt,pclmul"))) char* encodeAvx2(const unsigned char* in, std::size_t length, char* out,
                                                              std::uint32_t* crc) {
    char* const first = scratch(length);
    char* at = first;
    const std::size_t whole = length & ~static_cast<std::size_t>(31);
    const __m128i k = crcfold::constants256();
    crcfold::Fold256 acc{_mm_setzero_si128(), _mm_setzero_si128()};
    for (std::size_t i = 0; i < whole; i += 32) {
        _mm_prefetch(reinterpret_cast<const char*>(in + i) + 4096, _MM_HINT_T0);
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        if (Crc) {
            const __m128i a = _mm256_castsi256_si128(raw), b = _mm256_extracti128_si256(raw, 1);
            if (i == 0) {
                acc = crcfold::start256(*crc, a, b);
            } else {
                acc.a = crcfold::fold128(acc.a, a, k);
                acc.b = crcfold::fold128(acc.b, b, k);
            }
        }
        const __m256i v = _mm256_add_epi8(raw, _mm256_set1_epi8(42));
        __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
        const unsigned mask = escapes16(lo) | escapes16(hi) << 16;
        const int o1 = 8 + __builtin_popcount(mask & 0xFF);
        const int o2 = o1 + 8 + __builtin_popcount((mask >> 8) & 0xFF);
        const int o3 = o2 + 8 + __builtin_popcount((mask >> 16) & 0xFF);
        expand8(lo, mask & 0xFF, at);
        expand8(_mm_srli_si128(lo, 8), (mask >> 8) & 0xFF, at + o1);
        expand8(hi, (mask >> 16) & 0xFF, at + o2);
        expand8(_mm_srli_si128(hi, 8), mask >> 24, at + o3);
        at += o3 + 8 + __builtin_popcount(mask >> 24);
    }
    if (Crc) {
        *crc = whole ? crcfold::finish256(acc, in + whole, length - whole) : crc32Update(*crc, in, length);
    }
    at = expandTail(in + whole, length - whole, at);
    return splitLines(first, static_cast<std::size_t>(at - first), out);
}

// AVX-512 (VBMI2): one pass, sixty-four bytes at a time, lines included.
// The escaped bytes are found with one table lookup. Each thirty-two bytes
// are spread into slot pairs "=x" (sixty-four characters) and compressed by
// the slot mask, which keeps every byte and the "=" before each escaped one
// alone. A block's at most 128 characters end at most one line; when one
// ends there, the rest of the block is stored two further on and CR LF put
// between. With `Crc` the part's CRC-32 is folded in from the same loads.
#define TSKIVO_TARGET_AVX512 TSKIVO_TARGET_CRC_FOLD ",avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt"

// Byte j of the pairs takes byte j / 2 of its half of the block.
struct PairIndex {
    alignas(64) std::array<std::array<unsigned char, 64>, 2> half{};
    constexpr PairIndex() {
        for (int j = 0; j < 64; ++j) {
            half[0][j] = static_cast<unsigned char>(j / 2);
            half[1][j] = static_cast<unsigned char>(32 + j / 2);
        }
    }
};
constexpr PairIndex kPairIndex;

template <bool Crc>
__attribute__((target(TSKIVO_TARGET_AVX512))) char* encodeAvx512(const unsigned char* in, std::size_t length, char* out,
                                                                  std::uint32_t* crc) {
    const unsigned char* const end = in + length;
    int col = 0;
    if (length >= 64) {
        alignas(64) static constexpr unsigned char kCritical[64] = {
            0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0xFF, 0, 0,     //
            0,    0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0, 0, 0,    0, 0,     //
            0,    0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0, 0, 0,    0xFF, 0,  //
            0,    0, 0, 0, 0, 0, 0, 0, 0, 0,    0,    0, 0, 0xFF, 0, 0};
        const __m512i critical = _mm512_load_si512(kCritical);
        const __m512i pairsLo = _mm512_load_si512(kPairIndex.half[0].data());
        const __m512i pairsHi = _mm512_load_si512(kPairIndex.half[1].data());
        const __m512i k = crcfold::constants();
        __m512i acc = Crc ? crcfold::start(*crc, _mm512_loadu_si512(in)) : _mm512_setzero_si512();
        const unsigned char* const first = in;
        for (; end - in >= 64; in += 64) {
            // Asked for well ahead: read from memory, the loop would otherwise
            // wait on it (14 GB/s against 11 measured; never faults).
            _mm_prefetch(reinterpret_cast<const char*>(in) + 4096, _MM_HINT_T0);
            const __m512i raw = _mm512_loadu_si512(in);
            if (Crc && in != first) acc = crcfold::fold(acc, raw, k);
            __m512i v = _mm512_add_epi8(raw, _mm512_set1_epi8(42));
            // (the maskz forms: GCC 12 takes the plain ones' undefined fill for uninitialised)
            const __m512i t = _mm512_maskz_permutexvar_epi8(~0ull, v, critical);
            const __mmask64 hit = _mm512_mask_test_epi8_mask(_mm512_cmplt_epu8_mask(v, _mm512_set1_epi8(64)), t, t);
            v = _mm512_mask_add_epi8(v, hit, v, _mm512_set1_epi8(64));
            const std::uint64_t m = _cvtmask64_u64(hit);
            // Slot 2j is the "=" of byte j, slot 2j + 1 the byte.
            constexpr std::uint64_t kBytes = 0xAAAAAAAAAAAAAAAAull, kEquals = 0x5555555555555555ull;
            const std::uint64_t s0 = _pdep_u64(m & 0xFFFFFFFFu, kEquals) | kBytes;
            const std::uint64_t s1 = _pdep_u64(m >> 32, kEquals) | kBytes;
            const __m512i eq = _mm512_set1_epi8('=');
            const __m512i e0 = _mm512_maskz_compress_epi8(
                _cvtu64_mask64(s0), _mm512_mask_permutexvar_epi8(eq, _cvtu64_mask64(kBytes), pairsLo, v));
            const __m512i e1 = _mm512_maskz_compress_epi8(
                _cvtu64_mask64(s1), _mm512_mask_permutexvar_epi8(eq, _cvtu64_mask64(kBytes), pairsHi, v));
            const int l0 = 32 + static_cast<int>(_mm_popcnt_u64(m & 0xFFFFFFFFu));
            const int len = l0 + 32 + static_cast<int>(_mm_popcnt_u64(m >> 32));
            if (col + len < kLine) {
                _mm512_storeu_si512(out, e0);
                _mm512_storeu_si512(out + l0, e1);
                out += len;
                col += len;
                continue;
            }
            // The line ends after character p of the block, one later when
            // that one is the "=" of a pair (an "=" slot the mask kept).
            int p = kLine - col;
            const std::uint64_t equals =
                p - 1 < l0 ? _pext_u64(kEquals, s0) >> (p - 1) : _pext_u64(kEquals, s1) >> (p - 1 - l0);
            p += static_cast<int>(equals & 1);
            _mm512_storeu_si512(out + 2, e0);
            _mm512_storeu_si512(out + 2 + l0, e1);
            _mm512_mask_storeu_epi8(out, _cvtu64_mask64(_bzhi_u64(~0ull, static_cast<unsigned>(p < l0 ? p : l0))), e0);
            _mm512_mask_storeu_epi8(out + l0, _cvtu64_mask64(_bzhi_u64(~0ull, static_cast<unsigned>(p > l0 ? p - l0 : 0))),
                                    e1);
            out[p] = '\r';
            out[p + 1] = '\n';
            out += len + 2;
            col = len - p;
        }
        if (Crc) *crc = crcfold::finish(acc, in, static_cast<std::size_t>(end - in));
    } else if (Crc) {
        *crc = crc32Update(*crc, in, length);
    }
    // The rest the plain way: the open line, then whole ones.
    if (col > 0 || in < end) finishLine(in, end, out, col);
    return encodeScalar(in, static_cast<std::size_t>(end - in), out);
}

bool avx2Supported() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul"); }

bool avx512Supported() {
    return crcfold::supported() && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
           __builtin_cpu_supports("bmi2");
}

bool ssse3Supported() { return __builtin_cpu_supports("ssse3"); }
bool always() { return true; }

// The scalar kernel is the reference, chosen only when forced: SSE2, which
// every x86-64 CPU has, is the floor.
constexpr common::KernelChoice<YencKernel> kKernels[] = {{YencKernel::Scalar, "scalar", always, true},
                                                        {YencKernel::Sse2, "sse2", always},
                                                        {YencKernel::Ssse3, "ssse3", ssse3Supported},
                                                        {YencKernel::Avx2, "avx2", avx2Supported},
                                                        {YencKernel::Avx512, "avx512", avx512Supported}};

YencKernel& activeKernel() {
    static YencKernel kernel = common::chooseKernel("TSKIVO_YENC_KERNEL", kKernels);  // once, at first use
    return kernel;
}

}  // namespace

bool yencKernelSupported(YencKernel k) { return common::kernelSupported(k, kKernels); }
YencKernel yencKernel() { return activeKernel(); }
void setYencKernel(YencKernel k) {
    if (yencKernelSupported(k)) activeKernel() = k;
}
const char* yencKernelName(YencKernel k) { return common::kernelName(k, kKernels); }

char* yencEncodeLinesWith(YencKernel k, const unsigned char* in, std::size_t length, char* out) {
    switch (k) {
        case YencKernel::Scalar: return encodeScalar(in, length, out);
        case YencKernel::Sse2: return encodeSse2(in, length, out);
        case YencKernel::Ssse3: return encodeSsse3(in, length, out);
        case YencKernel::Avx2: return encodeAvx2<false>(in, length, out, nullptr);
        case YencKernel::Avx512: return encodeAvx512<false>(in, length, out, nullptr);
    }
    return encodeScalar(in, length, out);
}

char* yencEncodeLinesCrcWith(YencKernel k, const unsigned char* in, std::size_t length, char* out,
                             std::uint32_t* crc) {
    if (k == YencKernel::Avx512) return encodeAvx512<true>(in, length, out, crc);
    if (k == YencKernel::Avx2) return encodeAvx2<true>(in, length, out, crc);
    *crc = crc32Update(*crc, in, length);
    return yencEncodeLinesWith(k, in, length, out);
}

YencEncoder::YencEncoder(const std::string& path, int lines, std::optional<std::uint32_t> fileCrc) : Encoder(path, lines) {
    const std::uint64_t perPart = bytesPerPart();
    parts_ = static_cast<int>(size_ / perPart + (size_ % perPart ? 1 : 0));
    input_ = std::make_unique_for_overwrite<unsigned char[]>(
        static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(perPart, size_))));
    // A file of one part: its trailer has no whole-file CRC, and its part's
    // CRC is the file's; whether it can be read is still known at once.
    if (parts_ > 1 && !fileCrc) {
        fileCrc_ = wholeFileCrc(static_cast<std::size_t>(perPart));
    } else {
        if (parts_ > 1) fileCrc_ = *fileCrc;
        const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw Kelvo_Exception(0, "Unable to read input file");
        close(fd);
    }
}

std::uint32_t YencEncoder::wholeFileCrc(std::size_t chunk) {
    // Holes of a sparse file (disk images) are not read: their CRC is that of zeros.
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Kelvo_Exception(0, "Unable to read input file");
    static const std::vector<unsigned char> zeros(1 << 20);
    std::uint64_t offset = 0;
    std::uint32_t crc = 0;
    while (offset < size_) {
        const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
        const std::uint64_t dataAt = data < 0 ? (errno == ENXIO ? size_ : offset) : static_cast<std::uint64_t>(data);
        for (std::uint64_t end = std::min(dataAt, size_); offset < end;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), end - offset));
            crc = crc32Update(crc, zeros.data(), n);
            offset += n;
        }
        if (offset >= size_) break;
        const off_t hole = lseek(fd, static_cast<off_t>(offset), SEEK_HOLE);
        const std::uint64_t holeAt = hole < 0 ? size_ : std::min<std::uint64_t>(static_cast<std::uint64_t>(hole), size_);
        bool shrank = false;
        while (offset < holeAt) {
            const long long n = common::readFully(
                fd, input_.get(), static_cast<std::size_t>(std::min<std::uint64_t>(chunk, holeAt - offset)), offset);
            if (n <= 0) {
                shrank = true;  // a file that shrank: its CRC is of what is there
                break;
            }
            crc = crc32Update(crc, input_.get(), static_cast<std::size_t>(n));
            offset += static_cast<std::uint64_t>(n);
        }
        if (shrank) break;
    }
    close(fd);
    return crc;
}

std::size_t YencEncoder::encodedSizeBound() const {
    return static_cast<std::size_t>(lines_) * 260 + kFrameRoom + name_.size();
}

bool YencEncoder::encodePart(int n, char* buffer, std::size_t bufferSize, int total) {
    if (n < 1 || n > parts_ || bufferSize < encodedSizeBound()) return false;
    const std::uint64_t first = partBegin(n);
    const std::uint64_t end = partEnd(n);

    char* out = buffer;
    const std::size_t headerRoom = bufferSize - static_cast<std::size_t>(lines_) * 260;
    int w;
    if (parts_ == 1) {
        w = std::snprintf(out, headerRoom, "=ybegin part=1 line=%d size=%llu name=%s\r\n=ypart begin=%llu end=%llu\r\n",
                          kLineLength, static_cast<unsigned long long>(size_), name_.c_str(), static_cast<unsigned long long>(first + 1),
                          static_cast<unsigned long long>(end));
    } else {
        w = std::snprintf(out, headerRoom,
                          "=ybegin part=%d total=%d line=%d size=%llu name=%s\r\n=ypart begin=%llu end=%llu\r\n", n,
                          total, kLineLength, static_cast<unsigned long long>(size_), name_.c_str(), static_cast<unsigned long long>(first + 1),
                          static_cast<unsigned long long>(end));
    }
    if (w < 0) return false;
    out += w;

    // One read for the whole part; a file that shrank is encoded from what is there.
    const long long got = readAt(first, input_.get(), static_cast<std::size_t>(end - first));
    if (got < 0) return false;
    partCrc_ = 0;
    out = yencEncodeLinesCrcWith(activeKernel(), input_.get(), static_cast<std::size_t>(got), out, &partCrc_);
    if (parts_ == 1) fileCrc_ = partCrc_;

    const std::size_t left = bufferSize - static_cast<std::size_t>(out - buffer);
    if (parts_ == 1) {
        w = std::snprintf(out, left, "=yend size=%llu part=1 pcrc32=%08x\r\n", static_cast<unsigned long long>(size_),
                          partCrc_);
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
