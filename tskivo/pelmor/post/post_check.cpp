#include "post_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>

#include "article.h"
#include "common/text_fields.h"
#include "kelvo_exception.h"
#include "message_id.h"
#include "nzb.h"
#include "reporter.h"

namespace pelmor {

namespace {

constexpr int kRounds = 3;

// STAT with up to three tries over connections that fail.
StatResult askFor(PostJob& job, NntpSession& session, const std::string& messageId) {
    for (int attempt = 1;; ++attempt) {
        try {
            return session.stat(messageId);
        } catch (const Kelvo_Exception& e) {
            if (attempt == 3) throw;
            job.line("Caught exception " + e.message);
        }
    }
}

std::string absolute(const std::string& path) {
    return !path.empty() && path[0] == '/' ? path : common::currentDirectory() + "/" + path;
}

// One entry a line, the texts in hexadecimal.
std::string carriedLine(const CheckEntry& e) {
    return common::hexText(e.path) + "\t" + common::hexText(e.postAs) + "\t" + std::to_string(e.encoding) + "\t" +
           std::to_string(e.lines) + "\t" + std::to_string(e.part) + "\t" + common::hexText(e.subject) + "\t" +
           common::hexText(e.sender) + "\t" + common::hexText(e.references) + "\t" + (e.intro ? "1" : "0") + "\t" + e.messageId +
           "\t" + std::to_string(e.due) + "\t" + std::to_string(e.reposts) + "\t" + (e.counted ? "1" : "0") + "\t" +
           std::to_string(e.server) + "\n";
}

bool parseCarried(const std::string& line, CheckEntry& e) {
    const auto f = common::splitFields(line, '\t');
    const auto number = [](std::string_view text) { return common::readDecimal(std::string(text)); };
    if ((f.size() != 13 && f.size() != 14) || !validMessageId(std::string(f[9])) || !common::fromHex(f[0], e.path) ||
        !common::fromHex(f[1], e.postAs) || !common::fromHex(f[5], e.subject) || !common::fromHex(f[6], e.sender) ||
        !common::fromHex(f[7], e.references))
        return false;
    e.encoding = static_cast<int>(number(f[2]));
    e.lines = static_cast<int>(number(f[3]));
    e.part = static_cast<int>(number(f[4]));
    e.intro = f[8] == "1";
    e.messageId = std::string(f[9]);
    e.due = static_cast<std::uint32_t>(number(f[10]));
    e.reposts = static_cast<int>(number(f[11]));
    e.counted = f[12] == "1";
    e.countedMissing = e.counted;
    e.server = f.size() == 14 ? static_cast<int>(number(f[13])) : 0;
    e.file = -1;
    return e.part > 0 && e.lines > 0;
}

}  // namespace

std::string carriedChecksPath(const JobSettings& settings) {
    return settings.runState.empty() ? std::string() : settings.runState + ".checks";
}

PostChecker::PostChecker(Posting& posting, NzbWriter* nzb)
    : posting_(posting),
      nzb_(nzb),
      delayMs_(static_cast<std::uint32_t>(posting.settings.checkDelaySeconds * 1000)) {
    // What the folder before this one had not asked for yet.
    const std::string carried = carriedChecksPath(posting.settings);
    if (!carried.empty()) {
        std::ifstream in(carried);
        for (std::string line; std::getline(in, line);) {
            CheckEntry e;
            // The run's counts so far: the line of the run's last job tells
            // them whole (a folder's job mostly asks for its elder's).
            const auto f = common::splitFields(line, '\t');
            if (f.size() == 4 && f[0] == "T") {
                checked_ = static_cast<std::uint64_t>(common::readDecimal(std::string(f[1])));
                missing_ = static_cast<std::uint64_t>(common::readDecimal(std::string(f[2])));
                reposted_ = static_cast<std::uint64_t>(common::readDecimal(std::string(f[3])));
                carriedCounts_ = true;
            } else if (parseCarried(line, e)) {
                queue_.push(e);
            }
        }
        in.close();
        unlink(carried.c_str());
    }
    thread_ = std::thread([this] { loop(); });
}

PostChecker::~PostChecker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void PostChecker::enqueue(const Article& a, bool resumed) {
    const FileEntry& file = posting_.job.files[static_cast<std::size_t>(a.file)];
    const Threading t = threading(posting_.job, posting_.settings, a.file);
    CheckEntry e;
    e.path = absolute(file.name);
    e.postAs = posting_.settings.obfuscate ? file.wireName : file.postAs;
    e.encoding = file.encoding;
    e.lines = posting_.settings.lines;
    e.part = a.part;
    e.subject = a.subject;
    e.sender = a.sender;
    e.references = t.references;
    e.intro = t.introText != nullptr;
    e.messageId = a.messageId;
    // Resumed: posted long ago, asked for at once.
    e.due = posting_.job.clock.tickMs() + (resumed ? 0 : delayMs_);
    e.file = a.file;
    e.server = a.server;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push(e);
    }
    wake_.notify_all();
}

