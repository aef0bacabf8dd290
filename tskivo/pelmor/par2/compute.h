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

// The two groups of input blocks, filled a place at a time by the readers
// (several at once in the first pass, each with files of its own): a group
// goes to the pool once every place taken in it is read, while the other
// fills. `send(group, blocks)` waits for the pool's round on the other group
// and starts the group's own.
class InputGroups {
public:
    InputGroups(std::uint32_t places, std::function<void(int, std::uint32_t)> send)
        : places_(places), send_(std::move(send)) {
        numbers_[0].resize(places);
        numbers_[1].resize(places);
    }
    // A place to read a block into; false once stopped.
    bool take(int& group, std::uint32_t& place) {
        std::unique_lock<std::mutex> lock(mutex_);
        // Places are taken in a group with room that the pool is done with:
        // the current one, else the other (the current may wait to be sent
        // or be with the pool, and only the other's sending frees it).
        const auto open = [&](int g) { return !busy_[g] && taken_[g] < places_; };
        free_.wait(lock, [&] { return stopped_ || open(0) || open(1); });
        if (stopped_) return false;
        if (!open(current_)) current_ ^= 1;
        group = current_;
        place = taken_[current_]++;
        if (taken_[current_] == places_) current_ ^= 1;
        return true;
    }
    // The place holds block `number`.
    void filled(int group, std::uint32_t place, std::uint32_t number) {
        std::lock_guard<std::mutex> lock(mutex_);
        numbers_[group][place] = number;
        if (++filled_[group] == places_ && !stopped_) send(group);
    }
    // Once the readers are done: the last group, however full.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopped_ && filled_[current_] > 0) send(current_);
    }
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        free_.notify_all();
    }
    const std::uint32_t* numbers(int group) const { return numbers_[group].data(); }

private:
    void send(int group) {
        send_(group, filled_[group]);
        busy_[group] = true;
        busy_[group ^ 1] = false;
        taken_[group] = filled_[group] = 0;
        free_.notify_all();
    }
    const std::uint32_t places_;
    const std::function<void(int, std::uint32_t)> send_;
    std::mutex mutex_;
    std::condition_variable free_;
    std::vector<std::uint32_t> numbers_[2];
    std::uint32_t taken_[2] = {}, filled_[2] = {};
    bool busy_[2] = {};
    int current_ = 0;
    bool stopped_ = false;
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
