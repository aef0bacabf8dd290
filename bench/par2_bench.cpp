// PAR2 creation speed and memory against par2cmdline-turbo (the fastest
// public creator, at ../shared/tools/par2-turbo) in the same run: the same
// files, block size and recovery block count, all cores. Each creator runs
// in a child process, so that its peak RSS is its own; every GF(2^16)
// kernel this CPU has is measured, in three rounds taking turns with turbo
// (the best of each kept), and turbo says which method it chose.
//   bench_par2 [MiB=256] [turbo=../shared/tools/par2-turbo]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "par2/gf16.h"
#include "par2/par2_create.h"

namespace {

struct Measured {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Runs `work` in a child process: its time and peak RSS.
template <typename Work>
Measured inChild(Work work) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) std::_Exit(work() ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Measured m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = usage.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!m.ok) std::fprintf(stderr, "a run failed\n");
    return m;
}

std::string firstLine(const std::string& cmd, const std::string& containing) {
    FILE* p = popen(cmd.c_str(), "r");
    char line[512];
    std::string found;
    while (p && std::fgets(line, sizeof line, p))
        if (found.empty() && std::string(line).find(containing) != std::string::npos) found = line;
    if (p) pclose(p);
    while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const std::string turbo = std::filesystem::absolute(argc > 2 ? argv[2] : "../shared/tools/par2-turbo");
    const std::uint64_t bytes = mib << 20;
    const std::string dir = "/tmp/tskivo-bench-par2";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/ours");
    std::filesystem::create_directories(dir + "/theirs");
    const std::string data = dir + "/data.bin";
    bench::makeDataFile(data, bytes);
    std::filesystem::create_hard_link(data, dir + "/theirs/data.bin");
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::printf("input %zu MiB in one file, %u cores, our memory limit 256 MiB\n", mib, cores);

    struct Setting {
        const char* label;
        std::uint64_t blockSize;  // 0: 2000 blocks
    };
    for (const Setting s : {Setting{"2000 blocks, 10%", 0}, Setting{"512 KiB blocks, 10%", 512 * 1024}}) {
        par2::Par2Options o;
        o.percent = 10;
        o.blockSize = s.blockSize;
        o.blockCount = s.blockSize ? 0 : 2000;
        par2::SetPlan plan;
        std::string error;
        if (!par2::planSet({{data, "data.bin"}}, dir + "/ours", "data", o, plan, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const std::string sizing = "-s" + std::to_string(plan.blockSize) + " -c" + std::to_string(plan.recoveryBlocks);
        const std::string cmd = "cd " + dir + "/theirs && rm -f *.par2 && " + turbo + " create -q -q " + sizing + " -t" +
                                std::to_string(cores) + " data.par2 data.bin";
        std::printf("\n%s: blocks of %llu bytes, %u source and %u recovery blocks\n", s.label,
                    static_cast<unsigned long long>(plan.blockSize), plan.sourceBlocks, plan.recoveryBlocks);
        // Rounds of each contender in turn, the best of each kept: a busy
        // spell of this (shared) machine falls on all of them alike.
        std::vector<par2::GfKernel> kernels;
        for (auto k : {par2::GfKernel::Ssse3, par2::GfKernel::Avx2, par2::GfKernel::Avx512, par2::GfKernel::Avx2Gfni,
                       par2::GfKernel::Avx512Gfni})
            if (par2::gfKernelSupported(k)) kernels.push_back(k);
        Measured theirs;
        std::vector<Measured> ours(kernels.size());
        const auto keepBest = [](Measured& best, const Measured& m) {
            if (best.seconds == 0 || m.seconds < best.seconds) best = m;
        };
        for (int round = 0; round < 3; ++round) {
            keepBest(theirs, inChild([&] { return std::system(cmd.c_str()) == 0; }));
            for (std::size_t i = 0; i < kernels.size(); ++i)
                keepBest(ours[i], inChild([&] {
                             par2::setGfKernel(kernels[i]);
                             return par2::createPar2({{data, "data.bin"}}, dir + "/ours", "data", o).error.empty();
                         }));
        }
        const std::string method =
            firstLine("cd " + dir + "/theirs && rm -f *.par2 && " + turbo + " create -vv " + sizing + " -t" +
                          std::to_string(cores) + " data.par2 data.bin 2>&1",
                      "Multiply method");
        std::printf("  par2-turbo       %7.1f MB/s  %6.2f s  peak RSS %6.1f MiB  (%s)\n", bytes / 1e6 / theirs.seconds,
                    theirs.seconds, theirs.peakKiB / 1024.0, method.c_str());
        for (std::size_t i = 0; i < kernels.size(); ++i)
            std::printf("  ours, %-11s %7.1f MB/s  %6.2f s  peak RSS %6.1f MiB  ratio %.2f (target >= 1.0)\n",
                        par2::gfKernelName(kernels[i]), bytes / 1e6 / ours[i].seconds, ours[i].seconds,
                        ours[i].peakKiB / 1024.0, theirs.seconds / ours[i].seconds);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
