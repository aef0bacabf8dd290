// What the posting loops of one job share: the job and its settings, the
// record of what the server took, the sessions' context and the job's
// byte total.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "job/settings.h"
#include "net/nntp_session.h"
#include "post_record.h"

namespace pelmor {

class PostChecker;
class Reporter;

class Posting {
public:
    Posting(PostJob& job, const JobSettings& settings, PostRecord& record, Reporter& report);
    PostJob& job;
    const JobSettings& settings;
    PostRecord& record;
    Reporter& report;
    SessionContext sessions;
    std::atomic<std::uint64_t> bytes{0};  // sent for every accepted article
    std::atomic<std::uint64_t> articles{0};  // accepted
    std::atomic<std::uint64_t> reposted{0};  // posted again by the post check
    PostChecker* checker = nullptr;  // "-check": asks for each accepted article
    // Runs before the articles of file f are made (a file still being
    // written, such as the recovery set, is waited for).
    std::function<void(int f)> beforeFile;

    // A session to the job's server with the job's log-in; `announce`
    // prints the server lines of the job header.
    std::unique_ptr<NntpSession> openSession(bool announce);
    // An article the server took: recorded, reported, and checked when asked.
    void accepted(const Article& a);
    // Posts `a` over the session, waiting out its retries on this thread;
    // false when the server will not take the file (skipped). Throws when
    // the article fails for good.
    bool postWithRetries(NntpSession& session, Article& a);
    // Throws Interrupted when the job is to stop.
    void checkStop() const;
    // The job's clock, a little at a time, so that a stop is not kept waiting.
    void wait(std::uint32_t ms) const;
    // A file the server will not take: reported, and its other parts not posted.
    void skipFile(int file, const std::string& message);
    bool skipped(int file) const;
    std::set<int> skippedFiles() const;

private:
    mutable std::mutex mutex_;
    std::set<int> skipped_;
};

// One connection, the articles one after another.
void postInOrder(Posting& posting);
// Over `settings.connections` sessions, each with its own connection,
// log-in and TLS. The articles are handed out in their usual order; each
// keeps its retry rules, and one waiting for its retry holds up no other
// connection. Throws like the one-connection run.
void postInParallel(Posting& posting);

}  // namespace pelmor
