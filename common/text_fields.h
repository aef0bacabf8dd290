// Lines of fields as the engine's own files keep them (the NZB journal, the
// checks a folder hands to the next, the backup servers of a job): fields
// split at one separator, texts in hexadecimal so that no byte of a name
// can break a line or a field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace common {

// Every field, empty ones included: "a\t\tb" is three.
inline std::vector<std::string_view> splitFields(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const auto end = line.find(separator, at);
        fields.push_back(line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
        if (end == std::string_view::npos) return fields;
        at = end + 1;
    }
}

// FNV-1a of a text: a short name derived from a path (a folder's state, a
// store of volumes), the same on every run.
inline std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

inline std::string hexText(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// False for anything but pairs of hexadecimal digits.
inline bool fromHex(std::string_view hex, std::string& out) {
    if (hex.size() % 2) return false;
    out.clear();
    const auto digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

}  // namespace common
