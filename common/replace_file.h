// Replacing a file's contents all at once: a temporary file beside it, then
// rename. A full disk or a crash leaves the old file, never a cut one.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

namespace common {

// False (errno set) when anything fails; the target is then untouched.
inline bool replaceFile(const std::string& path, std::string_view data, mode_t mode) {
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) return false;
    bool ok = fchmod(fd, mode) == 0;
    for (std::size_t done = 0; ok && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    const int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    const int failure = ok ? errno : saved;
    unlink(tmp.c_str());
    errno = failure == 0 ? EIO : failure;
    return false;
}

}  // namespace common
