#include "net/socket.h"

#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_nntp_server.h"
#include "net/tick_time.h"
#include "net_support.h"
#include "test_support.h"

using namespace pelmor;
using testing::HasSubstr;
using testing_support::FakeNntpServer;
using testing_support::NetHarness;
using testing_support::TempDir;

namespace {

// A clock that also moves one millisecond every time it is read, as a real
// transfer takes time.
class SteppingClock final : public common::Clock {
public:
    std::uint32_t now = 1000;
    std::uint32_t slept = 0;
    std::uint32_t tickMs() override { return now++; }
    void sleepMs(std::uint32_t ms) override {
        slept += ms;
        now += ms;
    }
};

TickTime at(int s, int us) { return TickTime{s, us}; }

FakeNntpServer::Handler sendsThenWaits(std::string data) {
    return [data](FakeNntpServer::Conn& c) {
        c.sendRaw(data);
        c.waitForClose();
    };
}

FakeNntpServer::Handler sinks() {
    return [](FakeNntpServer::Conn& c) { c.waitForClose(); };
}

// A socket of the harness connected to `server`.
template <typename H>
std::unique_ptr<ThrottledSocket> connectedTo(const FakeNntpServer& server, H& h, bool tls = false,
                                             const char* host = "127.0.0.1") {
    auto s = std::make_unique<ThrottledSocket>(h.socket);
    EXPECT_TRUE(s->connect(ServerAddress(host, std::to_string(server.port())), tls)) << s->failureReason();
    return s;
}

}  // namespace

TEST(RateWindow, RateOverTheWindowAndZeroSpan) {
    RateWindow w;
    EXPECT_EQ(w.add(0, at(10, 0)), 0u);
    EXPECT_EQ(w.add(1000, at(10, 0)), 0u);  // same time: no span, no rate
    EXPECT_EQ(w.add(1000, at(10, 500000)), 4000u);
    // 2000 bytes at 1000 B/s take 2 s, of which 0.5 s have passed.
    EXPECT_EQ(w.waitMicros(1000), 1500000u);
    EXPECT_EQ(w.waitMicros(8000), 0u);
    // A zero sample with more than one present moves the newest time forward.
    EXPECT_EQ(w.add(0, at(11, 0)), 2000u);
    EXPECT_EQ(w.size(), 3u);
    for (int i = 0; i < 20; ++i) w.add(100, at(12 + i, 0));
    EXPECT_EQ(w.size(), RateWindow::kCapacity);
    EXPECT_EQ(w.rate(), 1000u * 1000000 / 9000000);
}

TEST(TickTime, FromTicksAndDifferences) {
    NetHarness<> h;
    h.clock.now = 123456;
    const TickTime t = tickTime(h.clock);
    EXPECT_EQ(t.seconds, 123);
    EXPECT_EQ(t.microseconds, 456000);
    EXPECT_EQ(elapsedMicros(h.log, at(5, 100), at(3, 200)), 1999900);
    EXPECT_EQ(h.logText(), "");
    EXPECT_EQ(elapsedMicros(h.log, at(3, 0), at(5, 7)), -2000007);
    EXPECT_EQ(h.logText(), "BAD TIMEVALS: [3-0 ], [5-7 ]\n");
}

TEST(ThrottledSocket, ReadLineEndsAndLimits) {
    FakeNntpServer server({sendsThenWaits(std::string("200 hello\r\n\r\n\n") + "\r\n" + std::string("x\0y\n", 4) +
                                          std::string(70000, 'z') + "\n")});
    NetHarness<> h;
    const auto s = connectedTo(server, h);
    // A lone CR stays a one-character line; an immediate LF is empty and
    // false; NUL ends a line too; over 64 KiB is a failed read, not a memory sink.
    const std::pair<bool, std::string> expected[] = {{true, "200 hello"}, {true, "\r"}, {false, ""}, {true, "\r"},
                                                     {true, "x"},         {true, "y"},  {false, ""}};
    std::string line;
    for (const auto& [ok, text] : expected) {
        EXPECT_EQ(s->readLine(line, 512, 2000), ok) << text;
        EXPECT_EQ(line, text);
    }
}

