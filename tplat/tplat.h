// Contact sheets: overview images of a folder's pictures.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#define TPLAT_EXPORT __attribute__((visibility("default")))

// The colour record the runner passes: blue, green, red, reserved.
struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};

extern "C" {
// Renders sheets of the `sources` (names in the current folder) into the
// current folder and appends each written file name to `created`.
// backgroundImage and authorLogo may be null.
TPLAT_EXPORT void createContactSheets(const char* banner, const char* unused, const char* backgroundImage,
                                      const char* authorLogo, const RGBQUAD* background, const RGBQUAD* font,
                                      const std::deque<std::string>* sources, std::deque<std::string>* created);
}
