// What the posting loops of one job share: the job and its settings, the
// record of what the server took, the sessions' context and the job's
// byte total.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "job/settings.h"
#include "net/nntp_session.h"
#include "post_record.h"
#include "server_choice.h"

namespace pelmor {

class PostChecker;
class Posting;
class Reporter;

// One connection's sessions, a session a server (the main one and each
// backup), opened as they are needed.
class ServerSessions {
public:
    ServerSessions(Posting& posting, bool announce);
    NntpSession& at(int server);
    // Leaves every connection without QUIT (the process is about to end).
    void abandon();
    // Which server this connection leans to (see ServerChoice).
    ServerChoice::Connection choice;

private:
    Posting& posting_;
    bool announce_;
    std::vector<std::unique_ptr<NntpSession>> sessions_;
};

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
    // File f's CRC-32 when another reader of it has it (none: the encoder
    // reads the file for it).
    std::function<std::optional<std::uint32_t>(int f)> fileCrc;

    // A session to the job's server with the job's log-in; `announce`
    // prints the server lines of the job header.
    std::unique_ptr<NntpSession> openSession(bool announce, int server = 0);
    // A session for asking whether articles arrived: the check server
    // when one is given, else the main server.
    std::unique_ptr<NntpSession> openCheckSession();
    // The main server, then the backups.
    std::vector<ServerSettings> servers;
    // Which server each attempt goes to, for every connection of the job.
    ServerChoice choice;
    // What one attempt came to.
    enum class Outcome { Accepted, Retry, Skip, GiveUp };
    // One attempt of `a` on its server: on failure the retry rule, and with
    // backup servers the move to the next one (at once when the server
    // cannot be used, after a quick retry when it refused the article);
    // `waitMs` for Retry, `failure` for GiveUp.
    Outcome attempt(ServerSessions& ss, Article& a, std::uint32_t& waitMs, std::exception_ptr& failure);
    // Articles each server took, for the job's last lines.
    std::uint64_t took(int server) const { return took_[static_cast<std::size_t>(server)]; }
    // An article the server took: recorded, reported, and checked when asked.
    void accepted(const Article& a);
    // Posts `a` over the session, waiting out its retries on this thread;
    // false when the server will not take the file (skipped). Throws when
    // the article fails for good.
    bool postWithRetries(ServerSessions& ss, Article& a);
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
    std::unique_ptr<std::atomic<std::uint64_t>[]> took_;
};

// One connection, the articles one after another.
void postInOrder(Posting& posting);
// Over `settings.connections` sessions, each with its own connection,
// log-in and TLS. The articles are handed out in their usual order; each
// keeps its retry rules, and one waiting for its retry holds up no other
// connection. Throws like the one-connection run.
void postInParallel(Posting& posting);

}  // namespace pelmor