TEST(ThrottledSocket, LineWithoutEndDoesNotHangAndPeerCloseIsNoHang) {
    FakeNntpServer server({sendsThenWaits("240 no end")});
    NetHarness<> h;
    const auto s = connectedTo(server, h);
    std::string line;
    EXPECT_TRUE(s->readLine(line, 512, 200));
    EXPECT_EQ(line, "240 no end");
    EXPECT_FALSE(s->lastLineComplete());
    EXPECT_EQ(h.logText(), "WARNING: Timeout reading from socket!\n");
    EXPECT_FALSE(s->readLine(line, 512, 100));  // nothing more comes
    EXPECT_THAT(h.logText(), HasSubstr("\nTimeout reading from socket\n"));
}

// A server that closes the connection: writes fail, and neither over plain
// TCP nor over TLS (where OpenSSL's own writes used to) does SIGPIPE end
// the process.
class ClosedPeer : public testing::TestWithParam<bool> {};

TEST_P(ClosedPeer, WritesFailWithoutKillingTheProcess) {
    const bool tls = GetParam();
    auto& certificates = testing_support::TestCertificates::get();
    if (tls && !certificates.ok()) GTEST_SKIP() << "openssl could not make test certificates";
    certificates.trustOurCa();
    FakeNntpServer server({[](FakeNntpServer::Conn& c) { c.sendLine("200 bye"); }}, tls ? certificates.server() : nullptr);
    NetHarness<> h;
    const auto s = connectedTo(server, h, tls, "localhost");
    std::string line;
    ASSERT_TRUE(s->readLine(line, 512, 2000));
    // The first write after the close still goes out; the reset it earns
    // makes a later one fail with EPIPE.
    const std::string big(1 << 16, 'x');
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        failed = !s->write(big.data(), big.size());
        usleep(2000);
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(s->closedByPeer());
    EXPECT_TRUE(s->close());
    EXPECT_FALSE(s->isOpen());
    unsetenv("SSL_CERT_FILE");
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, ClosedPeer, testing::Bool());

TEST(ThrottledSocket, WritesAndConnectsTimeOut) {
    // A server that accepts and never reads: the write gives up.
    int stop[2];
    ASSERT_EQ(pipe(stop), 0);
    FakeNntpServer server({[&](FakeNntpServer::Conn&) {
        char c;
        (void)!::read(stop[0], &c, 1);
    }});
    NetHarness<> h;
    h.socket.timeoutMs = 200;
    const auto s = connectedTo(server, h);
    const std::string big(64 << 20, 'x');
    EXPECT_FALSE(s->write(big.data(), big.size()));
    EXPECT_THAT(h.logText(), HasSubstr("WARNING: Timeout writing to socket!"));
    (void)!::write(stop[1], "x", 1);
    close(stop[0]);
    close(stop[1]);

    // A listener whose queue is full drops further SYNs: connect times out.
    int listening = 0;
    const int listener = testing_support::listenOnLoopback(0, listening);
    ASSERT_GE(listener, 0);
    const std::string port = std::to_string(listening);
    std::vector<std::unique_ptr<ThrottledSocket>> filling;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i) {
        filling.push_back(std::make_unique<ThrottledSocket>(h.socket));
        timedOut = !filling.back()->connect(ServerAddress("127.0.0.1", port));
    }
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(filling.back()->failureReason(), "connect: timed out");
    EXPECT_EQ(filling.back()->failure(), ConnectFailure::Unreachable);  // may come back: retried
    close(listener);
}

TEST(ThrottledSocket, ThrottledWritesKeepNearTheLimit) {
    TempDir dir;
    FakeNntpServer server({sinks()});
    NetHarness<SteppingClock> h;
    SteppingClock& clock = h.clock;
    const auto s = connectedTo(server, h);
    s->setWriteRate(4000);
    const std::string data(20000, 'd');
    const std::uint32_t start = clock.now;
    ASSERT_TRUE(s->write(data.data(), data.size()));
    const double seconds = (clock.now - start) / 1000.0;
    EXPECT_GT(clock.slept, 0u);
    EXPECT_NEAR(20000 / seconds, 4000, 600);

    clock.slept = 0;
    ASSERT_TRUE(s->write(data.data(), 1023));  // short writes are never delayed
    EXPECT_EQ(clock.slept, 0u);
    ASSERT_TRUE(s->write(data.data(), 1024));
    EXPECT_GT(clock.slept, 0u);
    // Logging is off: no performance file lands in the user's folder.
    EXPECT_FALSE(std::filesystem::exists("performance_data"));

    // Parts smaller than one chunk, one after another, keep close to the
    // limit rather than far under it (each used to cost a whole 250 ms pause).
    s->setWriteRate(2000000);
    const std::string part(330000, 'p');
    const std::uint32_t from = clock.now;
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(s->write(part.data(), part.size()));
    const double rate = 8.0 * part.size() / ((clock.now - from) / 1000.0);
    EXPECT_LE(rate, 2000000 * 1.001);
    EXPECT_GE(rate, 2000000 * 0.95);
}

