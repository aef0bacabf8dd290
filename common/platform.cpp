#include "platform.h"

#include "name_order.h"

#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>
#include <filesystem>
#include <cstring>

namespace common {

namespace {

class SystemClock final : public Clock {
public:
    std::uint32_t tickMs() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
        return static_cast<std::uint32_t>(ms);
    }
    void sleepMs(std::uint32_t ms) override {
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
        }
    }
};

int lower(unsigned char c) { return std::tolower(c); }

bool matchFrom(const char* m, const char* n) {
    // Iterative glob with one backtrack point for the last "*".
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*n) {
        if (*m == '*') {
            star = m++;
            resume = n;
        } else if (*m == '?' || (*m && lower(*m) == lower(*n))) {
            ++m;
            ++n;
        } else if (star) {
            m = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*m == '*') ++m;
    return *m == '\0';
}


}  // namespace

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

bool isMask(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

bool matchMask(const std::string& mask, const std::string& name) {
    // "*.*" (and "*.") match names without a dot too, as on the original platform.
    if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 &&
        name.find('.') == std::string::npos) {
        if (matchFrom(mask.substr(0, mask.size() - 2).c_str(), name.c_str())) return true;
    }
    return matchFrom(mask.c_str(), name.c_str());
}

bool findFiles(const std::string& directory, const std::string& mask, std::vector<DirEntry>& out,
               int& error) {
    const std::string dir = directory.empty() ? "." : directory;
    DIR* d = opendir(dir.c_str());
    if (!d) {
        error = errno;
        return false;
    }
    std::vector<DirEntry> found;
    errno = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (!matchMask(mask, name)) continue;
        DirEntry entry;
        entry.name = name;
        struct stat st {};
        const std::string full = dir == "." ? name : dir + "/" + name;
        if (stat(full.c_str(), &st) == 0) {
            entry.isDirectory = S_ISDIR(st.st_mode);
            entry.size = static_cast<std::uint64_t>(st.st_size);
        } else {
            entry.isDirectory = e->d_type == DT_DIR;
        }
        found.push_back(std::move(entry));
    }
    error = errno;
    closedir(d);
    std::sort(found.begin(), found.end(),
              [](const DirEntry& a, const DirEntry& b) { return sortsBefore(a.name, b.name); });
    out.insert(out.end(), found.begin(), found.end());
    return error == 0;
}

std::optional<DirEntry> statPath(const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) return std::nullopt;
    DirEntry e;
    const auto slash = path.find_last_of('/');
    e.name = slash == std::string::npos ? path : path.substr(slash + 1);
    e.isDirectory = S_ISDIR(st.st_mode);
    e.size = static_cast<std::uint64_t>(st.st_size);
    return e;
}

std::string currentDirectory() {
    std::string buf(4096, '\0');
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) return {};
        buf.resize(buf.size() * 2);
    }
    buf.resize(std::char_traits<char>::length(buf.c_str()));
    return buf;
}

bool changeDirectory(const std::string& path) {
    if (chdir(path.c_str()) == 0) return true;
    if (errno != ENAMETOOLONG) return false;
    // Longer than the system takes in one call: one folder at a time.
    const int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = path[0] != '/' || chdir("/") == 0;
    for (std::size_t at = 0; ok && at < path.size();) {
        const std::size_t slash = path.find('/', at);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > at) ok = chdir(path.substr(at, end - at).c_str()) == 0;
        at = end + 1;
    }
    if (!ok && back >= 0) (void)!fchdir(back);
    if (back >= 0) close(back);
    return ok;
}

bool deleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }

bool canOpenForRead(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
    close(fd);
    return regular;
}

std::string uuidText() {
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return text;
}

std::string randomLetters(int count, bool capital) {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<int> letter(0, 25);
    std::string out;
    for (int i = 0; i < count; ++i) out += static_cast<char>((i == 0 && capital ? 'A' : 'a') + letter(generator));
    return out;
}

std::optional<std::string> environment(const char* name) {
    const char* v = std::getenv(name);
    if (!v) return std::nullopt;
    return std::string(v);
}

namespace {

// Private folders of runs that ended without removing them (killed): their
// names carry the process id, and a process that no longer exists needs
// them no more (a half-made recovery set is about a tenth of a posting).
void removeStalePrivateFolders(const std::string& base) {
    DIR* d = opendir(base.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("tskivo-", 0) != 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + 7, &end, 10);
        if (pid <= 0 || *end != '-' || std::strlen(end) != 7) continue;
        struct stat st {};
        const std::string path = base + "/" + name;
        if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) continue;
        if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(path);
    }
    closedir(d);
    std::error_code ec;
    for (const auto& path : stale) std::filesystem::remove_all(path, ec);
}

}  // namespace

std::string makePrivateFolder() {
    const auto tmp = environment("TMPDIR");
    const std::string base = tmp && !tmp->empty() ? *tmp : std::string("/tmp");
    removeStalePrivateFolders(base);
    std::string pattern = base + "/tskivo-" + std::to_string(getpid()) + "-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

void exitProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(status);
}

long long readDecimal(const std::string& text) {
    errno = 0;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return v;  // strtoll saturates at LLONG_MIN/LLONG_MAX on overflow
}

std::optional<long long> wholeNumber(const std::string& text, long long low, long long high) {
    const std::size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.size() - digits > 18 ||
        text.find_first_not_of("0123456789", digits) != std::string::npos)
        return std::nullopt;
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    if (v < low || v > high) return std::nullopt;
    return v;
}

}  // namespace common
