// Our PAR2 sets against Debian's par2 (the independent checker): verified,
// and repairing deleted and damaged files byte for byte.
#include <gmock/gmock.h>
#include <iostream>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <filesystem>
#include <future>
#include <fstream>
#include <map>
#include <mutex>

#include "codec/crc32.h"
#include "par2/compute.h"
#include "par2/gf16.h"
#include "par2/md5.h"
#include "par2/par2_create.h"
#include "test_support.h"

using namespace par2;
using testing_support::randomBytes;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

bool havePar2() { return std::system("par2 --version >/dev/null 2>&1") == 0; }

int runPar2(const std::string& verb, const std::string& dir, const std::string& base) {
    const std::string cmd = "cd '" + dir + "' && par2 " + verb + " -q '" + base + ".par2' >par2.log 2>&1";
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

// Each kernel, through its own layout, against the word-by-word reference:
// random factors, blocks of every size class (padded as the creator pads
// them), several blocks added into one: alone, in pairs of outputs, and
// all at once into one output or a pair.
TEST(Gf16, VectorKernelsMatchTheScalarReference) {
    EXPECT_EQ(gfMultiply(2, 0x8000), 0x100B);  // x * x^15 = x^16 = the generator's low part
    EXPECT_EQ(gfMultiply(gfPow2(100), gfPow2(65535 - 100)), 1);
    std::uint32_t seed = 1;
    const auto bytes = [](std::string& s) { return reinterpret_cast<std::uint8_t*>(s.data()); };
    std::string lacking;
    for (auto k : {GfKernel::Ssse3, GfKernel::Avx2, GfKernel::Avx512, GfKernel::Avx2Gfni, GfKernel::Avx512Gfni}) {
        if (!gfKernelSupported(k)) {
            lacking += std::string(" ") + gfKernelName(k);
            continue;
        }
        for (std::size_t blockSize : {4u, 8u, 60u, 124u, 128u, 132u, 1000u, 4100u, 65536u}) {
            const std::size_t padded = (blockSize + kMaxGfChunk - 1) / kMaxGfChunk * kMaxGfChunk;
            constexpr int kSources = 3, kOutputs = 3;
            std::string want[kOutputs], acc[kOutputs + 3], got(padded, '\0'), all;
            for (auto& w : want) w = std::string(padded, '\0');
            for (auto& a : acc) a = std::string(padded, '\0');
            GfFactor f[kOutputs][kSources];
            for (int source = 0; source < kSources; ++source) {
                std::string in = randomBytes(blockSize, ++seed);
                in.resize(padded, '\0');
                for (int o = 0; o < kOutputs; ++o) {
                    f[o][source] = gfFactor(static_cast<std::uint16_t>(randomBytes(2, ++seed)[0] * 257 + source + 1));
                    gfMultiplyAdd(GfKernel::Scalar, bytes(want[o]), bytes(in), padded, f[o][source]);
                }
                gfToRegion(k, bytes(in), bytes(in), padded);  // in place, as the creator converts
                gfMultiplyAdd(k, bytes(acc[0]), bytes(in), padded, f[0][source]);
                gfMultiplyAdd2(k, bytes(acc[1]), bytes(acc[2]), bytes(in), padded, f[1][source], f[2][source]);
                all += in;
            }
            gfMultiplyAddMany(k, bytes(acc[3]), nullptr, bytes(all), padded, kSources, padded, f[0], nullptr);
            gfMultiplyAddMany(k, bytes(acc[4]), bytes(acc[5]), bytes(all), padded, kSources, padded, f[1], f[2]);
            for (int o = 0; o < kOutputs + 3; ++o) {
                gfFromRegion(k, bytes(got), bytes(acc[o]), padded);
                ASSERT_EQ(got, want[o % kOutputs]) << gfKernelName(k) << ", blocks of " << blockSize << ", output " << o;
            }
        }
    }
    if (!lacking.empty()) std::cout << "[  SKIPPED ] kernels this CPU lacks:" << lacking << "\n";
}

// Our MD5 against OpenSSL's: every length class of the padding (a short
// tail, one that needs a second chunk, whole chunks), alone and as blocks
// hashed alongside their file, which starts them at every offset of its
// chunks and ends them in zeros up to the block size.
TEST(Md5, AloneAndAlongsideItsFileMatchOpenSsl) {
    const auto openSsl = [](const std::string& s) {
        Hash h;
        EVP_Digest(s.data(), s.size(), h.data(), nullptr, EVP_md5(), nullptr);
        return h;
    };
    for (std::size_t length : {0u, 4u, 55u, 56u, 64u, 120u, 4100u}) {
        const std::string data = randomBytes(length, 100 * length);
        EXPECT_EQ(md5(data), openSsl(data)) << length << " bytes";
        for (std::size_t lead : {0u, 5u, 63u}) {
            Md5 file;
            std::string whole = randomBytes(lead, lead);
            file.add(whole.data(), whole.size());
            for (std::size_t blockSize : {length, length + 4, length + 68}) {
                std::string block = data + std::string(blockSize - length, '\0');
                EXPECT_EQ(file.addWithBlock(reinterpret_cast<const std::uint8_t*>(block.data()), length, blockSize),
                          openSsl(block))
                    << length << " of " << blockSize << " bytes after " << lead;
                whole += data;
            }
            EXPECT_EQ(file.done(), openSsl(whole)) << length << " bytes after " << lead;
        }
    }
}

// The readers' two groups: whichever way places are taken and filled (two
// readers each taking a whole group, the second's filled first), a group
// is sent once full and a reader is never left waiting for a group that
// only the other's sending would free; the last, short group is sent at
// the end.
TEST(Par2, InputGroupsAreSentWhicheverGroupFillsFirst) {
    std::vector<std::pair<int, std::uint32_t>> sent;
    InputGroups groups(2, [&](int g, std::uint32_t n) { sent.emplace_back(g, n); });
    int g[4];
    std::uint32_t place[4];
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(groups.take(g[i], place[i]));
    EXPECT_EQ(g[0], g[1]);
    EXPECT_NE(g[1], g[2]);
    for (int i : {2, 3, 0, 1}) groups.filled(g[i], place[i], static_cast<std::uint32_t>(i));
    ASSERT_EQ(sent, (std::vector<std::pair<int, std::uint32_t>>{{g[2], 2}, {g[0], 2}}));
    auto next = std::async(std::launch::async, [&] {
        int group;
        std::uint32_t at;
        return groups.take(group, at) ? group : -1;
    });
    if (next.wait_for(std::chrono::seconds(5)) != std::future_status::ready) groups.stop();
    const int last = next.get();
    ASSERT_EQ(last, g[2]) << "the group the pool is done with";
    groups.filled(last, 0, 9);
    groups.finish();
    EXPECT_EQ(sent.back(), std::make_pair(last, 1u));
    EXPECT_EQ(groups.numbers(last)[0], 9u);
}

TEST(Par2, RecoveryFileSizesDoubleOrStayEqual) {
    EXPECT_EQ(recoveryFileSizes(10, 0, false), (std::vector<std::uint32_t>{1, 2, 4, 3}));
    EXPECT_EQ(recoveryFileSizes(10, 2, false), (std::vector<std::uint32_t>{1, 9}));
    EXPECT_EQ(recoveryFileSizes(10, 3, true), (std::vector<std::uint32_t>{4, 3, 3}));
    EXPECT_EQ(recoveryFileSizes(2, 5, true), (std::vector<std::uint32_t>{1, 1}));
}

// File counts and sizes around block edges, several passes, both ways of
// sizing the recovery files: par2 verifies each set, then repairs a deleted
// file and a damaged one.
TEST(Par2, Par2VerifiesAndRepairsOurSets) {
    if (!havePar2()) GTEST_SKIP() << "Debian's par2 is not installed";
    struct Case {
        std::vector<std::size_t> sizes;
        std::uint64_t blockSize;
        std::uint64_t memory;
        bool equal;
        int percent;
        int lose, damage;  // which file is deleted, which damaged (-1: none)
    } cases[] = {
        {{0, 1, 4096, 4097, 30000}, 4096, 256u << 20, false, 40, 3, 4},
        {{100000, 65536, 3}, 0, 256u << 20, true, 45, 1, 2},
        // A file far over the memory limit: several passes over the input.
        {{3 << 20, 70000}, 65536, 1u << 20, false, 40, -1, 0},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<Par2Input> inputs;
        std::vector<std::string> originals;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const std::string name = "f" + std::to_string(i) + ".bin";
            originals.push_back(randomBytes(c.sizes[i], static_cast<std::uint32_t>(i * 7 + c.sizes[i])));
            writeFile(name, originals.back());
            inputs.push_back({dir / name, name});
        }
        Par2Options o;
        o.percent = c.percent;
        o.blockSize = c.blockSize;
        o.memoryLimit = c.memory;
        o.equalSizes = c.equal;
        o.fileCount = c.equal ? 3 : 0;
        const Par2Result r = createPar2(inputs, dir.path(), "set", o);
        ASSERT_TRUE(r.error.empty()) << r.error;
        EXPECT_EQ(runPar2("verify", dir.path(), "set"), 0) << readFile(dir / "par2.log");
        if (c.lose >= 0) std::filesystem::remove(dir / ("f" + std::to_string(c.lose) + ".bin"));
        if (c.damage >= 0) {
            std::string bad = originals[static_cast<std::size_t>(c.damage)];
            bad[bad.size() / 2] ^= 0x55;
            writeFile(dir / ("f" + std::to_string(c.damage) + ".bin"), bad);
        }
        EXPECT_EQ(runPar2("repair", dir.path(), "set"), 0) << readFile(dir / "par2.log");
        for (std::size_t i = 0; i < originals.size(); ++i)
            EXPECT_EQ(readFile(dir / ("f" + std::to_string(i) + ".bin")), originals[i]) << "file " << i;
    }
}

