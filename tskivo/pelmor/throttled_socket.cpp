#include "throttled_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "job.h"

namespace pelmor {

TickTime tickTime(std::uint32_t ticks) {
    return TickTime{static_cast<std::int32_t>(ticks / 1000), static_cast<std::int32_t>((ticks % 1000) * 1000)};
}

TickTime tickTime(Clock& clock) { return tickTime(clock.tickMs()); }

std::int32_t elapsedMicros(PostJob& job, TickTime later, TickTime earlier) {
    const long long diff = (static_cast<long long>(later.seconds) - earlier.seconds) * 1000000LL +
                           later.microseconds - earlier.microseconds;
    if (diff < 0) {
        job.line("BAD TIMEVALS: [" + std::to_string(later.seconds) + "-" + std::to_string(later.microseconds) +
                 " ], [" + std::to_string(earlier.seconds) + "-" + std::to_string(earlier.microseconds) + " ]");
    }
    return static_cast<std::int32_t>(diff);
}

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

int Endpoint::port() const {
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

ServerAddress::ServerAddress(std::string host, std::string port) : host_(std::move(host)), port_(std::move(port)) {
    const auto portNumber = static_cast<std::uint16_t>(std::atoi(port_.c_str()));
    if (host_ == "ANY") {
        Endpoint any;
        auto* in = reinterpret_cast<sockaddr_in*>(&any.address);
        in->sin_family = AF_INET;
        in->sin_port = htons(portNumber);
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        any.length = sizeof(sockaddr_in);
        endpoints_.push_back(any);
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    // A bracketed IPv6 literal ("[::1]") as URLs write it.
    std::string name = host_;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    addrinfo* result = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    if (rc != 0) {
        // AI_ADDRCONFIG hides loopback-only families on a host without
        // other addresses; ask once more without it.
        hints.ai_flags = 0;
        rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
    }
    if (rc != 0 || !result) return;
    for (const addrinfo* a = result; a; a = a->ai_next) {
        if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        Endpoint e;
        std::memcpy(&e.address, a->ai_addr, a->ai_addrlen);
        e.length = a->ai_addrlen;
        if (a->ai_family == AF_INET6)
            reinterpret_cast<sockaddr_in6*>(&e.address)->sin6_port = htons(portNumber);
        else
            reinterpret_cast<sockaddr_in*>(&e.address)->sin_port = htons(portNumber);
        endpoints_.push_back(e);
    }
    freeaddrinfo(result);
}

struct ThrottledSocket::Tls {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    ~Tls() {
        if (ssl) SSL_free(ssl);
        if (context) SSL_CTX_free(context);
    }
};

ThrottledSocket::ThrottledSocket(PostJob& job) : job_(job) {}

ThrottledSocket::~ThrottledSocket() { close(); }

namespace {

std::string tlsErrorText() {
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text.empty() ? "the connection was closed during the handshake" : text;
}

}  // namespace

namespace {

// A BIO over the socket that sends with MSG_NOSIGNAL: OpenSSL's own socket
// BIO writes with write(2), and a server that closed the connection would
// then kill the whole process with SIGPIPE.
int bioFd(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

BIO_METHOD* noSignalSocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nntp socket");
        BIO_meth_set_write(m, [](BIO* bio, const char* data, int length) -> int {
            BIO_clear_retry_flags(bio);
            for (;;) {
                const ssize_t n = ::send(bioFd(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
                if (n >= 0 || errno != EINTR) return static_cast<int>(n);
            }
        });
        BIO_meth_set_read(m, [](BIO* bio, char* buffer, int length) -> int {
            BIO_clear_retry_flags(bio);
            for (;;) {
                const ssize_t n = ::recv(bioFd(bio), buffer, static_cast<std::size_t>(length), 0);
                if (n >= 0 || errno != EINTR) return static_cast<int>(n);
            }
        });
        BIO_meth_set_puts(m, [](BIO* bio, const char* text) -> int {
            return BIO_write(bio, text, static_cast<int>(std::strlen(text)));
        });
        BIO_meth_set_ctrl(m, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH ? 1 : 0; });
        BIO_meth_set_create(m, [](BIO* bio) -> int {
            BIO_set_init(bio, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

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

bool ThrottledSocket::connect(const ServerAddress& address, bool tls) {
    failureReason_.clear();
    peerClosed_ = false;
    if (!address.valid()) {
        failureReason_ = "cannot resolve " + address.host();
        return false;
    }
    for (const Endpoint& e : address.endpoints()) {
        if (fd_ != -1) ::close(fd_);
        fd_ = ::socket(e.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ == -1) {
            failureReason_ = std::string("socket: ") + std::strerror(errno);
            continue;
        }
        if (connectWithin(fd_, e, job_.responseTimeoutMs, failureReason_)) {
            failureReason_.clear();
            break;
        }
    }
    if (!failureReason_.empty()) return false;
    // Writes give up after the time-out too (EAGAIN from send), and so do
    // the reads of the TLS handshake.
    const int ms = job_.responseTimeoutMs;
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

    tls_ = std::make_unique<Tls>();
    ERR_clear_error();
    tls_->context = SSL_CTX_new(TLS_client_method());
    if (!tls_->context) {
        failureReason_ = tlsErrorText();
        return false;
    }
    SSL_CTX_set_min_proto_version(tls_->context, TLS1_2_VERSION);
    SSL_CTX_set_verify(tls_->context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(tls_->context);  // honours SSL_CERT_FILE / SSL_CERT_DIR
    tls_->ssl = SSL_new(tls_->context);
    BIO* bio = BIO_new(noSignalSocketMethod());
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd_)));
    SSL_set_bio(tls_->ssl, bio, bio);
    const std::string& host = address.host();
    in6_addr literal{};
    if (inet_pton(AF_INET, host.c_str(), &literal) == 1 || inet_pton(AF_INET6, host.c_str(), &literal) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_->ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(tls_->ssl, host.c_str());
        SSL_set1_host(tls_->ssl, host.c_str());
    }
    if (SSL_connect(tls_->ssl) != 1) {
        const long verify = SSL_get_verify_result(tls_->ssl);
        failureReason_ = verify != X509_V_OK
                             ? std::string("certificate verification failed: ") +
                                   X509_verify_cert_error_string(verify)
                             : tlsErrorText();
        return false;
    }
    return true;
}

bool ThrottledSocket::closedByPeer() {
    if (fd_ == -1 || peerClosed_) return true;
    if (inboxAt_ < inboxEnd_) return false;
    pollfd p{fd_, POLLRDHUP, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) peerClosed_ = true;
    return peerClosed_;
}

bool ThrottledSocket::close() {
    if (fd_ == -1) return true;
    if (tls_ && tls_->ssl) SSL_shutdown(tls_->ssl);
    tls_.reset();
    inboxAt_ = inboxEnd_ = 0;
    if (::close(fd_) != 0 && errno != EINTR) return false;
    fd_ = -1;
    return true;
}

ThrottledSocket::Wait ThrottledSocket::waitReadable(int timeoutMs) {
    if (inboxAt_ < inboxEnd_) return Wait::Ready;
    if (tls_ && tls_->ssl && SSL_pending(tls_->ssl) > 0) return Wait::Ready;
    pollfd p{fd_, POLLIN, 0};
    for (;;) {
        const int r = poll(&p, 1, timeoutMs);
        if (r > 0) return Wait::Ready;
        if (r == 0) return Wait::TimedOut;
        if (errno != EINTR) return Wait::Failed;
    }
}

long long ThrottledSocket::sendSome(const char* data, std::size_t length) {
    ssize_t n;
    if (tls_ && tls_->ssl) {
        errno = 0;
        const int w = SSL_write(tls_->ssl, data, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
        n = w > 0 ? w : -1;
    } else {
        // MSG_NOSIGNAL: a peer that went away must not kill the process.
        n = ::send(fd_, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) return 0;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) job_.line("WARNING: Timeout writing to socket!");
        if (errno == EPIPE || errno == ECONNRESET || (tls_ && errno == 0)) peerClosed_ = true;
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
    if (tls_ && tls_->ssl) {
        errno = 0;
        const int n = SSL_read(tls_->ssl, buffer, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
        if (n > 0) return n;
        const int error = SSL_get_error(tls_->ssl, n);
        // A server that just closes the socket (no close_notify) ends the
        // connection as surely as one that says goodbye.
        if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0) || errno == ECONNRESET) {
            peerClosed_ = true;
            return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
        return -1;
    }
    const ssize_t n = ::recv(fd_, buffer, length, 0);
    if (n < 0 && errno == EINTR) return -2;  // counts as nothing received; go on
    if (n == 0 || (n < 0 && errno == ECONNRESET)) peerClosed_ = true;
    return n;
}

std::string performanceLogPath(const PostJob& job) {
    const std::string defaults = job.defaultsPath.empty() ? defaultsFilePath() : job.defaultsPath;
    const auto slash = defaults.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : defaults.substr(0, slash)) + "/performance_data";
}

bool ThrottledSocket::loggingOn() { return readDecimal(job_.getOptionOr("log_performance_data", "0")) > 0; }

void ThrottledSocket::logLine(const std::string& text) {
    // Beside the defaults file, never in the folder being posted (the next
    // run would post it); created only while logging is on.
    std::ofstream out(performanceLogPath(job_), std::ios::app);
    if (out) out << text << '\n' << std::flush;
}

namespace {
std::string stamp(TickTime t) { return std::to_string(t.seconds) + "-" + std::to_string(t.microseconds); }
}  // namespace

void ThrottledSocket::throttle(bool writing, std::uint32_t limit, RateWindow& window, std::uint32_t n) {
    static std::optional<int> lastWaitMark[2];
    TickTime t = tickTime(job_.clock);
    for (;;) {
        const std::uint32_t rate = window.add(n, t);
        // Bytes counted within the clock's resolution of the start give no
        // span and so a rate of 0; they went out faster than measurable, so
        // they must be waited for too, or a part smaller than one chunk
        // would never be slowed down.
        if (rate <= limit && !(rate == 0 && n > 0)) return;
        if (loggingOn()) {
            const int mark = t.microseconds / 10000;
            auto& last = lastWaitMark[writing ? 1 : 0];
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
        job_.clock.sleepMs(static_cast<std::uint32_t>(std::clamp<std::uint64_t>(ms, 1, 250)));
        t = tickTime(job_.clock);
        n = 0;
    }
}

bool ThrottledSocket::write(const char* data, std::size_t length) {
    const bool logging = loggingOn() && writeRate_ != 0;
    const TickTime start = tickTime(job_.clock);
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
    const TickTime start = tickTime(job_.clock);
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
    if (w == Wait::TimedOut) job_.line(timeoutText);
    if (w == Wait::Failed) job_.line("Error waiting for data on read socket. err=" + std::to_string(errno));
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
    bool ok = write(first.data(), first.size());
    if (!second.empty()) ok = write(second.data(), second.size()) && ok;
    return ok;
}

}  // namespace pelmor
