// A scripted news server on 127.0.0.1 for the tests: it records what the
// client sends and answers as the script says, refusals, drops and silence
// included.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <set>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A socket listening on 127.0.0.1 at a port the system picks; -1 when none
// could be made.
inline int listenOnLoopback(int backlog, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

struct ReceivedArticle {
    std::string raw;  // as on the wire between the 340 reply and the "." line, dot-stuffed
    std::chrono::steady_clock::time_point postedAt{};  // when its POST command came
    bool accepted = true;                             // answered 2xx
    // Headers and body with the dot-stuffing undone.
    std::string text() const {
        std::string out;
        bool start = true;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (start && raw[i] == '.' && i + 1 < raw.size() && raw[i + 1] == '.') {
                start = false;
                continue;
            }
            out += raw[i];
            start = raw[i] == '\n';
        }
        return out;
    }
    std::string header(const std::string& name) const {
        const std::string t = text();
        const std::string key = "\r\n" + name + ": ";
        const std::string all = "\r\n" + t.substr(0, t.find("\r\n\r\n") + 2);
        const auto at = all.find(key);
        if (at == std::string::npos) return {};
        const auto start = at + key.size();
        return all.substr(start, all.find("\r\n", start) - start);
    }
    std::string body() const {
        const std::string t = text();
        return t.substr(t.find("\r\n\r\n") + 4);
    }
};

class FakeNntpServer {
public:
    class Conn {
    public:
        Conn(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
        bool sendRaw(const std::string& data) {
            if (ssl_) return SSL_write(ssl_, data.data(), static_cast<int>(data.size())) == static_cast<int>(data.size());
            return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
        }
        bool sendLine(const std::string& line) { return sendRaw(line + "\r\n"); }
        std::optional<std::string> readLine() {
            auto line = readRawLine();
            if (!line) return line;
            line->pop_back();
            if (!line->empty() && line->back() == '\r') line->pop_back();
            return line;
        }
        // One line with its line end, exactly as it came.
        std::optional<std::string> readRawLine() {
            for (;;) {
                const auto lf = buffer_.find('\n');
                if (lf != std::string::npos) {
                    std::string line = buffer_.substr(0, lf + 1);
                    buffer_.erase(0, lf + 1);
                    return line;
                }
                char chunk[65536];
                const ssize_t n = ssl_ ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
                if (n <= 0) return std::nullopt;
                buffer_.append(chunk, static_cast<std::size_t>(n));
            }
        }
        // The article after a 340 reply, up to (not including) the "." line.
        std::optional<std::string> readArticle(std::size_t stopAfterBytes = 0) {
            std::string raw;
            for (;;) {
                auto line = readRawLine();
                if (!line) return std::nullopt;
                if (*line == ".\r\n") return raw;
                raw += *line;
                if (stopAfterBytes && raw.size() >= stopAfterBytes) return raw;
            }
        }
        // Whether the client has sent more (or sends within `ms`).
        bool more(int ms) {
            if (!buffer_.empty() || (ssl_ && SSL_pending(ssl_) > 0)) return true;
            pollfd p{fd_, POLLIN, 0};
            return poll(&p, 1, ms) > 0;
        }
        // A read that waits longer ends the connection (a server's idle time-out).
        void setIdleTimeout(int ms) {
            timeval tv{ms / 1000, (ms % 1000) * 1000};
            setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        // Waits until the client goes away.
        void waitForClose() {
            while (readLine()) {
            }
        }

    private:
        int fd_;
        SSL* ssl_;
        std::string buffer_;
    };
    using Handler = std::function<void(Conn&)>;

    // Connection i is served by handlers[i]; the last one serves the rest.
    // With a TLS context, every connection speaks TLS from the first byte.
    // `concurrent`: each connection is served on a thread of its own, as a
    // real server does for a poster with several connections.
    explicit FakeNntpServer(std::vector<Handler> handlers, SSL_CTX* tls = nullptr, bool concurrent = false)
        : handlers_(std::move(handlers)), tls_(tls), concurrent_(concurrent) {
        listen_ = listenOnLoopback(128, port_);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeNntpServer() {
        stop_ = true;
        thread_.join();
        for (auto& t : served_) t.join();
        ::close(listen_);
    }
    int port() const { return port_; }
    int connections() const { return connections_; }
    // The most connections that were open at the same time.
    int mostAtOnce() const { return mostAtOnce_; }

    void record(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        transcript_.push_back(line);
    }
    void recordArticle(const std::string& raw, std::chrono::steady_clock::time_point postedAt = {},
                       bool accepted = true) {
        std::lock_guard<std::mutex> lock(mutex_);
        articles_.push_back(ReceivedArticle{raw, postedAt, accepted});
    }
    // The articles answered 2xx, in the order they were.
    std::vector<ReceivedArticle> acceptedArticles() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<ReceivedArticle> out;
        for (const auto& a : articles_)
            if (a.accepted) out.push_back(a);
        return out;
    }
    std::vector<std::string> transcript() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return transcript_;
    }
    std::vector<ReceivedArticle> articles() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return articles_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval tv{20, 0};  // a stuck test ends rather than hangs
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(connections_), handlers_.size() - 1);
            ++connections_;
            if (concurrent_) {
                served_.emplace_back([this, fd, i] { serve(fd, i); });
            } else {
                serve(fd, i);
            }
        }
    }

    void serve(int fd, std::size_t i) {
        {
            const int now = ++open_;
            for (int most = mostAtOnce_; now > most && !mostAtOnce_.compare_exchange_weak(most, now);) {
            }
            struct Closed {
                std::atomic<int>& open;
                ~Closed() { --open; }
            } closed{open_};
            SSL* ssl = nullptr;
            if (tls_) {
                ssl = SSL_new(tls_);
                SSL_set_fd(ssl, fd);
                if (SSL_accept(ssl) != 1) {
                    SSL_free(ssl);
                    ::close(fd);
                    return;
                }
            }
            Conn conn(fd, ssl);
            handlers_[i](conn);
            if (ssl) {
                SSL_shutdown(ssl);
                SSL_free(ssl);
            }
            ::close(fd);
        }
    }

    std::vector<Handler> handlers_;
    SSL_CTX* tls_;
    bool concurrent_;
    std::vector<std::thread> served_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> open_{0}, mostAtOnce_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> transcript_;
    std::vector<ReceivedArticle> articles_;
    std::thread thread_;
};

