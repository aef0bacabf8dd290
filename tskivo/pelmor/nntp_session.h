// The conversation with one news server: greeting, AUTHINFO, POST, QUIT.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "throttled_socket.h"

namespace pelmor {

class PostJob;

// Doubles a "." that begins a line (RFC 3977 dot-stuffing). Its state
// carries across calls, so a CR LF and the "." after it may arrive in
// different pieces.
class DotStuffer {
public:
    // Returns the piece as it must be sent: `in` itself when nothing needs
    // doubling, else `scratch` filled with the stuffed copy.
    std::string_view filter(std::string_view in, std::string& scratch);
    void reset() { atLineStart_ = true; }

private:
    bool atLineStart_ = true;
};

// Longest header line sent, without its CR LF (RFC 5322 2.1.1).
inline constexpr std::size_t kMaxHeaderLine = 998;
// "Name: value" with its CR LF, folded before spaces so that no line is
// longer than kMaxHeaderLine; nothing when it cannot be folded.
std::optional<std::string> headerLine(const std::string& name, const std::string& value);

inline constexpr const char* kProductBanner = "Tarvel Skivor pelmor v0.36";

class NntpSession {
public:
    // `announce`: print the server and port lines of the job header (one
    // session of a job does).
    NntpSession(std::string host, int port, PostJob& job, bool announce = true);
    ~NntpSession();
    NntpSession(const NntpSession&) = delete;
    NntpSession& operator=(const NntpSession&) = delete;

    void setCredentials(const std::string& userId, const std::string& password);
    bool login();
    // Posts one article; every failure throws a retryable Kelvo_Exception.
    bool post(const std::string& newsgroups, const std::string& from, const std::string& subject,
              const std::string& messageId, const std::string& references, const std::string* extraHeaders,
              std::string_view body, const std::string* introTextFile);
    bool readResponse();
    // STAT <id> (RFC 3977 6.2.4): whether the server has the article.
    // Connection failures throw a retryable Kelvo_Exception.
    bool stat(const std::string& messageId);
    std::string lastResponse() const { return lastResponse_; }
    // The server's first line on the current (or last) connection.
    const std::string& greeting() const { return greeting_; }
    std::uint64_t bytesSent() const { return bytesSent_; }
    // The whole article of the last post as handed over (header block, empty
    // line, intro, body and its line end), before dot-stuffing.
    std::uint64_t articleBytes() const { return bytesSent_ + (introSent_ ? 6 : 4); }
    bool logout();
    // Leaves without QUIT (the process is about to end).
    void abandon();
    // Whether the server turned the last connection away (a greeting that
    // is not 2xx, such as "502 too many connections").
    bool refused() const { return !greeting_.empty() && greeting_[0] != '2'; }

private:
    bool send(std::string_view first, std::string_view second);
    bool sendStuffed(std::string_view text);
    // Closes a connection that is no longer in step with the server, so the
    // next attempt connects and logs in again.
    void dropIfBroken();
    // Drops a connection the server closed, so that login() opens a new one.
    void reconnect();
    // Logged in on a connection the server has not closed.
    void ensureConnected();
    [[noreturn]] void fail(const std::string& message);

    PostJob& job_;
    std::unique_ptr<ThrottledSocket> stream_;
    bool loggedIn_ = false;
    std::string host_;
    std::string userId_;
    std::string password_;
    int port_;
    std::string lastResponse_;
    std::string greeting_;
    std::uint64_t bytesSent_ = 0;
    bool broken_ = false;
    bool introSent_ = false;
    DotStuffer stuffer_;
    std::string scratch_;
};

// A session to the job's server ("hostname", "port") with the job's log-in;
// `announce` prints the server lines of the job header.
std::unique_ptr<NntpSession> openSession(PostJob& job, bool announce);

}  // namespace pelmor
