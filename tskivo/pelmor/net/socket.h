// The engine's transport: one TCP connection (optionally TLS) with read
// time-outs, a measured bandwidth limit per direction and a performance log.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "address.h"
#include "server.h"
#include "common/log.h"
#include "common/platform.h"
#include "rate_limit.h"

namespace pelmor {

class TlsLayer;

// What every connection of a job shares: time, the log, how long the server
// may take to answer, and the performance log (empty path: off).
struct SocketContext {
    common::Clock& clock;
    common::Log& log;
    int timeoutMs = 60000;
    std::string performanceLog;
};

// Why a connection could not be made.
enum class ConnectFailure {
    None,
    Unreachable,          // timed out, no route: the server may be back soon
    Refused,              // nothing listens there (a wrong port, a server not started)
    NotTls,               // TLS was asked for, and the server speaks plain text
    UnknownHost,          // the name does not exist
    CertificateRejected,  // TLS: the server's certificate failed verification
    ProxyRefused,         // the proxy turned us or the connection away
    Other,
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
    explicit ThrottledSocket(const SocketContext& context);
    ~ThrottledSocket() override;

    // TCP connect; with `tls` the TLS handshake follows at once (implicit
    // TLS), verifying the certificate against the system's trust store and
    // the host name. On failure, `failureReason` says why.
    // Connecting, each write and the TLS handshake give up after the job's
    // response time-out, like reads: a black-holed address or a server that
    // stops reading cannot hold the poster forever.
    bool connect(const ServerAddress& address, bool tls = false);
    // The same through a SOCKS5 proxy, which resolves `host` itself.
    bool connectVia(const ProxySettings& proxy, const std::string& host, int port, bool tls = false);
    const std::string& failureReason() const { return failureReason_; }
    ConnectFailure failure() const { return failure_; }
    // Whether the last readLine saw its line end (a cut line leaves the
    // conversation out of step).
    bool lastLineComplete() const { return lastLineComplete_; }
    // Whether the server has closed its side (seen by a read or write, or
    // waiting on the socket now): such a connection can carry no article.
    bool closedByPeer();
    // Open, with nothing from the server waiting and its side not closed: a
    // connection that can carry the next command (one kept between jobs).
    bool quiet();
    // The clock, log and time-out of another job from now on (a connection
    // kept open from one job to the next).
    void rebind(const SocketContext& context) { context_ = &context; }

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
    bool prepare(const std::string& host, bool tls);
    bool openTcp(const ServerAddress& address);
    bool socksHandshake(const ProxySettings& proxy, const std::string& host, int port);
    enum class Wait { Ready, TimedOut, Failed };
    Wait waitReadable(int timeoutMs);
    // Waits for data; says why when none comes.
    bool awaitData(int timeoutMs, const char* timeoutText);
    long long sendSome(const char* data, std::size_t length);
    long long receiveSome(char* buffer, std::size_t length);
    bool nextByte(char& c, int timeoutMs);
    bool loggingOn() const { return !context_->performanceLog.empty(); }
    void logLine(const std::string& text);
    void throttle(bool writing, std::uint32_t limit, RateWindow& window, std::uint32_t n);

    const SocketContext* context_;
    int fd_ = -1;
    std::uint32_t readRate_ = 0;
    std::uint32_t writeRate_ = 0;
    ProgressHook hook_ = nullptr;
    RateLimiter* limiter_ = nullptr;
    std::unique_ptr<TlsLayer> tls_;
    std::string failureReason_;
    ConnectFailure failure_ = ConnectFailure::None;
    std::optional<int> lastWaitMark_[2];  // the performance log's last WAIT line, per direction
    bool lastLineComplete_ = false;
    bool peerClosed_ = false;
    // Bytes received past the end of a response line, handed out first by
    // the next read: a line costs one receive, not one per byte.
    std::array<char, 4096> inbox_{};
    std::size_t inboxAt_ = 0;
    std::size_t inboxEnd_ = 0;
};

}  // namespace pelmor