// What a well-behaved server says, with hooks to misbehave. A reply of
// "<DROP>" closes the connection instead; "<CLOSE>text" sends text, then closes; "<HANG>" sends nothing and waits
// for the client to leave; "<NOLF>text" sends text without a line end, then waits.
struct NntpScript {
    std::string greeting = "200 fake news server ready";
    std::vector<std::string> greetings;      // by connection, in the order they came; `greeting` past the list
    std::deque<std::string> userReplies;     // default "381 more authentication required"
    std::deque<std::string> passReplies;     // default "281 authentication accepted"
    std::deque<std::string> postReplies;     // default "340 send article"
    std::deque<std::string> articleReplies;  // default "240 article posted"
    std::size_t dropInBodyAfter = 0;         // > 0: close after this many article bytes, once
    // By article number (from 1, over all connections, in the order their
    // POSTs came): cut off mid-body (once), or refused with 441.
    std::set<int> dropArticles;
    std::set<int> refuseArticles;
    std::function<void()> onArticle;         // runs after each article is read, before the reply
    // Runs before the reply to an accepted article, with its text (a slow server).
    std::function<void(const std::string& article)> beforeAccepting;
    // Guards the script's counters between connections served at once.
    std::mutex mutex;
    int connections = 0;
    int articlesSeen = 0;
    int idleTimeoutMs = 0;  // > 0: a connection idle that long is closed
    // > 0: before answering an article, wait up to this long for the
    // client's next command, and count the articles it came before the
    // answer for (the client pipelines its next POST).
    int pipelineWaitMs = 0;
    std::atomic<int> pipelined{0};
    // The reply to "STAT <id>"; default: 223, the server has it.
    std::function<std::string(const std::string& id)> statReply;
};

inline std::string nextReply(std::deque<std::string>& replies, const char* fallback) {
    if (replies.empty()) return fallback;
    std::string r = replies.front();
    replies.pop_front();
    return r;
}

