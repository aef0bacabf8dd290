#include "folder_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <iostream>
#include <ostream>
#include <set>
#include <sstream>
#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>

#include "common/name_order.h"
#include "common/platform.h"
#include "common/run_state.h"
#include "common/size_text.h"
#include "common/write_all.h"
#include "archive.h"
#include "watch.h"

namespace tskivo {

HandedOutFn jobsHandedOut = nullptr;

namespace {

// Every event is valid UTF-8 JSON whatever the names: bytes that are not
// UTF-8 become U+FFFD (nlohmann's default throws, and the program ended).
constexpr auto kReplaceInvalid = nlohmann::json::error_handler_t::replace;

using FolderId = std::pair<dev_t, ino_t>;

bool folderId(const std::string& path, FolderId& id) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

// Paths are built from the names as walked, not resolved: a linked folder's
// label is its place in the tree, and a path longer than the system's limit
// is still recorded whole.
void recordBelow(const std::string& here, std::vector<std::string>& folders, std::set<FolderId>& seen,
                 std::vector<std::string>* unreadable) {
    std::vector<common::DirEntry> entries;
    int error = 0;
    common::findFiles(".", "*.*", entries, error);
    for (const auto& e : entries) {
        if (!e.isDirectory || e.name.empty() || e.name[0] == '.') continue;
        FolderId id;
        if (!folderId(e.name, id) || !seen.insert(id).second) continue;
        // Back through a descriptor: ".." of a linked folder is not where we came from.
        const int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (back < 0) continue;
        const std::string path = here + "/" + e.name;
        if (common::changeDirectory(e.name)) {
            folders.push_back(path);
            recordBelow(path, folders, seen, unreadable);
            if (fchdir(back) != 0) common::changeDirectory(here);
        } else if (unreadable) {
            unreadable->push_back(path);
        }
        close(back);
    }
}

// A private folder for the contact sheets and the run's state, so that none
// is ever made, posted or deleted among the user's files. Removed when the
// run ends, and by the exit handler should the engine end the process (a
// part that cannot be encoded): the set of folders is made before the
// handler is registered, so that it is still there when the handler runs.
std::set<std::string>& livePrivateFolders() {
    static std::set<std::string> folders;
    return folders;
}

void removePrivateFolders() {
    std::error_code ec;
    for (const auto& f : livePrivateFolders()) std::filesystem::remove_all(f, ec);
    livePrivateFolders().clear();
}

// Asked to stop (SIGINT, SIGTERM): the engine stops its job when one runs
// (and hands the signal on to here); the runner stops before the next
// folder. A second signal ends the process at once.
volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int signal) {
    if (stopRequested) {
        ::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    stopRequested = 1;
}

void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

class PrivateFolder {
public:
    PrivateFolder() {
        livePrivateFolders();
        static const bool registered = std::atexit(removePrivateFolders) == 0;
        (void)registered;
        path_ = common::makePrivateFolder();
        if (!path_.empty()) livePrivateFolders().insert(path_);
    }
    ~PrivateFolder() {
        std::error_code ec;
        if (path_.empty()) return;
        std::filesystem::remove_all(path_, ec);
        livePrivateFolders().erase(path_);
    }
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The subfolders of `start` (not dot folders), by name.
std::vector<std::string> subfoldersOf(const std::string& start) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(start, ec)) {
        const std::string name = e.path().filename().string();
        if (!name.empty() && name[0] != '.' && e.is_directory(ec)) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return common::sortsBefore(a, b); });
    return names;
}

// Watches `start` until a stop request: each new subfolder quiet for the
// watch's time is posted by `post` (name, resume); the record says what
// was posted, so a restart posts nothing twice and resumes a release that
// was stopped half-way. Ends with 0 (stopped as asked), or 255 when the
// record cannot be kept.
int watchFolder(const RunOptions& options, const std::string& start,
                const std::function<int(const std::string&, bool)>& post, std::ostream& out) {
    const std::string path = watchRecordPath(start, options.nzbDir ? &*options.nzbDir : nullptr);
    WatchRecord record;
    record.load(path);
    FolderWatch watch(*options.watchSeconds);
    if (!options.json)
        out << "  Watching " << start << " (a new folder is posted once unchanged for " << *options.watchSeconds
            << " s; Ctrl-C stops). Record: " << path << "\n";
    out.flush();
    const auto postOne = [&](const std::string& name, bool resume) {
        record.current = name;
        if (!record.save(path)) return false;
        const int status = post(name, resume);
        if (status == 130) return true;  // stopped: current stays, a restart resumes it
        record.posted[name] = status;
        record.current.clear();
        return record.save(path);
    };
    if (!record.current.empty() && !stopRequested && !postOne(record.current, true)) {
        out << "  Unable to keep the watch's record " << path << ".\n";
        return 255;
    }
    while (!stopRequested) {
        std::map<std::string, std::string> seen;
        for (const auto& name : subfoldersOf(start)) seen[name] = folderSignature(start + "/" + name);
        std::set<std::string> done;
        for (const auto& [name, status] : record.posted) done.insert(name);
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
        for (const auto& name : watch.ready(seen, now, done)) {
            if (stopRequested) break;
            if (!postOne(name, false)) {
                out << "  Unable to keep the watch's record " << path << ".\n";
                return 255;
            }
        }
        for (int i = 0; i < 10 && !stopRequested; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!options.json) out << "\n  Stopped watching " << start << ".\n";
    return record.current.empty() ? 0 : 130;  // stopped during a release: a restart resumes it
}

// One line at the end of the history file, which is the user's alone
// (0600; a link there is not followed).
bool appendHistory(const std::string& path, const std::string& line) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = common::writeAll(fd, (line + "\n").data(), line.size() + 1);
    return close(fd) == 0 && ok;
}

}  // namespace

