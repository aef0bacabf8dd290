// A watched folder: its new subfolders are posted as releases once nothing
// in them has changed for a while; what was posted is recorded, so that a
// restart posts nothing twice and resumes a release stopped half-way.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tskivo {

// Everything that says a folder changed: each file's path, size and time.
std::string folderSignature(const std::string& folder);

// Which subfolders are quiet long enough, on the caller's clock (seconds).
class FolderWatch {
public:
    explicit FolderWatch(std::int64_t quietSeconds) : quiet_(quietSeconds) {}
    // `seen`: every subfolder's signature now. Returns those unchanged for
    // the quiet time and not in `done`, in name order.
    std::vector<std::string> ready(const std::map<std::string, std::string>& seen, std::int64_t now,
                                   const std::set<std::string>& done);

private:
    std::int64_t quiet_;
    std::map<std::string, std::pair<std::string, std::int64_t>> last_;  // signature, seen unchanged since
};

// What a watch posted, kept in a small file of the user's (0600).
struct WatchRecord {
    std::map<std::string, int> posted;  // release -> its status (0, 1 or 255)
    std::string current;                // a release begun and not finished
    bool load(const std::string& path);
    bool save(const std::string& path) const;
};

// Where a watch of `start` keeps its record: beside the NZB files when
// they have a folder of their own, else in the user's state folder.
std::string watchRecordPath(const std::string& start, const std::string* nzbDir);

}  // namespace tskivo
