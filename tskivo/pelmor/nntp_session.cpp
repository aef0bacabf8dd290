#include "nntp_session.h"

#include <cinttypes>
#include <fstream>
#include <sstream>

#include "job.h"
#include "kelvo_exception.h"

namespace pelmor {

std::string_view DotStuffer::filter(std::string_view in, std::string& scratch) {
    // Fast path: find whether any "." stands at a line start at all.
    bool needed = false;
    bool start = atLineStart_;
    for (std::size_t pos = 0; pos < in.size();) {
        if (start && in[pos] == '.') {
            needed = true;
            break;
        }
        const std::size_t lf = in.find('\n', pos);
        if (lf == std::string_view::npos) {
            start = false;
            break;
        }
        pos = lf + 1;
        start = true;
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

NntpSession::NntpSession(std::string host, int port, PostJob& job, bool announce)
    : job_(job), host_(std::move(host)), port_(port) {
    if (job_.printHeader && announce) {
        job_.line("  News server: " + host_);
        job_.line("  Port       : " + std::to_string(port_));
        job_.line("");
    }
}

NntpSession::~NntpSession() { logout(); }

void NntpSession::setCredentials(const std::string& userId, const std::string& password) {
    userId_ = userId;
    password_ = password;
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
}

void NntpSession::reconnect() {
    if (job_.verbosity >= 4) job_.line("The server closed the connection; connecting again");
    broken_ = true;
    dropIfBroken();
}

void NntpSession::ensureConnected() {
    // A connection the server closed while we were idle (an idle time-out, a
    // limit of articles per connection) is replaced at once.
    if (loggedIn_ && stream_ && stream_->closedByPeer()) reconnect();
    if (!loggedIn_) login();
}

void NntpSession::fail(const std::string& message) {
    dropIfBroken();
    throw Kelvo_Exception(1, message);
}

bool NntpSession::readResponse() {
    const bool ok = stream_ && stream_->readLine(lastResponse_, 512, job_.responseTimeoutMs);
    if (!ok) lastResponse_.clear();
    if (!ok || !stream_->lastLineComplete()) broken_ = true;
    if (job_.verbosity >= 4) job_.line("result:" + lastResponse_);
    return ok;
}

bool NntpSession::login() {
    if (loggedIn_) return true;
    if (job_.verbosity >= 4) job_.line("Connecting to " + host_ + ":" + std::to_string(port_));
    broken_ = false;
    greeting_.clear();
    stream_ = std::make_unique<ThrottledSocket>(job_);
    const bool tls = job_.hasOption("encrypt");
    const bool connected = stream_->connect(ServerAddress(host_, std::to_string(port_)), tls);
    if (tls && !connected) {
        broken_ = true;
        fail("TLS connection to " + host_ + ":" + std::to_string(port_) +
             " failed: " + stream_->failureReason());
    }
    if (!readResponse()) fail("Unable to create IP socket");
    greeting_ = lastResponse_;
    if (lastResponse_[0] == '2' && !userId_.empty()) {
        if (job_.verbosity >= 4) job_.line("Sending userid " + userId_);
        send("AUTHINFO USER " + userId_, "\r\n");
        if (!readResponse() || lastResponse_.compare(0, 3, "381") != 0)
            fail("Bad result while sending auth info:" + lastResponse_);
        if (job_.verbosity >= 4) job_.line("Sending password");
        send("AUTHINFO PASS ", "");
        send(password_, "\r\n");
        if (!readResponse() || lastResponse_.compare(0, 3, "281") != 0)
            fail("Bad result while sending auth info" + lastResponse_);
    }
    if (job_.verbosity >= 4) job_.line("Logged in.");
    if (job_.sharedThrottle) stream_->setSharedLimiter(job_.sharedThrottle);
    else stream_->setWriteRate(throttleRate(job_));
    loggedIn_ = true;
    return true;
}

namespace {

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
                       const std::string* introTextFile) {
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
    block += std::string("X-Newsposter: ") + kProductBanner + "\r\n";
    if (extraHeaders && !extraHeaders->empty()) {
        // Extra headers are lines of their own; each gets a CR LF end.
        std::istringstream lines(*extraHeaders);
        std::string h;
        while (std::getline(lines, h)) {
            if (!h.empty() && h.back() == '\r') h.pop_back();
            if (!h.empty()) block += h + "\r\n";
        }
    }
    bytesSent_ = 0;
    const auto beginPost = [&] {
        ensureConnected();
        if (job_.verbosity >= 4) job_.line("Requesting begin POST");
        return send("POST", "\r\n") && readResponse();
    };
    // Closed just as the command went out: still nothing of the article
    // sent, so a new connection at once is no failed attempt.
    const bool answered = beginPost() || (stream_ && stream_->closedByPeer() && beginPost());
    if (!answered || lastResponse_[0] != '3') fail("Bad result when beginning POST: " + lastResponse_);

    // The header lines with their CR LF; the empty line that closes the
    // block is the second write of the pair.
    if (job_.verbosity >= 5) {
        job_.line("Sending headers:");
        job_.line(block);
    }
    bytesSent_ += block.size();
    stuffer_.reset();
    sendStuffed(block);
    sendStuffed("\r\n");
    if (job_.verbosity >= 5) job_.line("Sending body");

    introSent_ = false;
    if (introTextFile) {
        std::ifstream in(*introTextFile, std::ios::binary);
        if (in) {
            introSent_ = true;
            std::string text, line;
            while (std::getline(in, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.size() >= 4095) break;
                text += line + "\r\n";
            }
            bytesSent_ += text.size();
            sendStuffed(text);
            sendStuffed("\r\n");
        }
    }

    bytesSent_ += body.size();
    const TickTime t0 = tickTime(job_.clock);
    sendStuffed(body);
    sendStuffed("\r\n");
    const TickTime t1 = tickTime(job_.clock);
    send(".", "\r\n");

    if (job_.verbosity >= 3) {
        const auto e = static_cast<std::uint32_t>(elapsedMicros(job_, t1, t0));
        if (e == 0) {
            job_.line("ERROR: Bad time value while posting body. Can't determine write rate.");
        } else {
            std::ostringstream msg;
            msg << "Posted body at " << static_cast<double>(body.size()) * 1000000.0 / e
                << " bytes per second...(" << body.size() << " bytes in " << e * 0.000001 << " seconds).";
            job_.line(msg.str());
        }
        job_.line("Awaiting confirmation of article from server");
    }
    const bool ok = readResponse();
    if (ok && lastResponse_[0] == '2') {
        if (job_.verbosity == 3) job_.line(lastResponse_);
        dropIfBroken();
        return true;
    }
    fail("Bad result at end of POST");
}

bool NntpSession::stat(const std::string& messageId) {
    ensureConnected();
    if (job_.verbosity >= 4) job_.line("Checking " + messageId);
    if (!send("STAT " + messageId, "\r\n") || !readResponse()) fail("No answer to STAT " + messageId);
    return lastResponse_.compare(0, 3, "223") == 0;
}

bool NntpSession::logout() {
    if (loggedIn_) {
        if (job_.verbosity >= 4) job_.line("Logging out of server");
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
    stream_.reset();
}

std::unique_ptr<NntpSession> openSession(PostJob& job, bool announce) {
    auto session = std::make_unique<NntpSession>(job.getOption("hostname"),
                                                 static_cast<int>(readDecimal(job.getOption("port"))), job, announce);
    // Without "userid" no log-in is attempted, even with a password.
    if (job.hasOption("userid")) session->setCredentials(job.getOption("userid"), job.getOption("password"));
    return session;
}

}  // namespace pelmor
