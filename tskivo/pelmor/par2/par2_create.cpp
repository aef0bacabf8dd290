#include "par2_create.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

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
    // readers take what must follow a file's order (its MD5, with each
    // block's MD5 in the same rounds, and the blocks' CRCs); the pool takes
    // the rest: the kernel's layout, in place, and the sums.
    auto groups = alignedBuffer(2 * plan_.groupBytes());
    std::vector<SourceHasher> hashers(plan_.sources.size(), SourceHasher(plan_.blockSize));
    const double work = static_cast<double>(plan_.passes()) * plan_.sourceBlocks;
    double done = 0;
    // Made a slice at a time, each recovery packet's hash is carried from
    // one pass to the next, and its head written at the end.
    const bool sliced = plan_.sliceBytes != 0;
    std::vector<Md5> packetHashes;
    // Each recovery packet's CRC-32, of its head and of its body (carried
    // from slice to slice), for the files' CRCs: what posting them in yEnc
    // parts needs first, without reading them for it.
    std::vector<std::uint32_t> headCrcs(plan_.recoveryBlocks), bodyCrcs(plan_.recoveryBlocks);
    if (sliced)
        for (std::uint32_t e = 0; e < plan_.recoveryBlocks; ++e) packetHashes.push_back(recoveryPacketHasher(plan_.setId, e));

    std::vector<std::size_t> order(plan_.sources.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return plan_.sources[a].given < plan_.sources[b].given; });
    for (std::uint32_t passIndex = 0; passIndex < plan_.passes(); ++passIndex) {
        const bool firstPass = passIndex == 0;
        // This pass's recovery blocks, and the bytes of each: a share of
        // the blocks whole, or a slice of every one.
        const std::uint32_t first = sliced ? 0 : passIndex * plan_.recoveryPerPass;
        const std::uint32_t blocksNow = sliced ? plan_.recoveryBlocks : std::min(plan_.recoveryPerPass, plan_.recoveryBlocks - first);
        const std::size_t sliceAt = sliced ? passIndex * plan_.sliceBytes : 0;
        const std::size_t sliceLength = sliced ? std::min(plan_.sliceBytes, padded - sliceAt) : padded;
        // A slice's group packs its blocks' slices side by side.
        const std::size_t stride = sliced ? sliceLength : padded;
        const std::uint32_t groupCap = sliced ? plan_.sliceGroupBlocks : plan_.groupBlocks;
        RecoveryPass pass(plan_, kernel, first, blocksNow, sliceLength, groupCap);
        bool pending = false;
        const auto groupAt = [&](int g) { return groups.get() + static_cast<std::size_t>(g) * plan_.groupBytes(); };
        InputGroups input(groupCap, [&](int g, std::uint32_t n) {
            if (pending) pool.wait();
            std::uint8_t* group = groupAt(g);
            const std::uint32_t* blocks = input.numbers(g);
            // Taken by value: the pool goes on with the group after this returns.
            pass.add(pool, group, stride, blocks, n,
                     [group, stride, kernel, sliceLength](std::uint32_t from, std::uint32_t count) {
                         for (std::uint32_t k = from; k < from + count; ++k)
                             gfToRegion(kernel, group + k * stride, group + k * stride, sliceLength);
                     });
            pending = true;
            done += n;
            if (progress_) progress_(done / work);
        });
        std::mutex errorMutex;
        std::string error;
        const auto fail = [&](std::string what) {
            {
                std::lock_guard<std::mutex> lock(errorMutex);
                if (error.empty()) error = std::move(what);
            }
            input.stop();
        };
        // Each reader takes the next file not yet taken, in the order they
        // are posted (a file's CRC is waited for before its first part).
        std::atomic<std::size_t> nextFile{0};
        // Sliced, the first pass reads each whole block apart (for its
        // hashes) and keeps its first slice in the group.
        const bool staged = firstPass && sliced;
        const auto readFiles = [&] {
            const auto staging = alignedBuffer(staged ? padded : 0);
            for (std::size_t k; (k = nextFile++) < order.size();) {
                const std::size_t i = order[k];
                const SourcePlan& src = plan_.sources[i];
                const int fd = open(src.input.path.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) return fail("PAR2: cannot read " + src.input.path + ": " + std::strerror(errno));
                bool ok = true;
                for (std::uint32_t b = 0; b < src.blocks && ok; ++b) {
                    int g = 0;
                    std::uint32_t place = 0;
                    if (cancelled_) fail("PAR2: cancelled");
                    if (!input.take(g, place)) {
                        close(fd);
                        return;
                    }
                    const std::uint64_t offset = static_cast<std::uint64_t>(b) * plan_.blockSize;
                    const auto inBlock = static_cast<std::size_t>(std::min<std::uint64_t>(plan_.blockSize, src.size - offset));
                    // The first pass reads whole blocks (their hashes need
                    // every byte); a later slice only its own bytes.
                    const std::size_t from = firstPass ? 0 : sliceAt;
                    const std::size_t want =
                        firstPass ? inBlock : inBlock > sliceAt ? std::min(sliceLength, inBlock - sliceAt) : 0;
                    const std::size_t room = firstPass ? padded : sliceLength;
                    std::uint8_t* kept = groupAt(g) + static_cast<std::size_t>(place) * stride;
                    std::uint8_t* into = staged ? staging.get() : kept;
                    std::memset(into + want, 0, room - want);
                    ok = common::readFully(fd, into, want, offset + from) == static_cast<long long>(want);
                    if (!ok) break;
                    if (firstPass) hashers[i].addBlock(into, want);
                    if (staged) std::memcpy(kept, into, sliceLength);
                    input.filled(g, place, src.firstBlock + b);
                }
                // A file that grew would make a set that does not match it either.
                char extra;
                ok = ok && common::readFully(fd, &extra, 1, src.size) == 0;
                close(fd);
                if (!ok) return fail("PAR2: the files changed or could not be read while their recovery data was made");
                if (firstPass && onFileCrc) onFileCrc(src.input.path, hashers[i].fileCrc());
            }
        };
        // The first pass hashes each file in its order, the longest chain of
        // work: files are read and hashed side by side.
        const std::size_t readers = firstPass ? plan_.readers : 1;
        {
            std::vector<std::thread> more;
            for (std::size_t r = 1; r < readers; ++r) more.emplace_back(readFiles);
            readFiles();
            for (auto& t : more) t.join();
        }
        if (error.empty()) input.finish();
        if (pending) pool.wait();
        if (!error.empty()) return failed(error);
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
            if (thread >= 2 * plan_.groupBytes() / pass.bytes()) return;
            std::uint8_t* block = groups.get() + static_cast<std::size_t>(thread) * pass.bytes();
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
                    bodyCrcs[exponent] =
                        pelmor::crc32Combine(bodyCrcs[exponent], pelmor::crc32Update(0, block, inPacket), inPacket);
                    ok = writeAt(out.volume(v), block, inPacket, at + recoveryPacketSize(0) + sliceAt);
                    if (ok && lastPass) {
                        const std::string head = recoveryPacketHead(plan_.setId, exponent, packetHashes[exponent], plan_.blockSize);
                        headCrcs[exponent] = pelmor::crc32Update(0, head.data(), head.size());
                        ok = writeAt(out.volume(v), head.data(), head.size(), at);
                    }
                } else {
                    const std::string head = recoveryPacketHead(plan_.setId, exponent, block, plan_.blockSize);
                    headCrcs[exponent] = pelmor::crc32Update(0, head.data(), head.size());
                    bodyCrcs[exponent] = pelmor::crc32Update(0, block, static_cast<std::size_t>(plan_.blockSize));
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
        checksums.push_back(hashers[i].done());
    // Every file ends with the critical packets; the index file is nothing else.
    const std::string critical = criticalPackets(plan_, checksums);
    if (!writeAt(out.index(), critical.data(), critical.size(), 0))
        return failed("PAR2: cannot write " + plan_.indexPath + ": " + std::strerror(errno));
    for (std::size_t v = 0; v < plan_.volumes.size(); ++v)
        if (!writeAt(out.volume(v), critical.data(), critical.size(),
                     plan_.volumes[v].count * recoveryPacketSize(plan_.blockSize)))
            return failed("PAR2: cannot write " + plan_.volumes[v].path + ": " + std::strerror(errno));
    if (!out.closeAll()) return failed("PAR2: cannot write the recovery files: " + std::string(std::strerror(errno)));
    const std::uint32_t criticalCrc = pelmor::crc32Update(0, critical.data(), critical.size());
    result.crcs.push_back(criticalCrc);
    for (const VolumePlan& v : plan_.volumes) {
        std::uint32_t crc = 0;
        for (std::uint32_t e = v.firstExponent; e < v.firstExponent + v.count; ++e) {
            crc = pelmor::crc32Combine(crc, headCrcs[e], recoveryPacketSize(0));
            crc = pelmor::crc32Combine(crc, bodyCrcs[e], plan_.blockSize);
        }
        result.crcs.push_back(pelmor::crc32Combine(crc, criticalCrc, critical.size()));
    }
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
