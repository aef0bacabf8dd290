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

#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
// Step i, for each of the N chunks in turn: while one chain waits for its
// last result, the others' steps run.
#define STEP(f, a, b, c, d, w, i)                                                    \
    _Pragma("GCC unroll 2") for (int l = 0; l < N; ++l) {                            \
        a[l] += f(b[l], c[l], d[l]) + m[l][w(i)] + kSine[i];                         \
        a[l] = ((a[l] << kShift[(i) / 16][(i) % 4]) | (a[l] >> (32 - kShift[(i) / 16][(i) % 4]))) + b[l]; \
    }
#define FOUR(f, w, i)               \
    STEP(f, a, b, c, d, w, i);      \
    STEP(f, d, a, b, c, w, i + 1);  \
    STEP(f, c, d, a, b, w, i + 2);  \
    STEP(f, b, c, d, a, w, i + 3)
#define ROUND(f, w, i) \
    FOUR(f, w, i);     \
    FOUR(f, w, i + 4); \
    FOUR(f, w, i + 8); \
    FOUR(f, w, i + 12)

// One chunk into each of N states (two: the slice's and its file's hash).
template <int N>
void compress(std::uint32_t* const* states, const std::uint8_t* const* chunks) {
    std::uint32_t m[N][16], a[N], b[N], c[N], d[N];
    for (int l = 0; l < N; ++l) {
        std::memcpy(m[l], chunks[l], 64);  // little-endian, as MD5 reads words
        a[l] = states[l][0], b[l] = states[l][1], c[l] = states[l][2], d[l] = states[l][3];
    }
    ROUND(F, wordF, 0);
    ROUND(G, wordG, 16);
    ROUND(H, wordH, 32);
    ROUND(I, wordI, 48);
    for (int l = 0; l < N; ++l)
        states[l][0] += a[l], states[l][1] += b[l], states[l][2] += c[l], states[l][3] += d[l];
}

void compress1(std::uint32_t* state, const std::uint8_t* chunk) { compress<1>(&state, &chunk); }

#undef ROUND
#undef FOUR
#undef STEP
#undef F
#undef G
#undef H
#undef I

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
    const std::uint64_t bits = total_ * 8;
    static const std::uint8_t pad[64] = {0x80};
    add(pad, buffered_ < 56 ? 56 - buffered_ : 120 - buffered_);
    std::uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    add(length, 8);
    Hash h;
    std::memcpy(h.data(), state_, 16);
    return h;
}

void md5AddBoth(Md5& a, Md5& b, const void* data, std::size_t length) {
    const auto* in = static_cast<const std::uint8_t*>(data);
    // Each hash first fills what it holds over to a whole chunk; from there
    // on both read whole chunks of the data, each at its own offset.
    std::size_t at[2] = {0, 0};
    Md5* h[2] = {&a, &b};
    for (int l = 0; l < 2; ++l) {
        if (!h[l]->buffered_) continue;
        const std::size_t take = std::min<std::size_t>(64 - h[l]->buffered_, length);
        std::memcpy(h[l]->buffer_ + h[l]->buffered_, in, take);
        h[l]->buffered_ += take;
        h[l]->total_ += take;
        at[l] = take;
        if (h[l]->buffered_ == 64) {
            compress1(h[l]->state_, h[l]->buffer_);
            h[l]->buffered_ = 0;
        }
    }
    while (length - at[0] >= 64 && length - at[1] >= 64) {
        std::uint32_t* states[2] = {a.state_, b.state_};
        const std::uint8_t* chunks[2] = {in + at[0], in + at[1]};
        compress<2>(states, chunks);
        at[0] += 64;
        at[1] += 64;
        a.total_ += 64;
        b.total_ += 64;
    }
    // What is left (less than a chunk for one of them, maybe one more for the other).
    for (int l = 0; l < 2; ++l)
        if (at[l] < length) h[l]->add(in + at[l], length - at[l]);
}

Hash md5(const void* data, std::size_t length) {
    Md5 m;
    m.add(data, length);
    return m.done();
}

}  // namespace par2
