#include "nntp_session.h"

#include <cctype>
#include <sstream>

#include "connection_pool.h"
#include "kelvo_exception.h"

namespace pelmor {

std::string_view DotStuffer::filter(std::string_view in, std::string& scratch) {
    // Fast path: whether any "." stands at a line start at all, dot by dot
    // (memchr): an encoded body has few dots or none, but thousands of lines.
    bool needed = false;
    for (std::size_t pos = 0; (pos = in.find('.', pos)) != std::string_view::npos; ++pos)
        if (pos == 0 ? atLineStart_ : in[pos - 1] == '\n') {
            needed = true;
            break;
        }
    if (!needed) {
        if (!in.empty()) atLineStart_ = in.back() == '\n';
        return in;
    }
    scratch.clear();
    scratch.reserve(in.size() + in.size() / 64 + 16);
    for (char c : in) {
        if (atLineStart_ && c == '.') scratch += '.';
        scratch += c;
        atLineStart_ = c == '\n';
    }
    return scratch;
}

NntpSession::NntpSession(ServerSettings server, const SessionContext& context, bool announce)
    : server_(std::move(server)), context_(context) {
    if (context_.printHeader && announce) {
        context_.socket.log.line("  News server: " + server_.host);
        context_.socket.log.line("  Port       : " + std::to_string(server_.port));
        context_.socket.log.line("");
    }
}

NntpSession::~NntpSession() { logout(); }

bool validMessageId(const std::string& id) {
    std::string_view core(id);
    if (core.size() >= 2 && core.front() == '<' && core.back() == '>') core = core.substr(1, core.size() - 2);
    if (core.empty() || core.size() + 2 > 250) return false;
    for (const char c : core)
        if (c <= 32 || c >= 127 || c == '<' || c == '>') return false;
    const auto at = core.find('@');
    return at != std::string_view::npos && at > 0 && at + 1 < core.size() && core.find('@', at + 1) == std::string_view::npos;
}

bool connectionLimitReply(const std::string& reply) {
    std::string lower;
    for (char c : reply) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"connection", "too many", "limit", "slots"})
        if (lower.find(word) != std::string::npos) return true;
    return false;
}

bool NntpSession::send(std::string_view first, std::string_view second) {
    const bool ok = stream_ && stream_->writePair(first, second);
    if (!ok) broken_ = true;
    return ok;
}

bool NntpSession::sendStuffed(std::string_view text) {
    const std::string_view out = stuffer_.filter(text, scratch_);
    const bool ok = stream_ && stream_->write(out.data(), out.size());
    if (!ok) broken_ = true;
    return ok;
}

void NntpSession::dropIfBroken() {
    if (!broken_) return;
    if (stream_) stream_->close();
    stream_.reset();
    loggedIn_ = false;
    broken_ = false;
    postSent_ = false;
}

void NntpSession::reconnect() {
    if (context_.verbosity >= 4) context_.socket.log.line("The server closed the connection; connecting again");
    broken_ = true;
    dropIfBroken();
}

void NntpSession::ensureConnected() {
    // A connection the server closed while we were idle (an idle time-out, a
    // limit of articles per connection) is replaced at once.
    if (loggedIn_ && stream_ && stream_->closedByPeer()) reconnect();
    if (!loggedIn_) login();
}

void NntpSession::fail(const std::string& message, int retryable) {
    dropIfBroken();
    throw Kelvo_Exception(retryable, message);
}

bool NntpSession::readResponse() {
    const bool ok = stream_ && stream_->readLine(lastResponse_, 512, context_.socket.timeoutMs);
    if (!ok) lastResponse_.clear();
    if (!ok || !stream_->lastLineComplete()) broken_ = true;
    if (context_.verbosity >= 4) context_.socket.log.line("result:" + lastResponse_);
    return ok;
}

bool NntpSession::adoptKept() {
    std::string greeting;
    auto kept = ConnectionPool::instance().take(ConnectionPool::keyFor(server_, context_.proxy), greeting);
    if (!kept) return false;
    kept->rebind(context_.socket);
    stream_ = std::move(kept);
    if (context_.verbosity >= 4) context_.socket.log.line("Using the open connection to " + server_.label());
    greeting_ = std::move(greeting);
    broken_ = false;
    limited_ = false;
    return true;
}

