#include "post/subject.h"

#include <gtest/gtest.h>

using namespace pelmor;

namespace {
FileEntry file(const std::string& name, int encoding) { return FileEntry{name, encoding, {}, 0, false, {}}; }
}  // namespace

TEST(PlainSubject, CountersSizeAndDisplay) {
    auto s = formatPlainSubject("Holiday", file("b.jpg", kYenc), 5, 14, 2, 3, 2000000);
    EXPECT_EQ(s.subject, "Holiday [2/3] 1.9 mb - yEnc \"b.jpg\" (05/14)");
    EXPECT_EQ(s.display, "Holiday [2/3] 1.9 mb - yEnc \"b.jpg\" (*/14)");

    s = formatPlainSubject("Holiday", file("b.jpg", kYenc), 1, 1, 1, 1, 2000000);
    EXPECT_EQ(s.subject, "Holiday 1.9 mb - yEnc \"b.jpg\" (1/1)");
    EXPECT_EQ(s.display, s.subject);

    EXPECT_EQ(formatPlainSubject("S", file("a", kYenc), 7, 120, 1, 1, 10).subject, "S 10 bytes - yEnc \"a\" (007/120)");
    EXPECT_EQ(formatPlainSubject("S", file("a", kYenc), 3, 12, 3, 12, 10).subject,
              "S [03/12] 10 bytes - yEnc \"a\" (03/12)");
    // Text files get neither the file counter nor the yEnc word; uuencode no yEnc word.
    EXPECT_EQ(formatPlainSubject("S", file("t.txt", kText), 1, 1, 2, 3, 10).subject, "S 10 bytes - \"t.txt\" (1/1)");
    EXPECT_EQ(formatPlainSubject("S", file("u", kUuencode), 1, 1, 2, 3, 10).subject, "S [2/3] 10 bytes - \"u\" (1/1)");
    // An empty file: the short form and no display subject.
    s = formatPlainSubject("S", file("e.txt", kText), 1, 1, 1, 1, 0);
    EXPECT_EQ(s.subject, "S - \"e.txt\" (01/01)");
    EXPECT_EQ(s.display, "");
}

TEST(PlainSubject, SizeBoundaries) {
    auto size = [](std::uint32_t S) { return formatPlainSubject("S", file("a", kUuencode), 1, 1, 1, 1, S).subject; };
    EXPECT_EQ(size(524288), "S 524288 bytes - \"a\" (1/1)");
    EXPECT_EQ(size(524289), "S 512 kb - \"a\" (1/1)");
    EXPECT_EQ(size(1048576), "S 1024 kb - \"a\" (1/1)");
    EXPECT_EQ(size(1048577), "S 1.0 mb - \"a\" (1/1)");
    EXPECT_EQ(size(0xFFFFFFFFu), "S 4096.0 mb - \"a\" (1/1)");
}

TEST(FormatSubject, CodesAndPartCounter) {
    auto s = formatSubject("Oaks - '$D' [$1/$2] $Kkb - $F", file("a.jpg", kYenc), "pics", 2, 4, 3, 12, 2000000);
    EXPECT_EQ(s.subject, "Oaks - 'pics' [03/12] 1953kb - yEnc \"a.jpg\" (2/4)");
    EXPECT_EQ(s.display, "Oaks - 'pics' [03/12] 1953kb - yEnc \"a.jpg\" (*/4)");

    s = formatSubject("$$ $B $M $F", file("u.bin", kUuencode), "", 1, 1, 1, 1, 1023);
    EXPECT_EQ(s.subject, "$ 1023 0.0 u.bin (1/1)");
    EXPECT_EQ(s.display, "$ 1023 0.0 u.bin (1/1)");
    EXPECT_EQ(formatSubject("$K", file("a", kYenc), "", 1, 1, 1, 1, 1023).subject, "0 (1/1)");
    EXPECT_EQ(formatSubject("plain", file("a", kYenc), "", 9, 10, 1, 1, 1).subject, "plain (09/10)");
    // Inserted text is not scanned again; unknown codes and a trailing "$" stay as written.
    EXPECT_EQ(formatSubject("$D $x $", file("a", kYenc), "$1", 1, 1, 1, 1, 1).subject, "$1 $x $ (1/1)");
}

TEST(Subjects, FileNamesNeverCarryLineBreaksAndLongTextsFit) {
    EXPECT_EQ(formatPlainSubject("S", file("a\r\nb", kYenc), 1, 1, 1, 1, 5).subject, "S 5 bytes - yEnc \"a__b\" (1/1)");
    EXPECT_EQ(formatSubject("$F", file("a\nb", kUuencode), "", 1, 1, 1, 1, 5).subject, "a_b (1/1)");
    const std::string longText(5000, 's');
    EXPECT_EQ(formatSubject(longText + "$D", file("a", kYenc), longText, 1, 1, 1, 1, 5).subject.size(),
              10000u + 6u);
}
