#include "par2_create.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "gf16.h"
#include "read_fully.h"

namespace par2 {

namespace {

using Hash = std::array<std::uint8_t, 16>;

struct Md5 {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Md5() { EVP_DigestInit_ex(ctx, EVP_md5(), nullptr); }
    ~Md5() { EVP_MD_CTX_free(ctx); }
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;
    void add(const void* data, std::size_t n) { EVP_DigestUpdate(ctx, data, n); }
    Hash done() {
        Hash h{};
        unsigned len = 0;
        EVP_DigestFinal_ex(ctx, h.data(), &len);
        return h;
    }
};

Hash md5(const std::string& data) {
    Md5 m;
    m.add(data.data(), data.size());
    return m.done();
}

void put64(std::string& s, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) s += static_cast<char>(v >> (8 * i));
}
void put32(std::string& s, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> (8 * i));
}
void putHash(std::string& s, const Hash& h) { s.append(reinterpret_cast<const char*>(h.data()), 16); }

// A packet: header (magic, length, MD5 of what follows it, set id, type),
// then the body, padded to a multiple of four.
std::string packet(const Hash& setId, const char (&type)[17], std::string body) {
    body.resize((body.size() + 3) / 4 * 4, '\0');
    std::string tail;
    putHash(tail, setId);
    tail.append(type, 16);
    tail += body;
    std::string p("PAR2\0PKT", 8);
    put64(p, 64 + body.size());
    putHash(p, md5(tail));
    return p + tail;
}

constexpr char kMain[17] = "PAR 2.0\0Main\0\0\0\0";
constexpr char kFileDesc[17] = "PAR 2.0\0FileDesc";
constexpr char kIfsc[17] = "PAR 2.0\0IFSC\0\0\0\0";
constexpr char kRecovery[17] = "PAR 2.0\0RecvSlic";
constexpr char kCreator[17] = "PAR 2.0\0Creator\0";

struct Source {
    Par2Input input;
    std::uint64_t size = 0;
    Hash id{}, hash16k{}, hashFull{};
    std::uint32_t firstBlock = 0, blocks = 0;
    std::string checksums;  // MD5 and CRC-32 of each slice
};

// Little-endian 128-bit order, as the main packet lists file ids.
bool idLess(const Hash& a, const Hash& b) {
    for (int i = 15; i >= 0; --i)
        if (a[static_cast<std::size_t>(i)] != b[static_cast<std::size_t>(i)])
            return a[static_cast<std::size_t>(i)] < b[static_cast<std::size_t>(i)];
    return false;
}

bool writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out.flush());
}

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

