// Helpers shared by the benchmarks.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// A file of pseudo-random bytes (all byte values, so escapes occur at their
// natural rate), read once so that it sits in the page cache.
inline std::string makeDataFile(const std::string& path, std::size_t bytes) {
    std::vector<unsigned char> block(1 << 20);
    std::uint32_t x = 2463534242u;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (std::size_t done = 0; done < bytes;) {
        for (auto& b : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x >> 24);
        }
        const std::size_t n = std::min(block.size(), bytes - done);
        if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) break;
        done += n;
    }
    close(fd);
    const int in = open(path.c_str(), O_RDONLY);
    while (read(in, block.data(), block.size()) > 0) {
    }
    close(in);
    return path;
}

}  // namespace bench
