#include "reporter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "codec/encoder.h"
#include "common/size_text.h"
#include "common/utf8.h"
#include "common/write_all.h"

namespace pelmor {

namespace {

// Every event is valid UTF-8 JSON whatever the names: bytes that are not
// UTF-8 become U+FFFD (nlohmann's default throws, and the program ended).
constexpr auto kReplaceInvalid = nlohmann::json::error_handler_t::replace;

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::string durationText(std::uint64_t seconds) {
    char buf[32];
    if (seconds >= 3600)
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60), static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return buf;
}

void writeOut(int fd, const std::string& text) { common::writeAll(fd, text.data(), text.size()); }

std::string fileName(const PostJob& job, int f) {
    return common::toUtf8(postedName(job.files[static_cast<std::size_t>(f)]));
}

}  // namespace

Reporter::Reporter(PostJob& job, const JobSettings& settings, Mode mode)
    : job_(job), settings_(settings), mode_(mode) {
    if (mode_ == Mode::Log) return;
    if (mode_ == Mode::StatusLine) job_.log.setOverlay(this);
    ticker_ = std::thread([this] { tick(); });
}

Reporter::~Reporter() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (ticker_.joinable()) ticker_.join();
    if (mode_ == Mode::StatusLine) {
        job_.log.drawOverlay([this] { hide(); });
        job_.log.setOverlay(nullptr);
    }
}

void Reporter::started() {
    json files = json::array();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        totalBytes_ = 0;
        for (std::size_t f = 0; f < job_.files.size(); ++f) {
            const FileEntry& file = job_.files[f];
            totalBytes_ += file.size;
            files.push_back({{"name", fileName(job_, static_cast<int>(f))},
                             {"size", file.size},
                             {"parts", partCountFor(file.encoding, settings_.lines, file.size)}});
        }
        job_.totals.handled = totalBytes_;
    }
    if (mode_ == Mode::Json)
        event(json{{"type", "job_started"}, {"folder", settings_.run.folder}, {"folders", settings_.run.folders},
                   {"bytes", totalBytes_}, {"files", files}}
                  .dump(-1, ' ', false, kReplaceInvalid));
}

void Reporter::partStarting(int file, const SubjectLines& subject, int p, int parts) {
    int handed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handed = ++files_[file].first;
        current_ = postedName(job_.files[static_cast<std::size_t>(file)]);
    }
    if (mode_ == Mode::Json) {
        if (handed == 1)
            event(json{{"type", "file_started"}, {"file", file}, {"name", fileName(job_, file)},
                       {"size", job_.files[static_cast<std::size_t>(file)].size}, {"parts", parts}}
                      .dump(-1, ' ', false, kReplaceInvalid));
        return;
    }
    if (mode_ == Mode::StatusLine) return;
    // The log as it always was: the display subject first, then a dot a part.
    std::string text;
    if (p == 1 && settings_.verbosity >= 1)
        text += std::string(settings_.printHeader ? "  " : "    ") + subject.display + ' ';
    if (p > 1 || parts > 1) text += '.';
    job_.put(text);
}

void Reporter::fileHandedOut(int file, const SubjectLines& first, int parts) {
    bool done;
    int accepted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handedOut_[file] = true;
        const auto& counts = files_[file];
        done = counts.first > 0 && counts.second >= counts.first && !doneSent_[file];
        if (done) doneSent_[file] = true;
        accepted = counts.second;
    }
    if (mode_ == Mode::Json && done)
        event(json{{"type", "file_done"}, {"file", file}, {"name", fileName(job_, file)}, {"parts", accepted}}.dump(-1, ' ', false, kReplaceInvalid));
    if (parts == 0) return;
    if (mode_ == Mode::Log) job_.line("");
    // Above the status line, the file's line whole, without the dots.
    else if (mode_ == Mode::StatusLine && settings_.verbosity >= 1)
        job_.line(std::string(settings_.printHeader ? "  " : "    ") + first.display);
}