TEST(ThrottledSocket, PerformanceLogWhenSwitchedOn) {
    TempDir dir;
    FakeNntpServer server({sinks()});
    NetHarness<SteppingClock> h;
    // Beside the defaults file (the job's settings say so), never in the
    // folder being posted.
    std::filesystem::create_directory("config");
    h.socket.performanceLog = dir / "config/performance_data";
    const auto s = connectedTo(server, h);
    const std::string data(6000, 'd');
    ASSERT_TRUE(s->write(data.data(), data.size()));  // no limit: no lines
    EXPECT_FALSE(std::filesystem::exists("performance_data"));
    s->setWriteRate(8000);
    ASSERT_TRUE(s->write(data.data(), data.size()));
    EXPECT_FALSE(std::filesystem::exists("performance_data"));
    const std::string perf = testing_support::readFile("config/performance_data");
    EXPECT_THAT(perf, testing::StartsWith("START TIME(write): ["));
    EXPECT_THAT(perf, HasSubstr("], bytes=6000.\nWRITE: wrote 2000 bytes.\n"));
    EXPECT_THAT(perf, HasSubstr("WAIT(write): [ "));
    EXPECT_THAT(perf, HasSubstr(", target_rate=8000, current_rate="));
}

TEST(ServerAddress, ResolvesLiteralsNamesAndAnyInEveryFamily) {
    const auto v4 = [](const Endpoint& e) {
        return ntohl(reinterpret_cast<const sockaddr_in*>(&e.address)->sin_addr.s_addr);
    };
    ServerAddress any("ANY", "119");
    ASSERT_TRUE(any.valid());
    EXPECT_EQ(v4(any.endpoints().at(0)), INADDR_ANY);
    EXPECT_EQ(any.endpoints()[0].port(), 119);
    ServerAddress local("localhost", "563");
    ASSERT_TRUE(local.valid());
    bool loopback = false;
    for (const auto& e : local.endpoints()) {
        EXPECT_EQ(e.port(), 563);
        loopback = loopback || (e.family() == AF_INET && v4(e) == INADDR_LOOPBACK);
    }
    EXPECT_TRUE(loopback);
    ServerAddress six("::1", "119");
    ASSERT_TRUE(six.valid());
    EXPECT_EQ(six.endpoints()[0].family(), AF_INET6);
    EXPECT_EQ(ServerAddress("[::1]", "119").endpoints().at(0).family(), AF_INET6);
    const ServerAddress none("no-such-host.invalid", "119");
    EXPECT_FALSE(none.valid());
    NetHarness<> h;
    ThrottledSocket s(h.socket);
    EXPECT_FALSE(s.connect(none));
    // Said why, and known as a name that will not come to exist by waiting.
    EXPECT_THAT(s.failureReason(), HasSubstr("cannot resolve no-such-host.invalid: "));
    EXPECT_EQ(s.failure(), none.unknownName() ? ConnectFailure::UnknownHost : ConnectFailure::Other);
    EXPECT_EQ(h.logText(), "");
}

TEST(ThrottledSocket, ConnectsOverIpv6Loopback) {
    const int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (listener >= 0) close(listener);
        GTEST_SKIP() << "this kernel has no IPv6 loopback (::1)";
    }
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::thread greeter([listener] {
        const int fd = ::accept(listener, nullptr, nullptr);
        (void)!::write(fd, "200 six\r\n", 9);
        char c;
        (void)!::read(fd, &c, 1);
        close(fd);
    });
    NetHarness<> h;
    ThrottledSocket s(h.socket);
    ASSERT_TRUE(s.connect(ServerAddress("::1", std::to_string(ntohs(addr.sin6_port)))));
    std::string line;
    EXPECT_TRUE(s.readLine(line, 512, 2000));
    EXPECT_EQ(line, "200 six");
    s.close();
    greeter.join();
    close(listener);
}
