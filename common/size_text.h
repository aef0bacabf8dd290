// Sizes and rates as people read them: "512 B", "2.1 GB", "11.8 MB/s".
#pragma once

#include <cstdio>
#include <string>

namespace common {

inline std::string sizeText(double bytes) {
    char buf[32];
    const char* unit = "B";
    for (const char* u : {"kB", "MB", "GB", "TB"}) {
        if (bytes < 1000) break;
        bytes /= 1000;
        unit = u;
    }
    std::snprintf(buf, sizeof buf, unit[1] ? "%.1f %s" : "%.0f %s", bytes, unit);
    return buf;
}

}  // namespace common
