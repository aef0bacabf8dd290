// Posting a job over several connections at once: one producer encodes the
// articles in order into a short queue, and each connection takes the next
// one it may post.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "article.h"
#include "job_turns.h"
#include "net/connection_pool.h"
#include "kelvo_exception.h"
#include "posting.h"
#include "reporter.h"

namespace pelmor {

namespace {

class Scheduler {
public:
    // `slotKey`: what the job's connections are taken under when its
    // folder overlaps others.
    Scheduler(PostJob& job, std::size_t capacity, int connections, std::string slotKey)
        : job_(job), capacity_(capacity), alive_(connections), waitingToConnect_(connections),
          slotKey_(std::move(slotKey)) {}

    // The producer's side; false once the job has failed.
    bool push(std::unique_ptr<Article> a) {
        std::unique_lock<std::mutex> lock(mutex_);
        // While the first article is not yet on the server, twice as many
        // wait: a small folder is handed out whole meanwhile, and the next
        // folder's job can start.
        room_.wait(lock, [&] { return fresh_.size() < capacity_ * (gateOpen_ ? 1 : 2) || failed_; });
        if (failed_) return false;
        if (a->file == 0) firstFileHasArticles_ = true;
        fresh_.push_back(std::move(a));
        ready_.notify_one();
        return true;
    }
    void fileHandedOut(int file) {
        std::lock_guard<std::mutex> lock(mutex_);
        // A first file without articles leaves nothing to wait for.
        if (file == 0 && !firstFileHasArticles_) gateOpen_ = true;
        ready_.notify_all();
    }
    // The first article is on the server already (a resumed job).
    void openGate() {
        std::lock_guard<std::mutex> lock(mutex_);
        gateOpen_ = true;
    }
    // The first connection tries the server alone; the others connect once
    // it answered, so a server that cannot be reached meets one
    // connection's few tries instead of every connection's. False when the
    // job ended first (failed, stopped or done).
    bool awaitServer() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (serverAnswered_) return true;
            if (failed_ || job_.stopRequested() || over()) return false;
            ready_.wait_for(lock, std::chrono::milliseconds(250));
        }
    }
    bool answered() {
        std::lock_guard<std::mutex> lock(mutex_);
        return serverAnswered_;
    }
    void serverAnswered() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serverAnswered_) return;
        serverAnswered_ = true;
        ready_.notify_all();
    }
    void producerDone() {
        std::lock_guard<std::mutex> lock(mutex_);
        producerDone_ = true;
        ready_.notify_all();
    }
    // A connection's side: the next article it may post, or nothing when the
    // job is done or failed. Articles of later files of a threaded job wait
    // for the first article, which they reference.
    std::unique_ptr<Article> take() { return next(true); }
    // The next article if one may be posted now, else none (no waiting).
    std::unique_ptr<Article> tryTake() { return next(false); }
    std::unique_ptr<Article> next(bool wait) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (job_.stopRequested() && !failed_) {
                failed_ = true;
                failure_ = std::make_exception_ptr(Interrupted{});
                room_.notify_all();
                ready_.notify_all();
            }
            if (failed_) return nullptr;
            const std::uint32_t now = job_.clock.tickMs();
            std::optional<std::uint32_t> soonest;
            for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
                const auto left = static_cast<std::int32_t>((*it)->notBefore - now);
                if (left <= 0 && !gated(**it)) {
                    auto a = std::move(*it);
                    waiting_.erase(it);
                    ++inFlight_;
                    return a;
                }
                if (left > 0) soonest = std::min<std::uint32_t>(soonest.value_or(kRetryWaitMs), static_cast<std::uint32_t>(left));
            }
            if (!fresh_.empty() && !gated(*fresh_.front())) {
                auto a = std::move(fresh_.front());
                fresh_.pop_front();
                ++inFlight_;
                room_.notify_one();
                return a;
            }
            if (over()) return nullptr;
            if (!wait) return nullptr;
            // A folder job followed by another: a connection with nothing
            // left to post leaves (the others finish what they hold, and
            // take their own retries), so that the next folder's job can
            // take the connection now.
            if (job_.turn >= 0 && waiting_.empty() && alive_ - leftEarly_ > 1) {
                if (producerDone_ && fresh_.empty()) {
                    ++leftEarly_;
                    return nullptr;
                }
                // Waiting for this job's first article, it gives way to the
                // next folder's first article: the two wait at once.
                const bool gateWait = !fresh_.empty() && gated(*fresh_.front());
                if (gateWait && JobTurns::instance().firstWaiting(slotKey_)) {
                    ++leftEarly_;
                    return nullptr;
                }
                if (gateWait) {
                    ready_.wait_for(lock, std::chrono::milliseconds(5));
                    continue;
                }
            }
            if (soonest) {
                // Nothing to post until a retry is due: wait for it on the
                // job's clock, a little at a time.
                lock.unlock();
                job_.clock.sleepMs(std::min<std::uint32_t>(*soonest, 250));
                lock.lock();
            } else {
                ready_.wait_for(lock, std::chrono::milliseconds(250));
            }
        }
    }
    void accepted(std::unique_ptr<Article> a, Posting& posting) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        bool opened = false;
        if (a->file == 0 && a->part == firstPart_ && !gateOpen_) {
            job_.firstMessageId = a->messageId;
            gateOpen_ = opened = true;
        }
        posting.accepted(*a);
        wakeWhenDue(opened);
    }
    // Done with, not posted: its file is skipped. When that is the first
    // file, the later ones wait for its first article no longer (they refer
    // to none).
    void dropped(int file) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        const bool opened = file == 0 && !gateOpen_;
        if (file == 0) gateOpen_ = true;
        wakeWhenDue(opened);
    }
    void retryLater(std::unique_ptr<Article> a, std::uint32_t waitMs) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        a->notBefore = job_.clock.tickMs() + waitMs;
        waiting_.push_back(std::move(a));
        ready_.notify_one();  // one connection to keep its time
    }
    // Back at once, no attempt spent: its connection was refused.
    void handBack(std::unique_ptr<Article> a) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        a->notBefore = job_.clock.tickMs();
        waiting_.push_front(std::move(a));
        ready_.notify_one();
    }
    void fail(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failed_) failure_ = e;
        failed_ = true;
        ready_.notify_all();
        room_.notify_all();
    }
    void failInFlight(std::exception_ptr e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --inFlight_;
        }
        fail(e);
    }
    bool failed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_;
    }
    // Failed, or every article done with: a connection still to come is
    // not wanted.
    bool ended() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failed_ || over();
    }
    std::exception_ptr failure() {
        std::lock_guard<std::mutex> lock(mutex_);
        return failure_;
    }
    void setFirstPart(int part) {
        std::lock_guard<std::mutex> lock(mutex_);
        firstPart_ = part;
    }

    // A connection the server refused leaves, unless it is the last one:
    // that one goes on under the usual retry rules.
    bool retire() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (alive_ - leftEarly_ <= 1) return false;
        --alive_;
        ready_.notify_all();
        return true;
    }
    // The same, for a connection holding articles: they go back to the
    // others in the same step (none of them may leave in between).
    bool retireHandingBack(std::unique_ptr<Article>& a, std::unique_ptr<Article>& next) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (alive_ - leftEarly_ <= 1) return false;
        --alive_;
        for (auto* held : {&next, &a})
            if (*held) {
                --inFlight_;
                (*held)->notBefore = job_.clock.tickMs();
                waiting_.push_front(std::move(*held));
            }
        ready_.notify_all();
        return true;
    }
    int alive() {
        std::lock_guard<std::mutex> lock(mutex_);
        return alive_;
    }
    // Every connection says once whether it got in; the last to say so
    // reports how many are in use when that is fewer than asked for.
    void reported(int asked) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--waitingToConnect_ == 0 && alive_ < asked)
            job_.line("The server took " + std::to_string(alive_) + " of " + std::to_string(asked) +
                      " connections; posting over " + std::to_string(alive_) + ".");
    }

