#include "gf16.h"

#include <immintrin.h>

#include <array>
#include <cstring>

#include "common/cpu_dispatch.h"

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

// The reference: word by word through the logarithm tables.
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

// Region layout: each chunk of 2W bytes (W words) holds the W low bytes, then
// the W high bytes. Sixteen words at a time: a shuffle gathers each half's
// low bytes and high bytes, and the halves are put together. The whole chunk
// is read before any of it is written, so `out` may be `in`.
__attribute__((target("ssse3"))) void splitBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes,
                                                std::size_t words) {
    const __m128i gather = _mm_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    __m128i low[kMaxGfChunk / 32], high[kMaxGfChunk / 32];
    for (std::size_t c = 0; c < bytes; c += 2 * words) {
        for (std::size_t w = 0; w < words; w += 16) {
            const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + c + 2 * w)), gather);
            const __m128i b =
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + c + 2 * w + 16)), gather);
            low[w / 16] = _mm_unpacklo_epi64(a, b);
            high[w / 16] = _mm_unpackhi_epi64(a, b);
        }
        for (std::size_t w = 0; w < words; w += 16) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c + w), low[w / 16]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c + words + w), high[w / 16]);
        }
    }
}
__attribute__((target("ssse3"))) void joinBytes(std::uint8_t* out, const std::uint8_t* in, std::size_t bytes,
                                               std::size_t words) {
    for (std::size_t c = 0; c < bytes; c += 2 * words)
        for (std::size_t w = 0; w < words; w += 16) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + c + w));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + c + words + w));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c + 2 * w), _mm_unpacklo_epi8(low, high));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c + 2 * w + 16), _mm_unpackhi_epi8(low, high));
        }
}

// Per chunk: the low and high halves of the words, four nibbles looked up in
// the factor's tables, the products' low and high bytes added to the output.
// Each shuffle looks up as many nibbles as the register has bytes. The pair
// kernels add one input into two outputs: the input is read and split into
// nibbles once for both (the second factor's tables are read from memory,
// there are not registers enough for both).
#define TSKIVO_GF_KERNELS(W, V, TARGET, LOADU, STOREU, AND, XOR, SRLI, SHUFFLE, SET1, TABLE)                      \
    __attribute__((target(TARGET), always_inline)) inline void addProduct##W(                                     \
        std::uint8_t* out, const V* lo, const V* hi, V n0, V n1, V n2, V n3) {                                    \
        const V l = XOR(XOR(SHUFFLE(lo[0], n0), SHUFFLE(lo[1], n1)), XOR(SHUFFLE(lo[2], n2), SHUFFLE(lo[3], n3))); \
        const V h = XOR(XOR(SHUFFLE(hi[0], n0), SHUFFLE(hi[1], n1)), XOR(SHUFFLE(hi[2], n2), SHUFFLE(hi[3], n3))); \
        V* o = reinterpret_cast<V*>(out);                                                                         \
        STOREU(o, XOR(LOADU(o), l));                                                                              \
        STOREU(o + 1, XOR(LOADU(o + 1), h));                                                                      \
    }                                                                                                             \
    template <bool Pair>                                                                                          \
    __attribute__((target(TARGET))) void multiplyAdd##W(std::uint8_t* out, std::uint8_t* out2,                    \
                                                        const std::uint8_t* in, std::size_t bytes,               \
                                                        const GfFactor& f, const GfFactor* f2) {                 \
        V lo[4], hi[4];                                                                                           \
        for (int k = 0; k < 4; ++k) lo[k] = TABLE(f.low[k]), hi[k] = TABLE(f.high[k]);                            \
        const V nib = SET1(0x0F);                                                                                 \
        for (std::size_t i = 0; i < bytes; i += 2 * sizeof(V)) {                                                  \
            const V a = LOADU(reinterpret_cast<const V*>(in + i));                                                \
            const V b = LOADU(reinterpret_cast<const V*>(in + i + sizeof(V)));                                    \
            const V n0 = AND(a, nib), n1 = AND(SRLI(a, 4), nib), n2 = AND(b, nib), n3 = AND(SRLI(b, 4), nib);    \
            addProduct##W(out + i, lo, hi, n0, n1, n2, n3);                                                       \
            if constexpr (Pair) {                                                                                 \
                const V lo2[4] = {TABLE(f2->low[0]), TABLE(f2->low[1]), TABLE(f2->low[2]), TABLE(f2->low[3])};    \
                const V hi2[4] = {TABLE(f2->high[0]), TABLE(f2->high[1]), TABLE(f2->high[2]), TABLE(f2->high[3])}; \
                addProduct##W(out2 + i, lo2, hi2, n0, n1, n2, n3);                                                \
            }                                                                                                     \
        }                                                                                                         \
    }

