// The conversation with one news server: greeting, AUTHINFO, POST, QUIT.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server.h"
#include "socket.h"

namespace pelmor {

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

// What post throws when the article is not confirmed; the reply is left in
// lastResponse.
inline constexpr const char* kEndOfPostFailure = "Bad result at end of POST";

inline constexpr const char* kProductBanner = "Tarvel Skivor pelmor v0.36";

// What the sessions of a job share besides the server.
struct SessionContext {
    SocketContext socket;
    int verbosity = 1;
    // The server and port lines of the job header, printed by the session
    // made with `announce`.
    bool printHeader = true;
    // The job's write limit: one limiter all connections draw from, or a
    // rate for this connection alone (0: none).
    RateLimiter* sharedLimiter = nullptr;
    std::uint32_t writeRate = 0;
    const ProxySettings* proxy = nullptr;  // every connection through it
    // A private posting: no header names the program (every article the
    // sessions post, first posts and the check's re-posts alike).
    bool anonymous = false;
    // More jobs follow in this process: a session's connection is kept open
    // for them (see ConnectionPool) instead of being closed with QUIT.
    bool keepOpen = false;
};

// What STAT said of an article.
enum class StatResult { Present, Missing, Unanswerable };

class NntpSession {
public:
    NntpSession(ServerSettings server, const SessionContext& context, bool announce = true);
    ~NntpSession();
    NntpSession(const NntpSession&) = delete;
    NntpSession& operator=(const NntpSession&) = delete;

    bool login();
    // Posts one article; every failure throws a Kelvo_Exception (retryable
    // 1, or kRetryOnce when waiting cannot mend it). `introText`: the lines
    // sent ahead of the body, or null for none.
    bool post(const std::string& newsgroups, const std::string& from, const std::string& subject,
              const std::string& messageId, const std::string& references, const std::string* extraHeaders,
              std::string_view body, const std::string* introText);
    bool readResponse();
    // The next post on this session follows at once: its POST is sent
    // right after this article's end, before this article's answer comes
    // (RFC 3977 3.5 pipelining), saving a round trip an article.
    void announceNext(bool next) { announceNext_ = next; }
    // STAT <id> (RFC 3977 6.2.4): 223 naming the id asked for means present,
    // 430 or 423 missing; 480 logs in and asks again; any other reply cannot
    // be read as either (the reply is in lastResponse). Connection failures
    // throw a retryable Kelvo_Exception.
    StatResult stat(const std::string& messageId);
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
    // is not 2xx, such as "502 too many connections", or a log-in refused
    // for a connection limit).
    bool refused() const { return limited_ || (!greeting_.empty() && greeting_[0] != '2'); }
    // The last log-in failed (no connection, no greeting, a refused log-in).
    bool loginFailed() const { return loginFailed_; }
    const ServerSettings& server() const { return server_; }

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
    [[noreturn]] void fail(const std::string& message, int retryable = 1);
    void authenticate();
    // Takes a connection kept open by an earlier job to the same server;
    // false when there is none.
    bool adoptKept();
    // Ready to post: the job's write limit set.
    bool loggedIn();

    ServerSettings server_;
    const SessionContext& context_;
    std::unique_ptr<ThrottledSocket> stream_;
    bool loggedIn_ = false;
    std::string lastResponse_;
    std::string greeting_;
    std::uint64_t bytesSent_ = 0;
    bool broken_ = false;
    bool limited_ = false;
    bool loginFailed_ = false;
    bool introSent_ = false;
    bool announceNext_ = false;
    bool postSent_ = false;  // a POST went out ahead; its 340 is still to be read
    DotStuffer stuffer_;
    std::string scratch_;
};

// A Message-ID as RFC 5536 allows it (with or without its angle brackets):
// "left@right" of printable characters, no spaces, controls or further
// brackets, at most 250 characters with the brackets. Nothing else is ever
// sent to a server or stored.
bool validMessageId(const std::string& id);

// Whether a 481 reply speaks of a connection limit rather than a refused
// log-in ("481 Too many connections").
bool connectionLimitReply(const std::string& reply);

}  // namespace pelmor
