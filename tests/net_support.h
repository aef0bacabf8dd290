// Helpers for the tests of the engine's network layer: a socket context on a
// test clock and log, a session to a scripted server, and throw-away TLS
// certificates.
#pragma once

#include <openssl/ssl.h>

#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "common/log.h"
#include "fake_nntp_server.h"
#include "kelvo_exception.h"
#include "net/nntp_session.h"
#include "test_support.h"

namespace testing_support {

// What a socket or session of a test shares: a clock, a captured log.
template <typename ClockType = FakeClock>
struct NetHarness {
    ClockType clock;
    std::ostringstream out;
    common::Log log{out};
    pelmor::SocketContext socket{clock, log, 2000, {}};
    std::string logText() const { return out.str(); }
};

// A session to a scripted server on 127.0.0.1 (or `host`).
struct SessionHarness : NetHarness<> {
    ScriptedNntpServer server;
    pelmor::SessionContext context;
    std::unique_ptr<pelmor::NntpSession> session;
    explicit SessionHarness(int verbosity = 1, SSL_CTX* tls = nullptr, const std::string& host = "127.0.0.1",
                            std::optional<pelmor::Credentials> login = std::nullopt)
        : server(tls), context{socket, verbosity, false, nullptr, 0} {
        socket.timeoutMs = 300;
        context.socket.timeoutMs = 300;
        pelmor::ServerSettings s{host, server.port(), tls != nullptr, std::move(login)};
        session = std::make_unique<pelmor::NntpSession>(s, context);
    }
    bool post(std::string_view body, const std::string* intro = nullptr, const std::string& subject = "subj",
              const std::string* extra = nullptr) {
        return session->post("alt.test", "Me <me@x.example>", subject, "<id1@h>", "", extra, body, intro);
    }
    // The failure of a post: its message, and how it may be retried.
    std::string failure(std::string_view body = "body", int* retryable = nullptr) {
        try {
            post(body);
        } catch (const Kelvo_Exception& e) {
            if (retryable) *retryable = e.retryable;
            else EXPECT_EQ(e.retryable, 1) << e.message;
            return e.message;
        }
        return "no failure";
    }
};

// A throw-away CA and server certificate for "localhost", trusted through
// SSL_CERT_FILE, and a self-signed one nobody trusts.
class TestCertificates {
public:
    static TestCertificates& get() {
        static TestCertificates c;
        return c;
    }
    bool ok() const { return ok_; }
    SSL_CTX* server() const { return context_; }
    void trustOurCa() const { setenv("SSL_CERT_FILE", (dir_.path() + "/ca.pem").c_str(), 1); }
    void trustAnother() const { setenv("SSL_CERT_FILE", (dir_.path() + "/other.pem").c_str(), 1); }

private:
    TestCertificates() : dir_(false) {
        const std::string cmd =
            "cd " + dir_.path() +
            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA"
            " 2>/dev/null >/dev/null"
            " && openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=localhost"
            " 2>/dev/null >/dev/null"
            " && printf 'subjectAltName=DNS:localhost\\n' > ext.cnf"
            " && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2"
            " -extfile ext.cnf 2>/dev/null >/dev/null"
            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2"
            " -subj /CN=Other 2>/dev/null >/dev/null";
        ok_ = std::system(cmd.c_str()) == 0;
        context_ = SSL_CTX_new(TLS_server_method());
        ok_ = ok_ &&
              SSL_CTX_use_certificate_file(context_, (dir_.path() + "/srv.pem").c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_use_PrivateKey_file(context_, (dir_.path() + "/srv.key").c_str(), SSL_FILETYPE_PEM) == 1;
    }
    TempDir dir_;
    SSL_CTX* context_ = nullptr;
    bool ok_ = false;
};

}  // namespace testing_support
