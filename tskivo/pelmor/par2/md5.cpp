#include "md5.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>

namespace par2 {

namespace {

constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// The word each of a round's steps reads.
constexpr int wordF(int i) { return i % 16; }
constexpr int wordG(int i) { return (5 * i + 1) % 16; }
constexpr int wordH(int i) { return (3 * i + 5) % 16; }
constexpr int wordI(int i) { return (7 * i) % 16; }

// Each step waits for the one before through x (the newest word): the
// functions are written so that as little as possible comes after it. The
// parts without x, and the message word and constant, are added first.
#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
// G's two terms share no bit, so they are added; unbracketed, the step adds
// the one without x first.
#define G(x, y, z) ((y) & ~(z)) + ((x) & (z))
#define H(x, y, z) ((x) ^ ((y) ^ (z)))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
// Step i, for each of the N chunks in turn: while one chain waits for its
// last result, the others' steps run.
#define STEP(f, a, b, c, d, w, i)                                                    \
    _Pragma("GCC unroll 2") for (int l = 0; l < N; ++l) {                            \
        a[l] = a[l] + (m[l][w(i)] + kSine[i]) + f(b[l], c[l], d[l]);                 \
        a[l] = ((a[l] << kShift[(i) / 16][(i) % 4]) | (a[l] >> (32 - kShift[(i) / 16][(i) % 4]))) + b[l]; \
    }
// A round: sixteen steps, the four words taking turns (the same for one
// lane at a time and for eight in vector lanes).
#define FOUR(step, f, w, i)               \
    step(f, a, b, c, d, w, i);            \
    step(f, d, a, b, c, w, i + 1);        \
    step(f, c, d, a, b, w, i + 2);        \
    step(f, b, c, d, a, w, i + 3)
#define ROUND(step, f, w, i)  \
    FOUR(step, f, w, i);      \
    FOUR(step, f, w, i + 4);  \
    FOUR(step, f, w, i + 8);  \
    FOUR(step, f, w, i + 12)

// One chunk into each of N states (two: the slice's and its file's hash).
template <int N>
void compress(std::uint32_t* const* states, const std::uint8_t* const* chunks) {
    std::uint32_t m[N][16], a[N], b[N], c[N], d[N];
    for (int l = 0; l < N; ++l) {
        std::memcpy(m[l], chunks[l], 64);  // little-endian, as MD5 reads words
        a[l] = states[l][0], b[l] = states[l][1], c[l] = states[l][2], d[l] = states[l][3];
    }
    ROUND(STEP, F, wordF, 0);
    ROUND(STEP, G, wordG, 16);
    ROUND(STEP, H, wordH, 32);
    ROUND(STEP, I, wordI, 48);
    for (int l = 0; l < N; ++l)
        states[l][0] += a[l], states[l][1] += b[l], states[l][2] += c[l], states[l][3] += d[l];
}

void compress1(std::uint32_t* state, const std::uint8_t* chunk) { compress<1>(&state, &chunk); }

#undef STEP
#undef F
#undef G
#undef H
#undef I

// The chunks that end a message of `length` bytes once its whole chunks are
// hashed: the rest of it (`rest`, length % 64 bytes), the 0x80 byte, zeros
// and the length in bits. Returns their size, 64 or 128.
std::size_t lastChunks(const std::uint8_t* rest, std::uint64_t length, std::uint8_t* tail /* 128 bytes */) {
    const auto kept = static_cast<std::size_t>(length % 64);
    std::memset(tail, 0, 128);
    std::memcpy(tail, rest, kept);
    tail[kept] = 0x80;
    const std::size_t n = kept < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[n - 8 + i] = static_cast<std::uint8_t>((length * 8) >> (8 * i));
    return n;
}

// Lanes messages of the same length, a chunk of each at a time to
// `compress`, the closing chunks included.
template <int Lanes, typename Compress>
void eachChunk(const std::uint8_t* const* data, std::size_t length, Compress compress) {
    const std::uint8_t* chunks[Lanes];
    std::uint8_t tails[Lanes][128];
    std::size_t tailBytes = 0;
    for (int l = 0; l < Lanes; ++l) tailBytes = lastChunks(data[l] + length / 64 * 64, length, tails[l]);
    for (std::size_t at = 0; at + 64 <= length; at += 64) {
        for (int l = 0; l < Lanes; ++l) chunks[l] = data[l] + at;
        compress(chunks);
    }
    for (std::size_t at = 0; at < tailBytes; at += 64) {
        for (int l = 0; l < Lanes; ++l) chunks[l] = tails[l] + at;
        compress(chunks);
    }
}

// N messages of the same length, their rounds interleaved.
template <int N>
void hashLanes(const std::uint8_t* const* data, std::size_t length, Hash* out) {
    std::uint32_t state[N][4];
    std::uint32_t* states[N];
    for (int l = 0; l < N; ++l) {
        state[l][0] = 0x67452301, state[l][1] = 0xefcdab89, state[l][2] = 0x98badcfe, state[l][3] = 0x10325476;
        states[l] = state[l];
    }
    eachChunk<N>(data, length, [&](const std::uint8_t* const* chunks) { compress<N>(states, chunks); });
    for (int l = 0; l < N; ++l) std::memcpy(out[l].data(), state[l], 16);
}

// Eight messages at once, one in each 32-bit lane of the registers.
__attribute__((target("avx2"))) inline void transpose8x8(__m256i* r) {
    __m256i t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
    }
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            u[4 * i + 2 * j] = _mm256_unpacklo_epi64(t[4 * i + j], t[4 * i + 2 + j]);
            u[4 * i + 2 * j + 1] = _mm256_unpackhi_epi64(t[4 * i + j], t[4 * i + 2 + j]);
        }
    for (int i = 0; i < 4; ++i) {
        r[i] = _mm256_permute2x128_si256(u[i], u[4 + i], 0x20);
        r[4 + i] = _mm256_permute2x128_si256(u[i], u[4 + i], 0x31);
    }
}

