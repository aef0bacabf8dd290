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
// has is chosen once (TSKIVO_GF16_KERNEL=scalar|ssse3|avx2|avx512 forces one).
enum class GfKernel { Scalar, Ssse3, Avx2, Avx512 };
GfKernel gfKernel();
bool gfKernelSupported(GfKernel k);
void setGfKernel(GfKernel k);  // tests and benchmarks
const char* gfKernelName(GfKernel k);

// out[i] ^= factor * in[i] for `bytes` / 2 little-endian words; `bytes` is a
// multiple of 64 for the vector kernels' sake (slices are padded to that).
void gfMultiplyAdd(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes, std::uint16_t factor);
inline void gfMultiplyAdd(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes, std::uint16_t factor) {
    gfMultiplyAdd(gfKernel(), out, in, bytes, factor);
}

}  // namespace par2
