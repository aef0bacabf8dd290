// The post check ("-check"): each accepted article is asked for (STAT) once
// the check delay has passed since the server took it, on a connection of
// its own, while the job goes on; missing ones are posted again (up to
// three times), and the NZB follows. A folder runner's job hands what is
// not yet due on to the next folder's job, so that a run waits at most one
// delay beyond its last article, not one a folder.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "posting.h"

namespace pelmor {

class NzbWriter;

// An article to ask for, with all it takes to post it again, in this job
// or a later one.
struct CheckEntry {
    std::string path;    // absolute, to read the part again
    std::string postAs;  // the name it went out under
    int encoding = 2;
    int lines = 0;
    int part = 0;
    std::string subject, sender, references;
    bool intro = false;     // carries the intro text
    std::string messageId;  // with angle brackets
    std::uint32_t due = 0;  // clock tick from which it is asked for
    int reposts = 0;
    int missingAsks = 0;  // asks that found this copy missing
    int file = -1;  // this job's file; -1 for one an earlier job posted
    int server = 0;  // where it went: the main server, or a backup
    bool counted = false;  // in the summary's "checked"
    bool countedMissing = false;  // and in its "missing"
};

class PostChecker {
public:
    // `nzb` (may be null) is the job's NZB file, for articles earlier jobs
    // posted. The carried articles of an earlier job are taken over.
    PostChecker(Posting& posting, NzbWriter* nzb);
    ~PostChecker();
    PostChecker(const PostChecker&) = delete;
    PostChecker& operator=(const PostChecker&) = delete;

    // An article the server took, asked for once the delay has passed;
    // `sinceMs` for one posted earlier (a resumed job's).
    void enqueue(const Article& a, bool resumed = false);
    // Waits until every article is on the server, or failed its re-posts
    // (the job fails); with `handOver`, the articles not yet due are written
    // for the next job instead of waited for.
    void finish(bool handOver);

private:
    struct Later {
        bool operator()(const CheckEntry& a, const CheckEntry& b) const {
            return static_cast<std::int32_t>(a.due - b.due) > 0;
        }
    };
    void loop();
    // Asks for `e`; false when the server cannot be checked.
    bool check(CheckEntry e);
    void repost(CheckEntry& e);

    Posting& posting_;
    NzbWriter* nzb_;
    std::uint32_t delayMs_;
    // The session that asks for `e`.
    NntpSession& askerFor(const CheckEntry& e);
    std::unique_ptr<NntpSession> session_;  // asks, on the check server when one is given
    std::vector<std::unique_ptr<NntpSession>> askers_;  // else by server: where each article went
    std::unique_ptr<NntpSession> poster_;   // posts again when a check server asks
    std::mutex mutex_;
    std::condition_variable wake_;
    std::priority_queue<CheckEntry, std::vector<CheckEntry>, Later> queue_;
    int busy_ = 0;  // entries being asked for now
    bool finishing_ = false, stop_ = false, unanswerable_ = false;
    std::exception_ptr failure_;
    std::vector<CheckEntry> stillMissing_;
    std::uint64_t checked_ = 0, missing_ = 0, reposted_ = 0, asked_ = 0;
    bool carriedCounts_ = false;  // counts of earlier folders' jobs taken over
    std::size_t handedOver_ = 0;  // to the next folder's job
    std::thread thread_;
};

// The file a job hands its unchecked articles on in (beside the runner's
// state file).
std::string carriedChecksPath(const JobSettings& settings);

// "-verify": asks for every article the NZB file lists and reports, per
// file, what is missing; posts nothing. Fails the job when any is missing.
void verifyNzb(PostJob& job, const JobSettings& settings);
// "-testserver": connects (through the proxy, with TLS), logs in, and says
// in words what the server allows; throws with the reason when it fails.
void testServer(PostJob& job, const JobSettings& settings);

}  // namespace pelmor
