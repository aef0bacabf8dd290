#include "job_turns.h"

#include "common/write_all.h"

namespace pelmor {

JobTurns& JobTurns::instance() {
    static JobTurns turns;
    return turns;
}

int JobTurns::enter(bool firstOfRun) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (firstOfRun) failedTurn_ = -1;
    live_.insert(next_);
    return next_++;
}

bool JobTurns::head(int turn) {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.empty() || *live_.begin() >= turn;
}

void JobTurns::handedOut(int turn) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handed_.insert(turn).second) ++handedOutCount_;
    changed_.notify_all();
}

int JobTurns::handedOutCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handedOutCount_;
}

void JobTurns::leave(int turn, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handed_.insert(turn).second) ++handedOutCount_;
    handed_.erase(turn);
    live_.erase(turn);
    if (failed && (failedTurn_ < 0 || turn < failedTurn_)) failedTurn_ = turn;
    changed_.notify_all();
}

bool JobTurns::stopped(int turn) {
    std::lock_guard<std::mutex> lock(mutex_);
    return failedTurn_ >= 0 && failedTurn_ < turn;
}

bool JobTurns::firstWaiting(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstWaiting_.count(key) > 0;
}

void JobTurns::releaseSlot(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--slots_[key] <= 0) slots_.erase(key);
    changed_.notify_all();
}

HeldOutput::HeldOutput(std::ostream& log, std::string preamble, int outFd, std::function<bool()> turnCame)
    : target_(log), stream_(this), preamble_(std::move(preamble)), outFd_(outFd), turnCame_(std::move(turnCame)) {}

HeldOutput::~HeldOutput() { release(); }

bool HeldOutput::holding() {
    if (held_ && turnCame_ && turnCame_()) releaseLocked();
    return held_;
}

bool HeldOutput::keep(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!holding()) return false;
    out_ += text;
    return true;
}

void HeldOutput::discard() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    preamble_.clear();
    out_.clear();
    err_.clear();
}

void HeldOutput::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    releaseLocked();
}

void HeldOutput::releaseLocked() {
    if (!held_) return;
    held_ = false;
    const std::string text = preamble_ + out_;
    common::writeAll(outFd_, text.data(), text.size());
    target_ << err_;
    target_.flush();
    preamble_.clear();
    out_.clear();
    err_.clear();
}

int HeldOutput::overflow(int c) {
    if (c == traits_type::eof()) return 0;
    const char ch = static_cast<char>(c);
    xsputn(&ch, 1);
    return c;
}

std::streamsize HeldOutput::xsputn(const char* s, std::streamsize n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (holding()) err_.append(s, static_cast<std::size_t>(n));
    else target_.write(s, n);
    return n;
}

int HeldOutput::sync() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_) target_.flush();
    return 0;
}

}  // namespace pelmor