#define TSKIVO_TABLE128(t) _mm_load_si128(reinterpret_cast<const __m128i*>(t))
#define TSKIVO_TABLE256(t) _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(t)))
TSKIVO_GF_KERNELS(Ssse3, __m128i, "ssse3", _mm_loadu_si128, _mm_storeu_si128, _mm_and_si128, _mm_xor_si128,
                  _mm_srli_epi16, _mm_shuffle_epi8, _mm_set1_epi8, TSKIVO_TABLE128)
TSKIVO_GF_KERNELS(Avx2, __m256i, "avx2", _mm256_loadu_si256, _mm256_storeu_si256, _mm256_and_si256,
                  _mm256_xor_si256, _mm256_srli_epi16, _mm256_shuffle_epi8, _mm256_set1_epi8, TSKIVO_TABLE256)
#undef TSKIVO_TABLE128
#undef TSKIVO_TABLE256
#undef TSKIVO_GF_KERNELS

__attribute__((target("avx512f,avx512bw"))) void multiplyAddAvx512(std::uint8_t* out, const std::uint8_t* in,
                                                                  std::size_t bytes, const GfFactor& f) {
    __m512i lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {  // each table in all four 128-bit lanes
        // (the maskz form: GCC 12 takes the plain one's undefined fill for uninitialised)
        lo[k] = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(f.low[k])));
        hi[k] = _mm512_maskz_broadcast_i32x4(0xFFFF, _mm_load_si128(reinterpret_cast<const __m128i*>(f.high[k])));
    }
    const __m512i nib = _mm512_set1_epi8(0x0F);
    for (std::size_t i = 0; i < bytes; i += 128) {
        const __m512i a = _mm512_loadu_si512(in + i);
        const __m512i b = _mm512_loadu_si512(in + i + 64);
        const __m512i n0 = _mm512_and_si512(a, nib), n1 = _mm512_and_si512(_mm512_srli_epi16(a, 4), nib);
        const __m512i n2 = _mm512_and_si512(b, nib), n3 = _mm512_and_si512(_mm512_srli_epi16(b, 4), nib);
        // Three-way exclusive or in one instruction (0x96), the output's included.
        const __m512i l = _mm512_ternarylogic_epi64(
            _mm512_xor_si512(_mm512_shuffle_epi8(lo[0], n0), _mm512_shuffle_epi8(lo[1], n1)),
            _mm512_xor_si512(_mm512_shuffle_epi8(lo[2], n2), _mm512_shuffle_epi8(lo[3], n3)),
            _mm512_loadu_si512(out + i), 0x96);
        const __m512i h = _mm512_ternarylogic_epi64(
            _mm512_xor_si512(_mm512_shuffle_epi8(hi[0], n0), _mm512_shuffle_epi8(hi[1], n1)),
            _mm512_xor_si512(_mm512_shuffle_epi8(hi[2], n2), _mm512_shuffle_epi8(hi[3], n3)),
            _mm512_loadu_si512(out + i + 64), 0x96);
        _mm512_storeu_si512(out + i, l);
        _mm512_storeu_si512(out + i + 64, h);
    }
}

// out ^= the sum of f[s] * in_s (and out2 ^= the sum of f2[s] * in_s) over
// n inputs `stride` bytes apart, by GFNI affine transforms: of each chunk's
// low bytes L and high bytes H, a product's low bytes are A(L) + B(H) and
// its high bytes C(L) + D(H). The sums are kept in registers while the
// inputs are added in, each output chunk loaded and stored once.
#define TSKIVO_GFNI_MANY(W, V, TARGET, LOADU, STOREU, SET1, AFFINE, XOR3)                                        \
    template <bool Pair>                                                                                          \
    __attribute__((target(TARGET))) void multiplyAddMany##W(std::uint8_t* out, std::uint8_t* out2,                \
                                                            const std::uint8_t* in, std::size_t stride,           \
                                                            std::uint32_t n, std::size_t bytes, const GfFactor* f, \
                                                            const GfFactor* f2) {                                 \
        for (std::size_t i = 0; i < bytes; i += 2 * sizeof(V)) {                                                  \
            V* o = reinterpret_cast<V*>(out + i);                                                                 \
            V* o2 = reinterpret_cast<V*>((Pair ? out2 : out) + i);                                                \
            V lo = LOADU(o), hi = LOADU(o + 1), lo2{}, hi2{};                                                     \
            if constexpr (Pair) lo2 = LOADU(o2), hi2 = LOADU(o2 + 1);                                             \
            const std::uint8_t* p = in + i;                                                                       \
            for (std::uint32_t s = 0; s < n; ++s, p += stride) {                                                  \
                const V l = LOADU(reinterpret_cast<const V*>(p));                                                 \
                const V h = LOADU(reinterpret_cast<const V*>(p + sizeof(V)));                                     \
                const auto* m = reinterpret_cast<const long long*>(f[s].affine);                                  \
                lo = XOR3(lo, AFFINE(l, SET1(m[0]), 0), AFFINE(h, SET1(m[1]), 0));                                \
                hi = XOR3(hi, AFFINE(l, SET1(m[2]), 0), AFFINE(h, SET1(m[3]), 0));                                \
                if constexpr (Pair) {                                                                             \
                    const auto* m2 = reinterpret_cast<const long long*>(f2[s].affine);                            \
                    lo2 = XOR3(lo2, AFFINE(l, SET1(m2[0]), 0), AFFINE(h, SET1(m2[1]), 0));                        \
                    hi2 = XOR3(hi2, AFFINE(l, SET1(m2[2]), 0), AFFINE(h, SET1(m2[3]), 0));                        \
                }                                                                                                 \
            }                                                                                                     \
            STOREU(o, lo);                                                                                        \
            STOREU(o + 1, hi);                                                                                    \
            if constexpr (Pair) STOREU(o2, lo2), STOREU(o2 + 1, hi2);                                             \
        }                                                                                                         \
    }
