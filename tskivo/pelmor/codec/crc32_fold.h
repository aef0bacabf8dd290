// CRC-32 (IEEE 802.3, reflected) by carry-less multiplication, 64 bytes at a
// time in one 512-bit register: the four 128-bit lanes are each carried 512
// bits forward and the next 64 bytes added. What is left at the end is a
// 64-byte message with the same remainder as everything folded so far, so
// its CRC (with a register of zero) is the CRC of the whole; libdeflate
// takes that and any bytes after. Without AVX-512, the same with two 128-bit
// registers, 32 bytes at a time (PCLMULQDQ, which every AVX2 CPU has).
#pragma once

#include <immintrin.h>
#include <libdeflate.h>

#include <cstddef>
#include <cstdint>

#define TSKIVO_TARGET_CRC_FOLD "avx512f,avx512bw,avx512vl,vpclmulqdq,pclmul"

namespace pelmor::crcfold {

// x^n mod P, P = x^32 + 0x04C11DB7, in plain bit order (bit d is x^d).
constexpr std::uint64_t xPowMod(int n) {
    std::uint64_t r = 1;
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (1ull << 32)) r ^= 0x104C11DB7ull;
    }
    return r;
}

// A polynomial of degree below 32 as a reflected 64-bit operand (x^d at
// bit 63 - d), the order the bytes of the data are in.
constexpr std::uint64_t reflect64(std::uint64_t poly) {
    std::uint64_t r = 0;
    for (int d = 0; d < 32; ++d)
        if (poly & (1ull << d)) r |= 1ull << (63 - d);
    return r;
}

// A reflected product comes out one degree short, hence the - 1: the low
// 8 bytes of a lane stand 64 degrees above the high 8.
constexpr std::uint64_t kFoldLow = reflect64(xPowMod(512 + 64 - 1));
constexpr std::uint64_t kFoldHigh = reflect64(xPowMod(512 - 1));
constexpr std::uint64_t kFold256Low = reflect64(xPowMod(256 + 64 - 1));
constexpr std::uint64_t kFold256High = reflect64(xPowMod(256 - 1));

inline bool supported() {
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("vpclmulqdq");
}

__attribute__((target(TSKIVO_TARGET_CRC_FOLD))) inline __m512i constants() {
    return _mm512_set_epi64(static_cast<long long>(kFoldHigh), static_cast<long long>(kFoldLow),
                            static_cast<long long>(kFoldHigh), static_cast<long long>(kFoldLow),
                            static_cast<long long>(kFoldHigh), static_cast<long long>(kFoldLow),
                            static_cast<long long>(kFoldHigh), static_cast<long long>(kFoldLow));
}

// The first 64 bytes, with the CRC so far (0 to start) in the register.
__attribute__((target(TSKIVO_TARGET_CRC_FOLD))) inline __m512i start(std::uint32_t crc, __m512i first) {
    return _mm512_xor_si512(first, _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
}

__attribute__((target(TSKIVO_TARGET_CRC_FOLD))) inline __m512i fold(__m512i acc, __m512i next, __m512i k) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(acc, k, 0x00), _mm512_clmulepi64_epi128(acc, k, 0x11),
                                     next, 0x96);
}

// The CRC of a folded block (taken with a register of zero: it stands for
// everything before it), then of `n` bytes more.
inline std::uint32_t ofFolded(const unsigned char* block, std::size_t size, const void* rest, std::size_t n) {
    const auto c = static_cast<std::uint32_t>(libdeflate_crc32(0xFFFFFFFFu, block, size));  // register 0
    return static_cast<std::uint32_t>(libdeflate_crc32(c, rest, n));
}

// The CRC of everything folded into `acc`, then of `n` bytes more.
__attribute__((target(TSKIVO_TARGET_CRC_FOLD))) inline std::uint32_t finish(__m512i acc, const void* rest,
                                                                              std::size_t n) {
    alignas(64) unsigned char block[64];
    _mm512_store_si512(block, acc);
    return ofFolded(block, sizeof block, rest, n);
}

// The whole of a buffer of at least 64 bytes.
__attribute__((target(TSKIVO_TARGET_CRC_FOLD))) inline std::uint32_t update(std::uint32_t crc,
                                                                              const unsigned char* p, std::size_t n) {
    const __m512i k = constants();
    __m512i acc = start(crc, _mm512_loadu_si512(p));
    std::size_t at = 64;
    for (; n - at >= 256; at += 256) {
        acc = fold(acc, _mm512_loadu_si512(p + at), k);
        acc = fold(acc, _mm512_loadu_si512(p + at + 64), k);
        acc = fold(acc, _mm512_loadu_si512(p + at + 128), k);
        acc = fold(acc, _mm512_loadu_si512(p + at + 192), k);
    }
    for (; n - at >= 64; at += 64) acc = fold(acc, _mm512_loadu_si512(p + at), k);
    return finish(acc, p + at, n - at);
}

// The 32-byte form: two 128-bit lanes, each carried 256 bits forward.
struct Fold256 {
    __m128i a, b;
};

__attribute__((target("sse4.1,pclmul"))) inline __m128i constants256() {
    return _mm_set_epi64x(static_cast<long long>(kFold256High), static_cast<long long>(kFold256Low));
}

__attribute__((target("sse4.1,pclmul"))) inline Fold256 start256(std::uint32_t crc, __m128i a, __m128i b) {
    return {_mm_xor_si128(a, _mm_cvtsi32_si128(static_cast<int>(~crc))), b};
}

__attribute__((target("sse4.1,pclmul"))) inline __m128i fold128(__m128i acc, __m128i next, __m128i k) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), next);
}

__attribute__((target("sse4.1,pclmul"))) inline std::uint32_t finish256(const Fold256& acc, const void* rest,
                                                                          std::size_t n) {
    alignas(16) unsigned char block[32];
    _mm_store_si128(reinterpret_cast<__m128i*>(block), acc.a);
    _mm_store_si128(reinterpret_cast<__m128i*>(block + 16), acc.b);
    return ofFolded(block, sizeof block, rest, n);
}

}  // namespace pelmor::crcfold
