// The engine's transport: one TCP connection (optionally TLS) with read
// time-outs, a measured bandwidth limit per direction and a performance log.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "platform.h"

namespace pelmor {

class PostJob;

// A point in time from the millisecond tick counter.
struct TickTime {
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
};

TickTime tickTime(Clock& clock);
TickTime tickTime(std::uint32_t ticks);
// later - earlier in microseconds; prints "BAD TIMEVALS" when later is earlier.
std::int32_t elapsedMicros(PostJob& job, TickTime later, TickTime earlier);

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
    RateLimiter(Clock& clock, std::uint32_t bytesPerSecond) : clock_(clock), rate_(bytesPerSecond) {}
    std::uint32_t rate() const { return rate_; }
    // Counts `bytes` just sent and sleeps as long as the limit needs.
    void consume(std::size_t bytes);

private:
    Clock& clock_;
    std::uint32_t rate_;
    std::mutex mutex_;
    bool started_ = false;
    std::uint32_t base_ = 0;  // tick of the first chunk
    double nextFreeMs_ = 0;   // when the bytes counted so far have had their time
};

// The performance log: "performance_data" beside the defaults file.
std::string performanceLogPath(const PostJob& job);

// Chunk size for one send or receive under a limit (0: no limit).
std::size_t chunkSize(std::uint32_t limit, std::size_t remaining);

// One address of a server, IPv4 or IPv6.
struct Endpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
    int family() const { return address.ss_family; }
    int port() const;
};

// The host resolved for any address family; `connect` tries each address in
// turn, so a host with only an AAAA record, or "::1", works.
class ServerAddress {
public:
    ServerAddress(std::string host, std::string port);
    bool valid() const { return !endpoints_.empty(); }
    const std::vector<Endpoint>& endpoints() const { return endpoints_; }
    const std::string& host() const { return host_; }

private:
    std::string host_;
    std::string port_;
    std::vector<Endpoint> endpoints_;
};

using ProgressHook = void (*)(long long done, long long total);

class Stream {
public:
    virtual ~Stream() = default;
    virtual bool read(char* buffer, std::size_t length, int timeoutMs) = 0;
    virtual bool write(const char* data, std::size_t length) = 0;
    virtual bool readLine(std::string& out, std::size_t limit, int timeoutMs) = 0;
    virtual bool writePair(std::string_view first, std::string_view second) = 0;
    virtual bool isOpen() const = 0;
    virtual void setProgressHook(ProgressHook hook) = 0;
    virtual bool close() = 0;
};

class RateControl {
public:
    virtual ~RateControl() = default;
    virtual void setReadRate(std::uint32_t bytesPerSecond) = 0;
    virtual void setWriteRate(std::uint32_t bytesPerSecond) = 0;
};

// Longest response line read before the read counts as failed.
inline constexpr std::size_t kMaxLineLength = 64 * 1024;

class ThrottledSocket final : public Stream, public RateControl {
public:
    explicit ThrottledSocket(PostJob& job);
    ~ThrottledSocket() override;

    // TCP connect; with `tls` the TLS handshake follows at once (implicit
    // TLS), verifying the certificate against the system's trust store and
    // the host name. On failure, `failureReason` says why.
    // Connecting, each write and the TLS handshake give up after the job's
    // response time-out, like reads: a black-holed address or a server that
    // stops reading cannot hold the poster forever.
    bool connect(const ServerAddress& address, bool tls = false);
    const std::string& failureReason() const { return failureReason_; }
    // Whether the last readLine saw its line end (a cut line leaves the
    // conversation out of step).
    bool lastLineComplete() const { return lastLineComplete_; }
    // Whether the server has closed its side (seen by a read or write, or
    // waiting on the socket now): such a connection can carry no article.
    bool closedByPeer();

    bool read(char* buffer, std::size_t length, int timeoutMs) override;
    bool write(const char* data, std::size_t length) override;
    bool readLine(std::string& out, std::size_t limit, int timeoutMs) override;
    bool writePair(std::string_view first, std::string_view second) override;
    bool isOpen() const override { return fd_ != -1; }
    void setProgressHook(ProgressHook hook) override { hook_ = hook; }
    bool close() override;

    void setReadRate(std::uint32_t bytesPerSecond) override { readRate_ = bytesPerSecond; }
    // Writes then keep to a limit shared with other connections instead.
    void setSharedLimiter(RateLimiter* limiter) { limiter_ = limiter; }
    void setWriteRate(std::uint32_t bytesPerSecond) override { writeRate_ = bytesPerSecond; }

private:
    enum class Wait { Ready, TimedOut, Failed };
    Wait waitReadable(int timeoutMs);
    // Waits for data; says why when none comes.
    bool awaitData(int timeoutMs, const char* timeoutText);
    long long sendSome(const char* data, std::size_t length);
    long long receiveSome(char* buffer, std::size_t length);
    bool nextByte(char& c, int timeoutMs);
    bool loggingOn();
    void logLine(const std::string& text);
    void throttle(bool writing, std::uint32_t limit, RateWindow& window, std::uint32_t n);

    PostJob& job_;
    int fd_ = -1;
    std::uint32_t readRate_ = 0;
    std::uint32_t writeRate_ = 0;
    ProgressHook hook_ = nullptr;
    RateLimiter* limiter_ = nullptr;
    struct Tls;
    std::unique_ptr<Tls> tls_;
    std::string failureReason_;
    bool lastLineComplete_ = false;
    bool peerClosed_ = false;
    // Bytes received past the end of a response line, handed out first by
    // the next read: a line costs one receive, not one per byte.
    std::array<char, 4096> inbox_{};
    std::size_t inboxAt_ = 0;
    std::size_t inboxEnd_ = 0;
};

}  // namespace pelmor
