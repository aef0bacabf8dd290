// Reading a span of a file whole: pread until it is in, a signal or a short
// read notwithstanding.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace common {

// The bytes read: `length`, or fewer at the end of the file or on an error.
inline long long readFully(int fd, void* into, std::size_t length, std::uint64_t offset) {
    auto* at = static_cast<unsigned char*>(into);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = pread(fd, at + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(got);
}

}  // namespace common
