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
#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
#define STEP(f, a, b, c, d, x, t, s) \
    a += f(b, c, d) + (x) + (t);     \
    a = ((a << (s)) | (a >> (32 - (s)))) + (b)

// One chunk into one state.
void compress1(std::uint32_t* state, const std::uint8_t* chunk) {
    std::uint32_t m0[16];
    std::memcpy(m0, chunk, 64);  // little-endian, as MD5 reads words
    std::uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
    STEP(F, a0, b0, c0, d0, m0[0], kSine[0], 7);
    STEP(F, d0, a0, b0, c0, m0[1], kSine[1], 12);
    STEP(F, c0, d0, a0, b0, m0[2], kSine[2], 17);
    STEP(F, b0, c0, d0, a0, m0[3], kSine[3], 22);
    STEP(F, a0, b0, c0, d0, m0[4], kSine[4], 7);
    STEP(F, d0, a0, b0, c0, m0[5], kSine[5], 12);
    STEP(F, c0, d0, a0, b0, m0[6], kSine[6], 17);
    STEP(F, b0, c0, d0, a0, m0[7], kSine[7], 22);
    STEP(F, a0, b0, c0, d0, m0[8], kSine[8], 7);
    STEP(F, d0, a0, b0, c0, m0[9], kSine[9], 12);
    STEP(F, c0, d0, a0, b0, m0[10], kSine[10], 17);
    STEP(F, b0, c0, d0, a0, m0[11], kSine[11], 22);
    STEP(F, a0, b0, c0, d0, m0[12], kSine[12], 7);
    STEP(F, d0, a0, b0, c0, m0[13], kSine[13], 12);
    STEP(F, c0, d0, a0, b0, m0[14], kSine[14], 17);
    STEP(F, b0, c0, d0, a0, m0[15], kSine[15], 22);
    STEP(G, a0, b0, c0, d0, m0[1], kSine[16], 5);
    STEP(G, d0, a0, b0, c0, m0[6], kSine[17], 9);
    STEP(G, c0, d0, a0, b0, m0[11], kSine[18], 14);
    STEP(G, b0, c0, d0, a0, m0[0], kSine[19], 20);
    STEP(G, a0, b0, c0, d0, m0[5], kSine[20], 5);
    STEP(G, d0, a0, b0, c0, m0[10], kSine[21], 9);
    STEP(G, c0, d0, a0, b0, m0[15], kSine[22], 14);
    STEP(G, b0, c0, d0, a0, m0[4], kSine[23], 20);
    STEP(G, a0, b0, c0, d0, m0[9], kSine[24], 5);
    STEP(G, d0, a0, b0, c0, m0[14], kSine[25], 9);
    STEP(G, c0, d0, a0, b0, m0[3], kSine[26], 14);
    STEP(G, b0, c0, d0, a0, m0[8], kSine[27], 20);
    STEP(G, a0, b0, c0, d0, m0[13], kSine[28], 5);
    STEP(G, d0, a0, b0, c0, m0[2], kSine[29], 9);
    STEP(G, c0, d0, a0, b0, m0[7], kSine[30], 14);
    STEP(G, b0, c0, d0, a0, m0[12], kSine[31], 20);
    STEP(H, a0, b0, c0, d0, m0[5], kSine[32], 4);
    STEP(H, d0, a0, b0, c0, m0[8], kSine[33], 11);
    STEP(H, c0, d0, a0, b0, m0[11], kSine[34], 16);
    STEP(H, b0, c0, d0, a0, m0[14], kSine[35], 23);
    STEP(H, a0, b0, c0, d0, m0[1], kSine[36], 4);
    STEP(H, d0, a0, b0, c0, m0[4], kSine[37], 11);
    STEP(H, c0, d0, a0, b0, m0[7], kSine[38], 16);
    STEP(H, b0, c0, d0, a0, m0[10], kSine[39], 23);
    STEP(H, a0, b0, c0, d0, m0[13], kSine[40], 4);
    STEP(H, d0, a0, b0, c0, m0[0], kSine[41], 11);
    STEP(H, c0, d0, a0, b0, m0[3], kSine[42], 16);
    STEP(H, b0, c0, d0, a0, m0[6], kSine[43], 23);
    STEP(H, a0, b0, c0, d0, m0[9], kSine[44], 4);
    STEP(H, d0, a0, b0, c0, m0[12], kSine[45], 11);
    STEP(H, c0, d0, a0, b0, m0[15], kSine[46], 16);
    STEP(H, b0, c0, d0, a0, m0[2], kSine[47], 23);
    STEP(I, a0, b0, c0, d0, m0[0], kSine[48], 6);
    STEP(I, d0, a0, b0, c0, m0[7], kSine[49], 10);
    STEP(I, c0, d0, a0, b0, m0[14], kSine[50], 15);
    STEP(I, b0, c0, d0, a0, m0[5], kSine[51], 21);
    STEP(I, a0, b0, c0, d0, m0[12], kSine[52], 6);
    STEP(I, d0, a0, b0, c0, m0[3], kSine[53], 10);
    STEP(I, c0, d0, a0, b0, m0[10], kSine[54], 15);
    STEP(I, b0, c0, d0, a0, m0[1], kSine[55], 21);
    STEP(I, a0, b0, c0, d0, m0[8], kSine[56], 6);
    STEP(I, d0, a0, b0, c0, m0[15], kSine[57], 10);
    STEP(I, c0, d0, a0, b0, m0[6], kSine[58], 15);
    STEP(I, b0, c0, d0, a0, m0[13], kSine[59], 21);
    STEP(I, a0, b0, c0, d0, m0[4], kSine[60], 6);
    STEP(I, d0, a0, b0, c0, m0[11], kSine[61], 10);
    STEP(I, c0, d0, a0, b0, m0[2], kSine[62], 15);
    STEP(I, b0, c0, d0, a0, m0[9], kSine[63], 21);
    state[0] += a0, state[1] += b0, state[2] += c0, state[3] += d0;
}