private:
    bool gated(const Article& a) const { return job_.threadPosts && a.file > 0 && !gateOpen_; }
    // An article done with brings no new work: the connections waiting are
    // woken only when the gate opened (the later files' articles may go) or
    // the job is over (they leave). Waking them all for every article cost
    // a futex storm per article.
    void wakeWhenDue(bool gateOpened) {
        if (gateOpened || over()) ready_.notify_all();
    }
    bool over() const { return producerDone_ && fresh_.empty() && waiting_.empty() && inFlight_ == 0; }
    PostJob& job_;
    std::mutex mutex_;
    std::condition_variable ready_, room_;
    std::size_t capacity_;
    std::deque<std::unique_ptr<Article>> fresh_;
    std::deque<std::unique_ptr<Article>> waiting_;
    int inFlight_ = 0;
    bool producerDone_ = false;
    bool failed_ = false;
    std::exception_ptr failure_;
    int alive_;
    int leftEarly_ = 0;  // connections that left with others still posting
    int waitingToConnect_;
    std::string slotKey_;
    int firstPart_ = 1;
    bool gateOpen_ = false;  // the first article, which later files reference, is on the server
    bool serverAnswered_ = false;
    bool firstFileHasArticles_ = false;
};

std::string slotKey(const Posting& posting) {
    return ConnectionPool::keyFor(posting.servers.front(), posting.settings.proxy ? &*posting.settings.proxy : nullptr);
}

