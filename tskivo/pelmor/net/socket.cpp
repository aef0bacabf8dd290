#include "socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "socks5.h"
#include "tls.h"

namespace pelmor {

namespace {

bool connectWithin(int fd, const Endpoint& e, int timeoutMs, std::string& reason) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&e.address), e.length);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int r;
        do r = poll(&p, 1, timeoutMs > 0 ? timeoutMs : -1);
        while (r < 0 && errno == EINTR);
        if (r == 0) {
            reason = "connect: timed out";
            errno = ETIMEDOUT;
            return false;
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (r < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        errno = error;
        rc = error == 0 ? 0 : -1;
    }
    if (rc != 0) {
        reason = std::string("connect: ") + std::strerror(errno);
        return false;
    }
    fcntl(fd, F_SETFL, flags);
    return true;
}

}  // namespace

ThrottledSocket::ThrottledSocket(const SocketContext& context) : context_(&context) {}

ThrottledSocket::~ThrottledSocket() { close(); }

bool ThrottledSocket::connect(const ServerAddress& address, bool tls) {
    failureReason_.clear();
    failure_ = ConnectFailure::None;
    peerClosed_ = false;
    return openTcp(address) && prepare(address.host(), tls);
}

bool ThrottledSocket::openTcp(const ServerAddress& address) {
    if (!address.valid()) {
        failureReason_ = "cannot resolve " + address.host() + (address.error().empty() ? "" : ": " + address.error());
        failure_ = address.unknownName() ? ConnectFailure::UnknownHost : ConnectFailure::Other;
        return false;
    }
    int lastErrno = 0;
    for (const Endpoint& e : address.endpoints()) {
        if (fd_ != -1) ::close(fd_);
        fd_ = ::socket(e.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ == -1) {
            failureReason_ = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        if (connectWithin(fd_, e, context_->timeoutMs, failureReason_)) {
            failureReason_.clear();
            break;
        }
        lastErrno = errno;
    }
    if (!failureReason_.empty()) {
        failure_ = lastErrno == ECONNREFUSED ? ConnectFailure::Refused
                   : lastErrno == ETIMEDOUT || lastErrno == EHOSTUNREACH || lastErrno == ENETUNREACH ||
                           lastErrno == ECONNRESET
                       ? ConnectFailure::Unreachable
                       : ConnectFailure::Other;
        return false;
    }
    return true;
}

bool ThrottledSocket::connectVia(const ProxySettings& proxy, const std::string& host, int port, bool tls) {
    failureReason_.clear();
    failure_ = ConnectFailure::None;
    peerClosed_ = false;
    if (!openTcp(ServerAddress(proxy.host, std::to_string(proxy.port)))) {
        failureReason_ = "the SOCKS5 proxy " + proxy.label() + ": " + failureReason_;
        return false;
    }
    if (!socksHandshake(proxy, bareHost(host), port)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return prepare(host, tls);
}

bool ThrottledSocket::socksHandshake(const ProxySettings& proxy, const std::string& host, int port) {
    const Socks5Result r = socks5Connect(fd_, proxy, host, port, context_->timeoutMs > 0 ? context_->timeoutMs : 60000);
    if (r.connected()) return true;
    failureReason_ = "the SOCKS5 proxy " + proxy.label() + " " + r.why;
    failure_ = r.kind == Socks5Result::Kind::Unreachable ? ConnectFailure::Unreachable : ConnectFailure::ProxyRefused;
    return false;
}

bool ThrottledSocket::prepare(const std::string& host, bool tls) {
    // Writes give up after the time-out too (EAGAIN from send), and so do
    // the reads of the TLS handshake.
    const int ms = context_->timeoutMs;
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int off = 0;
    if (setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &off, sizeof off) != 0) return false;
    // Commands and the end line are small writes; without this, Nagle and
    // delayed ACKs hold each one back for tens of milliseconds per article.
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!tls) return true;
    tls_ = std::make_unique<TlsLayer>();
    if (tls_->start(fd_, bareHost(host), failureReason_)) return true;
    failure_ = tls_->certificateRejected() ? ConnectFailure::CertificateRejected
               : tls_->plainTextPeer()    ? ConnectFailure::NotTls
                                          : ConnectFailure::Other;
    return false;
}

bool ThrottledSocket::closedByPeer() {
    if (fd_ == -1 || peerClosed_) return true;
    if (inboxAt_ < inboxEnd_) return false;
    pollfd p{fd_, POLLRDHUP, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) peerClosed_ = true;
    return peerClosed_;
}

