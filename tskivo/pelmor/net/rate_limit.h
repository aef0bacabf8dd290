// Bandwidth limits: the measured rate of one transfer (RateWindow), and one
// limit that the connections of a job share (RateLimiter).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "common/platform.h"
#include "tick_time.h"

namespace pelmor {

struct RateSample {
    std::uint32_t bytes;
    TickTime time;
};

// The last few transfers of one read or write call, for the current rate.
class RateWindow {
public:
    static constexpr std::size_t kCapacity = 10;
    // Adds a sample and returns the rate (bytes per second) afterwards.
    std::uint32_t add(std::uint32_t bytes, TickTime time);
    std::uint32_t rate() const;
    // How long to wait until the window's bytes fit under `limit`.
    std::uint64_t waitMicros(std::uint32_t limit) const;
    std::size_t size() const { return samples_.size(); }

private:
    std::uint64_t bytes() const;
    long long spanMicros() const;  // first to last sample; needs a sample
    std::deque<RateSample> samples_;
};

// One bandwidth limit shared by the connections of a job: each chunk sent
// takes its share of the limit, so the sum over all connections keeps to it.
class RateLimiter {
public:
    RateLimiter(common::Clock& clock, std::uint32_t bytesPerSecond) : clock_(clock), rate_(bytesPerSecond) {}
    std::uint32_t rate() const { return rate_; }
    // Counts `bytes` just sent and sleeps as long as the limit needs.
    void consume(std::size_t bytes);

private:
    common::Clock& clock_;
    std::uint32_t rate_;
    std::mutex mutex_;
    bool started_ = false;
    std::uint32_t base_ = 0;  // tick of the first chunk
    double nextFreeMs_ = 0;   // when the bytes counted so far have had their time
};

// Chunk size for one send or receive under a limit (0: no limit).
std::size_t chunkSize(std::uint32_t limit, std::size_t remaining);

}  // namespace pelmor
