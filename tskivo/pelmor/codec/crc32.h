// Standard CRC-32 (IEEE 802.3): folded by carry-less multiplication where
// the CPU has it, libdeflate otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelmor {

// Continues from `crc` (0 to start).
std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t length);
// The CRC of two pieces one after the other, from the CRC of each and the
// second's length: for data whose pieces are written apart.
std::uint32_t crc32Combine(std::uint32_t first, std::uint32_t second, std::uint64_t secondLength);

}  // namespace pelmor