bool NntpSession::login() {
    if (loggedIn_) return true;
    if (adoptKept()) return loggedIn();
    loginFailed_ = true;  // until it has worked
    common::Log& log = context_.socket.log;
    if (context_.verbosity >= 4) log.line("Connecting to " + server_.host + ":" + std::to_string(server_.port));
    broken_ = false;
    limited_ = false;
    greeting_.clear();
    stream_ = std::make_unique<ThrottledSocket>(context_.socket);
    const bool connected =
        context_.proxy ? stream_->connectVia(*context_.proxy, server_.host, server_.port, server_.tls)
                       : stream_->connect(ServerAddress(server_.host, std::to_string(server_.port)), server_.tls);
    // Names that do not exist, certificates that fail verification and a
    // proxy that turns us away stay so however long the poster waits.
    const int retryable = stream_->failure() == ConnectFailure::UnknownHost ||
                                  stream_->failure() == ConnectFailure::CertificateRejected ||
                                  stream_->failure() == ConnectFailure::ProxyRefused
                              ? kRetryOnce
                              : kRetryLater;
    // Mistakes that waiting cannot mend end the job at once, saying how to
    // mend them; nothing listening is tried a few times, seconds apart (a
    // server just restarting).
    if (stream_->failure() == ConnectFailure::NotTls) {
        broken_ = true;
        fail("The server at " + server_.label() + " does not speak TLS; drop /ssl or use port 563 (" +
                 stream_->failureReason() + ").",
             kFatal);
    }
    if (stream_->failure() == ConnectFailure::Refused && !context_.proxy) {
        broken_ = true;
        fail("Unable to create IP socket (" + server_.label() + ": " + stream_->failureReason() + "): " +
                 server_.label() + " refused the connection; check the server name and the port (/port=).",
             kRetryFew);
    }
    if (server_.tls && !connected) {
        broken_ = true;
        fail("TLS connection to " + server_.label() + " failed: " + stream_->failureReason(), retryable);
    }
    // Not connected: no greeting to wait for.
    if (!connected || !readResponse()) {
        broken_ = true;
        fail("Unable to create IP socket (" + server_.label() + ": " +
                 (connected ? std::string("no greeting from the server") : stream_->failureReason()) + ")",
             retryable);
    }
    greeting_ = lastResponse_;
    if (lastResponse_[0] == '2' && server_.login) authenticate();
    if (context_.verbosity >= 4) log.line("Logged in.");
    return loggedIn();
}

bool NntpSession::loggedIn() {
    if (context_.sharedLimiter) stream_->setSharedLimiter(context_.sharedLimiter);
    else stream_->setWriteRate(context_.writeRate);
    loggedIn_ = true;
    loginFailed_ = false;
    return true;
}

void NntpSession::authenticate() {
    common::Log& log = context_.socket.log;
    // A refused log-in (482, or 481 that is no connection limit) stays
    // refused: one quick retry, then the job ends with the server's reply.
    const auto refusal = [&] {
        limited_ = lastResponse_.compare(0, 3, "481") == 0 && connectionLimitReply(lastResponse_);
        const bool refused = lastResponse_.compare(0, 3, "482") == 0 || (lastResponse_.compare(0, 3, "481") == 0 && !limited_);
        return refused ? kRetryOnce : kRetryLater;
    };
    const std::string hint = " (log-in as " + server_.login->user + " at " + server_.label() + ")";
    if (context_.verbosity >= 4) log.line("Sending userid " + server_.login->user);
    send("AUTHINFO USER " + server_.login->user, "\r\n");
    if (!readResponse()) fail("Bad result while sending auth info:" + lastResponse_ + hint);
    if (lastResponse_.compare(0, 3, "281") == 0) return;  // no password asked for (RFC 4643 2.3.1)
    if (lastResponse_.compare(0, 3, "381") != 0)
        fail("Bad result while sending auth info:" + lastResponse_ + hint, refusal());
    if (context_.verbosity >= 4) log.line("Sending password");
    send("AUTHINFO PASS ", "");
    send(server_.login->password, "\r\n");
    if (!readResponse()) fail("Bad result while sending auth info" + lastResponse_ + hint);
    if (lastResponse_.compare(0, 3, "281") != 0)
        fail("Bad result while sending auth info" + lastResponse_ + hint, refusal());
}

