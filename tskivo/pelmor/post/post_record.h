// What the server accepted of a job, file by file: the NZB file (saved as
// the job goes, so an interrupted job can be resumed from it), the parts an
// earlier run already posted, and the articles a post check asks about.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "article.h"
#include "job/settings.h"
#include "nzb.h"

namespace pelmor {

// An article the server took, as the record keeps it (no body).
struct PostedPart {
    int file = 0;  // index into the job's files
    int part = 0;
    std::string subject;    // empty for a resumed part but the file's first listed
    std::string sender;
    std::string messageId;  // with angle brackets
    std::uint64_t bytes = 0;
};

class PostRecord {
public:
    // `nzb` may be null (no "-out"). With "-resume", the parts of the job's
    // files that the NZB file already lists are taken as posted.
    PostRecord(PostJob& job, const JobSettings& settings, NzbWriter* nzb);
    static std::string treeFolder(std::string folder);

    // Parts of file f that an earlier run posted.
    const std::set<int>& alreadyPosted(int f) const;
    // Safe from the connections' threads. Saves the NZB file when the last
    // save is a few seconds old.
    void accepted(const Article& a);
    // A re-posted article's new id (post check).
    void replaced(const Article& a);
    // Saves now (the end of a file or, `final`, of the job: its journal goes).
    void save(bool final = false);
    std::vector<PostedPart> parts() const;
    // The accepted id of a part, empty when it is not on the server.
    std::string messageIdOf(int f, int part) const;
    // A save of the NZB file failed.
    bool saveFailed() const;

    // Between saves the journal holds every accepted article.
    static constexpr std::uint32_t kSaveEveryMs = 10000;

private:
    void saveLocked(bool final = false);
    NzbFile fileRecord(int f) const;

    PostJob& job_;
    const JobSettings& settings_;
    NzbWriter* nzb_;
    mutable std::mutex mutex_;
    std::map<int, std::map<int, PostedPart>> files_;  // by file, then part
    std::map<int, std::set<int>> resumed_;
    std::map<int, std::int64_t> dates_;
    std::vector<std::string> groups_;
    std::uint32_t lastSave_ = 0;
    bool dirty_ = false;
    bool saveFailed_ = false;
};

}  // namespace pelmor
