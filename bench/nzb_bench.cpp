// Reading an NZB back (what -resume and every save do): one streaming pass,
// so the time grows with the file and the memory does not. NZBs whose
// subjects are escaped characters end to end (10^6 "&lt;" at the first
// size), read at one and at four times that size, each in a child process.
//   bench_nzb [files=1000]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "post/nzb.h"

namespace {

struct Read {
    double seconds = 0;
    long peakKiB = 0;
    std::size_t elements = 0;
};

Read readBack(const std::string& path) {
    int pipes[2];
    if (pipe(pipes) != 0) std::exit(1);
    const pid_t pid = fork();
    if (pid == 0) {
        const auto start = std::chrono::steady_clock::now();
        pelmor::NzbWriter nzb;
        std::string error;
        Read r;
        if (!nzb.open(path, error)) std::_Exit(1);
        nzb.scan([&](const std::string& element) {
            pelmor::NzbFile f;
            r.elements += pelmor::parseFileElement(element, f) ? 1 : 0;
        });
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        r.peakKiB = u.ru_maxrss;
        if (write(pipes[1], &r, sizeof r) != sizeof r) std::_Exit(1);
        std::_Exit(0);
    }
    Read r;
    close(pipes[1]);
    if (read(pipes[0], &r, sizeof r) != sizeof r) std::fprintf(stderr, "the reader failed\n");
    close(pipes[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string dir = "/tmp/tskivo-bench-nzb";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    Read at[2];
    for (int scale : {1, 4}) {
        const std::string path = dir + "/x" + std::to_string(scale) + ".nzb";
        // Written in a child too, so that the reader's peak is its own.
        if (fork() == 0) {
            std::vector<pelmor::NzbFile> list;
            for (int i = 0; i < files * scale; ++i)
                list.push_back({"Poster <p@example.org>", 1700000000, std::string(1000, '<') + " " + std::to_string(i),
                                {"alt.binaries.test"}, {{"part1of1." + std::to_string(i) + "@example.org", 1000, 1}}});
            pelmor::NzbWriter w;
            std::string error;
            if (!w.open(path, error)) std::_Exit(1);
            w.setFiles(list);
            std::_Exit(w.save(error, true) ? 0 : 1);
        }
        int status = 0;
        wait(&status);
        if (status != 0) return std::fprintf(stderr, "cannot write %s\n", path.c_str()), 1;
        const Read r = readBack(path);
        at[scale == 4] = r;
        std::printf("%8.1f MB NZB, %7d files: read in %.3f s, peak RSS %.1f MiB\n",
                    std::filesystem::file_size(path) / 1e6, files * scale, r.seconds, r.peakKiB / 1024.0);
    }
    std::printf("four times the file took %.1fx the time (linear: about 4)\n", at[1].seconds / at[0].seconds);
    std::filesystem::remove_all(dir);
    return 0;
}
