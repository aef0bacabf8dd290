// What a job shows while it posts, in one of three forms:
// - the log as it has always been: per file its display subject and a dot
//   per part;
// - on a terminal, one status line below the log, redrawn at most four
//   times a second (folder n of m, the file, the share of the bytes done,
//   the rate over the last seconds, the time left, connections in use,
//   articles retried or posted again, and what the recovery set and the
//   check are doing); the per-file lines are printed above it;
// - for programs, one JSON object per line on standard output instead of
//   the log.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "article.h"
#include "common/log.h"
#include "job/settings.h"
#include "subject.h"

namespace pelmor {

// An error event and the job's end for a job that failed before it could
// report (its arguments, its check).
void jsonJobFailed(int fd, int status, const std::string& message);

class Reporter final : public common::Overlay {
public:
    enum class Mode { Log, StatusLine, Json };
    Reporter(PostJob& job, const JobSettings& settings, Mode mode);
    ~Reporter() override;
    Reporter(const Reporter&) = delete;
    Reporter& operator=(const Reporter&) = delete;
    Mode mode() const { return mode_; }

    // The job's files are known (the recovery set's included).
    void started();
    // Before part p of file f is posted (the log's progress).
    void partStarting(int file, const SubjectLines& subject, int p, int parts);
    // Every part of file f is handed out.
    void fileHandedOut(int file, const SubjectLines& first, int parts);
    void accepted(const Article& a);
    // An attempt failed; the next comes after `waitMs` (shown until then).
    void retried(const Article& a, const std::string& message, std::uint32_t waitMs);
    void connectionsInUse(int n) { connections_ = n; }
    // The recovery set's progress, asked for as the line is drawn.
    void setPar2Progress(std::function<double()> share) {
        std::lock_guard<std::mutex> lock(mutex_);
        par2_ = std::move(share);
    }
    void checking(std::uint64_t asked, std::uint64_t waiting, std::uint64_t missing, std::uint64_t reposted);
    void checkDone(std::uint64_t checked, std::uint64_t missing, std::uint64_t reposted);
    // The job's end: its status and, when it failed, why.
    void finished(int status, const std::string& message, const JobTotals& totals);

    // The status line (Overlay): taken away and drawn again around log lines.
    void hide() override;
    void show() override;
    // The status line for a terminal `width` columns wide (it is cut there).
    std::string statusText(std::size_t width = 200);

private:
    void tick();
    void event(const std::string& json);
    void progressEvent();
    std::uint64_t rateLocked(std::chrono::steady_clock::time_point now);

    PostJob& job_;
    const JobSettings& settings_;
    Mode mode_;
    std::mutex mutex_;
    std::uint64_t totalBytes_ = 0, doneBytes_ = 0;
    std::map<int, std::pair<int, int>> files_;  // by file: parts handed out, parts accepted
    std::map<int, bool> handedOut_, doneSent_;
    std::string current_;                       // the file being posted
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::uint64_t>> window_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::atomic<int> connections_{0};
    std::string lastRetry_;             // why the last attempt failed
    std::chrono::steady_clock::time_point nextTry_{};  // and when the next one comes
    std::uint64_t retries_ = 0, reposted_ = 0, checkAsked_ = 0, checkWaiting_ = 0, checkMissing_ = 0;
    bool checkingNow_ = false;
    std::function<double()> par2_;
    std::string lastProgress_;
    bool shown_ = false;
    std::thread ticker_;
    std::condition_variable wake_;
    bool stop_ = false;
};

}  // namespace pelmor