// Sends a scripted reply; false when the connection must end.
inline bool reply(FakeNntpServer::Conn& c, const std::string& text) {
    if (text == "<DROP>") return false;
    if (text == "<HANG>") {
        c.waitForClose();
        return false;
    }
    if (text.rfind("<CLOSE>", 0) == 0) {  // the reply, then the server hangs up
        c.sendLine(text.substr(7));
        return false;
    }
    if (text.rfind("<NOLF>", 0) == 0) {
        c.sendRaw(text.substr(6));
        c.waitForClose();
        return false;
    }
    return c.sendLine(text);
}

inline FakeNntpServer::Handler scriptedServer(std::shared_ptr<NntpScript> script, FakeNntpServer& server) {
    return [script, &server](FakeNntpServer::Conn& c) {
        std::string greeting;
        {
            std::lock_guard<std::mutex> lock(script->mutex);
            const auto index = static_cast<std::size_t>(script->connections++);
            greeting = index < script->greetings.size() ? script->greetings[index] : script->greeting;
        }
        if (!reply(c, greeting)) return;
        if (greeting.rfind("502", 0) == 0) return;  // turned away: the server hangs up
        if (script->idleTimeoutMs > 0) c.setIdleTimeout(script->idleTimeoutMs);
        while (auto line = c.readLine()) {
            server.record(*line);
            if (line->rfind("AUTHINFO USER", 0) == 0) {
                if (!reply(c, nextReply(script->userReplies, "381 more authentication required"))) return;
            } else if (line->rfind("AUTHINFO PASS", 0) == 0) {
                if (!reply(c, nextReply(script->passReplies, "281 authentication accepted"))) return;
            } else if (*line == "POST") {
                const auto postedAt = std::chrono::steady_clock::now();
                std::string r;
                std::size_t dropAt;
                bool refused;
                {
                    std::lock_guard<std::mutex> lock(script->mutex);
                    r = nextReply(script->postReplies, "340 send article");
                    if (r[0] == '3') ++script->articlesSeen;
                    dropAt = script->dropInBodyAfter;
                    script->dropInBodyAfter = 0;
                    if (script->dropArticles.erase(script->articlesSeen) && r[0] == '3') dropAt = 200;
                    refused = script->refuseArticles.count(script->articlesSeen) > 0;
                }
                if (!reply(c, r)) return;
                if (r[0] != '3') continue;
                auto article = c.readArticle(dropAt);
                if (!article || dropAt) return;
                if (refused) {
                    server.recordArticle(*article, postedAt, false);
                    c.sendLine("441 not this one");
                    continue;
                }
                std::string answer;
                {
                    std::lock_guard<std::mutex> lock(script->mutex);
                    answer = nextReply(script->articleReplies, "240 article posted");
                }
                if (script->pipelineWaitMs > 0 && c.more(script->pipelineWaitMs)) ++script->pipelined;
                const bool accepted = answer.find("240") != std::string::npos;
                if (accepted && script->beforeAccepting) script->beforeAccepting(*article);
                server.recordArticle(*article, postedAt, accepted);
                if (script->onArticle) script->onArticle();
                if (!reply(c, answer)) return;
            } else if (line->rfind("STAT ", 0) == 0) {
                const std::string id = line->substr(5);
                c.sendLine(script->statReply ? script->statReply(id) : "223 0 " + id);
            } else if (*line == "QUIT") {
                c.sendLine("205 bye");
                return;
            } else {
                c.sendLine("500 what?");
            }
        }
    };
}

// A server whose every connection follows one shared script; `concurrent`
// serves each connection on a thread of its own, as a real server does for
// a poster with several connections.
class ScriptedNntpServer {
public:
    explicit ScriptedNntpServer(SSL_CTX* tls = nullptr, bool concurrent = false)
        : script(std::make_shared<NntpScript>()),
          server_({[this](FakeNntpServer::Conn& c) { scriptedServer(script, server_)(c); }}, tls, concurrent) {}
    std::shared_ptr<NntpScript> script;
    FakeNntpServer& server() { return server_; }
    int port() const { return server_.port(); }

private:
    FakeNntpServer server_;
};

struct ConcurrentNntpServer : ScriptedNntpServer {
    ConcurrentNntpServer() : ScriptedNntpServer(nullptr, true) {}
};

}  // namespace testing_support
