// Standard CRC-32 (IEEE 802.3): folded by carry-less multiplication where
// the CPU has it, libdeflate otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelmor {

// Continues from `crc` (0 to start).
std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t length);

}  // namespace pelmor
