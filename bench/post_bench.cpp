// Posting throughput against a fast sink server on 127.0.0.1, compared with
// the encoder alone in the same run; CPU time, peak RSS, and how close a
// throttled post keeps to its limit.
//   bench_post [MiB=256]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <string>

#include "bench_util.h"
#include "post/run.h"
#include "codec/encoder.h"
#include "job/post_job.h"

namespace {

// Answers like a news server that accepts everything, as fast as it can read.
// Each read lands behind the last four bytes of the previous one, so one
// memmem finds an end line that straddles two reads.
[[noreturn]] void runSink(int listener) {
    constexpr std::size_t kKeep = 4;
    std::vector<char> buffer(kKeep + (1 << 20));
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        auto say = [fd](const char* s) { send(fd, s, std::strlen(s), MSG_NOSIGNAL); };
        say("200 sink ready\r\n");
        std::string command;
        bool inArticle = false;
        std::size_t kept = 0;  // bytes of the article kept before buffer + kKeep
        for (;;) {
            char* const data = buffer.data() + kKeep;
            const ssize_t got = recv(fd, data, buffer.size() - kKeep, 0);
            if (got <= 0) break;
            std::size_t at = 0;
            const auto n = static_cast<std::size_t>(got);
            while (at < n) {
                if (inArticle) {
                    const char* from = data + at - kept;
                    const std::size_t len = n - at + kept;
                    const void* hit = memmem(from, len, "\r\n.\r\n", 5);
                    if (!hit) {
                        kept = std::min(kKeep, len);
                        std::memmove(data - kept, from + len - kept, kept);
                        break;
                    }
                    at = static_cast<std::size_t>(static_cast<const char*>(hit) + 5 - data);
                    inArticle = false;
                    kept = 0;
                    say("240 article posted\r\n");
                } else {
                    const char c = data[at++];
                    if (c != '\n') {
                        command += c;
                        continue;
                    }
                    if (command.rfind("POST", 0) == 0) {
                        say("340 send article\r\n");
                        inArticle = true;
                        // An article that starts with the end line is still
                        // one: count the POST line's own CR LF as kept bytes.
                        data[at - 2] = '\r';
                        data[at - 1] = '\n';
                        kept = 2;
                    } else if (command.rfind("QUIT", 0) == 0) {
                        say("205 bye\r\n");
                    } else {
                        say("281 ok\r\n");
                    }
                    command.clear();
                }
            }
        }
        close(fd);
    }
}

struct RunResult {
    double seconds;
    double cpuSeconds;
    std::uint64_t bytes;
};

double cpuNow() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

RunResult post(int port, const std::string& file, const char* throttle) {
    std::ostringstream log;
    pelmor::PostJob job(false, true, false, false, common::systemClock(), log);
    std::vector<std::string> words{"bench", "-from", "b <b@example.org>", "-subject", "bench", "-newsgroups",
                                   "alt.binaries.test", "-hostname", "127.0.0.1", "-port", std::to_string(port),
                                   "-v", "1"};
    if (throttle) {
        words.push_back("-throttle");
        words.push_back(throttle);
    }
    words.push_back(file);
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    const double cpu0 = cpuNow();
    const auto t0 = std::chrono::steady_clock::now();
    pelmor::runJob(job, static_cast<int>(argv.size()), argv.data());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const std::string text = log.str();
    const auto at = text.find(" bytes posted");
    const auto from = text.rfind(' ', at - 1);
    return {seconds, cpuNow() - cpu0, std::stoull(text.substr(from + 1, at - from - 1))};
}

double encoderAloneRate(const std::string& file) {
    pelmor::YencEncoder encoder(file, 2500);
    std::vector<char> buffer(encoder.encodedSizeBound());
    const auto t0 = std::chrono::steady_clock::now();
    for (int p = 1; p <= encoder.parts(); ++p) {
        encoder.encodePart(p, buffer.data(), buffer.size(), encoder.parts());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return encoder.size() / seconds;
}

// The same exchange as a post (POST, 340, article, 240) with the articles
// already encoded: what the loopback connection and the sink allow at best.
double socketAloneRate(int port, const std::string& file) {
    pelmor::YencEncoder encoder(file, 2500);
    std::vector<char> article(encoder.encodedSizeBound() + 8);
    encoder.encodePart(1, article.data(), article.size(), encoder.parts());
    std::size_t length = encoder.encodedLength();
    std::memcpy(article.data() + length, "\r\n.\r\n", 5);
    length += 5;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    char line[256];
    auto readLine = [&] {
        std::size_t n = 0;
        while (n + 1 < sizeof line && recv(fd, line + n, 1, 0) == 1 && line[n++] != '\n') {
        }
    };
    auto sendAll = [&](const char* p, std::size_t n) {
        while (n > 0) {
            const ssize_t sent = send(fd, p, n, MSG_NOSIGNAL);
            if (sent <= 0) return;
            p += sent;
            n -= static_cast<std::size_t>(sent);
        }
    };
    readLine();
    const auto t0 = std::chrono::steady_clock::now();
    for (int p = 1; p <= encoder.parts(); ++p) {
        sendAll("POST\r\n", 6);
        readLine();
        sendAll(article.data(), length);
        readLine();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(fd);
    return encoder.size() / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener, 4);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    const pid_t sink = fork();
    if (sink == 0) runSink(listener);
    close(listener);

    const std::string big = bench::makeDataFile("/tmp/tskivo-bench-post.bin", mib << 20);
    const double encodeRate = encoderAloneRate(big);
    const double socketRate = socketAloneRate(port, big);
    const RunResult r = post(port, big, nullptr);
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const double postRate = r.bytes / r.seconds;
    std::printf("file                       %zu MiB, yEnc, 2500 lines per article\n", mib);
    std::printf("encoder alone              %8.1f MB/s (file bytes)\n", encodeRate / 1e6);
    std::printf("socket alone (pre-encoded) %8.1f MB/s (file bytes; the ceiling on this machine)\n",
                socketRate / 1e6);
    std::printf("posting, one connection    %8.1f MB/s (bytes on the wire: %llu in %.2f s)\n", postRate / 1e6,
                static_cast<unsigned long long>(r.bytes), r.seconds);
    std::printf("posting, file bytes        %8.1f MB/s\n", (mib << 20) / r.seconds / 1e6);
    std::printf("ratio post/encoder         %8.3f (file bytes per second)\n", ((mib << 20) / r.seconds) / encodeRate);
    std::printf("CPU seconds                %8.2f\n", r.cpuSeconds);
    std::printf("peak RSS                   %8.1f MiB\n", u.ru_maxrss / 1024.0);

    const std::string small = bench::makeDataFile("/tmp/tskivo-bench-throttle.bin", 24u << 20);
    const RunResult t = post(port, small, "2000000");
    std::printf("throttled to 2000000 B/s   %8.0f B/s over %.1f s (%.1f%% of the limit)\n", t.bytes / t.seconds,
                t.seconds, 100.0 * t.bytes / t.seconds / 2000000.0);

    kill(sink, SIGTERM);
    waitpid(sink, nullptr, 0);
    std::remove(big.c_str());
    std::remove(small.c_str());
    return 0;
}