bool ThrottledSocket::quiet() {
    if (fd_ == -1 || peerClosed_ || inboxAt_ < inboxEnd_ || (tls_ && tls_->pending())) return false;
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 0;
}

bool ThrottledSocket::close() {
    if (fd_ == -1) return true;
    if (tls_) tls_->shutdown();
    tls_.reset();
    inboxAt_ = inboxEnd_ = 0;
    if (::close(fd_) != 0 && errno != EINTR) return false;
    fd_ = -1;
    return true;
}

ThrottledSocket::Wait ThrottledSocket::waitReadable(int timeoutMs) {
    if (inboxAt_ < inboxEnd_) return Wait::Ready;
    if (tls_ && tls_->pending()) return Wait::Ready;
    // About to wait for an answer: what came in is acknowledged at once.
    // A server that holds back a second short reply until the first is
    // acknowledged (Nagle) would otherwise wait for our delayed ACK, some
    // 40 ms, each time a pipelined POST's 340 follows an article's 240.
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, timeoutMs);
        if (r > 0) return Wait::Ready;
        if (r == 0) return Wait::TimedOut;
        if (errno != EINTR) return Wait::Failed;
    }
}

long long ThrottledSocket::sendSome(const char* data, std::size_t length) {
    long long n;
    if (tls_) {
        n = tls_->send(data, length, peerClosed_);
    } else {
        // MSG_NOSIGNAL: a peer that went away must not kill the process.
        n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) return 0;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) context_->log.line("WARNING: Timeout writing to socket!");
        if (errno == EPIPE || errno == ECONNRESET) peerClosed_ = true;
    }
    return n;
}

long long ThrottledSocket::receiveSome(char* buffer, std::size_t length) {
    if (inboxAt_ < inboxEnd_) {
        const std::size_t n = std::min(length, inboxEnd_ - inboxAt_);
        std::memcpy(buffer, inbox_.data() + inboxAt_, n);
        inboxAt_ += n;
        return static_cast<long long>(n);
    }
    if (tls_) return tls_->receive(buffer, length, peerClosed_);
    const ssize_t n = ::recv(fd_, buffer, length, 0);
    if (n < 0 && errno == EINTR) return -2;  // counts as nothing received; go on
    if (n == 0 || (n < 0 && errno == ECONNRESET)) peerClosed_ = true;
    return n;
}

void ThrottledSocket::logLine(const std::string& text) {
    // Beside the defaults file, never in the folder being posted (the next
    // run would post it); created only while logging is on.
    std::ofstream out(context_->performanceLog, std::ios::app);
    if (out) out << text << '\n' << std::flush;
}

namespace {
std::string stamp(TickTime t) { return std::to_string(t.seconds) + "-" + std::to_string(t.microseconds); }
}  // namespace

void ThrottledSocket::throttle(bool writing, std::uint32_t limit, RateWindow& window, std::uint32_t n) {
    TickTime t = tickTime(context_->clock);
    for (;;) {
        const std::uint32_t rate = window.add(n, t);
        // Bytes counted within the clock's resolution of the start give no
        // span and so a rate of 0; they went out faster than measurable, so
        // they must be waited for too, or a part smaller than one chunk
        // would never be slowed down.
        if (rate <= limit && !(rate == 0 && n > 0)) return;
        if (loggingOn()) {
            const int mark = t.microseconds / 10000;
            auto& last = lastWaitMark_[writing ? 1 : 0];
            if (!last) {
                last = mark;
            } else if (*last != mark) {
                last = mark;
                logLine(std::string(writing ? "WAIT(write): [ " : "WAIT(read): [ ") + std::to_string(t.seconds) +
                        "-" + std::to_string(t.microseconds) + " ], target_rate=" + std::to_string(limit) +
                        ", current_rate=" + std::to_string(rate));
            }
        }
        // Sleep until the rate fits, in steps of at most 250 ms: a fixed
        // 250 ms pause after every part held a 2 MB/s limit to 1.3 MB/s.
        const std::uint64_t ms = (window.waitMicros(limit) + 999) / 1000;
        context_->clock.sleepMs(static_cast<std::uint32_t>(std::clamp<std::uint64_t>(ms, 1, 250)));
        t = tickTime(context_->clock);
        n = 0;
    }
}

