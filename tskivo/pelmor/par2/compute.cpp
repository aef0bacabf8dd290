#include "compute.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace par2 {

std::unique_ptr<std::uint8_t[], void (*)(void*)> alignedBuffer(std::size_t bytes) {
    const std::size_t size = (std::max<std::size_t>(bytes, 1) + 63) / 64 * 64;
    auto* p = static_cast<std::uint8_t*>(std::aligned_alloc(64, size));
    if (!p) throw std::bad_alloc();
    return {p, std::free};
}

ThreadPool::ThreadPool(unsigned threads) {
    for (unsigned i = 0; i < std::max(1u, threads); ++i) threads_.emplace_back([this, i] { loop(i); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void ThreadPool::start(std::function<void(unsigned)> work) {
    std::lock_guard<std::mutex> lock(mutex_);
    work_ = std::move(work);
    running_ = size();
    ++round_;
    wake_.notify_all();
}

void ThreadPool::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return running_ == 0; });
}

void ThreadPool::loop(unsigned index) {
    // The thread that reads and hashes the input in file order is the chain
    // the pool waits for, and made alongside posting, the connections need
    // the CPU first: both come before the pool when the cores are all busy
    // (measured: 8-10% faster alone, on two cores).
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), std::min(19, getpriority(PRIO_PROCESS, 0) + 10));
    std::uint64_t seen = 0;
    for (;;) {
        std::function<void(unsigned)> work;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stop_ || round_ != seen; });
            if (stop_) return;
            seen = round_;
            work = work_;
        }
        work(index);
        std::lock_guard<std::mutex> lock(mutex_);
        if (--running_ == 0) done_.notify_all();
    }
}

RecoveryPass::RecoveryPass(const SetPlan& plan, GfKernel kernel, std::uint32_t firstExponent, std::uint32_t count,
                           std::size_t bytes, std::uint32_t groupCap)
    : plan_(plan),
      kernel_(kernel),
      first_(firstExponent),
      count_(count),
      bytes_(bytes),
      groupCap_(groupCap),
      data_(alignedBuffer(static_cast<std::size_t>(count) * bytes)) {
    std::memset(data_.get(), 0, static_cast<std::size_t>(count) * bytes);
    factors_.resize(static_cast<std::size_t>(count) * groupCap);
}

void RecoveryPass::add(ThreadPool& pool, const std::uint8_t* group, std::size_t stride, const std::uint32_t* blocks,
                       std::uint32_t n, std::function<void(std::uint32_t, std::uint32_t)> prepare) {
    group_ = group;
    stride_ = stride;
    groupSize_ = n;
    const std::size_t bytes = bytes_;  // of each block, and of each recovery block
    // Tiles of 8 KiB (measured best against 4 and 16 here), whole chunks of
    // the kernel's layout.
    const std::size_t chunk = gfChunk(kernel_) < kMaxGfChunk ? kMaxGfChunk : gfChunk(kernel_);
    const std::size_t tile = std::min<std::size_t>(bytes, std::max<std::size_t>(chunk, (8192 / chunk) * chunk));
    const std::size_t tiles = (bytes + tile - 1) / tile;
    // One round, so that the caller reads the next group meanwhile: first
    // the blocks' batches and the factors, then the tiles, each taken once
    // every first-stage piece is done. Work is handed out as it is asked
    // for, not split in shares up front: a thread that loses time to the
    // reader (or anything else) makes no other wait for it at the end.
    const std::uint32_t batches = (n + kPrepareBatch - 1) / kPrepareBatch;
    const std::size_t firstStage = batches + count_;
    next_ = 0;
    prepared_ = 0;
    pool.start([this, blocks, prepare = std::move(prepare), batches, n, firstStage, bytes, tile, tiles](unsigned) {
        for (std::size_t i; (i = next_++) < firstStage + tiles;) {
            if (i < batches) {
                const auto from = static_cast<std::uint32_t>(i) * kPrepareBatch;
                prepare(from, std::min(kPrepareBatch, n - from));
                prepared_.fetch_add(1, std::memory_order_release);
                continue;
            }
            if (i < firstStage) {
                const auto r = static_cast<std::uint32_t>(i - batches);
                for (std::uint32_t s = 0; s < groupSize_; ++s)
                    factors_[static_cast<std::size_t>(r) * groupCap_ + s] =
                        gfFactor(gfPowLog(plan_.logs[blocks[s]], first_ + r));
                prepared_.fetch_add(1, std::memory_order_release);
                continue;
            }
            while (prepared_.load(std::memory_order_acquire) < firstStage) std::this_thread::yield();
            // A tile at a time, into every recovery block in turn: the tile
            // of the group's blocks stays in the cache.
            const std::size_t at = (i - firstStage) * tile;
            const std::size_t len = std::min(tile, bytes - at);
            // Two recovery blocks at a time: each input read once for both.
            for (std::uint32_t r = 0; r < count_; r += 2) {
                std::uint8_t* out = data_.get() + static_cast<std::size_t>(r) * bytes + at;
                const GfFactor* f = &factors_[static_cast<std::size_t>(r) * groupCap_];
                const bool pair = r + 1 < count_;
                gfMultiplyAddMany(kernel_, out, pair ? out + bytes : nullptr, group_ + at, stride_, groupSize_, len, f,
                                  pair ? f + groupCap_ : nullptr);
            }
        }
    });
}

void RecoveryPass::take(std::uint32_t r, std::uint8_t* out) const {
    gfFromRegion(kernel_, out, data_.get() + static_cast<std::size_t>(r) * bytes_, bytes_);
}

}  // namespace par2
