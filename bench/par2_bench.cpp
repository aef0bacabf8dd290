// PAR2 creation speed: 10% recovery at 512 KiB blocks for one file (256 MiB
// by default) with our creator, and in the same run with Debian's par2 at
// the same block size, recovery block count and all cores; MB/s of input for
// both, the ratio, and each one's peak RSS.
//   bench_par2 [MiB=256]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench_util.h"
#include "par2/gf16.h"
#include "par2/par2_create.h"

namespace {

struct Measured {
    double seconds = 0;
    long peakKiB = 0;
};

// Runs `work` in a child process, so that its peak RSS is its own.
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "a run failed\n");
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const std::uint64_t bytes = mib << 20;
    const std::string dir = "/tmp/tskivo-bench-par2";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/ours");
    std::filesystem::create_directories(dir + "/theirs");
    const std::string data = dir + "/data.bin";
    bench::makeDataFile(data, bytes);
    std::filesystem::create_symlink(data, dir + "/theirs/data.bin");
    constexpr std::uint64_t kBlock = 512 * 1024;
    const std::uint64_t sourceBlocks = (bytes + kBlock - 1) / kBlock;
    const std::uint64_t recovery = (sourceBlocks + 9) / 10;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());

    const Measured ours = inChild([&] {
        par2::Par2Options o;
        o.percent = 10;
        o.blockSize = kBlock;
        return par2::createPar2({{data, "data.bin"}}, dir + "/ours", "data", o).error.empty();
    });
    const std::string cmd = "cd " + dir + "/theirs && par2 create -q -q -s" + std::to_string(kBlock) + " -c" +
                            std::to_string(recovery) + " -t" + std::to_string(cores) + " data.par2 data.bin";
    const Measured theirs = inChild([&] { return std::system(cmd.c_str()) == 0; });

    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("input %llu MiB, blocks of %llu KiB, %llu source and %llu recovery blocks, %u cores, kernel %s\n",
                static_cast<unsigned long long>(mib), static_cast<unsigned long long>(kBlock / 1024),
                static_cast<unsigned long long>(sourceBlocks), static_cast<unsigned long long>(recovery), cores,
                par2::gfKernelName(par2::gfKernel()));
    std::printf("ours        %8.1f MB/s   %6.2f s   peak RSS %6.1f MiB (limit 256 MiB)\n", mb / ours.seconds,
                ours.seconds, ours.peakKiB / 1024.0);
    std::printf("par2 create %8.1f MB/s   %6.2f s   peak RSS %6.1f MiB\n", mb / theirs.seconds, theirs.seconds,
                theirs.peakKiB / 1024.0);
    std::printf("ratio ours / par2: %.2f (target >= 4)\n", theirs.seconds / ours.seconds);
    std::filesystem::remove_all(dir);
    return 0;
}
