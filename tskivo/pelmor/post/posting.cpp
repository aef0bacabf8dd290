#include "posting.h"

#include <algorithm>

#include "kelvo_exception.h"
#include "post_check.h"
#include "reporter.h"

namespace pelmor {

Posting::Posting(PostJob& job_, const JobSettings& settings_, PostRecord& record_, Reporter& report_)
    : job(job_),
      settings(settings_),
      record(record_),
      report(report_),
      sessions{SocketContext{job_.clock, job_.log, settings_.responseTimeoutMs, settings_.performanceLog},
               settings_.verbosity,
               settings_.printHeader,
               nullptr,
               settings_.throttle,
               settings_.proxy ? &*settings_.proxy : nullptr},
      choice(1 + static_cast<int>(settings_.backups.size())) {
    // A folder runner's job with folders after it leaves its connections
    // open for the next folder's job.
    // Folder jobs that overlap keep theirs whatever their place: a job
    // before the last may still need them after the last ended; the last
    // to end closes them. With another run to come, the last keeps them too.
    sessions.keepOpen =
        (settings.run.folder > 0 && settings.run.folder < settings.run.folders) || job.turn >= 0 || settings.run.more;
    sessions.anonymous = settings.obfuscate;
    servers.push_back(settings.server);
    servers.insert(servers.end(), settings.backups.begin(), settings.backups.end());
    took_ = std::make_unique<std::atomic<std::uint64_t>[]>(servers.size());
}

std::unique_ptr<NntpSession> Posting::openSession(bool announce, int server) {
    return std::make_unique<NntpSession>(servers.at(static_cast<std::size_t>(server)), sessions, announce);
}

std::unique_ptr<NntpSession> Posting::openCheckSession() {
    if (!settings.checkServer) return openSession(false);
    return std::make_unique<NntpSession>(*settings.checkServer, sessions, false);
}

ServerSessions::ServerSessions(Posting& posting, bool announce)
    : posting_(posting), announce_(announce), sessions_(posting.servers.size()) {
    at(0);  // the main server's lines of the job header come first
}

NntpSession& ServerSessions::at(int server) {
    auto& s = sessions_.at(static_cast<std::size_t>(server));
    if (!s) s = posting_.openSession(announce_ && server == 0, server);
    return *s;
}

void ServerSessions::abandon() {
    for (auto& s : sessions_)
        if (s) s->abandon();
}

Posting::Outcome Posting::attempt(ServerSessions& ss, Article& a, std::uint32_t& waitMs, std::exception_ptr& failure) {
    a.server = choice.serverFor(ss.choice, a.server, job.clock.tickMs());
    NntpSession& session = ss.at(a.server);
    try {
        postOnce(job, settings, session, a);
        bytes += session.bytesSent();
        ++articles;
        ++took_[static_cast<std::size_t>(a.server)];
        return Outcome::Accepted;
    } catch (const Kelvo_Exception& e) {
        using Step = ServerChoice::Step;
        using Failure = ServerChoice::Failure;
        const Failure why = e.retryable == kFatal || e.retryable == kSkipFile ? Failure::ForGood
                            : session.refused() && !session.loginFailed()   ? Failure::TurnedAway
                            : session.loginFailed()                         ? Failure::LogInFailed
                                                                            : Failure::Passing;
        const int was = a.server;
        const auto label = [&](int server) { return servers[static_cast<std::size_t>(server)].label(); };
        const Step step = choice.failed(ss.choice, a.server, a.triesHere, why, job.clock.tickMs());
        if (step != Step::UseRetryRules && step != Step::BackToMain) {
            // A backup follows: no waiting a minute on this server.
            job.line("Caught exception " + e.message);
            waitMs = 0;
            if (step == Step::ServerUnusable)
                job.line("The server " + label(was) + " cannot be used; posting on " + label(a.server) + ".");
            if (step == Step::GoesToNext)
                job.line("Part " + std::to_string(a.part) + " of " + postedName(job.files[static_cast<std::size_t>(a.file)]) +
                         " goes to " + label(a.server) + ".");
            if (step == Step::TryAgainHere) {
                job.line("Nonfatal; trying once more in " + std::to_string(kQuickRetryMs / 1000) + " seconds.");
                waitMs = kQuickRetryMs;
            }
            return Outcome::Retry;
        }
        if (step == Step::BackToMain)
            job.line("The backup " + label(was) + " cannot be used now; back to " + label(0) + ".");
        // The refusal's own words ("441 Newsgroup not allowed"), which the
        // end-of-POST message leaves to the driver.
        const std::string said = e.message == kEndOfPostFailure ? session.lastResponse() : std::string();
        if (!said.empty()) job.line("The server said: " + said);
        const AfterFailure next = afterFailure(job.log, e, a, waitMs);
        if (next == AfterFailure::GiveUp) {
            failure = std::current_exception();
            return Outcome::GiveUp;
        }
        report.retried(a, said.empty() ? e.message : e.message + " (" + said + ")", waitMs);
        if (next == AfterFailure::SkipFile) {
            skipFile(a.file, e.message);
            return Outcome::Skip;
        }
        return Outcome::Retry;
    }
}

void Posting::accepted(const Article& a) {
    record.accepted(a);
    report.accepted(a);
    if (checker) checker->enqueue(a);
}

void Posting::checkStop() const {
    if (job.stopRequested()) throw Interrupted{};
}

void Posting::wait(std::uint32_t ms) const {
    if (!job.stop) {
        job.clock.sleepMs(ms);
        return;
    }
    while (ms > 0) {
        checkStop();
        const std::uint32_t step = ms < 250 ? ms : 250;
        job.clock.sleepMs(step);
        ms -= step;
    }
}

bool Posting::postWithRetries(ServerSessions& ss, Article& a) {
    for (;;) {
        checkStop();
        std::uint32_t waitMs = 0;
        std::exception_ptr failure;
        switch (attempt(ss, a, waitMs, failure)) {
            case Outcome::Accepted: return true;
            case Outcome::Skip: return false;
            case Outcome::GiveUp: std::rethrow_exception(failure);
            case Outcome::Retry: wait(waitMs); break;
        }
    }
}

void Posting::skipFile(int file, const std::string& message) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!skipped_.insert(file).second) return;
    }
    job.line("Skipping " + job.files[static_cast<std::size_t>(file)].name + ": " + message);
}

bool Posting::skipped(int file) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return skipped_.count(file) != 0;
}

std::set<int> Posting::skippedFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return skipped_;
}

}  // namespace pelmor
