// yEnc encoding, CRC-32 and memcpy over the same 64 MiB, and their ratios.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>

#include "bench_util.h"
#include "encoder.h"

namespace {

constexpr std::size_t kBytes = 64u << 20;
const std::string kPath = "/tmp/tskivo-bench-64m.bin";

void BM_memcpy(benchmark::State& state) {
    std::vector<char> a(kBytes, 1), b(kBytes);
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), kBytes);
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_crc32(benchmark::State& state) {
    std::vector<unsigned char> a(kBytes, 7);
    for (auto _ : state) benchmark::DoNotOptimize(pelmor::crc32Update(0, a.data(), a.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

// Every part of the file through encodePart: read, part CRC, encode, frame.
template <typename EncoderType, int Lines>
void BM_encodePart(benchmark::State& state) {
    EncoderType encoder(kPath, Lines);
    std::vector<char> buffer(encoder.encodedSizeBound());
    for (auto _ : state) {
        for (int p = 1; p <= encoder.parts(); ++p) {
            encoder.encodePart(p, buffer.data(), buffer.size(), encoder.parts());
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_crc32)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_encodePart<pelmor::YencEncoder, 2500>)->Name("BM_yencEncodePart")->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_encodePart<pelmor::UuEncoder, 4060>)->Name("BM_uuEncodePart")->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Keeps each benchmark's bytes per second for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> rates;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates[r.benchmark_name()] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    bench::makeDataFile(kPath, kBytes);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double copy = reporter.rates["BM_memcpy/min_time:1.000/real_time"];
    for (const auto& [name, rate] : reporter.rates) {
        std::printf("%-32s %8.3f GB/s   ratio to memcpy %.3f\n", name.c_str(), rate / 1e9, copy > 0 ? rate / copy : 0);
    }
    std::remove(kPath.c_str());
    return 0;
}