void Reporter::accepted(const Article& a) {
    bool done = false;
    int parts = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t bytes = a.end - a.begin;
        doneBytes_ += bytes;
        window_.emplace_back(Clock::now(), bytes);
        auto& counts = files_[a.file];
        ++counts.second;
        done = handedOut_[a.file] && counts.second >= counts.first && !doneSent_[a.file];
        if (done) doneSent_[a.file] = true;
        parts = counts.second;
    }
    if (mode_ == Mode::Json && done)
        event(json{{"type", "file_done"}, {"file", a.file}, {"name", fileName(job_, a.file)}, {"parts", parts}}.dump(-1, ' ', false, kReplaceInvalid));
}

void Reporter::retried(const Article& a, const std::string& message, std::uint32_t waitMs) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++retries_;
        lastRetry_ = message;
        nextTry_ = Clock::now() + std::chrono::milliseconds(waitMs);
    }
    if (mode_ == Mode::Json)
        event(json{{"type", "retry"},
                   {"file", a.file},
                   {"name", fileName(job_, a.file)},
                   {"part", a.part},
                   {"message", common::toUtf8(message)},
                   {"wait_seconds", (waitMs + 999) / 1000}}
                  .dump(-1, ' ', false, kReplaceInvalid));
}

void Reporter::checking(std::uint64_t asked, std::uint64_t waiting, std::uint64_t missing, std::uint64_t reposted) {
    std::lock_guard<std::mutex> lock(mutex_);
    checkingNow_ = true;
    checkAsked_ = asked;
    checkWaiting_ = waiting;
    checkMissing_ = missing;
    reposted_ = reposted;
}

void Reporter::checkDone(std::uint64_t checked, std::uint64_t missing, std::uint64_t reposted) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        checkingNow_ = false;
        reposted_ = reposted;
    }
    if (mode_ == Mode::Json)
        event(json{{"type", "check"}, {"checked", checked}, {"missing", missing}, {"reposted", reposted}}.dump(-1, ' ', false, kReplaceInvalid));
}

namespace {

std::string errorEvent(int status, const std::string& message) {
    return json{{"type", "error"}, {"message", common::toUtf8(message)}, {"status", status}}.dump(-1, ' ', false, kReplaceInvalid);
}

}  // namespace

void jsonJobFailed(int fd, int status, const std::string& message) {
    writeOut(fd, errorEvent(status, message) + "\n" + json{{"type", "job_finished"}, {"status", status}}.dump(-1, ' ', false, kReplaceInvalid) + "\n");
}

void Reporter::finished(int status, const std::string& message, const JobTotals& totals) {
    job_.totals.reported = true;
    if (mode_ != Mode::Json) return;
    if (!message.empty() && status != 0) event(errorEvent(status, message));
    event(json{{"type", "job_finished"}, {"status", status}, {"folder", settings_.run.folder},
               {"bytes", totals.bytes}, {"articles", totals.articles}, {"reposted", totals.reposted},
               {"skipped", totals.skipped}, {"nzb", common::toUtf8(settings_.nzbPath)}}
              .dump(-1, ' ', false, kReplaceInvalid));
}

std::uint64_t Reporter::rateLocked(Clock::time_point now) {
    // Over the last five seconds (or since the start, when sooner).
    while (!window_.empty() && now - window_.front().first > std::chrono::seconds(5)) window_.pop_front();
    std::uint64_t bytes = 0;
    for (const auto& w : window_) bytes += w.second;
    const double span = std::min(5.0, std::chrono::duration<double>(now - start_).count());
    return span > 0.2 ? static_cast<std::uint64_t>(static_cast<double>(bytes) / span) : 0;
}

