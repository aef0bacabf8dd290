#include "md5.h"

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

// One chunk into each of N states (two: a block's and its file's hash).
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

Hash Md5::addWithBlock(const std::uint8_t* block, std::size_t length, std::size_t blockLength) {
    // This hash's chunks: the buffered bytes made whole first, then the
    // block's bytes from there; the block's own from its start, then its
    // closing chunks.
    std::size_t at = 0;
    const std::uint8_t* own = nullptr;
    if (buffered_) {
        at = std::min<std::size_t>(64 - buffered_, length);
        std::memcpy(buffer_ + buffered_, block, at);
        buffered_ += at;
        if (buffered_ == 64) own = buffer_, buffered_ = 0;
    }
    total_ += length;
    std::uint8_t tail[128];
    const std::size_t tailBytes = lastChunks(block + blockLength / 64 * 64, blockLength, tail);
    const std::size_t blockChunks = blockLength / 64 + tailBytes / 64;
    const auto blockChunk = [&](std::size_t k) { return k < blockLength / 64 ? block + 64 * k : tail + 64 * (k - blockLength / 64); };
    const std::size_t ownChunks = (own ? 1 : 0) + (length - at) / 64;
    const auto ownChunk = [&](std::size_t k) { return own ? (k == 0 ? own : block + at + 64 * (k - 1)) : block + at + 64 * k; };
    std::uint32_t blockState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint32_t* states[2] = {state_, blockState};
    std::size_t k = 0;
    for (; k < ownChunks && k < blockChunks; ++k) {
        const std::uint8_t* chunks[2] = {ownChunk(k), blockChunk(k)};
        compress<2>(states, chunks);
    }
    for (std::size_t j = k; j < ownChunks; ++j) compress1(state_, ownChunk(j));
    for (std::size_t j = k; j < blockChunks; ++j) compress1(blockState, blockChunk(j));
    const std::size_t used = at + (ownChunks - (own ? 1 : 0)) * 64;
    if (used < length) {
        std::memcpy(buffer_, block + used, length - used);
        buffered_ = length - used;
    }
    Hash h;
    std::memcpy(h.data(), blockState, 16);
    return h;
}

Hash md5(const void* data, std::size_t length) {
    Md5 m;
    m.add(data, length);
    return m.done();
}

}  // namespace par2