void PostChecker::loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_ && !unanswerable_ && !failure_) {
        if (posting_.job.stopRequested()) break;
        if (queue_.empty()) {
            wake_.notify_all();  // finish may be waiting for this
            wake_.wait_for(lock, std::chrono::milliseconds(50));
            continue;
        }
        const std::int32_t left = static_cast<std::int32_t>(queue_.top().due - posting_.job.clock.tickMs());
        if (left > 0) {
            if (finishing_) {
                // Nothing else to do: wait on the job's clock for the next
                // (a little at a time when a stop may be asked for).
                lock.unlock();
                posting_.job.clock.sleepMs(
                    static_cast<std::uint32_t>(posting_.job.stop ? std::min<std::int32_t>(left, 250) : left));
                lock.lock();
            } else {
                // While the job posts: look again soon (real time; the job's
                // clock moves with the posting).
                wake_.wait_for(lock, std::chrono::milliseconds(std::min<std::int32_t>(left, 50)));
            }
            continue;
        }
        CheckEntry e = queue_.top();
        queue_.pop();
        ++busy_;
        lock.unlock();
        try {
            check(e);
        } catch (...) {
            lock.lock();
            failure_ = std::current_exception();
            --busy_;
            break;
        }
        lock.lock();
        --busy_;
        posting_.report.checking(asked_, queue_.size(), missing_, reposted_);
    }
    wake_.notify_all();
}

NntpSession& PostChecker::askerFor(const CheckEntry& e) {
    // The check server when one is given; else the server the article went
    // to (a backup after a fail-over: the main server never had it).
    if (posting_.settings.checkServer) {
        if (!session_) session_ = posting_.openCheckSession();
        return *session_;
    }
    const auto server = static_cast<std::size_t>(std::clamp<int>(e.server, 0, static_cast<int>(posting_.servers.size()) - 1));
    if (askers_.size() < posting_.servers.size()) askers_.resize(posting_.servers.size());
    if (!askers_[server]) askers_[server] = posting_.openSession(false, static_cast<int>(server));
    return *askers_[server];
}

bool PostChecker::check(CheckEntry e) {
    PostJob& job = posting_.job;
    NntpSession& asker = askerFor(e);
    const StatResult r = askFor(job, asker, e.messageId);
    std::unique_lock<std::mutex> lock(mutex_);
    ++asked_;
    if (r == StatResult::Unanswerable) {
        // "500 unknown command", "502 no permission": the server cannot
        // tell, so nothing is posted again on its word.
        job.line("The server cannot be checked (reply \"" + asker.lastResponse() + "\"); nothing was posted again.");
        unanswerable_ = true;
        return false;
    }
    if (!e.counted) ++checked_;
    if (r == StatResult::Present) return true;
    // Not there yet: asked again, spaced, before it counts as missing (a
    // provider may show an article only seconds after it took it).
    if (++e.missingAsks < posting_.settings.checkAsks) {
        e.counted = true;
        e.due = job.clock.tickMs() + static_cast<std::uint32_t>(posting_.settings.checkSpacingSeconds * 1000);
        queue_.push(e);
        return true;
    }
    e.missingAsks = 0;
    if (!e.countedMissing) ++missing_;
    e.countedMissing = true;
    e.counted = true;
    if (e.reposts == kRounds) {
        stillMissing_.push_back(e);
        return true;
    }
    lock.unlock();
    repost(e);
    lock.lock();
    queue_.push(e);
    return true;
}