class Slot {
public:
    Slot(Posting& posting, Scheduler& scheduler, bool first) : job_(posting.job), key_(slotKey(posting)) {
        held = job_.turn < 0 || JobTurns::instance().acquireSlot(key_, posting.settings.connections, first, [&] {
                   return job_.stopRequested() || scheduler.ended();
               });
    }
    ~Slot() {
        if (job_.turn >= 0 && held) JobTurns::instance().releaseSlot(key_);
    }
    bool held = false;

private:
    PostJob& job_;
    std::string key_;
};

// One connection: its own sessions, taking articles until none are left.
void connectionLoop(Posting& posting, std::unique_ptr<ServerSessions>& owned, Scheduler& scheduler, bool first) {
    ServerSessions& sessions = *owned;
    const int connections = posting.settings.connections;
    if (!first && !scheduler.awaitServer()) return;
    // A folder job overlapping the one before takes its connections as that
    // one's leave: no more at once than the job asks for. Its own go back
    // (QUIT, or kept for the next job) before their slots do.
    const Slot slot(posting, scheduler, first);
    if (!slot.held) return;
    struct Close {
        std::unique_ptr<ServerSessions>& owned;
        ~Close() { owned.reset(); }
    } close{owned};
    NntpSession& main = sessions.at(0);
    // Connect at once, so a server that takes fewer connections is known
    // before the articles are shared out. Only a server that turns the
    // connection away counts so; any other failure (down, a refused
    // certificate or log-in) meets the articles' own retry rules, with its
    // own message. With a backup, a connection turned away posts there;
    // once the main server is known unusable, none tries it again.
    try {
        if (posting.choice.firstUsable() == 0) main.login();
    } catch (const Kelvo_Exception&) {
    }
    // Turned away is an answer too: the server is there.
    if (first && (!main.loginFailed() || main.refused())) scheduler.serverAnswered();
    const bool backups = posting.servers.size() > 1;
    if (main.refused() && !main.loginFailed() && backups) {
        int server = 0, tries = 0;
        posting.choice.failed(sessions.choice, server, tries, ServerChoice::Failure::TurnedAway, posting.job.clock.tickMs());
    }
    if (main.refused() && !backups && scheduler.retire()) {
        main.abandon();
        scheduler.reported(connections);
        posting.report.connectionsInUse(scheduler.alive());
        return;
    }
    scheduler.reported(connections);
    posting.report.connectionsInUse(scheduler.alive());

    // With one server, the next article is taken before this one is
    // answered, and its POST goes out with this one's end: one round trip
    // an article instead of two (with backups an article may change
    // servers, so each waits its turn).
    const bool pipelined = !backups;
    std::unique_ptr<Article> a = scheduler.take();
    while (a) {
        std::unique_ptr<Article> next = pipelined ? scheduler.tryTake() : nullptr;
        main.announceNext(next != nullptr);
        const auto giveBack = [&] {
            if (next) scheduler.handBack(std::move(next));
        };
        if (posting.skipped(a->file)) {
            scheduler.dropped(a->file);
        } else {
            // A later file's article is handed out only once the first article
            // is on the server, so its id is known here.
            std::uint32_t waitMs = 0;
            std::exception_ptr failure;
            switch (posting.attempt(sessions, *a, waitMs, failure)) {
                case Posting::Outcome::Accepted:
                    if (first) scheduler.serverAnswered();
                    scheduler.accepted(std::move(a), posting);
                    break;
                case Posting::Outcome::Skip:
                    scheduler.dropped(a->file);
                    break;
                case Posting::Outcome::GiveUp:
                    giveBack();
                    scheduler.failInFlight(failure);
                    return;
                case Posting::Outcome::Retry:
                    if (!backups && main.refused()) {
                        // Turned away on reconnecting: the others post it; no attempt spent.
                        ++a->attemptsLeft;
                        if (scheduler.retireHandingBack(a, next)) {
                            main.abandon();
                            posting.report.connectionsInUse(scheduler.alive());
                            return;
                        }
                        --a->attemptsLeft;  // the last one: it goes on under the usual rules
                    }
                    if (first && !scheduler.answered()) {
                        // Until the server has answered at all, its first
                        // connection keeps to this article: a server that is
                        // not there ends the job after the article's few
                        // tries, not after a few tries of every article.
                        giveBack();
                        next = nullptr;
                        try {
                            posting.wait(waitMs);
                        } catch (...) {
                            scheduler.failInFlight(std::current_exception());
                            return;
                        }
                        continue;
                    }
                    scheduler.retryLater(std::move(a), waitMs);
                    break;
            }
        }
        a = next ? std::move(next) : scheduler.take();
    }
    main.announceNext(false);
}

}  // namespace