namespace {
// Bytes this process has read so far (rchar).
std::uint64_t bytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return 0;
}
}  // namespace

// A limit that forces several passes makes the very set one pass makes:
// slices of every recovery block (of several widths, the files' last blocks
// ending before, in and past a slice), each pass after the first reading
// only its slice of the input; or, when not even a narrow slice fits, a
// share of the recovery blocks a pass.
TEST(Par2, PassesChangeNothingInTheSet) {
    struct Case {
        std::vector<std::size_t> sizes;
        std::uint32_t blocks;
        std::uint64_t blockSize;
        int percent;
        std::uint64_t memory;
        bool sliced;
    } cases[] = {
        {{700000, 123457}, 200, 0, 30, 64 * 4096, true},
        {{700000, 123457}, 200, 0, 30, 40 * 4096, true},
        {{16384 * 40 + 1, 16384 * 3 + 9000, 5000}, 0, 16384, 40, 5 * 16384 + 40000, true},
        {{4096 * 199 + 7}, 0, 4096, 100, 64 * 1024, false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<Par2Input> inputs;
        std::uint64_t input = 0;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            const std::string name = "f" + std::to_string(i) + ".bin";
            writeFile(name, randomBytes(c.sizes[i], static_cast<std::uint32_t>(c.sizes[i] + i)));
            inputs.push_back({dir / name, name});
            input += c.sizes[i];
        }
        std::filesystem::create_directories(dir / "one");
        std::filesystem::create_directories(dir / "many");
        Par2Options o;
        o.percent = c.percent;
        o.blockCount = c.blocks;
        o.blockSize = c.blockSize;
        const Par2Result one = createPar2(inputs, dir / "one", "set", o);
        o.memoryLimit = c.memory;
        o.threads = 3;
        SetPlan plan;
        std::string error;
        ASSERT_TRUE(planSet(inputs, dir / "many", "set", o, plan, error)) << error;
        EXPECT_EQ(plan.sliceBytes != 0, c.sliced) << c.memory;
        const std::uint64_t before = bytesRead();
        const Par2Result many = createPar2(inputs, dir / "many", "set", o);
        const std::uint64_t read = bytesRead() - before;
        ASSERT_TRUE(one.error.empty() && many.error.empty()) << one.error << many.error;
        EXPECT_EQ(one.passes, 1u);
        EXPECT_GE(many.passes, 2u);
        // Slices: the whole input once, then each later slice's share.
        if (c.sliced) {
            EXPECT_LT(read, 2 * input) << many.passes << " passes";
        }
        ASSERT_EQ(one.files.size(), many.files.size());
        for (std::size_t i = 0; i < one.files.size(); ++i) {
            const std::string name = std::filesystem::path(one.files[i]).filename();
            EXPECT_EQ(readFile(many.files[i]), readFile(one.files[i])) << name << ", limit " << c.memory;
        }
        // The planned sizes are the written ones.
        std::uint64_t written = 0;
        for (const auto& f : one.files) written += std::filesystem::file_size(f);
        EXPECT_EQ(written, one.recoveryBytes);
    }
}

