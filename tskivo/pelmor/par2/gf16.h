// Arithmetic in GF(2^16) with the PAR 2.0 generator 0x1100B, and the one
// operation recovery data needs: out ^= factor * in over 16-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace par2 {

std::uint16_t gfMultiply(std::uint16_t a, std::uint16_t b);
// 2^exponent (exponents taken modulo 65535).
std::uint16_t gfPow2(std::uint32_t exponent);
// base^exponent for a base given by its logarithm.
std::uint16_t gfPowLog(std::uint32_t logBase, std::uint32_t exponent);

// The multiply-add kernels, all with the same result; the fastest the CPU
// has is chosen once (TSKIVO_GF16_KERNEL=scalar|ssse3|avx2|avx2-gfni|avx512|
// avx512-gfni forces one).
//
// The vector kernels work on regions in their own layout: chunks of
// `gfChunk` bytes, the low bytes of the chunk's words first, then their high
// bytes, so that one byte shuffle looks up sixteen (thirty-two, sixty-four)
// nibbles at once. gfToRegion and gfFromRegion convert whole blocks; the
// scalar kernel's layout is the plain one. The GFNI kernels use the layout
// of their width: multiplying by a factor is a linear map of the word's 16
// bits, so each product byte is two affine transforms (one of the low
// bytes, one of the high bytes) added together, four transforms a pair of
// vectors instead of eight shuffles.
enum class GfKernel { Scalar, Ssse3, Avx2, Avx512, Avx2Gfni, Avx512Gfni };
GfKernel gfKernel();
bool gfKernelSupported(GfKernel k);
void setGfKernel(GfKernel k);  // tests and benchmarks
const char* gfKernelName(GfKernel k);

// Bytes of one chunk of the kernel's layout; region sizes are multiples of it.
std::size_t gfChunk(GfKernel k);
// The largest chunk of any kernel: blocks padded to this suit every one.
inline constexpr std::size_t kMaxGfChunk = 128;

// `bytes` (a multiple of gfChunk) of plain little-endian words into the
// kernel's layout (in place if `out` is `in`), and back.
void gfToRegion(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes);
void gfFromRegion(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes);

// The products of a factor with each nibble value at each of the four nibble
// places of a word, split into low and high bytes: what the shuffle kernels
// look up. Made once per factor, used for every chunk.
struct GfFactor {
    std::uint16_t factor = 0;
    alignas(16) std::uint8_t low[4][16];
    alignas(16) std::uint8_t high[4][16];
    // The same map as four 8x8 bit matrices in GFNI's form (row of output
    // bit i in byte 7 - i): low from low bytes, low from high bytes, high
    // from low bytes, high from high bytes.
    std::uint64_t affine[4];
};
GfFactor gfFactor(std::uint16_t factor);

// out ^= factor * in over regions of `bytes` (a multiple of gfChunk) in the
// kernel's layout.
void gfMultiplyAdd(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes, const GfFactor& f);
// The same for one input into two outputs: out ^= f * in, out2 ^= f2 * in
// (the input read once; faster than two calls).
void gfMultiplyAdd2(GfKernel k, std::uint8_t* out, std::uint8_t* out2, const std::uint8_t* in, std::size_t bytes,
                    const GfFactor& f, const GfFactor& f2);

// out ^= the sum of f[s] * in_s, and out2 ^= the sum of f2[s] * in_s (out2
// may be null), over n inputs `stride` bytes apart: each output read and
// written once (the GFNI kernels keep the sums in registers).
void gfMultiplyAddMany(GfKernel k, std::uint8_t* out, std::uint8_t* out2, const std::uint8_t* in, std::size_t stride,
                       std::uint32_t n, std::size_t bytes, const GfFactor* f, const GfFactor* f2);

}  // namespace par2