void postInParallel(Posting& posting) {
    PostJob& job = posting.job;
    const JobSettings& settings = posting.settings;
    const int connections = settings.connections;
    std::optional<RateLimiter> limiter;
    if (settings.throttle) limiter.emplace(job.clock, settings.throttle);
    posting.sessions.sharedLimiter = limiter ? &*limiter : nullptr;
    struct Detach {
        Posting& posting;
        ~Detach() { posting.sessions.sharedLimiter = nullptr; }
    } detach{posting};
    // The first session prints the job header's server lines, as one does.
    std::vector<std::unique_ptr<ServerSessions>> sessions;
    for (int i = 0; i < connections; ++i) sessions.push_back(std::make_unique<ServerSessions>(posting, i == 0));

    // A part per connection waits ready, besides the one each is posting.
    Scheduler scheduler(job, static_cast<std::size_t>(connections), connections, slotKey(posting));
    if (!job.firstMessageId.empty()) scheduler.openGate();
    std::vector<std::thread> threads;
    for (auto& session : sessions)
        threads.emplace_back([&, first = threads.empty()] {
            connectionLoop(posting, session, scheduler, first);
            session.reset();  // QUIT, on every connection at once
        });

    std::optional<ProcessExit> exitNow;
    const int count = static_cast<int>(job.files.size());
    bool firstPartSet = false;
    std::map<int, std::set<int>> produced;  // by file: the parts handed to the connections
    try {
        for (int f = 0; f < count && !scheduler.failed(); ++f) {
            if (posting.beforeFile) posting.beforeFile(f);
            FileArticles articles(job, settings, f, posting.fileCrc ? posting.fileCrc(f) : std::nullopt);
            const int parts = articles.parts();
            const std::set<int>& posted = posting.record.alreadyPosted(f);
            for (int p = 1; p <= parts && !scheduler.failed() && !posting.skipped(f); ++p) {
                posting.checkStop();
                if (!partWanted(job.files[static_cast<std::size_t>(f)], posted, p)) continue;
                auto a = std::make_unique<Article>();
                if (!articles.make(p, *a, job.clock)) {
                    sayUnencodable(p);
                    exitNow = ProcessExit{255};
                    break;
                }
                if (f == 0 && !firstPartSet) {
                    scheduler.setFirstPart(p);
                    firstPartSet = true;
                }
                posting.report.partStarting(f, articles.subject(p), p, parts);
                produced[f].insert(p);
                if (!scheduler.push(std::move(a))) break;
            }
            if (exitNow) break;
            scheduler.fileHandedOut(f);
            posting.report.fileHandedOut(f, articles.subject(1), parts);
        }
    } catch (...) {
        scheduler.fail(std::current_exception());
    }
    if (exitNow) scheduler.fail(nullptr);
    scheduler.producerDone();
    if (job.turn >= 0) JobTurns::instance().handedOut(job.turn);
    for (auto& t : threads) t.join();
    posting.record.save();  // what was accepted, also of files that did not finish
    if (exitNow) throw *exitNow;
    if (const auto e = scheduler.failure()) std::rethrow_exception(e);
    // Every part handed out must have been taken by the server (or its file
    // skipped): an article lost on the way would otherwise go unnoticed.
    std::string lost;
    for (const auto& [f, parts] : produced) {
        if (posting.skipped(f)) continue;
        for (int p : parts)
            if (posting.record.messageIdOf(f, p).empty())
                lost += (lost.empty() ? "" : ", ") + std::string("part ") + std::to_string(p) + " of " +
                        job.files[static_cast<std::size_t>(f)].name;
    }
    if (!lost.empty()) throw Kelvo_Exception(0, "Not posted although handed out: " + lost + ".");
}

}  // namespace pelmor
