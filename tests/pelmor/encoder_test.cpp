#include "codec/encoder.h"

#include <cstdlib>

#include <unistd.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "codec/crc32.h"
#include "kelvo_exception.h"
#include "test_support.h"

using namespace pelmor;
using testing::HasSubstr;
using testing_support::randomBytes;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// Bit-by-bit CRC-32, independent of any table.
std::uint32_t referenceCrc(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string hex8(std::uint32_t v) {
    char b[9];
    std::snprintf(b, sizeof b, "%08x", v);
    return b;
}

// The yEnc body written plainly from the rules: a column budget, escapes on
// the encoded value, the pair kept whole.
std::string referenceYenc(const std::string& file, const std::string& name, int lines, int n, int total) {
    const std::size_t per = static_cast<std::size_t>(lines) * 128;
    const std::size_t first = (n - 1) * per;
    const std::size_t end = std::min(first + per, file.size());
    const bool single = (file.size() + per - 1) / per == 1;
    std::string out = single ? "=ybegin part=1 line=128 size=" + std::to_string(file.size()) + " name=" + name + "\r\n"
                             : "=ybegin part=" + std::to_string(n) + " total=" + std::to_string(total) +
                                   " line=128 size=" + std::to_string(file.size()) + " name=" + name + "\r\n";
    out += "=ypart begin=" + std::to_string(first + 1) + " end=" + std::to_string(end) + "\r\n";
    int budget = 128;
    const std::string part = file.substr(first, end - first);
    for (unsigned char b : part) {
        unsigned char c = static_cast<unsigned char>(b + 42);
        if (c == 0 || c == 9 || c == 10 || c == 13 || c == '.' || c == '=') {
            out += '=';
            --budget;
            c = static_cast<unsigned char>(c + 64);
        }
        out += static_cast<char>(c);
        if (--budget <= 0) {
            out += "\r\n";
            budget = 128;
        }
    }
    if (budget != 128) out += "\r\n";
    if (single)
        out += "=yend size=" + std::to_string(file.size()) + " part=1 pcrc32=" + hex8(referenceCrc(part)) + "\r\n";
    else
        out += "=yend size=" + std::to_string(part.size()) + " part=" + std::to_string(n) +
               " pcrc32=" + hex8(referenceCrc(part)) + " crc32=" + hex8(referenceCrc(file)) + "\r\n";
    return out;
}

std::string referenceUu(const std::string& file, const std::string& name, int lines, int n) {
    const std::size_t per = static_cast<std::size_t>(lines) * 45;
    const std::size_t first = (n - 1) * per;
    const std::size_t end = std::min(first + per, file.size());
    auto ch = [](unsigned v) { return v ? static_cast<char>(v + 32) : '`'; };
    std::string out = n == 1 ? "begin 644 " + name + "\n" : "";
    for (std::size_t at = first; at < end; at += 45) {
        const std::size_t m = std::min<std::size_t>(45, end - at);
        out += ch(static_cast<unsigned>(m));
        std::string block = file.substr(at, m);
        block.resize(((m + 2) / 3) * 3, '\0');
        for (std::size_t g = 0; g < block.size(); g += 3) {
            const unsigned v = (static_cast<unsigned char>(block[g]) << 16) |
                               (static_cast<unsigned char>(block[g + 1]) << 8) | static_cast<unsigned char>(block[g + 2]);
            for (int s = 18; s >= 0; s -= 6) out += ch((v >> s) & 63);
        }
        out += '\n';
    }
    if (end == file.size()) out += "`\nend\n";
    return out;
}

std::string encode(Encoder& e, int n, int total) {
    std::vector<char> buffer(e.encodedSizeBound());
    EXPECT_TRUE(e.encodePart(n, buffer.data(), buffer.size(), total));
    const std::string text(buffer.data(), e.encodedLength());
    EXPECT_EQ(buffer[e.encodedLength()], '\0');
    return text;
}

}  // namespace

