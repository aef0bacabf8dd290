#include "plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "common/read_fully.h"
#include "gf16.h"
#include "packets.h"

namespace par2 {

namespace {

// Little-endian 128-bit order, as the main packet lists file ids.
bool idLess(const Hash& a, const Hash& b) {
    for (int i = 15; i >= 0; --i)
        if (a[static_cast<std::size_t>(i)] != b[static_cast<std::size_t>(i)])
            return a[static_cast<std::size_t>(i)] < b[static_cast<std::size_t>(i)];
    return false;
}

std::string mib(std::uint64_t bytes) { return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MiB"; }

}  // namespace

std::vector<std::uint32_t> recoveryFileSizes(std::uint32_t blocks, int fileCount, bool equal) {
    std::vector<std::uint32_t> sizes;
    if (blocks == 0) return sizes;
    if (equal) {
        const auto n = static_cast<std::uint32_t>(std::clamp<long long>(fileCount > 0 ? fileCount : 1, 1, blocks));
        for (std::uint32_t i = 0; i < n; ++i) sizes.push_back(blocks / n + (i < blocks % n ? 1 : 0));
        return sizes;
    }
    // Doubling from one block, as par2 does; with a file count, the last
    // file takes what is left.
    std::uint32_t left = blocks, next = 1;
    while (left > 0) {
        const bool last = fileCount > 0 && static_cast<int>(sizes.size()) == fileCount - 1;
        const std::uint32_t take = last ? left : std::min(next, left);
        sizes.push_back(take);
        left -= take;
        next *= 2;
    }
    return sizes;
}

std::uint64_t SetPlan::recoveryBytes() const {
    std::uint64_t total = criticalBytes;
    for (const auto& v : volumes) total += v.size;
    return total;
}

bool planSet(const std::vector<Par2Input>& inputs, const std::string& folder, const std::string& base,
             const Par2Options& options, SetPlan& plan, std::string& error) {
    plan = SetPlan{};
    std::uint64_t largest = 0;
    for (const auto& in : inputs) {
        struct stat st {};
        if (stat(in.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            error = "PAR2: cannot read " + in.path;
            return false;
        }
        if (st.st_size == 0) continue;  // nothing to recover; PAR2 clients leave empty files out too
        SourcePlan s;
        s.input = in;
        s.given = static_cast<std::uint32_t>(&in - inputs.data());
        s.size = static_cast<std::uint64_t>(st.st_size);
        plan.sourceBytes += s.size;
        largest = std::max(largest, s.size);
        plan.sources.push_back(std::move(s));
    }
    if (plan.sourceBytes == 0) {
        error = "PAR2: the files hold no data to protect";
        return false;
    }
    // The block size: given, or from the block count wanted.
    std::uint64_t size = options.blockSize;
    if (size == 0) {
        const std::uint64_t wanted = options.blockCount ? options.blockCount : 2000;
        size = std::max<std::uint64_t>(4, (plan.sourceBytes + wanted - 1) / wanted);
        size = (size + 3) / 4 * 4;
    } else if (size % 4 != 0) {
        error = "PAR2: the block size must be a multiple of 4 bytes";
        return false;
    } else if (size > (largest + 3) / 4 * 4) {
        // Every block beyond the data is zeros that the set would carry anyway.
        error = "PAR2: a block size of " + std::to_string(size) + " bytes is larger than the largest file (" +
                std::to_string(largest) + " bytes) needs; choose " + std::to_string((largest + 3) / 4 * 4) +
                " bytes or less.";
        return false;
    }
    const auto countBlocks = [&](std::uint64_t bs) {
        std::uint64_t n = 0;
        for (const auto& s : plan.sources) n += (s.size + bs - 1) / bs;
        return n;
    };
    if (options.blockSize == 0)
        while (countBlocks(size) > kMaxSourceBlocks) size += 4;  // rounding per file can push the count over
    if (countBlocks(size) > kMaxSourceBlocks) {
        error = "PAR2: a block size of " + std::to_string(size) + " bytes gives " + std::to_string(countBlocks(size)) +
                " source blocks; at most " + std::to_string(kMaxSourceBlocks) +
                " are possible. Choose a larger block size.";
        return false;
    }
    plan.blockSize = size;

    // The working set: two groups of input blocks (one read while the other
    // is used; at the end of a pass, the recovery blocks are turned back into
    // file order in them) and the recovery blocks of a pass, with their
    // factor tables.
    plan.paddedBlock = static_cast<std::size_t>((size + kMaxGfChunk - 1) / kMaxGfChunk * kMaxGfChunk);
    const std::uint64_t least = 3 * static_cast<std::uint64_t>(plan.paddedBlock);
    if (least > options.memoryLimit) {
        error = "PAR2: blocks of " + std::to_string(size) + " bytes need at least " + mib(least) +
                " of memory, more than the limit of " + mib(options.memoryLimit) +
                "; choose a smaller block size or raise the limit.";
        return false;
    }

    // File ids from the first 16 KiB, the length and the name.
    for (auto& s : plan.sources) {
        const int fd = open(s.input.path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(16384, s.size)), '\0');
        const long long got = fd < 0 ? -1 : common::readFully(fd, head.data(), head.size(), 0);
        if (fd >= 0) close(fd);
        if (got != static_cast<long long>(head.size())) {
            error = "PAR2: cannot read " + s.input.path;
            return false;
        }
        s.hash16k = md5(head);
        std::string idData;
        putHash(idData, s.hash16k);
        put64(idData, s.size);
        idData += s.input.name;
        s.id = md5(idData);
    }
    std::sort(plan.sources.begin(), plan.sources.end(),
              [](const SourcePlan& a, const SourcePlan& b) { return idLess(a.id, b.id); });
    for (auto& s : plan.sources) {
        s.firstBlock = plan.sourceBlocks;
        s.blocks = static_cast<std::uint32_t>((s.size + size - 1) / size);
        plan.sourceBlocks += s.blocks;
    }
    plan.recoveryBlocks = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(
        (static_cast<std::uint64_t>(plan.sourceBlocks) * static_cast<std::uint64_t>(options.percent) + 99) / 100, 1,
        65535));
    // Each source block's constant: 2^n for the n-th power whose exponent
    // shares no factor with 65535 (3, 5, 17, 257).
    plan.logs.resize(plan.sourceBlocks);
    for (std::uint32_t i = 0, n = 1; i < plan.sourceBlocks; ++n)
        if (n % 3 && n % 5 && n % 17 && n % 257) plan.logs[i++] = n;

