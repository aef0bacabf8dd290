// A small SOCKS5 proxy on 127.0.0.1 for the tests (RFC 1928, with the
// RFC 1929 log-in): it takes any address it is asked for to one port, counts
// the connections and keeps the names it was asked for.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_nntp_server.h"

namespace testing_support {

class Socks5Proxy {
public:
    // `login`: the user and password it asks for; `refuse`: every CONNECT
    // is answered "not allowed by ruleset".
    explicit Socks5Proxy(int targetPort, std::optional<std::pair<std::string, std::string>> login = std::nullopt,
                         bool refuse = false)
        : target_(targetPort), login_(std::move(login)), refuse_(refuse) {
        listen_ = listenOnLoopback(64, port_);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{listen_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                served_.emplace_back([this, fd] { serve(fd); });
            }
        });
    }
    ~Socks5Proxy() {
        stop_ = true;
        thread_.join();
        for (auto& t : served_) t.join();
        ::close(listen_);
    }
    int port() const { return port_; }
    int connected() const { return connected_; }  // relayed to the server
    std::string url(const std::string& user = {}, const std::string& password = {}) const {
        return "socks5://" + (user.empty() ? "" : user + ":" + password + "@") + "127.0.0.1:" + std::to_string(port_);
    }
    // The addresses asked for, as text with the port: "news.example.com:119",
    // "127.0.0.1:119", "::1:119".
    std::vector<std::string> asked() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return asked_;
    }

private:
    static bool readN(int fd, unsigned char* out, std::size_t n) {
        for (std::size_t got = 0; got < n;) {
            const ssize_t r = ::recv(fd, out + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }
    static bool sendN(int fd, const void* data, std::size_t n) {
        return ::send(fd, data, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
    }

    void serve(int fd) {
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (handshake(fd)) relay(fd);
        ::close(fd);
    }

    bool handshake(int fd) {
        unsigned char b[512];
        if (!readN(fd, b, 2) || b[0] != 5 || !readN(fd, b + 2, b[1])) return false;
        const unsigned char method = login_ ? 0x02 : 0x00;
        bool offered = false;
        for (int i = 0; i < b[1]; ++i) offered = offered || b[2 + i] == method;
        const unsigned char choice[2] = {5, static_cast<unsigned char>(offered ? method : 0xFF)};
        if (!sendN(fd, choice, 2) || !offered) return false;
        if (login_) {
            if (!readN(fd, b, 2) || !readN(fd, b + 2, b[1])) return false;
            const std::string user(reinterpret_cast<char*>(b + 2), b[1]);
            unsigned char plen = 0;
            if (!readN(fd, &plen, 1) || !readN(fd, b, plen)) return false;
            const std::string password(reinterpret_cast<char*>(b), plen);
            const bool ok = user == login_->first && password == login_->second;
            const unsigned char status[2] = {1, static_cast<unsigned char>(ok ? 0 : 1)};
            if (!sendN(fd, status, 2) || !ok) return false;
        }
        if (!readN(fd, b, 4) || b[1] != 1) return false;
        std::string asked;
        char text[INET6_ADDRSTRLEN];
        if (b[3] == 1) {
            if (!readN(fd, b, 4)) return false;
            asked = inet_ntop(AF_INET, b, text, sizeof text);
        } else if (b[3] == 4) {
            if (!readN(fd, b, 16)) return false;
            asked = inet_ntop(AF_INET6, b, text, sizeof text);
        } else {
            unsigned char n = 0;
            if (!readN(fd, &n, 1) || !readN(fd, b, n)) return false;
            asked.assign(reinterpret_cast<char*>(b), n);
        }
        if (!readN(fd, b, 2)) return false;  // the port (network order): every name leads to the one server
        {
            std::lock_guard<std::mutex> lock(mutex_);
            asked_.push_back(asked + ":" + std::to_string(b[0] * 256 + b[1]));
        }
        const unsigned char reply[10] = {5, static_cast<unsigned char>(refuse_ ? 2 : 0), 0, 1, 127, 0, 0, 1, 0, 0};
        if (refuse_) {
            sendN(fd, reply, sizeof reply);
            return false;
        }
        return sendN(fd, reply, sizeof reply);
    }

    void relay(int client) {
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<std::uint16_t>(target_));
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(server);
            return;
        }
        ++connected_;
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        char chunk[65536];
        while (!stop_) {
            if (poll(p, 2, 50) <= 0) continue;
            bool closed = false;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::recv(p[i].fd, chunk, sizeof chunk, 0);
                if (n <= 0 || !sendN(p[1 - i].fd, chunk, static_cast<std::size_t>(n))) closed = true;
            }
            if (closed) break;
        }
        ::close(server);
    }

    int target_;
    std::optional<std::pair<std::string, std::string>> login_;
    bool refuse_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connected_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> asked_;
    std::vector<std::thread> served_;
    std::thread thread_;
};

}  // namespace testing_support