void PostChecker::repost(CheckEntry& e) {
    PostJob& job = posting_.job;
    const JobSettings& settings = posting_.settings;
    // Posted again: a new Message-ID, the same subject, sender and body.
    Article a;
    std::unique_ptr<Encoder> encoder = makeEncoder(e.encoding, e.lines, e.path);
    bool made = false;
    if (encoder) {
        if (!e.postAs.empty()) encoder->setName(e.postAs);
        const std::size_t bound = encoder->encodedSizeBound();
        a.body.reset(new char[bound]);
        a.capacity = bound;
        try {
            made = encoder->encodePart(e.part, a.body.get(), bound, encoder->parts());
        } catch (const Kelvo_Exception&) {
        }
    }
    if (!made)
        throw Kelvo_Exception(0, "Unable to read " + e.path + " to post part " + std::to_string(e.part) + " again");
    a.bodyLength = encoder->encodedLength();
    a.file = e.file;
    a.part = e.part;
    a.subject = e.subject;
    a.sender = e.sender;
    a.attemptsLeft = settings.maxRetries;
    const std::string previous = e.messageId;
    const std::string* intro = e.intro && settings.introText ? &*settings.introText : nullptr;
    if (settings.checkServer && !poster_) poster_ = posting_.openSession(false, e.server);
    NntpSession& session = settings.checkServer ? *poster_ : askerFor(e);
    for (;;) {
        posting_.checkStop();
        try {
            postArticle(settings, session, a, e.references, intro);
            posting_.bytes += session.bytesSent();
            ++posting_.articles;
            break;
        } catch (const Kelvo_Exception& failure) {
            std::uint32_t waitMs = 0;
            if (afterFailure(job.log, failure, a, waitMs) != AfterFailure::Retry) throw;
            posting_.wait(waitMs);
        }
    }
    ++reposted_;
    ++posting_.reposted;
    e.messageId = a.messageId;
    ++e.reposts;
    e.due = job.clock.tickMs() + delayMs_;
    // The NZB names the copy the server has.
    if (e.file >= 0) {
        posting_.record.replaced(a);
    } else if (nzb_) {
        std::string error;
        if (!nzb_->replaceSegment(previous.substr(1, previous.size() - 2), a.messageId.substr(1, a.messageId.size() - 2),
                                  a.bytes, error))
            job.line(error);
    }
}

void PostChecker::finish(bool handOver) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (handOver) {
        // The next folder's job asks for these while it posts.
        while (busy_ > 0 && !failure_) wake_.wait_for(lock, std::chrono::milliseconds(20));
        stop_ = true;
        std::string text = "T\t" + std::to_string(checked_) + "\t" + std::to_string(missing_) + "\t" +
                           std::to_string(reposted_) + "\n";
        for (auto copy = queue_; !copy.empty(); copy.pop()) text += carriedLine(copy.top());
        handedOver_ = queue_.size();
        const std::string path = carriedChecksPath(posting_.settings);
        std::ofstream out(path, std::ios::trunc);
        out << text;
    } else {
        finishing_ = true;
        wake_.notify_all();
        wake_.wait(lock, [&] {
            return ((queue_.empty() || unanswerable_) && busy_ == 0) || failure_ || posting_.job.stopRequested();
        });
        stop_ = true;
    }
    lock.unlock();
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    posting_.checkStop();
    if (failure_) std::rethrow_exception(failure_);
    if (posting_.record.saveFailed()) return;
    posting_.record.save();
    if (unanswerable_) return;
    // Counts of the run so far (each folder's articles are mostly asked for
    // while the next folder posts), whole with the run's last job.
    const std::string counts = std::to_string(checked_) + " articles checked, " + std::to_string(missing_) +
                               " missing, " + std::to_string(reposted_) + " posted again";
    if (handOver)
        posting_.job.line("Post check so far: " + counts + "; " + std::to_string(handedOver_) +
                          " more are asked for while the next folder posts.");
    else
        posting_.job.line(std::string(carriedCounts_ ? "Post check of the whole run: " : "Post check: ") + counts + ".");
    posting_.report.checkDone(checked_, missing_, reposted_);
    if (!stillMissing_.empty())
        throw Kelvo_Exception(0, "Post check: " + std::to_string(stillMissing_.size()) +
                                     " articles are still not on the server after they were posted again " +
                                     std::to_string(kRounds) + " times.");
}