Par2Result createPar2(const std::vector<Par2Input>& inputs, const std::string& folder, const std::string& base,
                      const Par2Options& options, const std::function<void(int)>& progress) {
    Par2Result result;
    std::vector<Source> sources;
    std::uint64_t total = 0;
    for (const auto& in : inputs) {
        struct stat st {};
        if (stat(in.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            result.error = "PAR2: cannot read " + in.path;
            return result;
        }
        if (st.st_size == 0) continue;  // nothing to recover; PAR2 clients leave empty files out too
        Source s;
        s.input = in;
        s.size = static_cast<std::uint64_t>(st.st_size);
        total += s.size;
        sources.push_back(std::move(s));
    }
    result.sourceBytes = total;
    if (total == 0) {
        result.error = "PAR2: the files hold no data to protect";
        return result;
    }
    // The block size: given, or from the block count wanted.
    std::uint64_t size = options.blockSize;
    if (size == 0) {
        const std::uint64_t wanted = options.blockCount ? options.blockCount : 2000;
        size = std::max<std::uint64_t>(4, (total + wanted - 1) / wanted);
        size = (size + 3) / 4 * 4;
    } else if (size % 4 != 0) {
        result.error = "PAR2: the block size must be a multiple of 4 bytes";
        return result;
    }
    const auto countBlocks = [&](std::uint64_t bs) {
        std::uint64_t n = 0;
        for (const auto& s : sources) n += (s.size + bs - 1) / bs;
        return n;
    };
    if (options.blockSize == 0)
        while (countBlocks(size) > kMaxSourceBlocks) size += 4;  // rounding per file can push the count over
    if (countBlocks(size) > kMaxSourceBlocks) {
        result.error = "PAR2: a block size of " + std::to_string(size) + " bytes gives " +
                       std::to_string(countBlocks(size)) + " source blocks; at most " +
                       std::to_string(kMaxSourceBlocks) + " are possible. Choose a larger block size.";
        return result;
    }
    result.blockSize = size;

    // File ids from the first 16 KiB, the length and the name.
    for (auto& s : sources) {
        const int fd = open(s.input.path.c_str(), O_RDONLY | O_CLOEXEC);
        std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(16384, s.size)), '\0');
        const long long got = fd < 0 ? -1 : pelmor::readFully(fd, head.data(), head.size(), 0);
        if (fd >= 0) close(fd);
        if (got != static_cast<long long>(head.size())) {
            result.error = "PAR2: cannot read " + s.input.path;
            return result;
        }
        s.hash16k = md5(head);
        std::string idData;
        putHash(idData, s.hash16k);
        put64(idData, s.size);
        idData += s.input.name;
        s.id = md5(idData);
    }
    std::sort(sources.begin(), sources.end(), [](const Source& a, const Source& b) { return idLess(a.id, b.id); });
    std::uint32_t blocks = 0;
    for (auto& s : sources) {
        s.firstBlock = blocks;
        s.blocks = static_cast<std::uint32_t>((s.size + size - 1) / size);
        blocks += s.blocks;
    }
    result.sourceBlocks = blocks;
    const auto recovery = static_cast<std::uint32_t>(
        std::clamp<std::uint64_t>((static_cast<std::uint64_t>(blocks) * static_cast<std::uint64_t>(options.percent) + 99) / 100,
                                  1, 65535));
    result.recoveryBlocks = recovery;

    // Each source block's constant: 2^n for the n-th power whose exponent
    // shares no factor with 65535 (3, 5, 17, 257).
    std::vector<std::uint32_t> logs(blocks);
    for (std::uint32_t i = 0, n = 1; i < blocks; ++n)
        if (n % 3 && n % 5 && n % 17 && n % 257) logs[i++] = n;

    // Source blocks are read in groups; each group's contribution to every
    // recovery block is added chunk by chunk, so that a chunk of a recovery
    // block stays in the cache while all the group's blocks are added to it
    // (one block at a time would stream every recovery block through memory
    // once per source block). Recovery blocks are made in as many passes over
    // the input as the memory limit allows; while the cores work on one
    // group, the next is read and its checksums taken.
    const std::size_t padded = static_cast<std::size_t>((size + 63) / 64 * 64);
    const std::uint64_t groupBlocks = std::clamp<std::uint64_t>((8u << 20) / padded, 1, 64);
    const std::uint64_t inputMemory = 2 * groupBlocks * padded;
    const std::uint32_t perPass = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(
        options.memoryLimit > inputMemory ? (options.memoryLimit - inputMemory) / padded : 1, 1, recovery));
    std::vector<std::string> recoveryData(recovery);
    const unsigned threads = options.threads ? options.threads : std::max(1u, std::thread::hardware_concurrency());
    struct BlockRef {
        std::size_t source;
        std::uint32_t block;
    };
    std::vector<BlockRef> order;
    for (std::size_t k = 0; k < sources.size(); ++k)
        for (std::uint32_t b = 0; b < sources[k].blocks; ++b) order.push_back({k, b});
    const std::uint64_t work = static_cast<std::uint64_t>(blocks) * recovery;
    std::uint64_t done = 0;
    std::vector<std::uint8_t> buffers[2] = {std::vector<std::uint8_t>(groupBlocks * padded),
                                            std::vector<std::uint8_t>(groupBlocks * padded)};
    for (std::uint32_t first = 0; first < recovery; first += perPass) {
        const std::uint32_t count = std::min(perPass, recovery - first);
        std::vector<std::unique_ptr<std::uint8_t[]>> out(count);
        for (auto& o : out) {
            o.reset(new std::uint8_t[padded]);
            std::memset(o.get(), 0, padded);
        }
        std::unique_ptr<Md5> full;  // of the file being read, in the first pass
        int fd = -1;
        std::size_t openSource = sources.size();
        // Reads the blocks [from, to) of `order` into `into`; false on a read error.
        const auto readGroup = [&](std::size_t from, std::size_t to, std::vector<std::uint8_t>& into) {
            for (std::size_t k = from; k < to; ++k) {
                const BlockRef ref = order[k];
                Source& src = sources[ref.source];
                if (ref.source != openSource) {
                    if (fd >= 0) close(fd);
                    if (full) sources[openSource].hashFull = full->done();
                    fd = open(src.input.path.c_str(), O_RDONLY | O_CLOEXEC);
                    openSource = ref.source;
                    if (first == 0) full = std::make_unique<Md5>();
                    if (fd < 0) return false;
                }
                std::uint8_t* block = into.data() + (k - from) * padded;
                std::memset(block, 0, padded);
                const std::uint64_t offset = static_cast<std::uint64_t>(ref.block) * size;
                const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, src.size - offset));
                if (pelmor::readFully(fd, block, want, offset) != static_cast<long long>(want)) return false;
                if (first == 0) {  // the checksums, once
                    full->add(block, want);
                    Md5 slice;
                    slice.add(block, static_cast<std::size_t>(size));
                    putHash(src.checksums, slice.done());
                    put32(src.checksums, static_cast<std::uint32_t>(libdeflate_crc32(0, block, static_cast<std::size_t>(size))));
                }
            }
            return true;
        };
        bool ok = readGroup(0, std::min<std::size_t>(groupBlocks, order.size()), buffers[0]);
        for (std::size_t g = 0, at = 0; ok && at < order.size(); ++g, at += groupBlocks) {
            const std::size_t groupEnd = std::min<std::size_t>(at + groupBlocks, order.size());
            const std::vector<std::uint8_t>& group = buffers[g % 2];
            // Chunks of each recovery block that stay in the cache.
            constexpr std::size_t kChunk = 16 * 1024;
            const std::size_t chunks = (padded + kChunk - 1) / kChunk;
            std::vector<std::thread> pool;
            for (unsigned t = 0; t < threads; ++t) {
                pool.emplace_back([&, t] {
                    for (std::size_t c = t; c < chunks; c += threads) {
                        const std::size_t from = c * kChunk, len = std::min(kChunk, padded - from);
                        for (std::uint32_t r = 0; r < count; ++r)
                            for (std::size_t k = at; k < groupEnd; ++k)
                                gfMultiplyAdd(out[r].get() + from, group.data() + (k - at) * padded + from, len,
                                              gfPowLog(logs[sources[order[k].source].firstBlock + order[k].block],
                                                       first + r));
                    }
                });
            }
            if (groupEnd < order.size())
                ok = readGroup(groupEnd, std::min<std::size_t>(groupEnd + groupBlocks, order.size()), buffers[(g + 1) % 2]);
            for (auto& th : pool) th.join();
            done += static_cast<std::uint64_t>(groupEnd - at) * count;
            if (progress) progress(static_cast<int>(done * 100 / work));
        }
        if (fd >= 0) close(fd);
        if (full && openSource < sources.size()) sources[openSource].hashFull = full->done();
        if (!ok) {
            result.error = "PAR2: the files changed or could not be read while their recovery data was made";
            return result;
        }
        for (std::uint32_t r = 0; r < count; ++r)
            recoveryData[first + r].assign(reinterpret_cast<const char*>(out[r].get()), static_cast<std::size_t>(size));
    }

    // The packets every file carries.
    std::string mainBody;
    put64(mainBody, size);
    put32(mainBody, static_cast<std::uint32_t>(sources.size()));
    for (const auto& s : sources) putHash(mainBody, s.id);
    const Hash setId = md5(mainBody);
    std::string critical = packet(setId, kMain, mainBody);
    for (const auto& s : sources) {
        std::string fd;
        putHash(fd, s.id);
        putHash(fd, s.hashFull);
        putHash(fd, s.hash16k);
        put64(fd, s.size);
        fd += s.input.name;
        critical += packet(setId, kFileDesc, fd);
        std::string ifsc;
        putHash(ifsc, s.id);
        critical += packet(setId, kIfsc, ifsc + s.checksums);
    }
    critical += packet(setId, kCreator, "Tarvel Skivor 0.36");

    const std::string stem = folder + "/" + base;
    if (!writeFile(stem + ".par2", critical)) {
        result.error = "PAR2: cannot write " + stem + ".par2";
        return result;
    }
    result.files.push_back(stem + ".par2");
    result.recoveryBytes += critical.size();
    const auto sizes = recoveryFileSizes(recovery, options.fileCount, options.equalSizes);
    const std::size_t firstWidth = std::to_string(recovery - sizes.back()).size();
    std::size_t countWidth = 0;
    for (auto n : sizes) countWidth = std::max(countWidth, std::to_string(n).size());
    std::uint32_t exponent = 0;
    for (const auto n : sizes) {
        std::string volume;
        for (std::uint32_t r = exponent; r < exponent + n; ++r) {
            std::string body;
            put32(body, r);
            volume += packet(setId, kRecovery, body + recoveryData[r]);
        }
        volume += critical;
        char name[64];
        std::snprintf(name, sizeof name, ".vol%0*u+%0*u.par2", static_cast<int>(std::max<std::size_t>(2, firstWidth)),
                      exponent, static_cast<int>(std::max<std::size_t>(2, countWidth)), n);
        if (!writeFile(stem + name, volume)) {
            result.error = "PAR2: cannot write " + stem + name;
            return result;
        }
        result.files.push_back(stem + name);
        result.recoveryBytes += volume.size();
        exponent += n;
    }
    return result;
}

}  // namespace par2