void recordFolders(std::vector<std::string>& folders, std::vector<std::string>* unreadable) {
    std::set<FolderId> seen;
    FolderId id;
    if (folderId(".", id)) seen.insert(id);
    recordBelow(folders.empty() ? common::currentDirectory() : folders.back(), folders, seen, unreadable);
}

std::deque<std::string> listSheetSources(const std::string& mask) {
    std::deque<std::string> sources;
    std::vector<common::DirEntry> entries;
    int error = 0;
    common::findFiles(".", mask, entries, error);
    for (const auto& e : entries)
        if (!e.isDirectory) sources.push_back(e.name);
    return sources;
}

namespace {

// Has the sheets of the current folder made in `into`; returns their full paths.
std::deque<std::string> makeSheets(const RunOptions& options, CreateContactSheetsFn createContactSheets,
                                   const std::string& folder, const std::string& title, const std::string& into,
                                   std::ostream& out) {
    std::deque<std::string> sources = listSheetSources(options.fileMask);
    std::deque<std::string> created;
    if (sources.empty() || into.empty()) return created;
    for (auto& s : sources) s = folder + "/" + s;
    const int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (back < 0 || !common::changeDirectory(into)) {
        if (back >= 0) close(back);
        return created;
    }
    out.flush();
    createContactSheets(kBanner, title.c_str(), options.backgroundImage ? options.backgroundImage->c_str() : nullptr,
                        options.authorLogo ? options.authorLogo->c_str() : nullptr, &options.backgroundColour,
                        &options.fontColour, &sources, &created);
    if (fchdir(back) != 0) common::changeDirectory(folder);
    close(back);
    for (auto& c : created)
        if (c.empty() || c[0] != '/') c = into + "/" + c;
    return created;
}

// What a run found before it posts: each folder's files (the mask's
// matches) and their bytes, and whether two folders hold files of the same
// name (then, so that a downloader keeps them apart, the files of every
// folder but the start go out under their folder's path).
struct TreeScan {
    std::vector<std::uint64_t> bytes;  // by folder
    std::uint64_t total = 0;
    std::size_t files = 0;
    bool clashing = false;
};

TreeScan scanTree(const std::vector<std::string>& folders, const std::string& mask) {
    TreeScan scan;
    std::set<std::string> seen;
    for (const auto& folder : folders) {
        std::vector<common::DirEntry> entries;
        int error = 0;
        common::findFiles(folder, mask, entries, error);
        std::uint64_t bytes = 0;
        for (const auto& e : entries) {
            if (e.isDirectory) continue;
            bytes += e.size;
            ++scan.files;
            if (!seen.insert(e.name).second) scan.clashing = true;
        }
        scan.bytes.push_back(bytes);
        scan.total += bytes;
    }
    return scan;
}

// The sheets of a folder below the start carry its path in their names:
// every folder's sheets would otherwise share "!contact-sheet-01.jpg".
void nameSheetsAfter(std::deque<std::string>& sheets, const std::string& relative) {
    std::string tag = relative;
    for (char& c : tag)
        if (c == '\\' || c == '/') c = '-';
    for (auto& sheet : sheets) {
        const auto slash = sheet.find_last_of('/');
        const auto dot = sheet.find_last_of('.');
        const std::string renamed = dot != std::string::npos && dot > slash
                                        ? sheet.substr(0, dot) + "-" + tag + sheet.substr(dot)
                                        : sheet + "-" + tag;
        if (std::rename(sheet.c_str(), renamed.c_str()) == 0) sheet = renamed;
    }
}

const char* statusMeaning(int status, std::uint64_t articles = 1) {
    switch (status) {
        case 0: return "everything was posted";
        case 1: return "posted, but some files were skipped (see above)";
        case 130: return "stopped on request; /resume finishes the posting";
        default:
            return articles == 0 ? "nothing was posted (see above)"
                                 : "a job failed; the folders after it were not posted";
    }
}

// A stream that goes nowhere: the human lines of a run that writes events.
std::ostream& nowhere() {
    static std::ostream sink(nullptr);
    return sink;
}

// What "/after=" is told of a posting.
struct Posted {
    std::string nzb, folder;
    int status = 0;
    std::uint64_t bytes = 0, articles = 0, reposted = 0, skipped = 0;
};

// How long an "/after=" command may run.
constexpr std::chrono::minutes kAfterTimeLimit{30};

// Runs the "/after=" command through the shell with the posting in its
// environment; its exit status is reported, never the run's. For programs
// (/json) its output goes to standard error, away from the events.
void runAfter(const RunOptions& options, const Posted& p, std::ostream& out, std::ostream& events) {
    const std::string& command = *options.after;
    out.flush();
    events.flush();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // In the folder the runner was started in (a relative command is
        // found, and what it writes is never posted), without the secrets
        // the runner was given, in a process group of its own that a stop
        // request can end whole.
        setpgid(0, 0);
        if (!options.initialDirectory.empty() && chdir(options.initialDirectory.c_str()) != 0) _exit(127);
        for (const char* secret : {"TSKIVO_PASSWORD", "TSKIVO_BACKUP_PASSWORD", "TSKIVO_PROXY"}) unsetenv(secret);
        setenv("TSKIVO_NZB", p.nzb.c_str(), 1);
        setenv("TSKIVO_FOLDER", p.folder.c_str(), 1);
        setenv("TSKIVO_STATUS", std::to_string(p.status).c_str(), 1);
        setenv("TSKIVO_BYTES", std::to_string(p.bytes).c_str(), 1);
        setenv("TSKIVO_ARTICLES", std::to_string(p.articles).c_str(), 1);
        setenv("TSKIVO_REPOSTED", std::to_string(p.reposted).c_str(), 1);
        setenv("TSKIVO_SKIPPED", std::to_string(p.skipped).c_str(), 1);
        if (options.json) dup2(STDERR_FILENO, STDOUT_FILENO);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int exitStatus = -1;
    bool timedOut = false;
    if (child > 0) {
        // A stop request, or a hook that outlasts its time, ends it (TERM,
        // then KILL a few seconds later).
        const auto started = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> termSent;
        int raw = 0;
        for (;;) {
            const pid_t done = waitpid(child, &raw, WNOHANG);
            if (done == child || (done < 0 && errno != EINTR)) break;
            const auto now = std::chrono::steady_clock::now();
            if (!termSent && (stopRequested || now - started > kAfterTimeLimit)) {
                timedOut = !stopRequested;
                kill(-child, SIGTERM);
                termSent = now;
            } else if (termSent && now - *termSent > std::chrono::seconds(5)) {
                kill(-child, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + (WIFSIGNALED(raw) ? WTERMSIG(raw) : 0);
    }
    if (options.json) {
        events << nlohmann::json{{"type", "after"}, {"command", command}, {"status", exitStatus}}.dump(-1, ' ', false, kReplaceInvalid) << std::endl;
    } else if (exitStatus == 0) {
        out << "  After posting: \"" << command << "\" done.\n";
    } else {
        out << "  After posting: \"" << command << "\" "
            << (exitStatus < 0 ? std::string("could not be started")
                : timedOut     ? "was ended after " + std::to_string(kAfterTimeLimit.count() / 60) + " minutes"
                               : "failed with status " + std::to_string(exitStatus))
            << "; the posting itself is not affected.\n";
    }
    out.flush();
}

}  // namespace

int runFolders(const RunOptions& options, const std::vector<std::string>& folders, PostFolderFn postFolder,
               CreateContactSheetsFn createContactSheets, std::ostream& events) {
    std::ostream& out = options.json ? nowhere() : events;
    const std::string& start = folders.front();
    PrivateFolder privateFolder;
    const std::string runState = privateFolder.path().empty() ? std::string() : privateFolder.path() + "/run-state";
    const TreeScan scan = scanTree(folders, options.fileMask);
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t bytes = 0, articles = 0, reposted = 0, skipped = 0, done = 0;
    if (options.json)
        events << nlohmann::json{{"type", "started"},  {"version", "0.36"},    {"folders", folders.size()},
                                 {"files", scan.files}, {"bytes", scan.total}}
                      .dump(-1, ' ', false, kReplaceInvalid)
               << std::endl;
    // The end of the run, however it ends: on a terminal and for programs
    // what was done; the status and what it means.
    RunArchives archives;
    const auto finish = [&](int status) {
        // Files skipped and nothing posted at all (a server refusing every
        // file): no success of any kind.
        if (status == 1 && articles == 0) status = 255;
        // Volumes stay for a /resume only where some of them went out.
        const bool volumesKept = options.archive && options.nzbFile && status != 0 && status != 1 && articles > 0;
        archives.finish(!volumesKept);
        // Folders of the tree that could not be entered were not posted.
        if (status == 0 && !options.unreadableFolders.empty()) status = 1;
        // One NZB file for the run: the command runs once, when it is written.
        if (options.after && options.nzbFile)
            runAfter(options, {*options.nzbFile, start, status, bytes, articles, reposted, skipped}, out, events);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (options.history) {
            nlohmann::json line{{"time", static_cast<long long>(std::time(nullptr))},
                                {"folder", start},
                                {"nzb", options.nzbFile ? *options.nzbFile : ""},
                                {"bytes", bytes},
                                {"articles", articles},
                                {"reposted", reposted},
                                {"skipped", skipped},
                                {"status", status},
                                {"meaning", statusMeaning(status, articles)}};
            if (options.archive && !archives.password().empty()) line["password"] = archives.password();
            if (!appendHistory(*options.history, line.dump(-1, ' ', false, kReplaceInvalid)))
                out << "\n  Unable to add to the history file " << *options.history << ".\n";
        }
        if (status == 130) {
            out << "\n  Stopped on request.";
            if (options.nzbFile)
                out << " The NZB file " << *options.nzbFile
                    << " holds every article the server took; the same command with /resume finishes the posting.";
            out << "\n";
        }
        if (options.json) {
            nlohmann::json finished{{"type", "finished"},      {"status", status},   {"meaning", statusMeaning(status, articles)},
                                     {"bytes", bytes},           {"articles", articles}, {"reposted", reposted},
                                     {"skipped", skipped},       {"seconds", seconds},
                                     {"nzb", options.nzbFile ? *options.nzbFile : ""}};
            if (options.archive && !archives.password().empty()) finished["password"] = archives.password();
            events << finished.dump(-1, ' ', false, kReplaceInvalid)
                   << std::endl;
        } else {  // piped or under cron too: only the redrawn status line needs a terminal
            char line[256];
            std::snprintf(line, sizeof line, "\n  Posted %s in %llu articles in %.1f s (%s/s)", common::sizeText(bytes).c_str(),
                          static_cast<unsigned long long>(articles), seconds,
                          common::sizeText(seconds > 0 ? bytes / seconds : 0).c_str());
            out << line;
            if (reposted) out << ", " << reposted << " posted again after the check";
            out << ".\n";
            if (scan.files == 0)
                out << "  No file matched " << options.fileMask << " here or in the folders below; nothing was posted"
                    << (options.nzbFile ? " and no NZB file written" : "") << ".\n";
            else if (options.nzbFile)
                out << "  NZB file: " << *options.nzbFile << "\n";
            if (options.archive && archives.generated() && articles > 0)
                out << "  Archive password: " << archives.password() << " (in the NZB file too)\n";
            if (volumesKept && !archives.store().empty())
                out << "  The archive volumes stay in " << archives.store() << " for /resume.\n";
            out << "  Status " << status << ": " << statusMeaning(status, articles) << ".\n";
        }
        out.flush();
        return status;
    };
    if (options.archive) {
        if (const std::string why = archives.prepare(options, privateFolder.path()); !why.empty()) {
            out << "\n  Unable to pack: " << why << ".\n";
            if (options.json)
                events << nlohmann::json{{"type", "error"}, {"message", why}}.dump(-1, ' ', false, kReplaceInvalid) << std::endl;
            return finish(255);
        }
    }
    int status = 0;
    // A folder's job, run here or (overlapping) on a thread of its own.
    struct FolderJob {
        std::size_t index = 0;
        std::deque<std::string> sheets;
        std::string runState;
        std::vector<std::string> args;
        std::thread thread;
        std::atomic<bool> done{false};
        int result = 0;
    };
    const auto post = [&](FolderJob& job) {
        std::vector<char*> argv;
        for (auto& a : job.args) argv.push_back(a.data());
        argv.push_back(nullptr);
        job.result = postFolder(static_cast<int>(job.args.size()), argv.data(), false, true, options.uutease, options.scramble);
        job.done = true;
    };
    // What a folder's job did: its totals counted, its /after run; 130 or
    // 255 when it ends the run, else -1.
    const auto conclude = [&](FolderJob& job) -> int {
        const int result = job.result;
        const std::size_t i = job.index;
        for (const auto& name : job.sheets) common::deleteFile(name);
        const common::RunState outcome = common::readRunState(job.runState);
        const auto number = [&](const char* key) { return static_cast<std::uint64_t>(common::runStateNumber(outcome, key)); };
        // The next folder's progress starts where this one's ended: its
        // contact sheets and recovery set count too.
        done += std::max<std::uint64_t>(scan.bytes[i], number("handled"));
        bytes += number("bytes");
        articles += number("articles");
        reposted += number("reposted");
        skipped += number("skipped");
        const int jobStatus = outcome.count("status") ? static_cast<int>(common::runStateNumber(outcome, "status")) : result;
        if (options.after && !options.nzbFile)
            runAfter(options, {"", folders[i], jobStatus, number("bytes"), number("articles"), number("reposted"), number("skipped")},
                     out, events);
        if (jobStatus == 130) return 130;
        // A failed job ends the run; the engine has said why.
        if (jobStatus == 255) return 255;
        if (jobStatus == 1) status = 1;
        return -1;
    };
    // The next folder's job starts while the one before waits for the
    // server's last replies (with the engine's consent: it counts the jobs
    // that handed out their articles). Not where a folder's work after its
    // job (the post check's carry, /after for each folder, the archive)
    // would come between, nor under a bandwidth limit (each job keeps to
    // it; two at once would not).
    const auto handedOut = jobsHandedOut;
    const bool overlap = handedOut && folders.size() > 1 && !options.archive && !options.check &&
                         !(options.after && !options.nzbFile) && !options.maxBandwidth;
    // Events of the jobs under way go to the real standard output also
    // while the contact-sheet library's lines are sent to the log.
    struct EventsFd {
        int fd = -1;
        ~EventsFd() {
            if (fd >= 0) close(fd);
        }
    } eventsFd;
    if (overlap && options.json && options.contactSheets) eventsFd.fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int handedOutBase = overlap ? handedOut() : 0;
    int overlapped = 0;
    // The jobs under way, oldest first; each is done with in folder order.
    // Up to eight at once (their first articles wait for the server at the
    // same time), two with recovery sets (their queued volumes are large).
    const std::size_t maxRunning = options.par2Percent > 0 ? 2 : 8;
    std::deque<std::unique_ptr<FolderJob>> running;
    std::string pendingText;  // said of folders while the one before was posted
    // The run ends: the job still running first (its totals count), then
    // what was said meanwhile.
    const auto runningBytes = [&] {
        std::uint64_t n = 0;
        for (const auto& job : running) n += scan.bytes[job->index];
        return n;
    };
    // Done with the oldest job under way; 130 or 255 when it ends the run.
    const auto concludeFront = [&] {
        running.front()->thread.join();
        const int ended = conclude(*running.front());
        running.pop_front();
        return ended;
    };
    const auto end = [&](int ended) {
        while (!running.empty()) concludeFront();
        out << pendingText;
        pendingText.clear();
        return finish(ended);
    };
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (stopRequested) return end(130);
        // While the folder before is posted, what is said of this one waits
        // to be said before this folder's job speaks.
        std::ostringstream heldText;
        std::ostream& say = !running.empty() && !options.json ? static_cast<std::ostream&>(heldText) : out;
        struct Keep {
            std::ostringstream& text;
            std::string& pending;
            ~Keep() { pending += text.str(); }
        } keep{heldText, pendingText};
        if (!common::changeDirectory(folders[i])) {
            say << "\n  Unable to enter: " << folders[i] << "\n";
            continue;
        }
        const std::string relative = relativePath(start, folders[i]);
        std::deque<std::string> sheets;
        if (options.contactSheets && createContactSheets) {
            const std::string title = relative.empty() ? start.substr(start.find_last_of('/') + 1) : relative;
            // The library's own lines go to the log, not among the events.
            const int saved = options.json ? dup(STDOUT_FILENO) : -1;
            if (saved >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
            sheets = makeSheets(options, createContactSheets, folders[i], title, privateFolder.path(), say);
            if (saved >= 0) {
                std::fflush(stdout);
                dup2(saved, STDOUT_FILENO);
                close(saved);
            }
            if (i > 0) nameSheetsAfter(sheets, relative);
        }
        if (stopRequested) return end(130);
        say << "\n  Handling: " << folders[i] << "\n";
        if (i == 0) {
            say << "  From     : " << (options.scramble ? kPlaceholderAuthor : options.author()) << "\n"
                << "  Subject  : " << options.subject() << "\n"
                << "  Groups   : " << options.newsgroups() << "\n"
                << "  Host     : " << options.server() << "\n"
                << "  Reference: " << options.reference << "\n";
        }
        // A folder below the start names its recovery set by its path, so
        // that two folders of one name do not share set names.
        std::string setName = relative;
        for (char& c : setName)
            if (c == '\\') c = '-';
        if (setName.empty()) setName = folders[i].substr(folders[i].find_last_of('/') + 1);
        std::string pathNames;
        if (scan.clashing && i > 0) {
            pathNames = relative;
            for (char& c : pathNames)
                if (c == '\\') c = '/';
        }
        RunOptions packed;
        if (options.archive) {
            // The folder's files and its contact sheets go into the archive;
            // its volumes are what the engine posts, from where they are.
            std::vector<std::string> files;
            for (auto& name : listSheetSources(options.fileMask)) files.push_back(std::move(name));
            files.insert(files.end(), sheets.begin(), sheets.end());
            if (!files.empty()) {
                const bool terminal = !options.json && isatty(STDOUT_FILENO);
                int said = -1;
                const auto progress = [&](int percent) {
                    if (options.json) {
                        if (percent / 10 != said / 10)
                            events << nlohmann::json{{"type", "packing"}, {"folder", i + 1}, {"percent", percent}}.dump() << std::endl;
                    } else if (terminal) {
                        say << "\r  packing " << percent << "%" << std::flush;
                    } else if (percent / 25 != said / 25) {
                        say << "  packing " << percent << "%\n";
                    }
                    said = percent;
                };
                std::string volumes;
                std::uint64_t packing = scan.bytes[i];
                std::error_code ec;
                for (const auto& sheet : sheets) packing += std::filesystem::file_size(sheet, ec);
                const std::string why = archives.pack(i, files, packing, setName, progress, volumes);
                if (terminal && said >= 0) say << "\r  packing 100%\n";
                for (const auto& name : sheets) common::deleteFile(name);
                sheets.clear();
                if (!why.empty()) {
                    say << "\n  Unable to pack " << folders[i] << ": " << why << ".\n";
                    if (options.json)
                        events << nlohmann::json{{"type", "error"}, {"message", why}}.dump(-1, ' ', false, kReplaceInvalid) << std::endl;
                    return end(255);
                }
                if (stopRequested) return end(130);
                if (!common::changeDirectory(volumes)) return end(255);
            }
            packed = options;
            packed.fileMask = "*.7z.*";
            pathNames.clear();
            bool given = false;
            for (const auto& meta : packed.nzbMeta) given = given || meta.first == "password";
            if (!given) packed.nzbMeta.emplace_back("password", archives.password());
        }
        auto job = std::make_unique<FolderJob>();
        job->index = i;
        job->sheets = std::move(sheets);
        // Jobs at once keep their outcomes apart.
        job->runState = runState.empty() || i % maxRunning == 0 ? runState : runState + "-" + std::to_string(i % maxRunning);
        job->args = buildEngineArgs(options.archive ? packed : options, i, relative, job->sheets, setName, job->runState,
                                    pathNames);
        if (overlap) {
            job->args.push_back("-overlap");
            job->args.push_back(std::to_string(overlapped + 1));
            job->args.push_back("-preamble");
            job->args.push_back(pendingText + heldText.str());
            if (eventsFd.fd >= 0) {
                job->args.push_back("-eventsfd");
                job->args.push_back(std::to_string(eventsFd.fd));
            }
            heldText.str("");
            pendingText.clear();
        }
        out.flush();
        if (!job->runState.empty())
            common::writeRunState(job->runState, {{"folder", std::to_string(i + 1)},
                                                  {"folders", std::to_string(folders.size())},
                                                  {"done", std::to_string(done + runningBytes())},
                                                  {"total", std::to_string(scan.total)},
                                                  {"more", options.more ? "1" : "0"}});
        if (!overlap) {
            post(*job);
            if (const int ended = conclude(*job); ended >= 0) return finish(ended);
            continue;
        }
        // This folder's job starts; the ones before end meanwhile, and the
        // next folder is readied once this one has handed out its articles.
        ++overlapped;
        FolderJob& now = *job;
        now.thread = std::thread([&post, &now] { post(now); });
        running.push_back(std::move(job));
        // Done with, in order: those that ended, and the oldest when too
        // many run. A folder that ends the run stops the jobs started after
        // it (the engine sees to that); what they posted is in their NZB
        // entries and counts.
        while (running.size() > 1 && (running.front()->done || running.size() >= maxRunning))
            if (const int ended = concludeFront(); ended >= 0) return end(ended);
        while (!now.done && handedOut() < handedOutBase + overlapped)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (now.done) {
            // Ended before it handed out all (failed, say): done with it and
            // those before it now.
            while (!running.empty())
                if (const int ended = concludeFront(); ended >= 0) return end(ended);
        }
    }
    while (!running.empty())
        if (const int ended = concludeFront(); ended >= 0) return end(ended);
    out << pendingText;
    return finish(status);
}

// "/verify": one job that asks for every article the NZB file lists.
int verifyRun(const RunOptions& options, PostFolderFn postFolder, std::ostream& out) {
    std::vector<std::string> engineArgs = buildEngineArgs(options, 0, "");
    engineArgs.pop_back();  // no files
    engineArgs.push_back("-verify");
    PrivateFolder privateFolder;
    const std::string runState = privateFolder.path().empty() ? std::string() : privateFolder.path() + "/run-state";
    engineArgs.push_back("-runstate");
    engineArgs.push_back(runState);
    std::vector<char*> argv;
    for (auto& a : engineArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    out.flush();
    const int result =
        postFolder(static_cast<int>(engineArgs.size()), argv.data(), false, true, options.uutease, options.scramble);
    const common::RunState outcome = common::readRunState(runState);
    return outcome.count("status") ? static_cast<int>(common::runStateNumber(outcome, "status")) : result;
}

int testServer(const std::vector<std::string>& args, PostFolderFn postFolder, std::ostream& out) {
    // The server's options as a posting takes them; the passwords from the
    // environment, never the command line.
    std::vector<std::string> engine{args[0], "-hostname", args[2], "-verbose", "1"};
    std::optional<std::string> user, proxy = common::environment("TSKIVO_PROXY");
    bool tls = false;
    std::optional<long long> port;
    for (std::size_t i = 3; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("/port=", 0) == 0) port = common::wholeNumber(a.substr(6), 1, 65535);
        else if (a == "/ssl") tls = true;
        else if (a.rfind("/u=", 0) == 0) user = a.substr(3);
        else if (a.rfind("/proxy=", 0) == 0) proxy = a.substr(7);
        else {
            out << "  Unknown option " << a << " for --test-server.\n";
            return 255;
        }
    }
    appendServerArgs(engine, port, tls, user, common::environment("TSKIVO_PASSWORD"));
    if (proxy && !proxy->empty()) {
        engine.push_back("-proxy");
        engine.push_back(*proxy);
    }
    engine.push_back("-testserver");
    std::vector<char*> argv;
    for (auto& a : engine) argv.push_back(a.data());
    argv.push_back(nullptr);
    out.flush();
    // The engine ends the process itself when the test fails, with its reason.
    return postFolder(static_cast<int>(engine.size()), argv.data(), false, false, false, false);
}

int runRunner(const std::vector<std::string>& args, PostFolderFn postFolder,
              CreateContactSheetsFn createContactSheets, std::ostream& out, bool queued) {
    // No core dumps: one would land in the folder being posted, with the
    // password in it, and the next run would post it.
    prctl(PR_SET_DUMPABLE, 0);
    if (args.size() >= 3 && args[1] == "--test-server") return testServer(args, postFolder, out);
    RunOptions options;
    const std::string initial = common::currentDirectory();
    if (!parseRunOptions(args, initial, common::environment("TSKIVO_PASSWORD"), options,
                         common::environment("TSKIVO_BACKUP_PASSWORD"))) {
        printRunnerUsage(out);
        return 0;
    }
    // A queue's job speaks JSON, and another run may follow it.
    options.json = options.json || queued;
    options.more = queued;
    const auto failed = [&](const std::string& message) {
        if (options.json)
            out << nlohmann::json{{"type", "error"}, {"message", message}}.dump(-1, ' ', false, kReplaceInvalid) << "\n"
                << nlohmann::json{{"type", "finished"}, {"status", 255}, {"meaning", statusMeaning(255)}}.dump(-1, ' ', false, kReplaceInvalid)
                << std::endl;
        else
            out << "  " << message << "\n";
        out.flush();
        return 255;
    };
    // A proxy's password stays out of the process list this way.
    if (!options.proxy) options.proxy = common::environment("TSKIVO_PROXY");
    if (!options.error.empty()) return failed(options.error);
    for (const auto& unknown : options.unknown)
        (options.json ? std::cerr : out) << "  Unknown option " << unknown << " ignored.\n";
    // A single file in the directory's place: that file alone, from its folder.
    bool singleFile = false;
    {
        struct stat st {};
        const std::string given = options.startDirectory();
        if (stat(given.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !options.each) {
            const auto slash = given.find_last_of('/');
            options.args[3] = slash == std::string::npos ? "." : slash == 0 ? "/" : given.substr(0, slash);
            options.fileMask = given.substr(slash == std::string::npos ? 0 : slash + 1);
            singleFile = true;
        }
    }
    // Nothing was posted: that is no success.
    if (!common::changeDirectory(options.startDirectory())) return failed("Unable to find: " + options.startDirectory());
    catchStopSignals();
    if (options.verify) {
        const int status = verifyRun(options, postFolder, out);
        common::changeDirectory(initial);
        return status;
    }
    const auto release = [&](RunOptions& o) {
        std::vector<std::string> folders{common::currentDirectory()};
        if (!singleFile) recordFolders(folders, &o.unreadableFolders);
        for (const auto& folder : o.unreadableFolders)
            (o.json ? std::cerr : out) << "  Unable to enter: " << folder << "; its files are not posted.\n";
        if (!o.json) out << "  Recorded folders: " << folders.size() << "\n\n";
        out.flush();
        return runFolders(o, folders, postFolder, createContactSheets, out);
    };
    if (!options.each) {
        const int status = release(options);
        common::changeDirectory(initial);
        return status;
    }
    const std::string start = common::currentDirectory();
    if (options.nzbDir) {
        std::error_code ec;
        std::filesystem::create_directories(*options.nzbDir, ec);  // the releases' NZB files go there
    }
    std::string lastRelease;
    // One subfolder as a release: its own NZB file and subject.
    const auto postRelease = [&](const std::string& name, bool resume) {
        RunOptions o = options;
        o.args[3] = start + "/" + name;
        if (options.subject().empty()) o.args[2] = name;
        o.nzbFile = options.nzbDir.value_or(initial) + "/" + name + ".nzb";
        o.resume = options.resume || resume;
        // The connections wait for the next release (a watched folder's
        // for a while: unused, they are closed after a minute).
        o.more = options.more || options.watchSeconds || name != lastRelease;
        if (!options.json) out << "\n  Release: " << name << (resume ? " (resumed)" : "") << "\n";
        return common::changeDirectory(o.args[3]) ? release(o) : failed("Unable to find: " + o.args[3]);
    };
    if (options.watchSeconds) {
        const int status = watchFolder(options, start, postRelease, out);
        common::changeDirectory(initial);
        return status;
    }
    // Every subfolder a release of its own, in name order; one that fails
    // leaves the others to go on; a stop request ends the run.
    const std::vector<std::string> subfolders = subfoldersOf(start);
    lastRelease = subfolders.empty() ? std::string() : subfolders.back();
    if (subfolders.empty()) {
        common::changeDirectory(initial);
        return failed("/each found no subfolder in " + start + ".");
    }
    int worst = 0;
    const auto rank = [](int s) { return s == 0 ? 0 : s == 1 ? 1 : s == 130 ? 3 : 2; };
    for (const auto& name : subfolders) {
        if (stopRequested) break;
        const int status = postRelease(name, false);
        if (rank(status) > rank(worst)) worst = status;
        if (status == 130) break;
    }
    common::changeDirectory(initial);
    return stopRequested && worst != 130 ? 130 : worst;
}

int runQueue(std::istream& in, const std::string& program, PostFolderFn postFolder,
             CreateContactSheetsFn createContactSheets, std::ostream& out) {
    static constexpr const char* kSecrets[] = {"TSKIVO_PASSWORD", "TSKIVO_BACKUP_PASSWORD", "TSKIVO_PROXY",
                                               "TSKIVO_ARCHIVE_PASSWORD"};
    // A stop request while waiting for the next job ends the wait.
    catchStopSignals();
    // On both outputs: whoever reads them knows the job's lines are all in.
    const auto endJob = [&out](int status) {
        const std::string ended = nlohmann::json{{"type", "ended"}, {"status", status}}.dump();
        std::cerr << ended << std::endl;
        out << ended << std::endl;
    };
    int status = 0;
    for (std::string line; !stopRequested && std::getline(in, line);) {
        if (line.empty()) continue;
        const nlohmann::json job = nlohmann::json::parse(line, nullptr, false);
        std::vector<std::string> args{program};
        bool valid = job.is_object() && job.contains("arguments") && job["arguments"].is_array();
        if (valid)
            for (const auto& a : job["arguments"]) {
                if (!a.is_string()) valid = false;
                else args.push_back(a.get<std::string>());
            }
        if (!valid) {
            // (Not repeated: it may hold a password.)
            out << nlohmann::json{{"type", "error"},
                                  {"message", "Not a job: a line of " + std::to_string(line.size()) +
                                                  " bytes that is no JSON object with an \"arguments\" list of strings."}}
                       .dump()
                << "\n";
            endJob(255);
            return 255;
        }
        const nlohmann::json environment = job.value("environment", nlohmann::json::object());
        for (const char* name : kSecrets) {
            const auto it = environment.find(name);  // none unless an object
            if (it != environment.end() && it->is_string())
                setenv(name, it->get<std::string>().c_str(), 1);
            else
                unsetenv(name);
        }
        std::string note;
        args = withSavedOptions(args, note);
        if (!note.empty()) std::cerr << "  " << note << "\n";
        status = runRunner(args, postFolder, createContactSheets, out, true);
        endJob(status);
    }
    for (const char* name : kSecrets) unsetenv(name);
    return stopRequested ? 130 : status;
}

}  // namespace tskivo
