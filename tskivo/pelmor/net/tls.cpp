#include "tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace pelmor {

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

// The socket under the TLS layer. Records are gathered while one write of
// the caller is encrypted and sent together when it ends (or the gathered
// bytes reach kOutboxFlush): a 320 KB article is twenty records, and one
// send each cost as many system calls.
struct Outbox {
    int fd = -1;
    std::vector<char> pending;
    static constexpr std::size_t kFlushAt = 256 * 1024;
    bool gathering = false;  // within a caller's write; otherwise every record goes at once
    // Sends what is gathered; false when the socket fails (errno says why).
    bool flush() {
        std::size_t done = 0;
        while (done < pending.size()) {
            const ssize_t n = ::send(fd, pending.data() + done, pending.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(done));
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        pending.clear();
        return true;
    }
};

// A BIO over the socket that sends with MSG_NOSIGNAL: OpenSSL's own socket
// BIO writes with write(2), and a server that closed the connection would
// then kill the whole process with SIGPIPE.
Outbox& outbox(BIO* bio) { return *static_cast<Outbox*>(BIO_get_data(bio)); }

BIO_METHOD* noSignalSocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nntp socket");
        BIO_meth_set_write(m, [](BIO* bio, const char* data, int length) -> int {
            BIO_clear_retry_flags(bio);
            Outbox& box = outbox(bio);
            if (box.gathering) {
                box.pending.insert(box.pending.end(), data, data + length);
                if (box.pending.size() >= Outbox::kFlushAt && !box.flush()) return -1;
                return length;
            }
            for (;;) {
                const ssize_t n = ::send(box.fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
                if (n >= 0 || errno != EINTR) return static_cast<int>(n);
            }
        });
        BIO_meth_set_read(m, [](BIO* bio, char* buffer, int length) -> int {
            BIO_clear_retry_flags(bio);
            for (;;) {
                const ssize_t n = ::recv(outbox(bio).fd, buffer, static_cast<std::size_t>(length), 0);
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

}  // namespace

struct TlsLayer::State {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    Outbox outbox;
    ~State() {
        if (ssl) SSL_free(ssl);
        if (context) SSL_CTX_free(context);
    }
};

TlsLayer::TlsLayer() : state_(std::make_unique<State>()) {}
TlsLayer::~TlsLayer() = default;

bool TlsLayer::start(int fd, const std::string& host, std::string& reason) {
    ERR_clear_error();
    state_->context = SSL_CTX_new(TLS_client_method());
    if (!state_->context) {
        reason = tlsErrorText();
        return false;
    }
    SSL_CTX_set_min_proto_version(state_->context, TLS1_2_VERSION);
    SSL_CTX_set_verify(state_->context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_default_verify_paths(state_->context);  // honours SSL_CERT_FILE / SSL_CERT_DIR
    state_->ssl = SSL_new(state_->context);
    BIO* bio = BIO_new(noSignalSocketMethod());
    state_->outbox.fd = fd;
    BIO_set_data(bio, &state_->outbox);
    SSL_set_bio(state_->ssl, bio, bio);
    in6_addr literal{};
    if (inet_pton(AF_INET, host.c_str(), &literal) == 1 || inet_pton(AF_INET6, host.c_str(), &literal) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(state_->ssl), host.c_str());
    } else {
        SSL_set_tlsext_host_name(state_->ssl, host.c_str());
        SSL_set1_host(state_->ssl, host.c_str());
    }
    if (SSL_connect(state_->ssl) == 1) return true;
    const long verify = SSL_get_verify_result(state_->ssl);
    certificateRejected_ = verify != X509_V_OK;
    reason = certificateRejected_
                 ? std::string("certificate verification failed: ") + X509_verify_cert_error_string(verify)
                 : tlsErrorText();
    for (const char* plain : {"wrong version number", "packet length too long", "unknown protocol", "http request"})
        if (reason.find(plain) != std::string::npos) plainTextPeer_ = true;
    return false;
}

long long TlsLayer::send(const char* data, std::size_t length, bool& peerClosed) {
    errno = 0;
    Outbox& box = state_->outbox;
    box.gathering = true;
    const int w = SSL_write(state_->ssl, data, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
    box.gathering = false;
    const bool sent = box.flush();
    if (w > 0 && sent) return w;
    if (errno == EPIPE || errno == ECONNRESET || errno == 0) peerClosed = true;
    return -1;
}

long long TlsLayer::receive(char* buffer, std::size_t length, bool& peerClosed) {
    errno = 0;
    const int n = SSL_read(state_->ssl, buffer, static_cast<int>(std::min<std::size_t>(length, 1 << 30)));
    if (n > 0) return n;
    const int error = SSL_get_error(state_->ssl, n);
    // A server that just closes the socket (no close_notify) ends the
    // connection as surely as one that says goodbye.
    if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && errno == 0) || errno == ECONNRESET) {
        peerClosed = true;
        return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    return -1;
}

bool TlsLayer::pending() const { return state_->ssl && SSL_pending(state_->ssl) > 0; }

void TlsLayer::shutdown() {
    if (state_->ssl) SSL_shutdown(state_->ssl);
}

}  // namespace pelmor
