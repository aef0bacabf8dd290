#include "gf16.h"

#include <immintrin.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

namespace par2 {

namespace {

constexpr std::uint32_t kGenerator = 0x1100B;
constexpr std::uint32_t kLimit = 65535;

struct Tables {
    std::array<std::uint16_t, 65536> log{};
    std::array<std::uint16_t, 65536 * 2> exp{};  // doubled: no modulo after adding two logs
    Tables() {
        std::uint32_t x = 1;
        for (std::uint32_t i = 0; i < kLimit; ++i) {
            exp[i] = exp[i + kLimit] = static_cast<std::uint16_t>(x);
            log[x] = static_cast<std::uint16_t>(i);
            x <<= 1;
            if (x & 0x10000) x ^= kGenerator;
        }
    }
};
const Tables& tables() {
    static const Tables t;
    return t;
}

void multiplyAddScalar(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes, std::uint16_t factor) {
    const Tables& t = tables();
    if (factor == 0) return;
    const std::uint32_t lf = t.log[factor];
    for (std::size_t i = 0; i + 1 < bytes; i += 2) {
        const std::uint16_t w = static_cast<std::uint16_t>(in[i] | (in[i + 1] << 8));
        if (w == 0) continue;
        const std::uint16_t p = t.exp[t.log[w] + lf];
        out[i] ^= static_cast<std::uint8_t>(p);
        out[i + 1] ^= static_cast<std::uint8_t>(p >> 8);
    }
}

// The product of the factor with each nibble value at each of the four
// nibble places of a word, split into its low and high bytes: sixteen-entry
// tables a byte shuffle can look up.
struct NibbleTables {
    alignas(32) std::uint8_t low[4][16];
    alignas(32) std::uint8_t high[4][16];
    explicit NibbleTables(std::uint16_t factor) {
        for (int place = 0; place < 4; ++place)
            for (int v = 0; v < 16; ++v) {
                const std::uint16_t p = gfMultiply(factor, static_cast<std::uint16_t>(v << (4 * place)));
                low[place][v] = static_cast<std::uint8_t>(p);
                high[place][v] = static_cast<std::uint8_t>(p >> 8);
            }
    }
};

__attribute__((target("ssse3"))) void multiplyAddSsse3(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes,
                                                      std::uint16_t factor) {
    const NibbleTables nt(factor);
    __m128i lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        lo[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(nt.low[k]));
        hi[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(nt.high[k]));
    }
    const __m128i nib = _mm_set1_epi16(0x000F);
    for (std::size_t i = 0; i < bytes; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        // Each nibble place in the low byte of its word, the high byte 0.
        const __m128i n0 = _mm_and_si128(v, nib), n1 = _mm_and_si128(_mm_srli_epi16(v, 4), nib);
        const __m128i n2 = _mm_and_si128(_mm_srli_epi16(v, 8), nib), n3 = _mm_srli_epi16(v, 12);
        const __m128i l = _mm_xor_si128(_mm_xor_si128(_mm_shuffle_epi8(lo[0], n0), _mm_shuffle_epi8(lo[1], n1)),
                                        _mm_xor_si128(_mm_shuffle_epi8(lo[2], n2), _mm_shuffle_epi8(lo[3], n3)));
        const __m128i h = _mm_xor_si128(_mm_xor_si128(_mm_shuffle_epi8(hi[0], n0), _mm_shuffle_epi8(hi[1], n1)),
                                        _mm_xor_si128(_mm_shuffle_epi8(hi[2], n2), _mm_shuffle_epi8(hi[3], n3)));
        // Index 0 in the high bytes gave the table's entry 0, the product 0.
        const __m128i product = _mm_or_si128(_mm_and_si128(l, _mm_set1_epi16(0x00FF)), _mm_slli_epi16(h, 8));
        __m128i* o = reinterpret_cast<__m128i*>(out + i);
        _mm_storeu_si128(o, _mm_xor_si128(_mm_loadu_si128(o), product));
    }
}

__attribute__((target("avx2"))) void multiplyAddAvx2(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes,
                                                    std::uint16_t factor) {
    const NibbleTables nt(factor);
    __m256i lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        lo[k] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nt.low[k])));
        hi[k] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nt.high[k])));
    }
    const __m256i nib = _mm256_set1_epi16(0x000F);
    const __m256i lowByte = _mm256_set1_epi16(0x00FF);
    for (std::size_t i = 0; i < bytes; i += 32) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i n0 = _mm256_and_si256(v, nib), n1 = _mm256_and_si256(_mm256_srli_epi16(v, 4), nib);
        const __m256i n2 = _mm256_and_si256(_mm256_srli_epi16(v, 8), nib), n3 = _mm256_srli_epi16(v, 12);
        const __m256i l =
            _mm256_xor_si256(_mm256_xor_si256(_mm256_shuffle_epi8(lo[0], n0), _mm256_shuffle_epi8(lo[1], n1)),
                             _mm256_xor_si256(_mm256_shuffle_epi8(lo[2], n2), _mm256_shuffle_epi8(lo[3], n3)));
        const __m256i h =
            _mm256_xor_si256(_mm256_xor_si256(_mm256_shuffle_epi8(hi[0], n0), _mm256_shuffle_epi8(hi[1], n1)),
                             _mm256_xor_si256(_mm256_shuffle_epi8(hi[2], n2), _mm256_shuffle_epi8(hi[3], n3)));
        const __m256i product = _mm256_or_si256(_mm256_and_si256(l, lowByte), _mm256_slli_epi16(h, 8));
        __m256i* o = reinterpret_cast<__m256i*>(out + i);
        _mm256_storeu_si256(o, _mm256_xor_si256(_mm256_loadu_si256(o), product));
    }
}

