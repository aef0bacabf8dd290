#include "throttled_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "job.h"

namespace pelmor {

TickTime tickTime(Clock& clock) {
    const std::uint32_t ticks = clock.tickMs();
    return TickTime{static_cast<std::int32_t>(ticks / 1000), static_cast<std::int32_t>((ticks % 1000) * 1000)};
}

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

std::size_t chunkSize(std::uint32_t limit, std::size_t remaining) {
    if (limit == 0) return remaining;
    const std::size_t chunk = limit >= 2000 ? limit / 4 : 1000;
    return chunk < remaining ? chunk : remaining;
}

ServerAddress::ServerAddress(std::string host, std::string port) : host_(std::move(host)), port_(std::move(port)) {
    address_.sin_family = AF_INET;
    address_.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port_.c_str())));
    if (host_ == "ANY") {
        address_.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (inet_pton(AF_INET, host_.c_str(), &address_.sin_addr) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        if (getaddrinfo(host_.c_str(), nullptr, &hints, &result) != 0 || !result) return;
        address_.sin_addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
        freeaddrinfo(result);
    }
    valid_ = true;
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

bool ThrottledSocket::connect(const ServerAddress& address, bool tls) {
    failureReason_.clear();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ == -1) {
        failureReason_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (!address.valid()) {
        failureReason_ = "cannot resolve " + address.host();
        return false;
    }
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address.address()), sizeof(sockaddr_in)) != 0) {
        failureReason_ = std::string("connect: ") + std::strerror(errno);
        return false;
    }
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
    SSL_set_fd(tls_->ssl, fd_);
    const std::string& host = address.host();
    in_addr literal{};
    if (inet_pton(AF_INET, host.c_str(), &literal) == 1) {
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
    if (tls_ && tls_->ssl) {
        const int n = SSL_write(tls_->ssl, data, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
        return n > 0 ? n : -1;
    }
    // MSG_NOSIGNAL: a peer that went away must not kill the process.
    const ssize_t n = ::send(fd_, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) return 0;
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
        const int n = SSL_read(tls_->ssl, buffer, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
        if (n > 0) return n;
        return SSL_get_error(tls_->ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    const ssize_t n = ::recv(fd_, buffer, length, 0);
    if (n < 0 && errno == EINTR) return -2;  // counts as nothing received; go on
    return n;
}

bool ThrottledSocket::loggingOn() { return readDecimal(job_.getOptionOr("log_performance_data", "0")) > 0; }

void ThrottledSocket::logLine(const std::string& text) {
    // Created only while logging is on, so no empty file lands in the user's folders.
    std::ofstream out("performance_data", std::ios::app);
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
    while (done < length) {
        const long long n = sendSome(data + done, chunkSize(writeRate_, length - done));
        if (n < 0) return false;
        if (logging) logLine("WRITE: wrote " + std::to_string(n) + " bytes.");
        done += static_cast<std::size_t>(n);
        if (hook_) hook_(static_cast<long long>(done), static_cast<long long>(length));
        if (writeRate_ != 0 && length >= 1024) throttle(true, writeRate_, window, static_cast<std::uint32_t>(n));
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
