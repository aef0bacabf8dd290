#include "folder_runner.h"

#include <sys/stat.h>

#include <ostream>
#include <set>
#include <utility>

#include "platform.h"

namespace tskivo {

namespace {

using FolderId = std::pair<dev_t, ino_t>;

bool folderId(const std::string& path, FolderId& id) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

void recordBelow(std::vector<std::string>& folders, std::set<FolderId>& seen) {
    const std::string here = pelmor::currentDirectory();
    std::vector<pelmor::DirEntry> entries;
    int error = 0;
    pelmor::findFiles(".", "*.*", entries, error);
    for (const auto& e : entries) {
        if (!e.isDirectory || e.name.empty() || e.name[0] == '.') continue;
        FolderId id;
        if (!folderId(e.name, id) || !seen.insert(id).second) continue;
        if (!pelmor::changeDirectory(e.name)) continue;
        folders.push_back(pelmor::currentDirectory());
        recordBelow(folders, seen);
        // Back by the full path: ".." of a linked folder is not where we came from.
        pelmor::changeDirectory(here);
    }
}

}  // namespace

void recordFolders(std::vector<std::string>& folders) {
    std::set<FolderId> seen;
    FolderId id;
    if (folderId(".", id)) seen.insert(id);
    recordBelow(folders, seen);
}

std::deque<std::string> listSheetSources(const std::string& mask) {
    std::deque<std::string> sources;
    std::vector<pelmor::DirEntry> entries;
    int error = 0;
    pelmor::findFiles(".", mask, entries, error);
    for (const auto& e : entries)
        if (!e.isDirectory) sources.push_back(e.name);
    return sources;
}

void runFolders(const RunOptions& options, const std::vector<std::string>& folders, PostFolderFn postFolder,
                CreateContactSheetsFn createContactSheets, std::ostream& out) {
    const std::string& start = folders.front();
    std::deque<std::string> created;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        if (!pelmor::changeDirectory(folders[i])) continue;
        if (options.contactSheets && createContactSheets) {
            const std::deque<std::string> sources = listSheetSources(options.fileMask);
            created.clear();
            if (!sources.empty()) {
                out.flush();
                createContactSheets(kBanner, "", options.backgroundImage ? options.backgroundImage->c_str() : nullptr,
                                    options.authorLogo ? options.authorLogo->c_str() : nullptr,
                                    &options.backgroundColour, &options.fontColour, &sources, &created);
            }
        }
        const std::string relative = relativePath(start, folders[i]);
        std::vector<std::string> engineArgs = buildEngineArgs(options, i, relative);
        out << "\n  Handling: " << folders[i] << "\n";
        if (i == 0) {
            out << "  From     : " << engineArgs[2] << "\n"
                << "  Subject  : " << options.subject() << "\n"
                << "  Groups   : " << options.newsgroups() << "\n"
                << "  Host     : " << options.server() << "\n"
                << "  Reference: " << options.reference << "\n";
        }
        out.flush();
        std::vector<char*> argv;
        for (auto& a : engineArgs) argv.push_back(a.data());
        argv.push_back(nullptr);
        postFolder(static_cast<int>(engineArgs.size()), argv.data(), false, true, options.uutease, options.scramble);
        if (options.contactSheets) {
            for (const auto& name : created) pelmor::deleteFile(name);
            created.clear();
        }
    }
}

int runRunner(const std::vector<std::string>& args, PostFolderFn postFolder,
              CreateContactSheetsFn createContactSheets, std::ostream& out) {
    RunOptions options;
    const std::string initial = pelmor::currentDirectory();
    if (!parseRunOptions(args, initial, pelmor::environment("TSKIVO_PASSWORD"), options)) {
        printRunnerUsage(out);
        return 0;
    }
    if (!pelmor::changeDirectory(options.startDirectory())) {
        out << "  Unable to find: " << options.startDirectory() << "\n";
        out.flush();
        return 0;
    }
    std::vector<std::string> folders{pelmor::currentDirectory()};
    recordFolders(folders);
    out << "  Recorded folders: " << folders.size() << "\n\n";
    out.flush();
    runFolders(options, folders, postFolder, createContactSheets, out);
    pelmor::changeDirectory(initial);
    return 0;
}

}  // namespace tskivo