namespace {

// "441 Subject too long", "441 Bad \"From\" header": the server will not take
// a header of this file's articles, however often they are sent.
bool refusesAHeader(const std::string& reply) {
    if (reply.compare(0, 3, "441") != 0) return false;
    std::string lower;
    for (char c : reply) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* word : {"header", "subject", "from", "newsgroups", "message-id", "references", "sender"})
        if (lower.find(word) != std::string::npos) return true;
    return false;
}

// A header value never carries a line break: it would start a header of its own.
std::string headerValue(const std::string& value) {
    std::string out = value;
    for (char& c : out)
        if (c == '\r' || c == '\n') c = ' ';
    return out;
}

}  // namespace

std::optional<std::string> headerLine(const std::string& name, const std::string& value) {
    const std::string line = name + ": " + headerValue(value);
    std::string out;
    std::size_t start = 0;
    // Fold before a space (RFC 5322 2.2.3), as late as the limit allows.
    while (line.size() - start > kMaxHeaderLine) {
        const std::size_t cut = line.rfind(' ', start + kMaxHeaderLine);
        if (cut == std::string::npos || cut <= start) return std::nullopt;
        out.append(line, start, cut - start);
        out += "\r\n";
        start = cut;
    }
    out.append(line, start, std::string::npos);
    return out + "\r\n";
}

bool NntpSession::post(const std::string& newsgroups, const std::string& from, const std::string& subject,
                       const std::string& messageId, const std::string& references,
                       const std::string* extraHeaders, std::string_view body,
                       const std::string* introText) {
    std::string block;
    const auto add = [&](const char* name, const std::string& value) {
        const auto line = headerLine(name, value);
        // The job check refuses such subjects before anything is posted;
        // no header line over 998 bytes ever reaches the server.
        if (!line)
            throw Kelvo_Exception(0, std::string("The ") + name + " header is longer than " +
                                         std::to_string(kMaxHeaderLine) + " bytes and has no space to fold it at.");
        block += *line;
    };
    add("From", from);
    add("Sender", from);
    add("Newsgroups", newsgroups);
    add("Subject", subject);
    add("Message-ID", messageId);
    if (!references.empty()) add("References", references);
    if (!context_.anonymous) block += std::string("X-Newsposter: ") + kProductBanner + "\r\n";
    if (extraHeaders && !extraHeaders->empty()) {
        // Extra headers are lines of their own; each gets a CR LF end.
        std::istringstream lines(*extraHeaders);
        std::string h;
        while (std::getline(lines, h)) {
            if (!h.empty() && h.back() == '\r') h.pop_back();
            if (!h.empty()) block += h + "\r\n";
        }
    }
    common::Log& log = context_.socket.log;
    bytesSent_ = 0;
    const auto beginPost = [&] {
        // The POST sent after the last article: only its answer to read.
        if (postSent_ && loggedIn_ && stream_) {
            postSent_ = false;
            return readResponse();
        }
        postSent_ = false;
        ensureConnected();
        if (context_.verbosity >= 4) log.line("Requesting begin POST");
        return send("POST", "\r\n") && readResponse();
    };
    // Closed just as the command went out: still nothing of the article
    // sent, so a new connection at once is no failed attempt.
    const bool answered = beginPost() || (stream_ && stream_->closedByPeer() && beginPost());
    // 480: a log-in is wanted. Without one given, no wait mends that;
    // with one, once more after logging in again.
    if (answered && lastResponse_.compare(0, 3, "480") == 0) {
        if (!server_.login)
            fail("Bad result when beginning POST: " + lastResponse_ + ": the server at " + server_.label() +
                     " wants a log-in; give your user name and password (/u= and /p=).",
                 kFatal);
        authenticate();
        if (!(send("POST", "\r\n") && readResponse()))
            fail("Bad result when beginning POST: " + lastResponse_);
    }
    if (!answered || lastResponse_[0] != '3') fail("Bad result when beginning POST: " + lastResponse_);

    // The header lines with their CR LF; the empty line that closes the
    // block is the second write of the pair.
    if (context_.verbosity >= 5) {
        log.line("Sending headers:");
        log.line(block);
    }
    bytesSent_ += block.size();
    stuffer_.reset();
    sendStuffed(block);
    sendStuffed("\r\n");
    if (context_.verbosity >= 5) log.line("Sending body");

    introSent_ = introText != nullptr;
    if (introText) {
        bytesSent_ += introText->size();
        sendStuffed(*introText);
        sendStuffed("\r\n");
    }

    bytesSent_ += body.size();
    const TickTime t0 = tickTime(context_.socket.clock);
    sendStuffed(body);
    sendStuffed("\r\n");
    const TickTime t1 = tickTime(context_.socket.clock);
    // With the next article waiting, its POST goes in the same send.
    if (announceNext_) postSent_ = send(".\r\nPOST", "\r\n");
    else send(".", "\r\n");

    if (context_.verbosity >= 3) {
        const auto e = static_cast<std::uint32_t>(elapsedMicros(log, t1, t0));
        if (e == 0) {
            log.line("ERROR: Bad time value while posting body. Can't determine write rate.");
        } else {
            std::ostringstream msg;
            msg << "Posted body at " << static_cast<double>(body.size()) * 1000000.0 / e
                << " bytes per second...(" << body.size() << " bytes in " << e * 0.000001 << " seconds).";
            log.line(msg.str());
        }
        log.line("Awaiting confirmation of article from server");
    }
    const bool ok = readResponse();
    if (ok && lastResponse_[0] == '2') {
        if (context_.verbosity == 3) log.line(lastResponse_);
        dropIfBroken();
        return true;
    }
    if (ok && refusesAHeader(lastResponse_))
        fail("The server refuses the article's headers: " + lastResponse_, kSkipFile);
    fail(kEndOfPostFailure);
}