#define TSKIVO_XOR3_256(x, y, z) _mm256_xor_si256(_mm256_xor_si256(x, y), z)
#define TSKIVO_XOR3_512(x, y, z) _mm512_ternarylogic_epi64(x, y, z, 0x96)
TSKIVO_GFNI_MANY(Avx2Gfni, __m256i, "avx2,gfni", _mm256_loadu_si256, _mm256_storeu_si256, _mm256_set1_epi64x,
                 _mm256_gf2p8affine_epi64_epi8, TSKIVO_XOR3_256)
TSKIVO_GFNI_MANY(Avx512Gfni, __m512i, "avx512f,avx512bw,gfni", _mm512_loadu_si512, _mm512_storeu_si512,
                 _mm512_set1_epi64, _mm512_gf2p8affine_epi64_epi8, TSKIVO_XOR3_512)
#undef TSKIVO_XOR3_256
#undef TSKIVO_XOR3_512
#undef TSKIVO_GFNI_MANY

bool always() { return true; }
bool ssse3() { return __builtin_cpu_supports("ssse3"); }
bool avx2() { return __builtin_cpu_supports("avx2"); }
bool avx512() { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"); }
bool avx2Gfni() { return avx2() && __builtin_cpu_supports("gfni"); }
bool avx512Gfni() { return avx512() && __builtin_cpu_supports("gfni"); }

// From the slowest to the fastest: GFNI at a width beats shuffles at the
// same width; AVX-512 shuffles and AVX2 GFNI are close, and no CPU has
// AVX-512 and GFNI without AVX-512 GFNI.
constexpr common::KernelChoice<GfKernel> kKernels[] = {
    {GfKernel::Scalar, "scalar", always},       {GfKernel::Ssse3, "ssse3", ssse3},
    {GfKernel::Avx2, "avx2", avx2},             {GfKernel::Avx2Gfni, "avx2-gfni", avx2Gfni},
    {GfKernel::Avx512, "avx512", avx512},       {GfKernel::Avx512Gfni, "avx512-gfni", avx512Gfni}};

GfKernel& active() {
    static GfKernel k = common::chooseKernel("TSKIVO_GF16_KERNEL", kKernels);  // once, at first use
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

bool gfKernelSupported(GfKernel k) { return common::kernelSupported(k, kKernels); }
GfKernel gfKernel() { return active(); }
void setGfKernel(GfKernel k) {
    if (gfKernelSupported(k)) active() = k;
}
const char* gfKernelName(GfKernel k) { return common::kernelName(k, kKernels); }

std::size_t gfChunk(GfKernel k) {
    switch (k) {
        case GfKernel::Ssse3: return 32;
        case GfKernel::Avx2:
        case GfKernel::Avx2Gfni: return 64;
        case GfKernel::Avx512:
        case GfKernel::Avx512Gfni: return 128;
        default: return 2;
    }
}

void gfToRegion(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes) {
    if (k == GfKernel::Scalar) std::memmove(out, in, bytes);
    else splitBytes(out, in, bytes, gfChunk(k) / 2);
}

void gfFromRegion(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes) {
    if (k == GfKernel::Scalar) std::memmove(out, in, bytes);
    else joinBytes(out, in, bytes, gfChunk(k) / 2);
}

GfFactor gfFactor(std::uint16_t factor) {
    GfFactor f;
    f.factor = factor;
    // The product is linear in the word: each table entry is the sum of the
    // products of the nibble's bits at their place.
    std::uint32_t bit = factor;  // factor * x^k, k counting up by doubling
    for (int place = 0; place < 4; ++place) {
        std::uint16_t t[16];
        t[0] = 0;
        for (int b = 0; b < 4; ++b) {
            for (int v = 0; v < (1 << b); ++v) t[(1 << b) + v] = static_cast<std::uint16_t>(t[v] ^ bit);
            bit <<= 1;
            if (bit & 0x10000) bit ^= kGenerator;
        }
        for (int v = 0; v < 16; ++v) {
            f.low[place][v] = static_cast<std::uint8_t>(t[v]);
            f.high[place][v] = static_cast<std::uint8_t>(t[v] >> 8);
        }
    }
    // Column j of the map is the product with the word's bit j. A matrix
    // in GFNI's form holds in byte 7 - i the input bits that reach output
    // bit i: the bytes of eight columns, bit-transposed, in reverse order.
    std::uint16_t column[16];
    std::uint32_t c = factor;
    for (int j = 0; j < 16; ++j) {
        column[j] = static_cast<std::uint16_t>(c);
        c <<= 1;
        if (c & 0x10000) c ^= kGenerator;
    }
    for (int m = 0; m < 4; ++m) {
        const int fromHigh = m & 1, toHigh = m >> 1;
        std::uint64_t x = 0;  // byte j: column j's output bits
        for (int j = 0; j < 8; ++j) x |= static_cast<std::uint64_t>((column[8 * fromHigh + j] >> (8 * toHigh)) & 0xFF) << (8 * j);
        // 8x8 bit transpose (bit 8r + c to bit 8c + r).
        std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
        x ^= t ^ (t << 7);
        t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
        x ^= t ^ (t << 14);
        t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
        x ^= t ^ (t << 28);
        f.affine[m] = __builtin_bswap64(x);
    }
    return f;
}

void gfMultiplyAdd(GfKernel k, std::uint8_t* out, const std::uint8_t* in, std::size_t bytes, const GfFactor& f) {
    if (f.factor == 0) return;
    switch (k) {
        case GfKernel::Ssse3: return multiplyAddSsse3<false>(out, nullptr, in, bytes, f, nullptr);
        case GfKernel::Avx2: return multiplyAddAvx2<false>(out, nullptr, in, bytes, f, nullptr);
        case GfKernel::Avx512: return multiplyAddAvx512(out, in, bytes, f);
        case GfKernel::Avx2Gfni: return multiplyAddManyAvx2Gfni<false>(out, nullptr, in, 0, 1, bytes, &f, nullptr);
        case GfKernel::Avx512Gfni: return multiplyAddManyAvx512Gfni<false>(out, nullptr, in, 0, 1, bytes, &f, nullptr);
        default: return multiplyAddScalar(out, in, bytes, f.factor);
    }
}

void gfMultiplyAdd2(GfKernel k, std::uint8_t* out, std::uint8_t* out2, const std::uint8_t* in, std::size_t bytes,
                    const GfFactor& f, const GfFactor& f2) {
    switch (k) {
        case GfKernel::Ssse3: return multiplyAddSsse3<true>(out, out2, in, bytes, f, &f2);
        case GfKernel::Avx2: return multiplyAddAvx2<true>(out, out2, in, bytes, f, &f2);
        case GfKernel::Avx2Gfni: return multiplyAddManyAvx2Gfni<true>(out, out2, in, 0, 1, bytes, &f, &f2);
        case GfKernel::Avx512Gfni: return multiplyAddManyAvx512Gfni<true>(out, out2, in, 0, 1, bytes, &f, &f2);
        default:
            gfMultiplyAdd(k, out, in, bytes, f);
            gfMultiplyAdd(k, out2, in, bytes, f2);
    }
}

void gfMultiplyAddMany(GfKernel k, std::uint8_t* out, std::uint8_t* out2, const std::uint8_t* in, std::size_t stride,
                       std::uint32_t n, std::size_t bytes, const GfFactor* f, const GfFactor* f2) {
    switch (k) {
        case GfKernel::Avx2Gfni:
            return out2 ? multiplyAddManyAvx2Gfni<true>(out, out2, in, stride, n, bytes, f, f2)
                        : multiplyAddManyAvx2Gfni<false>(out, nullptr, in, stride, n, bytes, f, nullptr);
        case GfKernel::Avx512Gfni:
            return out2 ? multiplyAddManyAvx512Gfni<true>(out, out2, in, stride, n, bytes, f, f2)
                        : multiplyAddManyAvx512Gfni<false>(out, nullptr, in, stride, n, bytes, f, nullptr);
        default:
            for (std::uint32_t s = 0; s < n; ++s, in += stride)
                if (out2) gfMultiplyAdd2(k, out, out2, in, bytes, f[s], f2[s]);
                else gfMultiplyAdd(k, out, in, bytes, f[s]);
    }
}

}  // namespace par2
