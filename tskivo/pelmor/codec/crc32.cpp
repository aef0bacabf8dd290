#include "crc32.h"

#include <libdeflate.h>

#include "crc32_fold.h"

namespace pelmor {

std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t length) {
    static const bool fold = crcfold::supported();
    if (fold && length >= 256) return crcfold::update(crc, static_cast<const unsigned char*>(data), length);
    return libdeflate_crc32(crc, data, length);
}

namespace {

// Products modulo the CRC's polynomial, bits in its reflected order (x^0 in
// the top bit).
std::uint32_t multiplyModulo(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = 1u << 31; bit != 0; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return product;
}

}  // namespace

std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength) {
    // The first piece's CRC moves on by the second's bits: multiplied by
    // x^(8 * length), built from x^(2^k) by squaring.
    std::uint32_t shift = 1u << 31;  // x^0
    std::uint32_t power = 1u << 23;  // x^8, one byte
    for (std::uint64_t n = secondLength; n != 0; n >>= 1) {
        if (n & 1) shift = multiplyModulo(shift, power);
        power = multiplyModulo(power, power);
    }
    return multiplyModulo(shift, first) ^ second;
}

}  // namespace pelmor