    std::string mainBody;
    put64(mainBody, size);
    put32(mainBody, static_cast<std::uint32_t>(plan.sources.size()));
    for (const auto& s : plan.sources) putHash(mainBody, s.id);
    plan.setId = md5(mainBody);
    plan.criticalBytes = criticalPacketsSize(plan);

    const std::string stem = folder + "/" + base;
    plan.indexPath = stem + ".par2";
    const auto sizes = recoveryFileSizes(plan.recoveryBlocks, options.fileCount, options.equalSizes);
    const std::size_t firstWidth = std::to_string(plan.recoveryBlocks - sizes.back()).size();
    std::size_t countWidth = 0;
    for (auto n : sizes) countWidth = std::max(countWidth, std::to_string(n).size());
    std::uint32_t exponent = 0;
    for (const auto n : sizes) {
        char name[64];
        std::snprintf(name, sizeof name, ".vol%0*u+%0*u.par2", static_cast<int>(std::max<std::size_t>(2, firstWidth)),
                      exponent, static_cast<int>(std::max<std::size_t>(2, countWidth)), n);
        plan.volumes.push_back(
            VolumePlan{stem + name, exponent, n, n * recoveryPacketSize(size) + plan.criticalBytes});
        exponent += n;
    }

    // Input in groups of blocks (about 8 MiB, fewer when memory is short),
    // then as many recovery blocks per pass as the rest of the limit holds.
    plan.threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    plan.readers = static_cast<unsigned>(std::min<std::size_t>({plan.threads, plan.sources.size(), 4}));
    // Some of the limit stays for the rest of the process (the poster's
    // buffers, thread stacks).
    const std::uint64_t padded = plan.paddedBlock;
    const std::uint64_t budget =
        std::max(least, options.memoryLimit - std::min<std::uint64_t>(16u << 20, options.memoryLimit / 8));
    plan.groupBlocks = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>(std::min<std::uint64_t>(8u << 20, budget / 8) / padded, 1, 64));
    const std::uint64_t fixed = 2ull * plan.groupBlocks * padded;
    const std::uint64_t perRecovery = padded + plan.groupBlocks * sizeof(GfFactor);
    plan.recoveryPerPass = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(
        budget > fixed ? (budget - fixed) / perRecovery : 1, 1, plan.recoveryBlocks));
    // Too many for one pass: slices of every recovery block instead, the
    // same byte range of every block at a time, so that each pass after the
    // first reads only its slice of the input. Every pass adds groups of
    // slices (the first keeps the first slice of each whole block its
    // readers hash, one block a reader); the slices as wide as the limit
    // holds with groups of at least `least` slices, and all of about the
    // same width; then the groups as large as the rest holds, up to 64.
    // When not even the narrowest slice fits: passes over the input for a
    // share of the recovery blocks each.
    if (plan.recoveryPerPass < plan.recoveryBlocks) {
        const std::uint64_t staging = plan.readers * padded;
        const std::uint64_t recovery = plan.recoveryBlocks;
        for (const std::uint64_t fewest : {16u, 4u, 1u}) {
            const std::uint64_t factors = recovery * fewest * sizeof(GfFactor);
            if (budget <= staging + factors) continue;
            const std::uint64_t widest = (budget - staging - factors) / (recovery + 2 * fewest) / kMaxGfChunk * kMaxGfChunk;
            if (widest < kMaxGfChunk) continue;
            const std::uint64_t slices = (padded + widest - 1) / widest;
            const std::uint64_t width = (padded / kMaxGfChunk + slices - 1) / slices * kMaxGfChunk;
            const std::uint64_t rest = budget - staging - recovery * width;
            plan.sliceBytes = static_cast<std::size_t>(width);
            plan.sliceGroupBlocks = static_cast<std::uint32_t>(
                std::clamp<std::uint64_t>(rest / (2 * width + recovery * sizeof(GfFactor)), fewest, 64));
            plan.recoveryPerPass = plan.recoveryBlocks;
            break;
        }
    }
    return true;
}

}  // namespace par2
