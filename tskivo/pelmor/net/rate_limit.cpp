#include "rate_limit.h"

#include <algorithm>

namespace pelmor {

std::uint32_t RateWindow::add(std::uint32_t bytes, TickTime time) {
    if (bytes == 0 && samples_.size() > 1) {
        samples_.back().time = time;
    } else {
        if (samples_.size() == kCapacity) samples_.pop_front();
        samples_.push_back(RateSample{bytes, time});
    }
    return rate();
}

std::uint64_t RateWindow::bytes() const {
    std::uint64_t sum = 0;
    for (const auto& s : samples_) sum += s.bytes;
    return sum;
}

long long RateWindow::spanMicros() const {
    const TickTime a = samples_.front().time, b = samples_.back().time;
    return (b.seconds - a.seconds) * 1000000LL + b.microseconds - a.microseconds;
}

std::uint32_t RateWindow::rate() const {
    if (samples_.empty()) return 0;
    const auto span = static_cast<std::uint32_t>(spanMicros());
    if (span == 0) return 0;
    return static_cast<std::uint32_t>(static_cast<double>(bytes()) / span * 1000000.0);
}

std::uint64_t RateWindow::waitMicros(std::uint32_t limit) const {
    if (samples_.empty() || limit == 0) return 0;
    const auto needed = static_cast<long long>(bytes() * 1000000ULL / limit);
    const long long span = spanMicros();
    return needed > span ? static_cast<std::uint64_t>(needed - span) : 0;
}

void RateLimiter::consume(std::size_t bytes) {
    // Up to this much ahead of the limit before a sender waits: smooths the
    // clock's millisecond steps without letting bursts through.
    constexpr double kAheadMs = 50;
    double waitMs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint32_t tick = clock_.tickMs();
        if (!started_) {
            started_ = true;
            base_ = tick;
        }
        const double now = static_cast<std::uint32_t>(tick - base_);
        nextFreeMs_ = std::max(nextFreeMs_, now - kAheadMs) + static_cast<double>(bytes) * 1000.0 / rate_;
        waitMs = nextFreeMs_ - now - kAheadMs;
    }
    if (waitMs >= 1) clock_.sleepMs(static_cast<std::uint32_t>(waitMs));
}

std::size_t chunkSize(std::uint32_t limit, std::size_t remaining) {
    if (limit == 0) return remaining;
    const std::size_t chunk = limit >= 2000 ? limit / 4 : 1000;
    return chunk < remaining ? chunk : remaining;
}

}  // namespace pelmor
