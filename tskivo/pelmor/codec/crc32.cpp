#include "crc32.h"

#include <libdeflate.h>

#include "crc32_fold.h"

namespace pelmor {

std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t length) {
    static const bool fold = crcfold::supported();
    if (fold && length >= 256) return crcfold::update(crc, static_cast<const unsigned char*>(data), length);
    return libdeflate_crc32(crc, data, length);
}

}  // namespace pelmor