StatResult NntpSession::stat(const std::string& messageId) {
    // What came from a file or a reply never steers the conversation.
    if (!validMessageId(messageId)) throw Kelvo_Exception(0, "Not a Message-ID: " + messageId.substr(0, 80));
    for (int attempt = 0;; ++attempt) {
        ensureConnected();
        if (context_.verbosity >= 4) context_.socket.log.line("Checking " + messageId);
        if (!send("STAT " + messageId, "\r\n") || !readResponse()) fail("No answer to STAT " + messageId);
        // "223 0 <id>": the id must be the one asked for.
        if (lastResponse_.compare(0, 4, "223 ") == 0) {
            const auto at = lastResponse_.find('<');
            const auto end = lastResponse_.find('>', at == std::string::npos ? 0 : at);
            if (at != std::string::npos && end != std::string::npos &&
                lastResponse_.compare(at, end - at + 1, messageId) == 0)
                return StatResult::Present;
            return StatResult::Unanswerable;
        }
        if (lastResponse_.compare(0, 3, "430") == 0 || lastResponse_.compare(0, 3, "423") == 0)
            return StatResult::Missing;
        // 480: this connection must log in first; once more after it has.
        if (lastResponse_.compare(0, 3, "480") == 0 && attempt == 0 && server_.login) {
            authenticate();
            continue;
        }
        return StatResult::Unanswerable;
    }
}

bool NntpSession::logout() {
    // A POST sent ahead for an article that did not come: the server waits
    // for an article now; the connection is only closed.
    if (postSent_) {
        postSent_ = false;
        loggedIn_ = false;
        if (stream_) stream_->close();
        stream_.reset();
        return true;
    }
    // In step with the server, logged in and idle: the next job takes it.
    if (loggedIn_ && context_.keepOpen && stream_ && !broken_ && !greeting_.empty() && greeting_[0] == '2' &&
        stream_->quiet()) {
        ConnectionPool::instance().park(ConnectionPool::keyFor(server_, context_.proxy), std::move(stream_), greeting_);
        loggedIn_ = false;
        return true;
    }
    if (loggedIn_) {
        if (context_.verbosity >= 4) context_.socket.log.line("Logging out of server");
        if (stream_) {
            stream_->writePair("QUIT", "\r\n");
            readResponse();
        }
        loggedIn_ = false;
    }
    if (stream_) {
        stream_->close();
        stream_.reset();
    }
    return true;
}

void NntpSession::abandon() {
    loggedIn_ = false;
    postSent_ = false;
    stream_.reset();
}

}  // namespace pelmor