TEST(Crc32, MatchesTheBitwiseDefinition) {
    const std::string data = randomBytes(100003, 7);
    EXPECT_EQ(crc32Update(0, data.data(), data.size()), referenceCrc(data));
    EXPECT_EQ(crc32Update(0, "123456789", 9), 0xCBF43926u);
    // Continuation gives the same as one pass, at every length around the
    // 64- and 256-byte steps of the folding path.
    const std::uint32_t head = crc32Update(0, data.data(), 5);
    for (std::size_t n = 0; n <= 1100; ++n)
        ASSERT_EQ(crc32Update(head, data.data() + 5, n), referenceCrc(data.substr(0, 5 + n))) << n;
    // Pieces hashed apart combine into the whole's CRC, empty ones too.
    for (std::size_t at : {0u, 1u, 5u, 64u, 1000u, 100003u}) {
        const std::uint32_t rest = crc32Update(0, data.data() + at, data.size() - at);
        EXPECT_EQ(crc32Combine(crc32Update(0, data.data(), at), rest, data.size() - at), referenceCrc(data)) << at;
    }
}

// Whole articles by every kernel the CPU has (forced one after another),
// against the reference.
TEST(Yenc, EveryKernelMatchesTheReferenceAroundPartAndLineBoundaries) {
    TempDir dir;
    const int lines = 4;
    const std::size_t per = lines * 128;
    const YencKernel chosen = yencKernel();
    for (auto kernel : {YencKernel::Scalar, YencKernel::Sse2, YencKernel::Ssse3, YencKernel::Avx2, YencKernel::Avx512}) {
        if (!yencKernelSupported(kernel)) continue;
        setYencKernel(kernel);
        ASSERT_EQ(yencKernel(), kernel);
        for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{127}, std::size_t{128}, std::size_t{129},
                                 per - 1, per, per + 1, 3 * per - 1, 3 * per, 3 * per + 1, std::size_t{5000},
                                 std::size_t{100000}}) {
            const std::string data = randomBytes(size, 1 + static_cast<std::uint32_t>(size));
            writeFile("in.bin", data);
            YencEncoder e("in.bin", lines);
            const int parts = static_cast<int>((size + per - 1) / per);
            ASSERT_EQ(e.parts(), parts) << size;
            if (parts > 1) {
                EXPECT_EQ(e.fileCrc(), referenceCrc(data)) << size;  // before any part, for the trailers
            }
            for (int n = parts; n >= 1; --n)  // any order
                ASSERT_EQ(encode(e, n, parts), referenceYenc(data, "in.bin", lines, n, parts))
                    << yencKernelName(kernel) << ", size " << size << " part " << n;
            EXPECT_EQ(e.fileCrc(), referenceCrc(data)) << size;
        }
    }
    setYencKernel(chosen);
}

TEST(Yenc, EscapesEveryCriticalValue) {
    TempDir dir;
    // Every byte value, then runs that escape on every byte, dots and tabs included.
    std::string data;
    for (int i = 0; i < 256; ++i) data += static_cast<char>(i);
    for (int i = 0; i < 300; ++i) data += static_cast<char>("\xD6\xDF\xE0\xE3\x04\x13"[i % 6]);
    data += std::string(127, 'a') + "\x13" + std::string(200, '\x04');
    writeFile("esc.bin", data);
    YencEncoder e("esc.bin", 2500);
    const std::string text = encode(e, 1, 1);
    EXPECT_EQ(text, referenceYenc(data, "esc.bin", 2500, 1, 1));
    // The reference's own escapes: NUL, TAB, LF, CR, "." and "=" (the pair
    // across a line end is pinned in YencKernels below).
    EXPECT_THAT(text, HasSubstr("=@=I=J=M=n=}"));
    EXPECT_LE(text.size() + 1, e.encodedSizeBound());
}