void testServer(PostJob& job, const JobSettings& settings) {
    const SessionContext context{SocketContext{job.clock, job.log, settings.responseTimeoutMs, settings.performanceLog},
                                 settings.verbosity, false, nullptr, 0, settings.proxy ? &*settings.proxy : nullptr};
    NntpSession session(settings.server, context, false);
    const std::string label = settings.server.label();
    if (!session.login()) {
        const std::string said = session.lastResponse();
        throw Kelvo_Exception(0, session.refused() ? label + " turned the connection away: " + session.greeting()
                                                   : "The log-in at " + label + " failed" + (said.empty() ? "." : ": " + said));
    }
    job.line("Connected to " + label + (settings.server.tls ? " over TLS" : "") +
             (settings.proxy ? " through the proxy " + settings.proxy->label() : "") + ".");
    job.line("The server says: " + session.greeting());
    job.line(settings.server.login ? "Logged in as " + settings.server.login->user + "."
                                   : "No log-in given (the server did not ask for one yet).");
    // RFC 3977 5.1.1: 200 posting allowed, 201 not.
    if (session.greeting().rfind("201", 0) == 0)
        job.line(settings.server.login ? "The greeting says posting is not allowed; many servers allow it after the log-in."
                                       : "Posting is not allowed without a log-in: give your user name and password.");
    else
        job.line("Posting is allowed.");
    session.logout();
}

void verifyNzb(PostJob& job, const JobSettings& settings) {
    NzbWriter nzb;
    std::string error;
    struct stat st {};
    if (settings.nzbPath.empty() || stat(settings.nzbPath.c_str(), &st) != 0)
        throw Kelvo_Exception(0, "-verify needs -o with an NZB file that exists.");
    if (!nzb.open(settings.nzbPath, error)) throw Kelvo_Exception(0, error);
    // (the session keeps a reference to its context: it must outlive it)
    const SessionContext context{SocketContext{job.clock, job.log, settings.responseTimeoutMs, settings.performanceLog},
                                 settings.verbosity, settings.printHeader, nullptr, 0,
                                 settings.proxy ? &*settings.proxy : nullptr};
    NntpSession session(settings.checkServer ? *settings.checkServer : settings.server, context, true);
    std::uint64_t missingFiles = 0, articles = 0;
    std::string stopReason;
    nzb.scan([&](const std::string& element) {
        if (!stopReason.empty()) return;
        NzbFile f;
        std::string problem;
        if (!parseFileElement(element, f, &problem)) {
            if (!problem.empty()) job.line("Verify: an entry cannot be used (" + problem + ").");
            return;
        }
        std::uint64_t missing = 0;
        for (const auto& s : f.segments) {
            if (job.stopRequested()) throw Interrupted{};
            const StatResult r = askFor(job, session, "<" + s.messageId + ">");
            ++articles;
            if (r == StatResult::Unanswerable) {
                stopReason = session.lastResponse();
                return;
            }
            if (r == StatResult::Missing) ++missing;
        }
        const std::string name = f.name.empty() ? f.subject : f.name;
        if (missing) ++missingFiles;
        job.line(missing ? "Verify: " + name + ": " + std::to_string(missing) + " of " +
                               std::to_string(f.segments.size()) + " articles missing."
                         : "Verify: " + name + ": all " + std::to_string(f.segments.size()) + " articles are there.");
    });
    if (!stopReason.empty()) throw Kelvo_Exception(0, "The server cannot be checked (reply \"" + stopReason + "\").");
    job.totals.articles = articles;
    if (missingFiles)
        throw Kelvo_Exception(0, "Verify: " + std::to_string(missingFiles) + " files of " + settings.nzbPath +
                                     " are missing articles.");
    job.line("Verify: every article " + settings.nzbPath + " lists is on the server.");
}

}  // namespace pelmor
