// yEnc encoding, CRC-32 and memcpy over the same 64 MiB, and their ratios.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include <libdeflate.h>

#include "bench_util.h"
#include "codec/crc32.h"
#include "codec/encoder.h"

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

// The benchmark's data: 64 MiB from a linear congruential generator (the
// node script for yencode makes the same bytes).
std::vector<unsigned char> lcgBytes(std::uint32_t x) {
    std::vector<unsigned char> in(kBytes);
    for (auto& b : in) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    return in;
}

// `encode(block, length)` over the data in blocks of `block` bytes.
template <typename F>
void inBlocks(const std::vector<unsigned char>& in, std::size_t block, F encode) {
    for (std::size_t at = 0; at < in.size(); at += block) encode(in.data() + at, std::min(block, in.size() - at));
}

// The line encoder alone, memory to memory, in blocks of 700 KiB (the size
// peers encode at a time), with one kernel.
void BM_yencEncode(benchmark::State& state) {
    const auto kernel = static_cast<pelmor::YencKernel>(state.range(0));
    if (!pelmor::yencKernelSupported(kernel)) {
        state.SkipWithError("not on this CPU");
        return;
    }
    constexpr std::size_t kBlock = 700 * 1024;
    const auto in = lcgBytes(1);
    std::vector<char> out(kBlock * 2 + 4096);
    for (auto _ : state) {
        inBlocks(in, kBlock, [&](const unsigned char* block, std::size_t n) {
            benchmark::DoNotOptimize(pelmor::yencEncodeLinesWith(kernel, block, n, out.data()));
        });
    }
    state.SetLabel(pelmor::yencKernelName(kernel));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

// The part CRC with the encoding of a kernel (first argument): 0 libdeflate's
// pass first, 1 our folding pass first, 2 folded in the encoding pass itself.
void BM_yencEncodeCrc(benchmark::State& state) {
    const auto kernel = static_cast<pelmor::YencKernel>(state.range(0));
    if (!pelmor::yencKernelSupported(kernel)) {
        state.SkipWithError("not on this CPU");
        return;
    }
    constexpr std::size_t kBlock = 320000;  // a part of 2500 lines
    const auto in = lcgBytes(7);
    std::vector<char> out(kBlock * 2 + 4096);
    for (auto _ : state) {
        inBlocks(in, kBlock, [&](const unsigned char* block, std::size_t n) {
            std::uint32_t crc = 0;
            if (state.range(1) == 2) {
                pelmor::yencEncodeLinesCrcWith(kernel, block, n, out.data(), &crc);
            } else {
                crc = state.range(1) == 0 ? static_cast<std::uint32_t>(libdeflate_crc32(0, block, n))
                                          : pelmor::crc32Update(0, block, n);
                pelmor::yencEncodeLinesWith(kernel, block, n, out.data());
            }
            benchmark::DoNotOptimize(crc);
            benchmark::DoNotOptimize(out.data());
        });
    }
    static const char* const kHow[] = {"libdeflate, then encode", "fold, then encode", "fused"};
    state.SetLabel(std::string(pelmor::yencKernelName(kernel)) + ", " + kHow[state.range(1)]);
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

// The whole-file CRC every part's trailer carries: one pass over the file
// before the first part, when the encoder is made.
void BM_yencFileCrc(benchmark::State& state) {
    for (auto _ : state) {
        pelmor::YencEncoder encoder(kPath, 2500);
        benchmark::DoNotOptimize(encoder.fileCrc());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_memcpy)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_crc32)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_yencEncode)->DenseRange(0, 4)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_yencFileCrc)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_yencEncodeCrc)
    ->ArgsProduct({{static_cast<int>(pelmor::YencKernel::Avx2), static_cast<int>(pelmor::YencKernel::Avx512)}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();
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
        std::printf("%-44s %8.3f GB/s   ratio to memcpy %.3f\n", name.c_str(), rate / 1e9, copy > 0 ? rate / copy : 0);
    }
    std::printf("kernel chosen here: %s\n", pelmor::yencKernelName(pelmor::yencKernel()));
    std::remove(kPath.c_str());
    return 0;
}