std::string Reporter::statusText(std::size_t width) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    const std::uint64_t rate = rateLocked(now);
    // The run's share when a folder runner said where the run stands.
    const std::uint64_t total = std::max<std::uint64_t>(settings_.run.total, settings_.run.done + totalBytes_);
    const std::uint64_t done = settings_.run.done + doneBytes_;
    std::string head = "  ";
    if (settings_.run.folders > 0)
        head += "[folder " + std::to_string(settings_.run.folder) + "/" + std::to_string(settings_.run.folders) + "] ";
    std::string s;
    s += std::to_string(total ? done * 100 / total : 100) + "% of " + common::sizeText(static_cast<double>(total)) + "  " +
         common::sizeText(static_cast<double>(rate)) + "/s  ";
    s += rate > 0 ? durationText((total - std::min(total, done)) / rate) + " left" : "--:-- left";
    s += "  " + std::to_string(connections_.load()) + " conn";
    if (retries_) s += "  " + std::to_string(retries_) + " retried";
    if (reposted_) s += "  " + std::to_string(reposted_) + " posted again";
    if (par2_) {
        const double share = par2_();
        if (share >= 0 && share < 1) s += "  making PAR2 " + std::to_string(static_cast<int>(share * 100)) + "%";
    }
    if (checkingNow_)
        s += "  checking: " + std::to_string(checkAsked_) + " asked, " + std::to_string(checkWaiting_) + " waiting, " +
             std::to_string(checkMissing_) + " missing";
    // A wait for the next try, with its reason last: cut first when the
    // line is too long.
    if (now < nextTry_) {
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(nextTry_ - now).count() + 1;
        s += "  retrying in " + std::to_string(left) + " s: " + lastRetry_;
    }
    // The file's name where there is room: the figures come first, and a
    // long name is shortened in its middle before it goes.
    const std::size_t room = width > head.size() + s.size() + 2 ? width - head.size() - s.size() - 2 : 0;
    std::string name = current_;
    if (name.size() > room && room >= 12) name = name.substr(0, room / 2 - 1) + "..." + name.substr(name.size() - (room - room / 2 - 2));
    if (!name.empty() && name.size() <= room) head += name + "  ";
    return head + s;
}

void Reporter::hide() {
    if (shown_) writeOut(job_.outFd, "\r\033[K");
    shown_ = false;
}

void Reporter::show() {
    // A folder job waiting for its turn draws nothing: the job before it
    // has the line.
    if (job_.keepOut && job_.keepOut("")) return;
    winsize w{};
    const std::size_t width = ioctl(STDOUT_FILENO, TIOCGWINSZ, &w) == 0 && w.ws_col > 1 ? w.ws_col - 1 : 200;
    std::string text = statusText(width);
    if (text.size() > width) text.resize(width);
    writeOut(job_.outFd, "\r\033[K" + text);
    shown_ = true;
}

void Reporter::event(const std::string& line) {
    static std::mutex out;  // one line at a time from every thread
    std::lock_guard<std::mutex> lock(out);
    if (job_.keepOut && job_.keepOut(line + "\n")) return;
    writeOut(job_.outFd, line + "\n");
}

void Reporter::progressEvent() {
    json j;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        const std::uint64_t rate = rateLocked(now);
        j = {{"type", "progress"},      {"bytes_done", doneBytes_},         {"bytes_total", totalBytes_},
             {"rate", rate},            {"connections", connections_.load()}, {"retried", retries_},
             {"reposted", reposted_},   {"file", common::toUtf8(current_)}};
        j["eta_seconds"] = rate ? (totalBytes_ - std::min(totalBytes_, doneBytes_)) / rate : 0;
        if (settings_.run.folders > 0) {
            j["folder"] = settings_.run.folder;
            j["folders"] = settings_.run.folders;
            j["run_bytes_done"] = settings_.run.done + doneBytes_;
            j["run_bytes_total"] = std::max<std::uint64_t>(settings_.run.total, settings_.run.done + totalBytes_);
        }
        if (par2_) {
            const double share = par2_();
            if (share >= 0) j["par2"] = static_cast<int>(share * 100);
        }
        if (checkingNow_) j["check"] = {{"asked", checkAsked_}, {"waiting", checkWaiting_}, {"missing", checkMissing_}};
    }
    // Only what changed; the rate alone does not make an event.
    json same = j;
    same.erase("rate");
    same.erase("eta_seconds");
    const std::string key = same.dump(-1, ' ', false, kReplaceInvalid);
    if (key == lastProgress_) return;
    lastProgress_ = key;
    event(j.dump(-1, ' ', false, kReplaceInvalid));
}

void Reporter::tick() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        wake_.wait_for(lock, std::chrono::milliseconds(250));
        if (stop_) break;
        lock.unlock();
        if (mode_ == Mode::StatusLine) job_.log.drawOverlay([this] { show(); });
        else progressEvent();
        lock.lock();
    }
}

}  // namespace pelmor
