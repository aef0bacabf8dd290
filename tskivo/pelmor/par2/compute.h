// The recovery blocks of one pass: each source block multiplied by its
// constant to the power of each recovery block's exponent and added in,
// over a pool of threads. Source blocks come in groups; each thread takes a
// share of (tile, recovery block) pairs, so that a tile of the group's
// blocks stays in its cache while it is added into one recovery block after
// another.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gf16.h"
#include "plan.h"

namespace par2 {

// Threads that run one function each, all at once, again and again.
class ThreadPool {
public:
    // The threads yield the CPU to the rest of the process.
    explicit ThreadPool(unsigned threads);
    ~ThreadPool();
    unsigned size() const { return static_cast<unsigned>(threads_.size()); }
    // Starts work(i) on thread i of each; wait() blocks until all are done.
    void start(std::function<void(unsigned)> work);
    void wait();

private:
    void loop(unsigned index);
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::function<void(unsigned)> work_;
    std::uint64_t round_ = 0;
    unsigned running_ = 0;
    bool stop_ = false;
};

class RecoveryPass {
public:
    // `bytes` of each recovery block (a multiple of kMaxGfChunk): the whole
    // padded block, or a slice; groups of up to `groupCap` blocks.
    RecoveryPass(const SetPlan& plan, GfKernel kernel, std::uint32_t firstExponent, std::uint32_t count,
                 std::size_t bytes, std::uint32_t groupCap);
    std::uint32_t first() const { return first_; }
    std::uint32_t count() const { return count_; }
    // Starts adding `n` source blocks (`stride` bytes apart, each with its
    // bytes at the start of its place, numbered `blocks`) on the pool and
    // returns; the group and the numbers must stay until the pool is waited
    // for. First, alongside the blocks' constants, `prepare` is called on
    // the pool for each batch of up to kPrepareBatch blocks (first index,
    // count): it must leave them in the kernel's layout.
    static constexpr std::uint32_t kPrepareBatch = 8;
    void add(ThreadPool& pool, const std::uint8_t* group, std::size_t stride, const std::uint32_t* blocks,
             std::uint32_t n, std::function<void(std::uint32_t, std::uint32_t)> prepare);
    // Recovery block r of the pass (its bytes) in file order into `out`.
    void take(std::uint32_t r, std::uint8_t* out) const;
    std::size_t bytes() const { return bytes_; }

private:
    const SetPlan& plan_;
    GfKernel kernel_;
    std::uint32_t first_, count_;
    std::size_t bytes_;
    std::uint32_t groupCap_;  // factors per recovery block
    std::unique_ptr<std::uint8_t[], void (*)(void*)> data_;
    std::vector<GfFactor> factors_;  // by recovery block, then source block of the group
    // Of the group being added.
    const std::uint8_t* group_ = nullptr;
    std::size_t stride_ = 0;
    std::uint32_t groupSize_ = 0;
    std::atomic<std::size_t> next_{0};      // the next piece of work a thread takes
    std::atomic<std::size_t> prepared_{0};  // first-stage pieces done
};

// Memory aligned for the widest kernel.
std::unique_ptr<std::uint8_t[], void (*)(void*)> alignedBuffer(std::size_t bytes);

}  // namespace par2
