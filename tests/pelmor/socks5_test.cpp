// The SOCKS5 conversation against byte scripts: what we send, byte for
// byte, and how each of the proxy's answers ends.
#include "net/socks5.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace pelmor;

namespace {

struct Step {
    std::string expect;  // what the proxy must be sent
    std::string reply;   // and what it answers
};

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s += static_cast<char>(c);
    return s;
}

// Plays the proxy's side; returns what it was sent. The proxy hangs up
// after its last reply.
std::string play(int fd, const std::vector<Step>& script) {
    std::string got;
    for (const Step& step : script) {
        std::string part(step.expect.size(), '\0');
        std::size_t done = 0;
        while (done < part.size()) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return got;
            const ssize_t n = ::recv(fd, part.data() + done, part.size() - done, 0);
            if (n <= 0) return got + part.substr(0, done);
            done += static_cast<std::size_t>(n);
        }
        got += part;
        if (part != step.expect) return got;
        if (::send(fd, step.reply.data(), step.reply.size(), MSG_NOSIGNAL) < 0) return got;
    }
    return got;
}

}  // namespace

TEST(Socks5, EachConversationSendsTheRightBytesAndEndsAsTheProxySays) {
    using Kind = Socks5Result::Kind;
    const std::string hello = bytes({5, 1, 0}), helloLogin = bytes({5, 2, 0, 2});
    const std::string boundV4 = bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x04, 0x38});
    const std::optional<Credentials> joe = Credentials{"joe", "s3cret"};
    const std::string joeLogin = bytes({1, 3}) + "joe" + bytes({6}) + "s3cret";
    struct Case {
        const char* what;
        std::optional<Credentials> login;
        std::string host;
        int port;
        std::vector<Step> script;
        Kind kind;
        std::string why;
    } cases[] = {
        {"a name, the port in network order", std::nullopt, "news.example.com", 563,
         {{hello, bytes({5, 0})}, {bytes({5, 1, 0, 3, 16}) + "news.example.com" + bytes({0x02, 0x33}), boundV4}},
         Kind::Connected, ""},
        {"IPv4 with a log-in; the proxy answers with a name", joe, "192.0.2.7", 8080,
         {{helloLogin, bytes({5, 2})},
          {joeLogin, bytes({1, 0})},
          {bytes({5, 1, 0, 1, 192, 0, 2, 7, 0x1F, 0x90}), bytes({5, 0, 0, 3, 4}) + "gate" + bytes({0, 80})}},
         Kind::Connected, ""},
        {"IPv6, an IPv6 answer", std::nullopt, "2001:db8::1", 119,
         {{hello, bytes({5, 0})},
          {bytes({5, 1, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 119}),
           bytes({5, 0, 0, 4}) + std::string(16, '\1') + bytes({0, 1})}},
         Kind::Connected, ""},
        {"a log-in offered to a proxy that needs none", joe, "h", 119,
         {{helloLogin, bytes({5, 0})}, {bytes({5, 1, 0, 3, 1, 'h', 0, 119}), boundV4}}, Kind::Connected, ""},
        {"no log-in given to a proxy that wants one", std::nullopt, "h", 119, {{hello, bytes({5, 2})}}, Kind::Refused,
         "wants a user name and password"},
        {"a wrong password", joe, "h", 119, {{helloLogin, bytes({5, 2})}, {joeLogin, bytes({1, 1})}}, Kind::Refused,
         "refused the user name or password"},
        {"no way to log in", std::nullopt, "h", 119, {{hello, bytes({5, 0xFF})}}, Kind::Refused,
         "accepts none of our ways to log in"},
        {"not a SOCKS5 proxy", std::nullopt, "h", 119, {{hello, "HT"}}, Kind::Refused, "does not speak SOCKS5"},
        {"silence", std::nullopt, "h", 119, {{hello, ""}}, Kind::Unreachable, "did not answer"},
        {"the server refuses: passing", std::nullopt, "h", 119,
         {{hello, bytes({5, 0})}, {bytes({5, 1, 0, 3, 1, 'h', 0, 119}), bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})}},
         Kind::Unreachable, "could not reach h:119 (connection refused)"},
        {"the rules forbid it: for good", std::nullopt, "h", 119,
         {{hello, bytes({5, 0})}, {bytes({5, 1, 0, 3, 1, 'h', 0, 119}), bytes({5, 2, 0, 1, 0, 0, 0, 0, 0, 0})}},
         Kind::Refused, "could not reach h:119 (connection not allowed by its rules)"},
        {"a reply broken off", std::nullopt, "h", 119,
         {{hello, bytes({5, 0})}, {bytes({5, 1, 0, 3, 1, 'h', 0, 119}), bytes({5, 0, 0, 1, 10, 0})}}, Kind::Refused,
         "broke off its reply"},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::string sent;
        std::thread proxy([&] {
            sent = play(fds[1], c.script);
            ::shutdown(fds[1], SHUT_WR);
        });
        const ProxySettings settings{"proxy", 1080, c.login};
        const Socks5Result r = socks5Connect(fds[0], settings, c.host, c.port, c.kind == Kind::Unreachable ? 300 : 5000);
        ::shutdown(fds[0], SHUT_RDWR);
        proxy.join();
        ::close(fds[0]);
        ::close(fds[1]);
        std::string expected;
        for (const Step& s : c.script) expected += s.expect;
        EXPECT_EQ(sent, expected) << c.what;
        EXPECT_EQ(r.kind, c.kind) << c.what << ": " << r.why;
        EXPECT_EQ(r.why, c.why) << c.what;
    }
}

TEST(Socks5, ANameTooLongForTheRequestIsNotSent) {
    EXPECT_EQ(socks5ConnectRequest(std::string(256, 'a'), 119), "");
    EXPECT_EQ(socks5ConnectRequest(std::string(255, 'a'), 119).size(), 4u + 1 + 255 + 2);
}