// Two chunks into two states, the steps of the two alternating.
void compress2(std::uint32_t* s0, const std::uint8_t* chunk0, std::uint32_t* s1, const std::uint8_t* chunk1) {
    std::uint32_t m0[16], m1[16];
    std::memcpy(m0, chunk0, 64);
    std::memcpy(m1, chunk1, 64);
    std::uint32_t a0 = s0[0], b0 = s0[1], c0 = s0[2], d0 = s0[3];
    std::uint32_t a1 = s1[0], b1 = s1[1], c1 = s1[2], d1 = s1[3];
    STEP(F, a0, b0, c0, d0, m0[0], kSine[0], 7);
    STEP(F, a1, b1, c1, d1, m1[0], kSine[0], 7);
    STEP(F, d0, a0, b0, c0, m0[1], kSine[1], 12);
    STEP(F, d1, a1, b1, c1, m1[1], kSine[1], 12);
    STEP(F, c0, d0, a0, b0, m0[2], kSine[2], 17);
    STEP(F, c1, d1, a1, b1, m1[2], kSine[2], 17);
    STEP(F, b0, c0, d0, a0, m0[3], kSine[3], 22);
    STEP(F, b1, c1, d1, a1, m1[3], kSine[3], 22);
    STEP(F, a0, b0, c0, d0, m0[4], kSine[4], 7);
    STEP(F, a1, b1, c1, d1, m1[4], kSine[4], 7);
    STEP(F, d0, a0, b0, c0, m0[5], kSine[5], 12);
    STEP(F, d1, a1, b1, c1, m1[5], kSine[5], 12);
    STEP(F, c0, d0, a0, b0, m0[6], kSine[6], 17);
    STEP(F, c1, d1, a1, b1, m1[6], kSine[6], 17);
    STEP(F, b0, c0, d0, a0, m0[7], kSine[7], 22);
    STEP(F, b1, c1, d1, a1, m1[7], kSine[7], 22);
    STEP(F, a0, b0, c0, d0, m0[8], kSine[8], 7);
    STEP(F, a1, b1, c1, d1, m1[8], kSine[8], 7);
    STEP(F, d0, a0, b0, c0, m0[9], kSine[9], 12);
    STEP(F, d1, a1, b1, c1, m1[9], kSine[9], 12);
    STEP(F, c0, d0, a0, b0, m0[10], kSine[10], 17);
    STEP(F, c1, d1, a1, b1, m1[10], kSine[10], 17);
    STEP(F, b0, c0, d0, a0, m0[11], kSine[11], 22);
    STEP(F, b1, c1, d1, a1, m1[11], kSine[11], 22);
    STEP(F, a0, b0, c0, d0, m0[12], kSine[12], 7);
    STEP(F, a1, b1, c1, d1, m1[12], kSine[12], 7);
    STEP(F, d0, a0, b0, c0, m0[13], kSine[13], 12);
    STEP(F, d1, a1, b1, c1, m1[13], kSine[13], 12);
    STEP(F, c0, d0, a0, b0, m0[14], kSine[14], 17);
    STEP(F, c1, d1, a1, b1, m1[14], kSine[14], 17);
    STEP(F, b0, c0, d0, a0, m0[15], kSine[15], 22);
    STEP(F, b1, c1, d1, a1, m1[15], kSine[15], 22);
    STEP(G, a0, b0, c0, d0, m0[1], kSine[16], 5);
    STEP(G, a1, b1, c1, d1, m1[1], kSine[16], 5);
    STEP(G, d0, a0, b0, c0, m0[6], kSine[17], 9);
    STEP(G, d1, a1, b1, c1, m1[6], kSine[17], 9);
    STEP(G, c0, d0, a0, b0, m0[11], kSine[18], 14);
    STEP(G, c1, d1, a1, b1, m1[11], kSine[18], 14);
    STEP(G, b0, c0, d0, a0, m0[0], kSine[19], 20);
    STEP(G, b1, c1, d1, a1, m1[0], kSine[19], 20);
    STEP(G, a0, b0, c0, d0, m0[5], kSine[20], 5);
    STEP(G, a1, b1, c1, d1, m1[5], kSine[20], 5);
    STEP(G, d0, a0, b0, c0, m0[10], kSine[21], 9);
    STEP(G, d1, a1, b1, c1, m1[10], kSine[21], 9);
    STEP(G, c0, d0, a0, b0, m0[15], kSine[22], 14);
    STEP(G, c1, d1, a1, b1, m1[15], kSine[22], 14);
    STEP(G, b0, c0, d0, a0, m0[4], kSine[23], 20);
    STEP(G, b1, c1, d1, a1, m1[4], kSine[23], 20);
    STEP(G, a0, b0, c0, d0, m0[9], kSine[24], 5);
    STEP(G, a1, b1, c1, d1, m1[9], kSine[24], 5);
    STEP(G, d0, a0, b0, c0, m0[14], kSine[25], 9);
    STEP(G, d1, a1, b1, c1, m1[14], kSine[25], 9);
    STEP(G, c0, d0, a0, b0, m0[3], kSine[26], 14);
    STEP(G, c1, d1, a1, b1, m1[3], kSine[26], 14);
    STEP(G, b0, c0, d0, a0, m0[8], kSine[27], 20);
    STEP(G, b1, c1, d1, a1, m1[8], kSine[27], 20);
    STEP(G, a0, b0, c0, d0, m0[13], kSine[28], 5);
    STEP(G, a1, b1, c1, d1, m1[13], kSine[28], 5);
    STEP(G, d0, a0, b0, c0, m0[2], kSine[29], 9);
    STEP(G, d1, a1, b1, c1, m1[2], kSine[29], 9);
    STEP(G, c0, d0, a0, b0, m0[7], kSine[30], 14);
    STEP(G, c1, d1, a1, b1, m1[7], kSine[30], 14);
    STEP(G, b0, c0, d0, a0, m0[12], kSine[31], 20);
    STEP(G, b1, c1, d1, a1, m1[12], kSine[31], 20);
    STEP(H, a0, b0, c0, d0, m0[5], kSine[32], 4);
    STEP(H, a1, b1, c1, d1, m1[5], kSine[32], 4);
    STEP(H, d0, a0, b0, c0, m0[8], kSine[33], 11);
    STEP(H, d1, a1, b1, c1, m1[8], kSine[33], 11);
    STEP(H, c0, d0, a0, b0, m0[11], kSine[34], 16);
    STEP(H, c1, d1, a1, b1, m1[11], kSine[34], 16);
    STEP(H, b0, c0, d0, a0, m0[14], kSine[35], 23);
    STEP(H, b1, c1, d1, a1, m1[14], kSine[35], 23);
    STEP(H, a0, b0, c0, d0, m0[1], kSine[36], 4);
    STEP(H, a1, b1, c1, d1, m1[1], kSine[36], 4);
    STEP(H, d0, a0, b0, c0, m0[4], kSine[37], 11);
    STEP(H, d1, a1, b1, c1, m1[4], kSine[37], 11);
    STEP(H, c0, d0, a0, b0, m0[7], kSine[38], 16);
    STEP(H, c1, d1, a1, b1, m1[7], kSine[38], 16);
    STEP(H, b0, c0, d0, a0, m0[10], kSine[39], 23);
    STEP(H, b1, c1, d1, a1, m1[10], kSine[39], 23);
    STEP(H, a0, b0, c0, d0, m0[13], kSine[40], 4);
    STEP(H, a1, b1, c1, d1, m1[13], kSine[40], 4);
    STEP(H, d0, a0, b0, c0, m0[0], kSine[41], 11);
    STEP(H, d1, a1, b1, c1, m1[0], kSine[41], 11);
    STEP(H, c0, d0, a0, b0, m0[3], kSine[42], 16);
    STEP(H, c1, d1, a1, b1, m1[3], kSine[42], 16);
    STEP(H, b0, c0, d0, a0, m0[6], kSine[43], 23);
    STEP(H, b1, c1, d1, a1, m1[6], kSine[43], 23);
    STEP(H, a0, b0, c0, d0, m0[9], kSine[44], 4);
    STEP(H, a1, b1, c1, d1, m1[9], kSine[44], 4);
    STEP(H, d0, a0, b0, c0, m0[12], kSine[45], 11);
    STEP(H, d1, a1, b1, c1, m1[12], kSine[45], 11);
    STEP(H, c0, d0, a0, b0, m0[15], kSine[46], 16);
    STEP(H, c1, d1, a1, b1, m1[15], kSine[46], 16);
    STEP(H, b0, c0, d0, a0, m0[2], kSine[47], 23);
    STEP(H, b1, c1, d1, a1, m1[2], kSine[47], 23);
    STEP(I, a0, b0, c0, d0, m0[0], kSine[48], 6);
    STEP(I, a1, b1, c1, d1, m1[0], kSine[48], 6);
    STEP(I, d0, a0, b0, c0, m0[7], kSine[49], 10);
    STEP(I, d1, a1, b1, c1, m1[7], kSine[49], 10);
    STEP(I, c0, d0, a0, b0, m0[14], kSine[50], 15);
    STEP(I, c1, d1, a1, b1, m1[14], kSine[50], 15);
    STEP(I, b0, c0, d0, a0, m0[5], kSine[51], 21);
    STEP(I, b1, c1, d1, a1, m1[5], kSine[51], 21);
    STEP(I, a0, b0, c0, d0, m0[12], kSine[52], 6);
    STEP(I, a1, b1, c1, d1, m1[12], kSine[52], 6);
    STEP(I, d0, a0, b0, c0, m0[3], kSine[53], 10);
    STEP(I, d1, a1, b1, c1, m1[3], kSine[53], 10);
    STEP(I, c0, d0, a0, b0, m0[10], kSine[54], 15);
    STEP(I, c1, d1, a1, b1, m1[10], kSine[54], 15);
    STEP(I, b0, c0, d0, a0, m0[1], kSine[55], 21);
    STEP(I, b1, c1, d1, a1, m1[1], kSine[55], 21);
    STEP(I, a0, b0, c0, d0, m0[8], kSine[56], 6);
    STEP(I, a1, b1, c1, d1, m1[8], kSine[56], 6);
    STEP(I, d0, a0, b0, c0, m0[15], kSine[57], 10);
    STEP(I, d1, a1, b1, c1, m1[15], kSine[57], 10);
    STEP(I, c0, d0, a0, b0, m0[6], kSine[58], 15);
    STEP(I, c1, d1, a1, b1, m1[6], kSine[58], 15);
    STEP(I, b0, c0, d0, a0, m0[13], kSine[59], 21);
    STEP(I, b1, c1, d1, a1, m1[13], kSine[59], 21);
    STEP(I, a0, b0, c0, d0, m0[4], kSine[60], 6);
    STEP(I, a1, b1, c1, d1, m1[4], kSine[60], 6);
    STEP(I, d0, a0, b0, c0, m0[11], kSine[61], 10);
    STEP(I, d1, a1, b1, c1, m1[11], kSine[61], 10);
    STEP(I, c0, d0, a0, b0, m0[2], kSine[62], 15);
    STEP(I, c1, d1, a1, b1, m1[2], kSine[62], 15);
    STEP(I, b0, c0, d0, a0, m0[9], kSine[63], 21);
    STEP(I, b1, c1, d1, a1, m1[9], kSine[63], 21);
    s0[0] += a0, s0[1] += b0, s0[2] += c0, s0[3] += d0;
    s1[0] += a1, s1[1] += b1, s1[2] += c1, s1[3] += d1;
}

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
        compress2(a.state_, in + at[0], b.state_, in + at[1]);
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
