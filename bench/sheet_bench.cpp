// Contact-sheet speed: seconds per source picture for a folder of full-size
// photos, and the peak memory it takes.
//   bench_sheet [COUNT=20] [WIDTH=4000] [HEIGHT=3000]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

#include "tplat.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 20;
    const std::string width = argc > 2 ? argv[2] : "4000", height = argc > 3 ? argv[3] : "3000";
    const fs::path self = fs::canonical("/proc/self/exe").parent_path();
    const fs::path dir = fs::temp_directory_path() / ("tskivo-bench-sheet-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string make = (self / "make_pictures").string() + " " + dir.string() + " " + std::to_string(count) +
                             " " + width + " " + height;
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "could not run %s\n", make.c_str());
        return 1;
    }
    std::uintmax_t sourceBytes = 0;
    std::deque<std::string> sources, created;
    for (const auto& e : fs::directory_iterator(dir)) {
        sources.push_back(e.path().filename().string());
        sourceBytes += e.file_size();
    }
    std::sort(sources.begin(), sources.end());
    const fs::path start = fs::current_path();
    fs::current_path(dir);
    const RGBQUAD background{40, 30, 20, 0}, font{255, 255, 255, 0};
    const auto t0 = std::chrono::steady_clock::now();
    createContactSheets("Benchmark sheet", nullptr, nullptr, nullptr, &background, &font, &sources, &created);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    fs::current_path(start);
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    std::printf("sources                   %d photos of %sx%s (%.1f MB of JPEG)\n", count, width.c_str(),
                height.c_str(), sourceBytes / 1e6);
    std::printf("sheets written            %zu\n", created.size());
    std::printf("total                     %8.2f s\n", seconds);
    std::printf("per source picture        %8.3f s (target under 0.100)\n", seconds / count);
    std::printf("peak RSS                  %8.1f MiB\n", u.ru_maxrss / 1024.0);
    fs::remove_all(dir);
    return created.empty() ? 1 : 0;
}
