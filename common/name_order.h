// The order in which names are listed and posted: folded to upper case byte
// by byte, as the original file system lists them ("_extras" after "beach").
#pragma once

#include <algorithm>
#include <string_view>

namespace common {

inline bool sortsBefore(std::string_view a, std::string_view b) {
    const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(up(a[i])), y = static_cast<unsigned char>(up(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // same letters: keep a stable, predictable order
}

}  // namespace common
