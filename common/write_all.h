// Writing a whole buffer to a descriptor, through short writes and signals.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace common {

inline bool writeAll(int fd, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace common
