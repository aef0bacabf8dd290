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
#include "driver.h"
#include "encoder.h"
#include "job.h"

namespace {

// Answers like a news server that accepts everything, as fast as it can read.
[[noreturn]] void runSink(int listener) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        auto say = [fd](const char* s) { send(fd, s, std::strlen(s), MSG_NOSIGNAL); };
        say("200 sink ready\r\n");
        std::string command;
        bool inArticle = false;
        std::string tail;  // last bytes of the article so far, for the end mark
        for (;;) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            std::size_t at = 0;
            while (at < static_cast<std::size_t>(n)) {
                if (inArticle) {
                    std::string window = tail + std::string(buffer.data() + at, std::min<std::size_t>(n - at, 4));
                    // Fast scan of this chunk for the end line.
                    const char* start = buffer.data() + at;
                    const std::size_t len = static_cast<std::size_t>(n) - at;
                    const void* hit = memmem(start, len, "\r\n.\r\n", 5);
                    std::size_t end = std::string::npos;
                    if (window.find("\r\n.\r\n") != std::string::npos && window.find("\r\n.\r\n") < tail.size())
                        end = window.find("\r\n.\r\n") + 5 - tail.size();
                    else if (hit)
                        end = static_cast<std::size_t>(static_cast<const char*>(hit) - start) + 5;
                    if (end == std::string::npos) {
                        tail = std::string(start + len - std::min<std::size_t>(len, 4), std::min<std::size_t>(len, 4));
                        at = static_cast<std::size_t>(n);
                    } else {
                        at += end;
                        inArticle = false;
                        tail.clear();
                        say("240 article posted\r\n");
                    }
                } else {
                    const char c = buffer[at++];
                    if (c != '\n') {
                        command += c;
                        continue;
                    }
                    if (command.rfind("POST", 0) == 0) {
                        say("340 send article\r\n");
                        inArticle = true;
                        tail = "\r\n";  // an empty article body still ends the same way
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
    pelmor::PostJob job(false, true, false, false, pelmor::systemClock(), log);
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
    const RunResult r = post(port, big, nullptr);
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const double postRate = r.bytes / r.seconds;
    std::printf("file                       %zu MiB, yEnc, 2500 lines per article\n", mib);
    std::printf("encoder alone              %8.1f MB/s (file bytes)\n", encodeRate / 1e6);
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