TEST(Yenc, SingleAndMultiPartFramesAndTheEmptyFile) {
    TempDir dir;
    writeFile("k.bin", std::string(1000, 'x'));
    YencEncoder one("k.bin", 2500);
    const std::string text = encode(one, 1, 1);
    EXPECT_EQ(text.substr(0, text.find("\r\n=ypart")), "=ybegin part=1 line=128 size=1000 name=k.bin");
    EXPECT_THAT(text, HasSubstr("=ypart begin=1 end=1000\r\n"));
    EXPECT_THAT(text, HasSubstr("=yend size=1000 part=1 pcrc32="));
    EXPECT_THAT(text, testing::Not(HasSubstr(" crc32=")));

    writeFile("m.bin", std::string(2 * 128 + 1, 'x'));
    YencEncoder two("m.bin", 2);
    ASSERT_EQ(two.parts(), 2);
    const std::string second = encode(two, 2, 2);
    EXPECT_THAT(second, testing::StartsWith("=ybegin part=2 total=2 line=128 size=257 name=m.bin\r\n"
                                            "=ypart begin=257 end=257\r\n"));
    EXPECT_THAT(second, HasSubstr("=yend size=1 part=2 pcrc32="));

    writeFile("empty.bin", "");
    YencEncoder none("empty.bin", 2500);
    EXPECT_EQ(none.parts(), 0);
    EXPECT_THROW(YencEncoder("missing.bin", 2500), Kelvo_Exception);

    // A sparse file: its holes are not read, and count as the zeros they are
    // in the whole-file CRC every part carries.
    const std::string data = randomBytes(5000, 7);
    {
        std::ofstream out("sparse.bin", std::ios::binary);
        out.seekp(3 << 20);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    ASSERT_EQ(truncate("sparse.bin", (6 << 20) + 1), 0);
    YencEncoder sparse("sparse.bin", 2500);
    std::string whole(static_cast<std::size_t>((6 << 20) + 1), '\0');
    whole.replace(3 << 20, data.size(), data);
    EXPECT_EQ(sparse.fileCrc(), referenceCrc(whole));
}

TEST(Encoders, NamesWithLineBreaksNeverReachTheArticleAndLongNamesFit) {
    TempDir dir;
    const std::string evil = "a\rb\nc.jpg";
    writeFile(evil, std::string(300, '\xD6'));  // every byte escaped: the worst case
    YencEncoder y(evil, 2);
    EXPECT_EQ(y.name(), "a_b_c.jpg");
    std::string text = encode(y, 1, y.parts());
    EXPECT_THAT(text, HasSubstr("name=a_b_c.jpg\r\n"));
    UuEncoder u(evil, 2);
    EXPECT_THAT(encode(u, 1, u.parts()), testing::StartsWith("begin 644 a_b_c.jpg\n"));

    const std::string longName(250, 'n');
    writeFile(longName, std::string(256, '\xD6'));
    YencEncoder big(longName, 1);
    std::vector<char> buffer(big.encodedSizeBound());
    ASSERT_TRUE(big.encodePart(1, buffer.data(), buffer.size(), big.parts()));
    EXPECT_LT(big.encodedLength(), buffer.size());
    UuEncoder bigUu(longName, 1);
    std::vector<char> uuBuffer(bigUu.encodedSizeBound());
    ASSERT_TRUE(bigUu.encodePart(1, uuBuffer.data(), uuBuffer.size(), bigUu.parts()));
}

TEST(Uuencode, MatchesTheReferenceAndTheKnownLines) {
    TempDir dir;
    for (std::size_t size : {1u, 2u, 3u, 44u, 45u, 46u, 89u, 90u, 91u, 180u, 181u, 1000u}) {
        const std::string data = randomBytes(size, static_cast<std::uint32_t>(size));
        writeFile("u.bin", data);
        UuEncoder e("u.bin", 2);
        const int parts = static_cast<int>((size + 89) / 90);
        ASSERT_EQ(e.parts(), parts);
        for (int n = 1; n <= parts; ++n)
            ASSERT_EQ(encode(e, n, parts), referenceUu(data, "u.bin", 2, n)) << size << " part " << n;
        std::vector<char> buffer(e.encodedSizeBound());
        EXPECT_FALSE(e.encodePart(parts + 1, buffer.data(), buffer.size(), parts));
        EXPECT_FALSE(e.encodePart(1, buffer.data(), buffer.size() - 1, parts));
    }
    writeFile("a.bin", "A");
    UuEncoder a("a.bin", 10);
    EXPECT_EQ(encode(a, 1, 1), "begin 644 a.bin\n!00``\n`\nend\n");
    writeFile("z.bin", std::string(3, '\0'));
    UuEncoder z("z.bin", 10);
    EXPECT_EQ(encode(z, 1, 1), "begin 644 z.bin\n#````\n`\nend\n");
    writeFile("s.bin", std::string(46, 'q'));
    UuEncoder s("s.bin", 1);
    ASSERT_EQ(s.parts(), 2);
    EXPECT_THAT(encode(s, 1, 2), testing::Not(HasSubstr("end\n")));
    EXPECT_THAT(encode(s, 2, 2), testing::StartsWith("!"));
}

TEST(TextEncoder, PostsBytesUnchangedInOnePart) {
    TempDir dir;
    writeFile("t.txt", "line one\r\n.dot line\nend");
    TextEncoder t("t.txt", 2500);
    EXPECT_EQ(t.parts(), 1);
    EXPECT_EQ(encode(t, 1, 1), "line one\r\n.dot line\nend");
    std::vector<char> buffer(t.encodedSizeBound());
    EXPECT_FALSE(t.encodePart(2, buffer.data(), buffer.size(), 1));
    writeFile("e.txt", "");
    TextEncoder e("e.txt", 2500);
    EXPECT_EQ(e.parts(), 1);
    EXPECT_EQ(encode(e, 1, 1), "");
    EXPECT_EQ(makeEncoder(3, 10, "t.txt"), nullptr);
}

TEST(Encoders, UnreadableFileAtEncodeTimeFails) {
    TempDir dir;
    writeFile("gone.bin", std::string(500, 'x'));
    YencEncoder y("gone.bin", 2);
    UuEncoder u("gone.bin", 2);
    std::vector<char> by(y.encodedSizeBound()), bu(u.encodedSizeBound());
    std::filesystem::remove("gone.bin");
    EXPECT_FALSE(y.encodePart(1, by.data(), by.size(), y.parts()));
    EXPECT_FALSE(u.encodePart(1, bu.data(), bu.size(), u.parts()));
}

// Every vector kernel against the byte-at-a-time reference: random data of
// every length up to a few lines, escapes at every column (the last one and
// the pair that straddles the end included), and runs of escapes.
TEST(YencKernels, EveryKernelWritesExactlyWhatTheReferenceWrites) {
    std::vector<std::string> inputs;
    const std::string random = testing_support::randomBytes(700, 11);
    for (std::size_t n = 0; n <= 600; ++n) inputs.push_back(random.substr(0, n));
    // Bytes that become NUL, TAB, LF, CR, "." and "=" once 42 is added.
    const std::string escapes = {'\xD6', '\xDF', '\xE0', '\xE3', '\x04', '\x13'};
    for (std::size_t col = 0; col < 300; ++col) {
        std::string s(300, 'a');
        s[col] = escapes[col % escapes.size()];
        inputs.push_back(s);
        s[(col + 1) % s.size()] = escapes[(col + 1) % escapes.size()];
        inputs.push_back(s);
    }
    std::string dense;
    for (int i = 0; i < 1000; ++i) dense += i % 3 ? escapes[static_cast<std::size_t>(i) % escapes.size()] : 'x';
    inputs.push_back(dense);
    inputs.push_back(std::string(777, '\x13'));
    for (std::size_t edge : {16u, 32u, 64u, 128u, 256u})
        for (std::size_t n = edge - 2; n <= edge + 2; ++n) inputs.push_back(testing_support::randomBytes(n, static_cast<std::uint32_t>(n)));

    std::vector<char> expected(4000), got(4000 + 64);
    for (auto kernel : {YencKernel::Sse2, YencKernel::Ssse3, YencKernel::Avx2, YencKernel::Avx512}) {
        if (!yencKernelSupported(kernel)) continue;
        for (const auto& in : inputs) {
            const auto* data = reinterpret_cast<const unsigned char*>(in.data());
            const std::string want(expected.data(),
                                   yencEncodeLinesWith(YencKernel::Scalar, data, in.size(), expected.data()));
            ASSERT_EQ(std::string(got.data(), yencEncodeLinesWith(kernel, data, in.size(), got.data())), want)
                << yencKernelName(kernel) << ", " << in.size() << " bytes";
            // The part CRC taken in the same pass, continued from another.
            std::uint32_t crc = 0x12345678;
            ASSERT_EQ(std::string(got.data(), yencEncodeLinesCrcWith(kernel, data, in.size(), got.data(), &crc)), want);
            ASSERT_EQ(crc, crc32Update(0x12345678, data, in.size())) << yencKernelName(kernel) << ", " << in.size();
        }
    }
    // The reference itself: lines of 128 characters, 129 when a pair straddles the end.
    const std::string straddle = std::string(127, '\x01') + "\x13" + "\x02";
    const char* e = yencEncodeLinesWith(YencKernel::Scalar, reinterpret_cast<const unsigned char*>(straddle.data()),
                                        straddle.size(), expected.data());
    EXPECT_EQ(std::string(expected.data(), static_cast<std::size_t>(e - expected.data())), std::string(127, '+') + "=}\r\n,\r\n");
}