bool ThrottledSocket::write(const char* data, std::size_t length) {
    const bool logging = loggingOn() && writeRate_ != 0;
    const TickTime start = tickTime(context_->clock);
    RateWindow window;
    window.add(0, start);
    if (logging)
        logLine("START TIME(write): [" + stamp(start) + "], bytes=" + std::to_string(length) + ".");
    std::size_t done = 0;
    const std::uint32_t limit = limiter_ ? limiter_->rate() : writeRate_;
    while (done < length) {
        const long long n = sendSome(data + done, chunkSize(limit, length - done));
        if (n < 0) return false;
        if (logging) logLine("WRITE: wrote " + std::to_string(n) + " bytes.");
        done += static_cast<std::size_t>(n);
        if (hook_) hook_(static_cast<long long>(done), static_cast<long long>(length));
        if (limiter_) limiter_->consume(static_cast<std::size_t>(n));
        else if (writeRate_ != 0 && length >= 1024) throttle(true, writeRate_, window, static_cast<std::uint32_t>(n));
    }
    return true;
}

bool ThrottledSocket::read(char* buffer, std::size_t length, int timeoutMs) {
    if (timeoutMs != 0 && !awaitData(timeoutMs, "WARNING: Timeout reading from socket!")) return false;
    const bool logging = loggingOn() && readRate_ != 0;
    const TickTime start = tickTime(context_->clock);
    RateWindow window;
    window.add(0, start);
    if (logging) logLine("START TIME(read): [" + stamp(start) + "], bytes=" + std::to_string(length) + ".");
    std::size_t done = 0;
    while (done < length) {
        long long n = receiveSome(buffer + done, chunkSize(readRate_, length - done));
        if (n == -2) n = 0;
        else if (n < 0) return false;
        else if (n == 0) break;  // the peer closed the connection
        if (logging) logLine("READ: read " + std::to_string(n) + " bytes.");
        done += static_cast<std::size_t>(n);
        if (hook_) hook_(static_cast<long long>(done), static_cast<long long>(length));
        if (readRate_ != 0 && length >= 1024) throttle(false, readRate_, window, static_cast<std::uint32_t>(n));
    }
    return done == length;
}

bool ThrottledSocket::awaitData(int timeoutMs, const char* timeoutText) {
    const Wait w = waitReadable(timeoutMs);
    if (w == Wait::TimedOut) context_->log.line(timeoutText);
    if (w == Wait::Failed) context_->log.line("Error waiting for data on read socket. err=" + std::to_string(errno));
    return w == Wait::Ready;
}

bool ThrottledSocket::nextByte(char& c, int timeoutMs) {
    while (inboxAt_ == inboxEnd_) {
        if (timeoutMs != 0 && !awaitData(timeoutMs, "WARNING: Timeout reading from socket!")) return false;
        const long long n = receiveSome(inbox_.data(), inbox_.size());
        if (n == -2) continue;
        if (n <= 0) return false;
        inboxAt_ = 0;
        inboxEnd_ = static_cast<std::size_t>(n);
    }
    c = inbox_[inboxAt_++];
    return true;
}

bool ThrottledSocket::readLine(std::string& out, std::size_t limit, int timeoutMs) {
    const std::uint32_t savedRate = readRate_;
    readRate_ = 0;
    struct Restore {
        std::uint32_t& rate;
        std::uint32_t saved;
        ~Restore() { rate = saved; }
    } restore{readRate_, savedRate};

    out.clear();
    lastLineComplete_ = false;
    if (timeoutMs != 0 && !awaitData(timeoutMs, "Timeout reading from socket")) return false;
    if (limit != 0) {
        for (;;) {
            char c;
            // Each further byte waits at most the same time: a line whose end
            // never comes must not hang the poster.
            if (!nextByte(c, timeoutMs)) {
                if (out.empty()) return false;
                break;
            }
            if (c == '\0' || c == '\n') {
                lastLineComplete_ = true;
                break;
            }
            out += c;
            if (out.size() > kMaxLineLength) {
                out.clear();
                return false;
            }
        }
    }
    if (out.size() >= 2 && out.back() == '\r') out.pop_back();
    return !out.empty();
}

bool ThrottledSocket::writePair(std::string_view first, std::string_view second) {
    // A command and its line end in one send (and over TLS one record).
    if (!second.empty() && first.size() + second.size() <= 512) {
        char joined[512];
        std::memcpy(joined, first.data(), first.size());
        std::memcpy(joined + first.size(), second.data(), second.size());
        return write(joined, first.size() + second.size());
    }
    bool ok = write(first.data(), first.size());
    if (!second.empty()) ok = write(second.data(), second.size()) && ok;
    return ok;
}

}  // namespace pelmor
