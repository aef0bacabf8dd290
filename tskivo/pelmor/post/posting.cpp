#include "posting.h"

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
               settings_.verbosity, settings_.printHeader, nullptr, settings_.throttle} {}

std::unique_ptr<NntpSession> Posting::openSession(bool announce) {
    return std::make_unique<NntpSession>(settings.server, sessions, announce);
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

bool Posting::postWithRetries(NntpSession& session, Article& a) {
    for (;;) {
        checkStop();
        try {
            postOnce(job, settings, session, a);
            bytes += session.bytesSent();
            ++articles;
            return true;
        } catch (const Kelvo_Exception& e) {
            std::uint32_t waitMs = 0;
            const AfterFailure next = afterFailure(job.log, e, a, waitMs);
            if (next == AfterFailure::GiveUp) throw;
            report.retried(a, e.message);
            if (next == AfterFailure::SkipFile) {
                skipFile(a.file, e.message);
                return false;
            }
            wait(waitMs);
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
