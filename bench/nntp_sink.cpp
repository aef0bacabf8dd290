// A news server that accepts every article, for speed benchmarks: each
// connection on a thread of its own, every reply after a delay (a far
// server's round trip), and each connection read no faster than a cap (a
// provider's per-connection limit). With a certificate and its key, every
// connection speaks TLS; with SINK_CONNECTIONS=FILE in the environment, each
// connection accepted adds a line to FILE (connections counted at the sink).
// By default a reply costs its connection's thread the delay (a busy
// server); with SINK_LATENCY=1 each reply is due the delay after its
// request arrived and the next request is read meanwhile (a far server's
// round trip: a client that pipelines gains, one that waits does not).
//   nntp_sink PORT [DELAY_MS=0] [CAP_BYTES_PER_SEC=0 (none)] [CERT KEY]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <chrono>
#include <mutex>
#include <deque>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
    int delayMs = 0;
    double cap = 0;
    SSL_CTX* tls = nullptr;
    bool latency = false;
};

void serve(int fd, Settings s) {
    SSL* ssl = nullptr;
    if (s.tls) {
        ssl = SSL_new(s.tls);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) != 1) {
            SSL_free(ssl);
            close(fd);
            return;
        }
    }
    struct Done {
        SSL* ssl;
        int fd;
        ~Done() {
            if (ssl) SSL_free(ssl);
            close(fd);
        }
    } done{ssl, fd};
    auto recv = [&](int, char* into, std::size_t n, int) -> ssize_t {
        return ssl ? SSL_read(ssl, into, static_cast<int>(n)) : ::recv(fd, into, n, 0);
    };
    const auto write = [&](const char* text) {
        if (ssl) SSL_write(ssl, text, static_cast<int>(std::strlen(text)));
        else send(fd, text, std::strlen(text), MSG_NOSIGNAL);
    };
    // Latency: a writer sends each reply when it is due, in order.
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<Clock::time_point, const char*>> due;
    bool ending = false;
    std::thread writer;
    if (s.latency)
        writer = std::thread([&] {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                wake.wait(lock, [&] { return ending || !due.empty(); });
                if (due.empty()) return;
                const auto [when, text] = due.front();
                due.pop_front();
                lock.unlock();
                std::this_thread::sleep_until(when);
                write(text);
                lock.lock();
            }
        });
    struct Join {
        std::thread& t;
        std::mutex& m;
        std::condition_variable& w;
        bool& ending;
        ~Join() {
            {
                std::lock_guard<std::mutex> lock(m);
                ending = true;
            }
            w.notify_all();
            if (t.joinable()) t.join();
        }
    } join{writer, mutex, wake, ending};
    auto say = [&](const char* text) {
        if (s.latency) {
            std::lock_guard<std::mutex> lock(mutex);
            due.emplace_back(Clock::now() + std::chrono::milliseconds(s.delayMs), text);
            wake.notify_all();
            return;
        }
        if (s.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(s.delayMs));
        write(text);
    };
    say("200 sink ready\r\n");
    std::vector<char> buffer(1 << 16);
    std::string pending;  // bytes not yet taken as a line or an article
    bool inArticle = false;
    const auto start = Clock::now();
    double total = 0;
    for (;;) {
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) break;
        total += static_cast<double>(got);
        if (s.cap > 0) {  // read no faster than the cap
            const auto due = start + std::chrono::duration<double>(total / s.cap);
            std::this_thread::sleep_until(due);
        }
        pending.append(buffer.data(), static_cast<std::size_t>(got));
        for (;;) {
            if (inArticle) {
                const auto end = pending.find("\r\n.\r\n");
                if (end == std::string::npos) {
                    if (pending.size() > 8) pending.erase(0, pending.size() - 8);
                    break;
                }
                pending.erase(0, end + 5);
                inArticle = false;
                say("240 article posted\r\n");
                continue;
            }
            const auto lf = pending.find('\n');
            if (lf == std::string::npos) break;
            std::string line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            for (auto& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (line == "POST") {
                say("340 send article\r\n");
                inArticle = true;
                pending.insert(0, "\r\n");  // an article may end at once
            } else if (line == "QUIT") {
                say("205 bye\r\n");
                return;
            } else if (line.rfind("MODE", 0) == 0 || line.rfind("DATE", 0) == 0) {
                say("200 ok\r\n");
            } else if (line.rfind("AUTHINFO USER", 0) == 0) {
                say("381 more\r\n");
            } else if (line.rfind("AUTHINFO PASS", 0) == 0) {
                say("281 ok\r\n");
            } else if (line.rfind("STAT", 0) == 0) {
                say("223 0 <x> article exists\r\n");
            } else {
                say("500 what?\r\n");
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: nntp_sink PORT [DELAY_MS] [CAP_BYTES_PER_SEC]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    Settings s;
    s.delayMs = argc > 2 ? std::atoi(argv[2]) : 0;
    s.cap = argc > 3 ? std::atof(argv[3]) : 0;
    if (argc > 5) {
        s.tls = SSL_CTX_new(TLS_server_method());
        if (SSL_CTX_use_certificate_chain_file(s.tls, argv[4]) != 1 ||
            SSL_CTX_use_PrivateKey_file(s.tls, argv[5], SSL_FILETYPE_PEM) != 1) {
            std::fprintf(stderr, "nntp_sink: cannot use %s and %s\n", argv[4], argv[5]);
            return 1;
        }
    }
    const char* counted = std::getenv("SINK_CONNECTIONS");
    s.latency = std::getenv("SINK_LATENCY") && std::string(std::getenv("SINK_LATENCY")) == "1";
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (s.cap > 0) {  // a small window, inherited by every connection, so the cap holds the sender back
        int size = 64 * 1024;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 128) != 0) {
        std::perror("nntp_sink");
        return 1;
    }
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        if (counted)
            if (FILE* f = std::fopen(counted, "a")) {
                std::fputs("connection\n", f);
                std::fclose(f);
            }
        std::thread(serve, fd, s).detach();
    }
}