__attribute__((target("avx512bw"))) void multiplyAddAvx512(std::uint8_t* out, const std::uint8_t* in,
                                                          std::size_t bytes, std::uint16_t factor) {
    const NibbleTables nt(factor);
    __m512i lo[4], hi[4];
    alignas(64) std::uint8_t wide[64];
    for (int k = 0; k < 4; ++k) {  // each table in all four 128-bit lanes
        for (int q = 0; q < 4; ++q) std::memcpy(wide + 16 * q, nt.low[k], 16);
        lo[k] = _mm512_load_si512(wide);
        for (int q = 0; q < 4; ++q) std::memcpy(wide + 16 * q, nt.high[k], 16);
        hi[k] = _mm512_load_si512(wide);
    }
    const __m512i nib = _mm512_set1_epi16(0x000F);
    const __m512i lowByte = _mm512_set1_epi16(0x00FF);
    for (std::size_t i = 0; i < bytes; i += 64) {
        const __m512i v = _mm512_loadu_si512(in + i);
        const __m512i n0 = _mm512_and_si512(v, nib), n1 = _mm512_and_si512(_mm512_srli_epi16(v, 4), nib);
        const __m512i n2 = _mm512_and_si512(_mm512_srli_epi16(v, 8), nib), n3 = _mm512_srli_epi16(v, 12);
        // Three-way exclusive or in one instruction (0x96).
        const __m512i l = _mm512_ternarylogic_epi64(
            _mm512_xor_si512(_mm512_shuffle_epi8(lo[0], n0), _mm512_shuffle_epi8(lo[1], n1)),
            _mm512_shuffle_epi8(lo[2], n2), _mm512_shuffle_epi8(lo[3], n3), 0x96);
        const __m512i h = _mm512_ternarylogic_epi64(
            _mm512_xor_si512(_mm512_shuffle_epi8(hi[0], n0), _mm512_shuffle_epi8(hi[1], n1)),
            _mm512_shuffle_epi8(hi[2], n2), _mm512_shuffle_epi8(hi[3], n3), 0x96);
        const __m512i product = _mm512_or_si512(_mm512_and_si512(l, lowByte), _mm512_slli_epi16(h, 8));
        _mm512_storeu_si512(out + i, _mm512_xor_si512(_mm512_loadu_si512(out + i), product));
    }
}

GfKernel choose() {
    if (const char* forced = std::getenv("TSKIVO_GF16_KERNEL")) {
        const std::string f = forced;
        if (f == "scalar") return GfKernel::Scalar;
        if (f == "ssse3" && __builtin_cpu_supports("ssse3")) return GfKernel::Ssse3;
        if (f == "avx2" && __builtin_cpu_supports("avx2")) return GfKernel::Avx2;
        if (f == "avx512" && __builtin_cpu_supports("avx512bw")) return GfKernel::Avx512;
    }
    if (__builtin_cpu_supports("avx512bw")) return GfKernel::Avx512;
    if (__builtin_cpu_supports("avx2")) return GfKernel::Avx2;
    if (__builtin_cpu_supports("ssse3")) return GfKernel::Ssse3;
    return GfKernel::Scalar;
}

GfKernel& active() {
    static GfKernel k = choose();
    return k;
}

}  // namespace

std::uint16_t gfMultiply(std::uint16_t a, std::uint16_t b) {
    if (a == 0 || b == 0) return 0;
    const Tables& t = tables();
    return t.exp[t.log[a] + t.log[b]];
}

std::uint16_t gfPow2(std::uint32_t exponent) { return tables().exp[exponent % kLimit]; }

std::uint16_t gfPowLog(std::uint32_t logBase, std::uint32_t exponent) {
    return tables().exp[static_cast<std::uint32_t>((static_cast<std::uint64_t>(logBase) * exponent) % kLimit)];
}

bool gfKernelSupported(GfKernel k) {
    switch (k) {
        case GfKernel::Ssse3: return __builtin_cpu_supports("ssse3");
        case GfKernel::Avx2: return __builtin_cpu_supports("avx2");
        case GfKernel::Avx512: return __builtin_cpu_supports("avx512bw");
        default: return true;
    }
}
GfKernel gfKernel() { return active(); }
void setGfKernel(GfKernel k) {
    if (gfKernelSupported(k)) active() = k;
}
const char* gfKernelName(GfKernel k) {
    return k == GfKernel::Avx512 ? "avx512" : k == GfKernel::Avx2 ? "avx2" : k == GfKernel::Ssse3 ? "ssse3" : "scalar";
}

void gfMultiplyAdd(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes, std::uint16_t factor) {
    if (factor == 0) return;
    // The vector kernels take whole blocks; the rest goes word by word.
    const std::size_t whole = k == GfKernel::Scalar ? 0
                              : k == GfKernel::Avx512 ? bytes & ~static_cast<std::size_t>(63)
                                                      : bytes & ~static_cast<std::size_t>(31);
    if (k == GfKernel::Avx512) multiplyAddAvx512(out, in, whole, factor);
    if (k == GfKernel::Avx2) multiplyAddAvx2(out, in, whole, factor);
    if (k == GfKernel::Ssse3) multiplyAddSsse3(out, in, whole, factor);
    multiplyAddScalar(out + whole, in + whole, bytes - whole, factor);
}

}  // namespace par2
