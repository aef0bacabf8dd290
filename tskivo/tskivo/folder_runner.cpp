#include "folder_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <set>
#include <utility>

#include "common/platform.h"
#include "common/run_state.h"

namespace tskivo {

namespace {

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
void recordBelow(const std::string& here, std::vector<std::string>& folders, std::set<FolderId>& seen) {
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
        if (common::changeDirectory(e.name)) {
            const std::string path = here + "/" + e.name;
            folders.push_back(path);
            recordBelow(path, folders, seen);
            if (fchdir(back) != 0) common::changeDirectory(here);
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

class PrivateFolder {
public:
    PrivateFolder() {
        livePrivateFolders();
        static const bool registered = std::atexit(removePrivateFolders) == 0;
        (void)registered;
        const auto tmp = common::environment("TMPDIR");
        std::string pattern = (tmp && !tmp->empty() ? *tmp : std::string("/tmp")) + "/tskivo-XXXXXX";
        if (mkdtemp(pattern.data())) {
            path_ = pattern;
            livePrivateFolders().insert(path_);
        }
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

}  // namespace

void recordFolders(std::vector<std::string>& folders) {
    std::set<FolderId> seen;
    FolderId id;
    if (folderId(".", id)) seen.insert(id);
    recordBelow(folders.empty() ? common::currentDirectory() : folders.back(), folders, seen);
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

}  // namespace

int runFolders(const RunOptions& options, const std::vector<std::string>& folders, PostFolderFn postFolder,
               CreateContactSheetsFn createContactSheets, std::ostream& out) {
    const std::string& start = folders.front();
    PrivateFolder privateFolder;
    const std::string runState = privateFolder.path().empty() ? std::string() : privateFolder.path() + "/run-state";
    std::uint64_t articles = 0, skipped = 0;
    int status = 0;
    std::string nzb;
    const auto interrupted = [&] {
        out << "\n  Stopped on request.";
        if (options.nzbFile)
            out << " The NZB file " << *options.nzbFile
                << " holds every article the server took; the same command with /resume finishes the posting.";
        out << "\n";
        out.flush();
        return 130;
    };
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (stopRequested) return interrupted();
        if (!common::changeDirectory(folders[i])) {
            out << "\n  Unable to enter: " << folders[i] << "\n";
            continue;
        }
        const std::string relative = relativePath(start, folders[i]);
        std::deque<std::string> sheets;
        if (options.contactSheets && createContactSheets) {
            const std::string title = relative.empty() ? start.substr(start.find_last_of('/') + 1) : relative;
            sheets = makeSheets(options, createContactSheets, folders[i], title, privateFolder.path(), out);
        }
        if (stopRequested) return interrupted();
        out << "\n  Handling: " << folders[i] << "\n";
        if (i == 0) {
            out << "  From     : " << (options.scramble ? kPlaceholderAuthor : options.author()) << "\n"
                << "  Subject  : " << options.subject() << "\n"
                << "  Groups   : " << options.newsgroups() << "\n"
                << "  Host     : " << options.server() << "\n"
                << "  Reference: " << options.reference << "\n";
        }
        std::vector<std::string> engineArgs = buildEngineArgs(
            options, i, relative, sheets, folders[i].substr(folders[i].find_last_of('/') + 1), runState);
        out.flush();
        std::vector<char*> argv;
        for (auto& a : engineArgs) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (!runState.empty()) common::deleteFile(runState);
        const int result =
            postFolder(static_cast<int>(engineArgs.size()), argv.data(), false, true, options.uutease, options.scramble);
        for (const auto& name : sheets) common::deleteFile(name);
        const common::RunState outcome = common::readRunState(runState);
        articles += static_cast<std::uint64_t>(common::runStateNumber(outcome, "articles"));
        skipped += static_cast<std::uint64_t>(common::runStateNumber(outcome, "skipped"));
        const int jobStatus = outcome.count("status") ? static_cast<int>(common::runStateNumber(outcome, "status")) : result;
        if (jobStatus == 130) return interrupted();
        // A failed job ends the run; the engine has said why.
        if (jobStatus == 255) return 255;
        if (jobStatus == 1) status = 1;
    }
    (void)articles;
    (void)skipped;
    return status;
}

int runRunner(const std::vector<std::string>& args, PostFolderFn postFolder,
              CreateContactSheetsFn createContactSheets, std::ostream& out) {
    // No core dumps: one would land in the folder being posted, with the
    // password in it, and the next run would post it.
    prctl(PR_SET_DUMPABLE, 0);
    RunOptions options;
    const std::string initial = common::currentDirectory();
    if (!parseRunOptions(args, initial, common::environment("TSKIVO_PASSWORD"), options)) {
        printRunnerUsage(out);
        return 0;
    }
    if (!options.error.empty()) {
        out << "  " << options.error << "\n";
        out.flush();
        return 255;
    }
    for (const auto& unknown : options.unknown) out << "  Unknown option " << unknown << " ignored.\n";
    if (!common::changeDirectory(options.startDirectory())) {
        // Nothing was posted: that is no success.
        out << "  Unable to find: " << options.startDirectory() << "\n";
        out.flush();
        return 255;
    }
    std::vector<std::string> folders{common::currentDirectory()};
    recordFolders(folders);
    out << "  Recorded folders: " << folders.size() << "\n\n";
    out.flush();
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const int status = runFolders(options, folders, postFolder, createContactSheets, out);
    common::changeDirectory(initial);
    return status;
}

}  // namespace tskivo