__attribute__((target("avx2"))) void compressEight(__m256i* state, const std::uint8_t* const* chunks) {
    __m256i m[16];
    for (int l = 0; l < 8; ++l) {
        m[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunks[l]));
        m[8 + l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chunks[l] + 32));
    }
    transpose8x8(m);  // m[k]: word k of each lane
    transpose8x8(m + 8);
    __m256i a = state[0], b = state[1], c = state[2], d = state[3];
    const __m256i ones = _mm256_set1_epi32(-1);
#define VF(x, y, z) _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)))
#define VG(x, y, z) _mm256_xor_si256(y, _mm256_and_si256(z, _mm256_xor_si256(x, y)))
#define VH(x, y, z) _mm256_xor_si256(_mm256_xor_si256(x, y), z)
#define VI(x, y, z) _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, ones)))
#define VSTEP(f, a, b, c, d, w, i)                                                                              \
    {                                                                                                           \
        const __m256i t = _mm256_add_epi32(_mm256_add_epi32(a, f(b, c, d)),                                     \
                                           _mm256_add_epi32(m[w(i)], _mm256_set1_epi32(static_cast<int>(kSine[i])))); \
        constexpr int s = kShift[(i) / 16][(i) % 4];                                                            \
        a = _mm256_add_epi32(b, _mm256_or_si256(_mm256_slli_epi32(t, s), _mm256_srli_epi32(t, 32 - s)));        \
    }
    ROUND(VSTEP, VF, wordF, 0);
    ROUND(VSTEP, VG, wordG, 16);
    ROUND(VSTEP, VH, wordH, 32);
    ROUND(VSTEP, VI, wordI, 48);
#undef VSTEP
#undef VF
#undef VG
#undef VH
#undef VI
#undef ROUND
#undef FOUR
    state[0] = _mm256_add_epi32(state[0], a);
    state[1] = _mm256_add_epi32(state[1], b);
    state[2] = _mm256_add_epi32(state[2], c);
    state[3] = _mm256_add_epi32(state[3], d);
}

__attribute__((target("avx2"))) void hashEight(const std::uint8_t* const* data, std::size_t length, Hash* out) {
    __m256i state[4] = {_mm256_set1_epi32(0x67452301), _mm256_set1_epi32(static_cast<int>(0xefcdab89)),
                        _mm256_set1_epi32(static_cast<int>(0x98badcfe)), _mm256_set1_epi32(0x10325476)};
    eachChunk<8>(data, length, [&](const std::uint8_t* const* chunks) { compressEight(state, chunks); });
    alignas(32) std::uint32_t words[4][8];
    for (int w = 0; w < 4; ++w) _mm256_store_si256(reinterpret_cast<__m256i*>(words[w]), state[w]);
    for (int l = 0; l < 8; ++l)
        for (int w = 0; w < 4; ++w) std::memcpy(out[l].data() + 4 * w, &words[w][l], 4);
}
}  // namespace

void Md5::add(const void* data, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    total_ += length;
    if (buffered_) {
        const std::size_t take = std::min<std::size_t>(64 - buffered_, length);
        std::memcpy(buffer_ + buffered_, in, take);
        buffered_ += take;
        in += take;
        length -= take;
        if (buffered_ < 64) return;
        compress1(state_, buffer_);
        buffered_ = 0;
    }
    for (; length >= 64; in += 64, length -= 64) compress1(state_, in);
    std::memcpy(buffer_, in, length);
    buffered_ = length;
}

Hash Md5::done() {
    std::uint8_t tail[128];
    const std::size_t n = lastChunks(buffer_, total_, tail);
    for (std::size_t at = 0; at < n; at += 64) compress1(state_, tail + at);
    Hash h;
    std::memcpy(h.data(), state_, 16);
    return h;
}

Hash md5(const void* data, std::size_t length) {
    Md5 m;
    m.add(data, length);
    return m.done();
}

void md5Blocks(const std::uint8_t* const* blocks, std::size_t count, std::size_t length, Hash* out, bool vector) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    std::size_t i = 0;
    if (vector && avx2)
        for (; i < count; i += 8) {
            // A short last group repeats its last block in the spare lanes.
            const std::uint8_t* lanes[8];
            Hash hashes[8];
            for (std::size_t l = 0; l < 8; ++l) lanes[l] = blocks[std::min(i + l, count - 1)];
            hashEight(lanes, length, hashes);
            std::copy(hashes, hashes + std::min<std::size_t>(8, count - i), out + i);
        }
    for (; i + 2 <= count; i += 2) hashLanes<2>(blocks + i, length, out + i);
    if (i < count) hashLanes<1>(blocks + i, length, out + i);
}

}  // namespace par2
