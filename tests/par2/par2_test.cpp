// Our PAR2 sets against Debian's par2 (the independent checker): verified,
// and repairing deleted and damaged files byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "gf16.h"
#include "par2_create.h"
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

TEST(Gf16, VectorKernelsMatchTheScalarReference) {
    EXPECT_EQ(gfMultiply(2, 0x8000), 0x100B);  // x * x^15 = x^16 = the generator's low part
    EXPECT_EQ(gfMultiply(gfPow2(100), gfPow2(65535 - 100)), 1);
    for (auto k : {GfKernel::Ssse3, GfKernel::Avx2, GfKernel::Avx512}) {
        if (!gfKernelSupported(k)) continue;
        for (std::size_t bytes : {0u, 2u, 30u, 32u, 34u, 62u, 64u, 66u, 96u, 1000u, 4096u}) {
            const std::string in = randomBytes(bytes, static_cast<std::uint32_t>(bytes) + 1);
            for (std::uint16_t factor : {std::uint16_t{1}, std::uint16_t{2}, std::uint16_t{0x8000},
                                         std::uint16_t{0x1234}, std::uint16_t{0xFFFF}}) {
                std::string want = randomBytes(bytes, 99), got = want;
                gfMultiplyAdd(GfKernel::Scalar, reinterpret_cast<std::uint8_t*>(want.data()),
                              reinterpret_cast<const std::uint8_t*>(in.data()), bytes, factor);
                gfMultiplyAdd(k, reinterpret_cast<std::uint8_t*>(got.data()),
                              reinterpret_cast<const std::uint8_t*>(in.data()), bytes, factor);
                ASSERT_EQ(got, want) << gfKernelName(k) << " " << bytes << " bytes, factor " << factor;
            }
        }
    }
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
        {{200000}, 8192, 8192 * 2 * 3, false, 25, -1, 0},  // three recovery blocks a pass
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

TEST(Par2, TooManyBlocksAreRefused) {
    TempDir dir;
    writeFile("big.bin", std::string(40000 * 4, 'x'));
    Par2Options o;
    o.blockSize = 4;
    const Par2Result r = createPar2({{dir / "big.bin", "big.bin"}}, dir.path(), "set", o);
    EXPECT_THAT(r.error, testing::HasSubstr("at most 32768 are possible"));
    o.blockSize = 6;
    EXPECT_THAT(createPar2({{dir / "big.bin", "big.bin"}}, dir.path(), "set", o).error,
                testing::HasSubstr("multiple of 4"));
}
