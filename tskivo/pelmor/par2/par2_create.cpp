#include "par2_create.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "codec/crc32.h"
#include "common/read_fully.h"
#include "compute.h"
#include "hash.h"
#include "packets.h"

namespace par2 {

namespace {

bool writeAt(int fd, const void* data, std::size_t length, std::uint64_t offset) {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = pwrite(fd, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// The set's files, open for writing while it is built.
class OutputFiles {
public:
    explicit OutputFiles(const SetPlan& plan) {
        for (const auto& v : plan.volumes) fds_.push_back(open(v.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        fds_.push_back(open(plan.indexPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    }
    ~OutputFiles() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
    }
    bool ok() const {
        for (int fd : fds_)
            if (fd < 0) return false;
        return true;
    }
    int volume(std::size_t v) const { return fds_[v]; }
    int index() const { return fds_.back(); }
    bool closeAll() {
        bool ok = true;
        for (int& fd : fds_) {
            ok = close(fd) == 0 && ok;
            fd = -1;
        }
        return ok;
    }

private:
    std::vector<int> fds_;
};

}  // namespace

Par2Result plannedResult(const SetPlan& plan) {
    Par2Result r;
    r.files.push_back(plan.indexPath);
    for (const auto& v : plan.volumes) r.files.push_back(v.path);
    r.blockSize = plan.blockSize;
    r.sourceBlocks = plan.sourceBlocks;
    r.recoveryBlocks = plan.recoveryBlocks;
    r.sourceBytes = plan.sourceBytes;
    r.recoveryBytes = plan.recoveryBytes();
    r.passes = plan.passes();
    return r;
}

SetBuilder::SetBuilder(SetPlan plan, std::function<void(double)> progress)
    : plan_(std::move(plan)), progress_(std::move(progress)) {}

SetBuilder::~SetBuilder() {
    cancelled_ = true;
    if (thread_.joinable()) thread_.join();
}

Par2Result SetBuilder::run() { return build(); }

void SetBuilder::start() {
    thread_ = std::thread([this] {
        result_ = build();
        finished_ = true;
    });
}

Par2Result SetBuilder::wait() {
    if (thread_.joinable()) thread_.join();
    return result_;
}

Par2Result SetBuilder::build() {
    Par2Result result = plannedResult(plan_);
    const auto failed = [&](std::string error) {
        result.error = std::move(error);
        return result;
    };
    OutputFiles out(plan_);
    if (!out.ok()) return failed("PAR2: cannot write the recovery files in " + plan_.indexPath + ": " + std::strerror(errno));
    const GfKernel kernel = gfKernel();
    const std::size_t padded = plan_.paddedBlock;
    ThreadPool pool(plan_.threads);
    // Two groups of input: one read while the pool works on the other. The
    // reader takes what must follow the file's order (its MD5, the blocks'
    // CRCs); the pool takes the rest: the blocks' MD5s, eight at a time, and
    // the kernel's layout, in place.
    auto groups = alignedBuffer(2 * plan_.groupBlocks * padded);
    std::vector<std::uint32_t> numbers[2];
    std::vector<SourceHasher> hashers(plan_.sources.size(), SourceHasher(plan_.blockSize));
    std::vector<Hash> blockHashes(plan_.sourceBlocks);
    const double work = static_cast<double>(plan_.passes()) * plan_.sourceBlocks;
    double done = 0;
    // Made a slice at a time, each recovery packet's hash is carried from
    // one pass to the next, and its head written at the end.
    const bool sliced = plan_.sliceBytes != 0;
    std::vector<Md5> packetHashes;
    if (sliced)
        for (std::uint32_t e = 0; e < plan_.recoveryBlocks; ++e) packetHashes.push_back(recoveryPacketHasher(plan_.setId, e));

    for (std::uint32_t passIndex = 0; passIndex < plan_.passes(); ++passIndex) {
        const bool firstPass = passIndex == 0;
        // This pass's recovery blocks, and the bytes of each: a share of
        // the blocks whole, or a slice of every one.
        const std::uint32_t first = sliced ? 0 : passIndex * plan_.recoveryPerPass;
        const std::uint32_t blocksNow = sliced ? plan_.recoveryBlocks : std::min(plan_.recoveryPerPass, plan_.recoveryBlocks - first);
        const std::size_t sliceAt = sliced ? passIndex * plan_.sliceBytes : 0;
        const std::size_t sliceLength = sliced ? std::min(plan_.sliceBytes, padded - sliceAt) : padded;
        // A later slice's group packs its blocks' slices side by side.
        const bool packed = sliced && !firstPass;
        const std::size_t stride = packed ? sliceLength : padded;
        const std::uint32_t groupCap = packed ? plan_.sliceGroupBlocks : plan_.groupBlocks;
        RecoveryPass pass(plan_, kernel, first, blocksNow, sliceLength, std::max(plan_.groupBlocks, plan_.sliceGroupBlocks));
        int slot = 0;
        std::uint32_t inGroup = 0;
        bool pending = false;
        const auto flush = [&] {
            if (pending) pool.wait();
            if (inGroup == 0) return;
            std::uint8_t* group = groups.get() + static_cast<std::size_t>(slot) * plan_.groupBlocks * padded;
            const std::uint32_t* blocks = numbers[slot].data();
            // Taken by value: the pool goes on with the group after this returns.
            pass.add(pool, group, stride, blocks, inGroup,
                     [this, group, stride, blocks, firstPass, kernel, sliceLength, &blockHashes](std::uint32_t from,
                                                                                                 std::uint32_t count) {
                std::uint8_t* data[RecoveryPass::kPrepareBatch] = {};
                Hash hashes[RecoveryPass::kPrepareBatch];
                for (std::uint32_t k = 0; k < count; ++k) data[k] = group + (from + k) * stride;
                if (firstPass) {
                    md5Blocks(data, count, static_cast<std::size_t>(plan_.blockSize), hashes);
                    for (std::uint32_t k = 0; k < count; ++k) blockHashes[blocks[from + k]] = hashes[k];
                }
                for (std::uint32_t k = 0; k < count; ++k) gfToRegion(kernel, data[k], data[k], sliceLength);
            });
            pending = true;
            done += inGroup;
            if (progress_) progress_(done / work);
            slot ^= 1;
            inGroup = 0;
            numbers[slot].clear();
        };
        numbers[0].clear();
        for (std::size_t i = 0; i < plan_.sources.size(); ++i) {
            const SourcePlan& src = plan_.sources[i];
            const int fd = open(src.input.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                if (pending) pool.wait();
                return failed("PAR2: cannot read " + src.input.path + ": " + std::strerror(errno));
            }
            bool ok = true;
            std::uint32_t fileCrc = 0;
            for (std::uint32_t b = 0; b < src.blocks && ok; ++b) {
                if (cancelled_) {
                    close(fd);
                    if (pending) pool.wait();
                    return failed("PAR2: cancelled");
                }
                const std::uint64_t offset = static_cast<std::uint64_t>(b) * plan_.blockSize;
                const auto inBlock = static_cast<std::size_t>(std::min<std::uint64_t>(plan_.blockSize, src.size - offset));
                // The first pass reads whole blocks (their hashes need every
                // byte); a later slice only its own bytes.
                const std::size_t from = firstPass ? 0 : sliceAt;
                const std::size_t want = firstPass ? inBlock : inBlock > sliceAt ? std::min(sliceLength, inBlock - sliceAt) : 0;
                const std::size_t room = firstPass ? padded : sliceLength;
                std::uint8_t* into = groups.get() + static_cast<std::size_t>(slot) * plan_.groupBlocks * padded +
                                     static_cast<std::size_t>(inGroup) * stride;
                std::memset(into + want, 0, room - want);
                ok = common::readFully(fd, into, want, offset + from) == static_cast<long long>(want);
                if (!ok) break;
                if (firstPass) {
                    hashers[i].addBlock(into, want);
                    if (onFileCrc) fileCrc = pelmor::crc32Update(fileCrc, into, want);
                }
                numbers[slot].push_back(src.firstBlock + b);
                if (++inGroup == groupCap) flush();
            }
            // A file that grew would make a set that does not match it either.
            char extra;
            ok = ok && common::readFully(fd, &extra, 1, src.size) == 0;
            close(fd);
            if (!ok) {
                if (pending) pool.wait();
                return failed("PAR2: the files changed or could not be read while their recovery data was made");
            }
            if (firstPass && onFileCrc) onFileCrc(src.input.path, fileCrc);
        }
        flush();
        if (pending) pool.wait();
        // The pass's recovery packets, in their places in the volumes: each
        // thread takes blocks back to file order (in the idle input buffers),
        // hashes their packets and writes them, so the end of a pass is not
        // one thread's work. A slice goes to its place in the packet, its
        // hash carried on; the head follows the last slice.
        const bool lastPass = passIndex + 1 == plan_.passes();
        const std::size_t inPacket = sliceAt < plan_.blockSize
                                         ? static_cast<std::size_t>(std::min<std::uint64_t>(sliceLength, plan_.blockSize - sliceAt))
                                         : 0;
        std::atomic<std::uint32_t> nextBlock{0};
        std::atomic<int> writeError{0};
        std::atomic<std::size_t> failedVolume{0};
        pool.start([&](unsigned thread) {
            if (thread >= 2 * plan_.groupBlocks) return;
            std::uint8_t* block = groups.get() + static_cast<std::size_t>(thread) * padded;
            for (std::uint32_t r; writeError == 0 && (r = nextBlock++) < pass.count();) {
                const std::uint32_t exponent = first + r;
                std::size_t v = 0;
                while (exponent >= plan_.volumes[v].firstExponent + plan_.volumes[v].count) ++v;
                pass.take(r, block);
                const std::uint64_t at = static_cast<std::uint64_t>(exponent - plan_.volumes[v].firstExponent) *
                                         recoveryPacketSize(plan_.blockSize);
                bool ok;
                if (sliced) {
                    packetHashes[exponent].add(block, inPacket);
                    ok = writeAt(out.volume(v), block, inPacket, at + recoveryPacketSize(0) + sliceAt);
                    if (ok && lastPass) {
                        const std::string head = recoveryPacketHead(plan_.setId, exponent, packetHashes[exponent], plan_.blockSize);
                        ok = writeAt(out.volume(v), head.data(), head.size(), at);
                    }
                } else {
                    const std::string head = recoveryPacketHead(plan_.setId, exponent, block, plan_.blockSize);
                    ok = writeAt(out.volume(v), head.data(), head.size(), at) &&
                         writeAt(out.volume(v), block, static_cast<std::size_t>(plan_.blockSize), at + head.size());
                }
                if (!ok) {
                    failedVolume = v;
                    writeError = errno ? errno : EIO;
                }
            }
        });
        pool.wait();
        if (writeError != 0)
            return failed("PAR2: cannot write " + plan_.volumes[failedVolume].path + ": " + std::strerror(writeError));
    }
    std::vector<SourceChecksums> checksums;
    for (std::size_t i = 0; i < plan_.sources.size(); ++i)
        checksums.push_back(hashers[i].done(blockHashes.data() + plan_.sources[i].firstBlock));
    // Every file ends with the critical packets; the index file is nothing else.
    const std::string critical = criticalPackets(plan_, checksums);
    if (!writeAt(out.index(), critical.data(), critical.size(), 0))
        return failed("PAR2: cannot write " + plan_.indexPath + ": " + std::strerror(errno));
    for (std::size_t v = 0; v < plan_.volumes.size(); ++v)
        if (!writeAt(out.volume(v), critical.data(), critical.size(),
                     plan_.volumes[v].count * recoveryPacketSize(plan_.blockSize)))
            return failed("PAR2: cannot write " + plan_.volumes[v].path + ": " + std::strerror(errno));
    if (!out.closeAll()) return failed("PAR2: cannot write the recovery files: " + std::string(std::strerror(errno)));
    if (progress_) progress_(1.0);
    return result;
}

Par2Result createPar2(const std::vector<Par2Input>& inputs, const std::string& folder, const std::string& base,
                      const Par2Options& options, const std::function<void(int)>& progress) {
    SetPlan plan;
    std::string error;
    if (!planSet(inputs, folder, base, options, plan, error)) {
        Par2Result r;
        r.error = error;
        return r;
    }
    SetBuilder builder(std::move(plan), progress ? std::function<void(double)>([&](double share) {
                                                      progress(static_cast<int>(share * 100));
                                                  })
                                                 : std::function<void(double)>());
    return builder.run();
}

}  // namespace par2