// The first pass hands on each file's CRC-32 (of its bytes, not of its
// zero-padded blocks), sliced or not, so that posting need not read the
// file an extra time for its yEnc trailers.
TEST(Par2, TheFirstPassGivesEachFilesCrc) {
    for (const std::uint64_t memory : {std::uint64_t{0}, std::uint64_t{5 * 16384 + 40000}, std::uint64_t{64 * 4096}}) {
        TempDir dir;
        std::vector<Par2Input> inputs;
        std::vector<std::string> contents;
        for (const std::size_t size : {std::size_t{16384 * 3 + 9000}, std::size_t{5000}, std::size_t{16384}}) {
            const std::string name = "f" + std::to_string(inputs.size()) + ".bin";
            contents.push_back(randomBytes(size, static_cast<std::uint32_t>(size)));
            writeFile(name, contents.back());
            inputs.push_back({dir / name, name});
        }
        Par2Options o;
        o.percent = 40;
        o.blockSize = 16384;
        if (memory) o.memoryLimit = memory;
        SetPlan plan;
        std::string error;
        ASSERT_TRUE(planSet(inputs, dir.path(), "set", o, plan, error)) << error;
        SetBuilder builder(std::move(plan));
        std::map<std::string, std::uint32_t> crcs;
        std::mutex mutex;  // the readers may call at once
        builder.onFileCrc = [&](const std::string& path, std::uint32_t crc) {
            std::lock_guard<std::mutex> lock(mutex);
            EXPECT_TRUE(crcs.emplace(path, crc).second);
        };
        ASSERT_EQ(builder.run().error, "");
        ASSERT_EQ(crcs.size(), contents.size()) << "once each, in the first pass only";
        for (std::size_t i = 0; i < contents.size(); ++i)
            EXPECT_EQ(crcs[inputs[i].path], pelmor::crc32Update(0, contents[i].data(), contents[i].size()))
                << i << ", limit " << memory;
    }
}

// Impossible parameters are refused before anything is read, with a message, never an abort.
TEST(Par2, ImpossibleParametersAreRefused) {
    TempDir dir;
    writeFile("big.bin", std::string(40000 * 4, 'x'));
    writeFile("small.bin", std::string(1000, 'y'));
    const auto refusal = [&](const std::string& file, std::uint64_t blockSize, std::uint64_t memory = 256u << 20) {
        Par2Options o;
        o.blockSize = blockSize;
        o.memoryLimit = memory;
        return createPar2({{dir / file, file}}, dir.path(), "set", o).error;
    };
    EXPECT_THAT(refusal("big.bin", 4), testing::HasSubstr("at most 32768 are possible"));
    EXPECT_THAT(refusal("big.bin", 6), testing::HasSubstr("multiple of 4"));
    EXPECT_THAT(refusal("small.bin", 1ull << 30), testing::HasSubstr("larger than the largest file (1000 bytes) needs"));
    EXPECT_THAT(refusal("big.bin", 80000, 200000), testing::HasSubstr("more than the limit"));
    EXPECT_FALSE(std::filesystem::exists(dir / "set.par2")) << "nothing written for a refused set";
    EXPECT_EQ(refusal("small.bin", 1000), "");
}
