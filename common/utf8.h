// Strict UTF-8: what XML and Pango take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace common {

// Length of the strict, XML-legal UTF-8 sequence at s[i] (of n bytes), or 0
// for a byte that starts none: no overlong forms, surrogates, code points
// above U+10FFFF, nor U+FFFE/U+FFFF. ASCII counts 1.
inline int utf8Length(const unsigned char* s, std::size_t i, std::size_t n) {
    const unsigned char c = s[i];
    if (c < 0x80) return 1;
    int len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    else return 0;
    if (i + static_cast<std::size_t>(len) > n) return 0;
    for (int k = 1; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return len;
}

// Text for files that must be UTF-8 (XML, JSON): strict UTF-8 is kept, any
// other byte is taken as Latin-1; control characters XML cannot hold become
// "?".
inline std::string toUtf8(const std::string& in) {
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : static_cast<char>(c);
            ++i;
        } else if (const int len = utf8Length(s, i, n)) {
            out.append(in, i, static_cast<std::size_t>(len));
            i += static_cast<std::size_t>(len);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

}  // namespace common
