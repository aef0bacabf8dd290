#include "archive.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "common/platform.h"
#include "common/replace_file.h"
#include "common/size_text.h"
#include "common/text_fields.h"

extern char** environ;

namespace tskivo {

namespace fs = std::filesystem;

namespace {

bool readSmallFile(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    if (n < 0) return false;
    text.assign(buffer, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

std::optional<std::string> findSevenZip() {
    if (const auto forced = common::environment("TSKIVO_7Z")) {
        if (forced->empty()) return std::nullopt;
        return *forced;
    }
    const std::string path = common::environment("PATH").value_or("/usr/bin:/bin");
    for (const char* name : {"7zz", "7z", "7za"}) {
        std::size_t from = 0;
        while (from <= path.size()) {
            const std::size_t to = std::min(path.find(':', from), path.size());
            const std::string dir = path.substr(from, to - from);
            if (!dir.empty()) {
                const std::string candidate = dir + "/" + name;
                if (access(candidate.c_str(), X_OK) == 0) return candidate;
            }
            from = to + 1;
        }
    }
    return std::nullopt;
}

std::string randomPassword() {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    while (out.size() < 24) {
        unsigned char buffer[64];
        if (getrandom(buffer, sizeof buffer, 0) != static_cast<ssize_t>(sizeof buffer)) continue;
        for (unsigned char b : buffer)
            if (b < 248 && out.size() < 24) out += kAlphabet[b % 62];  // 248 = 4 * 62: no bias
    }
    return out;
}

std::string volumeStore(const std::optional<std::string>& nzbFile, const std::string& privateFolder) {
    if (!nzbFile) return privateFolder + "/volumes";
    const std::uint64_t hash = common::fnv1a(*nzbFile);
    const auto tmp = common::environment("TMPDIR");
    char name[64];
    std::snprintf(name, sizeof name, "/tskivo-volumes-%u-%016llx", static_cast<unsigned>(geteuid()),
                  static_cast<unsigned long long>(hash));
    return (tmp && !tmp->empty() ? *tmp : std::string("/tmp")) + name;
}

std::vector<std::string> archiveVolumes(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_regular_file(ec) && e.path().filename().string().find(".7z.") != std::string::npos)
            out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string checkFreeSpace(const std::string& folder, std::uint64_t bytes) {
    struct statvfs st {};
    if (statvfs(folder.c_str(), &st) != 0) return {};  // cannot tell: 7z will say
    const std::uint64_t free = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
    const std::uint64_t needed = bytes + bytes / 100 + (16u << 20);  // the archive's own overhead
    if (free >= needed) return {};
    return "not enough free space in " + folder + " for the archive (it needs " + common::sizeText(needed) +
           ", " + common::sizeText(free) + " is free); set TMPDIR to a folder with room";
}

std::string packArchive(const PackRequest& r) {
    std::error_code ec;
    fs::remove_all(r.folder, ec);
    fs::create_directories(r.folder, ec);
    fs::permissions(r.folder, fs::perms::owner_all, ec);
    if (ec) return "cannot make " + r.folder + ": " + ec.message();
    // The password goes in on standard input, never on a command line
    // that every user of the machine can read.
    std::vector<std::string> args = {r.sevenZip, "a", "-t7z", "-mhe=on", "-mx=0", "-p", "-bsp1", "-bso0", "-bse1", "-y",
                                     "-v" + std::to_string(std::max<std::uint64_t>(r.volumeBytes >> 10, 1)) + "k",
                                     r.folder + "/" + r.name + ".7z", "--"};
    args.insert(args.end(), r.files.begin(), r.files.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return "cannot start 7z";
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return "cannot start 7z";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, r.sevenZip.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (spawned != 0) {
        close(in[1]);
        close(out[0]);
        fs::remove_all(r.folder, ec);
        return "cannot start " + r.sevenZip;
    }
    const std::string typed = r.password + "\n" + r.password + "\n";
    const auto previous = signal(SIGPIPE, SIG_IGN);  // 7z may end before it reads
    (void)!write(in[1], typed.data(), typed.size());
    close(in[1]);
    signal(SIGPIPE, previous);
    // 7z's report: percentages among backspaces, then its messages.
    std::string said;
    char buffer[4096];
    int shown = -1;
    for (;;) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        said.append(buffer, static_cast<std::size_t>(n));
        const std::size_t percent = said.rfind('%');
        if (percent != std::string::npos && r.progress) {
            std::size_t digits = percent;
            while (digits > 0 && std::isdigit(static_cast<unsigned char>(said[digits - 1]))) --digits;
            if (digits < percent) {
                const int p = std::stoi(said.substr(digits, percent - digits));
                if (p != shown && p <= 100) r.progress(shown = p);
            }
        }
        if (said.size() > (1u << 20)) said.erase(0, said.size() - 4096);
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !archiveVolumes(r.folder).empty()) return {};
    fs::remove_all(r.folder, ec);
    // Its last words, without the progress.
    std::string why;
    for (std::size_t at = 0; at < said.size();) {
        const std::size_t end = std::min(said.find('\n', at), said.size());
        std::string line = said.substr(at, end - at);
        line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == '\b' || c == '\r'; }), line.end());
        if (line.find("ERROR") != std::string::npos || line.find("WARNING") != std::string::npos ||
            (!why.empty() && !line.empty() && why.find("ERROR") != std::string::npos && why.size() < 300))
            why += (why.empty() ? "" : " ") + line.substr(line.find_first_not_of(' ') == std::string::npos ? 0 : line.find_first_not_of(' '));
        at = end + 1;
    }
    return "7z could not pack the folder (exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 255) +
           ")" + (why.empty() ? std::string() : ": " + why);
}

std::string RunArchives::prepare(const RunOptions& options, const std::string& privateFolder) {
    const auto sevenZip = findSevenZip();
    if (!sevenZip)
        return "/archive needs the 7z program: install Debian's 7zip or p7zip-full package (or name the program in "
               "TSKIVO_7Z)";
    sevenZip_ = *sevenZip;
    store_ = volumeStore(options.nzbFile, privateFolder);
    keep_ = options.nzbFile.has_value();
    volumeBytes_ = options.volumeMiB << 20;
    obfuscate_ = options.obfuscate;
    // A store of a name anyone can guess: ours alone, or none (checked
    // after it is made, so that nothing can be put in its place between).
    const auto ours = [&] {
        struct stat st {};
        return lstat(store_.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
    };
    struct stat st {};
    if (lstat(store_.c_str(), &st) == 0) {
        if (!ours()) return store_ + " is not a private folder of this user; remove it";
        if (!options.resume) {
            std::error_code ec;
            fs::remove_all(store_, ec);  // a posting begun anew packs anew
        }
    }
    if (mkdir(store_.c_str(), 0700) != 0 && errno != EEXIST) return "cannot make " + store_;
    if (!ours()) return store_ + " is not a private folder of this user; remove it";
    // A resumed posting posts the volumes it packed, under their password.
    const std::string passwordFile = store_ + "/password";
    password_ = options.archivePassword.value_or("");
    std::string kept;
    if (options.resume && readSmallFile(passwordFile, kept) && !kept.empty()) {
        if (!password_.empty() && password_ != kept)
            return "the volumes of this posting were packed with another password; give the same /password= or none";
        password_ = kept;
    }
    if (password_.empty()) {
        password_ = randomPassword();
        generated_ = true;
    }
    if (!common::replaceFile(passwordFile, password_, 0600)) return "cannot write " + passwordFile;
    return {};
}

std::string RunArchives::pack(std::size_t index, const std::vector<std::string>& files, std::uint64_t bytes,
                              const std::string& name, const std::function<void(int)>& progress,
                              std::string& folder) {
    folder = store_ + "/" + std::to_string(index + 1);
    const std::string packed = folder + ".packed";
    if (access(packed.c_str(), F_OK) == 0 && !archiveVolumes(folder).empty()) return {};
    if (auto why = checkFreeSpace(store_, bytes); !why.empty()) return why;
    PackRequest r;
    r.sevenZip = sevenZip_;
    r.files = files;
    r.folder = folder;
    r.name = obfuscate_ ? randomPassword().substr(0, 16) : name;
    r.password = password_;
    r.volumeBytes = volumeBytes_;
    r.progress = progress;
    if (auto why = packArchive(r); !why.empty()) return why;
    if (!common::replaceFile(packed, "", 0600)) return "cannot write " + packed;
    return {};
}

void RunArchives::finish(bool complete) {
    if (store_.empty() || (keep_ && !complete)) return;
    std::error_code ec;
    fs::remove_all(store_, ec);
}

}  // namespace tskivo
