#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "driver.h"
#include "encoder.h"
#include "kelvo_exception.h"
#include "nntp_session.h"
#include "nzb.h"
#include "post_record.h"
#include "subject.h"
#include "throttled_socket.h"

namespace pelmor {

namespace {

// One article: its place in the job, what goes into it, and its retries.
struct Article {
    int file = 0;  // index into the job's files
    int part = 0;
    std::string subject;
    std::string sender;
    std::unique_ptr<char[]> body;  // encoded straight into, never copied
    std::size_t bodyLength = 0;
    long long attemptsLeft = 0;
    std::uint32_t notBefore = 0;  // clock tick; 0 for a fresh article
};

class Scheduler {
public:
    Scheduler(PostJob& job, std::size_t capacity, int connections)
        : job_(job), capacity_(capacity), alive_(connections), waitingToConnect_(connections) {}

    // The producer's side; false once the job has failed.
    bool push(std::unique_ptr<Article> a) {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [&] { return fresh_.size() < capacity_ || failed_; });
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
    void producerDone() {
        std::lock_guard<std::mutex> lock(mutex_);
        producerDone_ = true;
        ready_.notify_all();
    }
    // A connection's side: the next article it may post, or nothing when the
    // job is done or failed. Articles of later files of a threaded job wait
    // for the first article, which they reference.
    std::unique_ptr<Article> take() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
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
            if (producerDone_ && fresh_.empty() && waiting_.empty() && inFlight_ == 0) return nullptr;
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
    void accepted(std::unique_ptr<Article> a, const std::string& messageId, std::uint64_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        if (a->file == 0 && a->part == firstPart_ && !gateOpen_) {
            job_.firstMessageId = messageId;
            gateOpen_ = true;
        }
        if (job_.record) job_.record->accepted({a->file, a->part, a->subject, a->sender, messageId, bytes});
        ready_.notify_all();
    }
    void retryLater(std::unique_ptr<Article> a, std::uint32_t waitMs) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        a->notBefore = job_.clock.tickMs() + waitMs;
        waiting_.push_back(std::move(a));
        ready_.notify_all();
    }
    // Back at once, no attempt spent: its connection was refused.
    void handBack(std::unique_ptr<Article> a) {
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        a->notBefore = job_.clock.tickMs();
        waiting_.push_front(std::move(a));
        ready_.notify_all();
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
        if (alive_ <= 1) return false;
        --alive_;
        ready_.notify_all();
        return true;
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
    int waitingToConnect_;
    int firstPart_ = 1;
    bool gateOpen_ = false;  // the first article, which later files reference, is on the server
    bool firstFileHasArticles_ = false;
};

// One connection: its own session, taking articles until none are left.
void connectionLoop(PostJob& job, NntpSession& session, Scheduler& scheduler, int connections,
                    std::atomic<std::uint64_t>& jobBytes) {
    // Connect at once, so a server that takes fewer connections is known
    // before the articles are shared out.
    bool in = true;
    try {
        session.login();
        in = !session.refused();
    } catch (const Kelvo_Exception&) {
        in = false;
    }
    if (!in && scheduler.retire()) {
        session.abandon();
        scheduler.reported(connections);
        return;
    }
    scheduler.reported(connections);

    const std::string hostname = job.getOption("hostname");
    const std::string newsgroups = job.getOption("newsgroups");
    const std::string references = job.getOption("references");
    const std::string extra = job.getOption("xheaders");
    const std::string introFile = job.getOption("introtextfile");
    while (auto a = scheduler.take()) {
        try {
            const std::string messageId = makeMessageId(hostname);
            // A later file's article is handed out only once the first article
            // is on the server, so its id is known here.
            const Threading t = threading(job, a->file + 1, references, introFile);
            if (!session.post(newsgroups, a->sender, a->subject, messageId, t.references,
                              extra.empty() ? nullptr : &extra, std::string_view(a->body.get(), a->bodyLength),
                              t.introTextFile))
                throw Kelvo_Exception(1, session.lastResponse());
            jobBytes += session.bytesSent();
            scheduler.accepted(std::move(a), messageId, session.articleBytes());
        } catch (const Kelvo_Exception& e) {
            if (!mayRetry(job, e, a->attemptsLeft)) {
                scheduler.failInFlight(std::current_exception());
                break;
            }
            if (session.refused() && scheduler.retire()) {
                // Turned away on reconnecting: the others post it; no attempt spent.
                ++a->attemptsLeft;
                scheduler.handBack(std::move(a));
                session.abandon();
                return;
            }
            job.line("Nonfatal; we'll try again, waiting 1min.");
            scheduler.retryLater(std::move(a), kRetryWaitMs);
        }
    }
}

}  // namespace

std::uint64_t runParallel(PostJob& job, int connections) {
    // Read once here: lookups that add a fallback must not race.
    const long long retries = readDecimal(job.getOptionOr("max_retries", "60"));
    job.getOptionOr("log_performance_data", "0");
    std::optional<RateLimiter> limiter;
    if (const std::uint32_t rate = throttleRate(job)) limiter.emplace(job.clock, rate);
    struct Detach {
        PostJob& job;
        ~Detach() { job.sharedThrottle = nullptr; }
    } detach{job};
    job.sharedThrottle = limiter ? &*limiter : nullptr;
    // The first session prints the job header's server lines, as one does.
    std::vector<std::unique_ptr<NntpSession>> sessions;
    for (int i = 0; i < connections; ++i) sessions.push_back(openSession(job, i == 0));

    std::atomic<std::uint64_t> jobBytes{0};
    // A part per connection waits ready, besides the one each is posting.
    Scheduler scheduler(job, static_cast<std::size_t>(connections), connections);
    if (!job.firstMessageId.empty()) scheduler.openGate();
    std::vector<std::thread> threads;
    for (auto& session : sessions)
        threads.emplace_back([&] {
            connectionLoop(job, *session, scheduler, connections, jobBytes);
            session.reset();  // QUIT, on every connection at once
        });

    std::optional<ProcessExit> exitNow;
    const int count = static_cast<int>(job.files.size());
    const int lines = static_cast<int>(readDecimal(job.getOption("lines")));
    bool firstPartSet = false;
    try {
        for (int f = 0; f < count && !scheduler.failed(); ++f) {
            const FileEntry& file = job.files[static_cast<std::size_t>(f)];
            const auto entry = statPath(file.name);
            const std::uint32_t size = entry ? static_cast<std::uint32_t>(entry->size) : 0;
            std::unique_ptr<Encoder> encoder = makeEncoder(file.encoding, lines, file.name);
            if (!encoder) throw Kelvo_Exception(0, "Unable to create encoding object");
            const int parts = encoder->parts();
            const std::set<int>& posted = job.record->alreadyPosted(f);
            const std::size_t bound = parts > 0 ? encoder->encodedSizeBound() : 0;
            for (int p = 1; p <= parts && !scheduler.failed(); ++p) {
                if (!partWanted(file, posted, p)) continue;
                auto a = std::make_unique<Article>();
                a->body.reset(new char[bound]);
                if (!encoder->encodePart(p, a->body.get(), bound, parts)) {
                    sayUnencodable(p);
                    exitNow = ProcessExit{255};
                    break;
                }
                if (f == 0 && !firstPartSet) {
                    scheduler.setFirstPart(p);
                    firstPartSet = true;
                }
                a->bodyLength = encoder->encodedLength();
                a->file = f;
                a->part = p;
                const SubjectLines subject = subjectFor(job, file, p, parts, f + 1, count, size);
                a->subject = subject.subject;
                a->sender = job.scramble ? makeRandomSender(job.clock) : job.getOption("from");
                a->attemptsLeft = retries;
                printProgress(job, subject, p, parts);
                if (!scheduler.push(std::move(a))) break;
            }
            if (exitNow) break;
            scheduler.fileHandedOut(f);
            if (parts > 0) job.line("");
        }
    } catch (...) {
        scheduler.fail(std::current_exception());
    }
    if (exitNow) scheduler.fail(nullptr);
    scheduler.producerDone();
    for (auto& t : threads) t.join();
    job.record->save();  // what was accepted, also of files that did not finish
    if (exitNow) throw *exitNow;
    if (const auto e = scheduler.failure()) std::rethrow_exception(e);
    return jobBytes.load();
}

}  // namespace pelmor
