#include "common/platform.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "test_support.h"

using namespace common;
using testing_support::TempDir;
using testing_support::writeFile;

TEST(Platform, MasksMatchWithoutRegardToCaseAndStarDotStarMatchesEverything) {
    EXPECT_TRUE(matchMask("*.jpg", "A.JPG"));
    EXPECT_TRUE(matchMask("*.JPG", "photo.jpg"));
    EXPECT_FALSE(matchMask("*.jpg", "photo.jpeg"));
    EXPECT_TRUE(matchMask("*.*", "README"));  // no dot, still every name
    EXPECT_TRUE(matchMask("*.*", "a.b.c"));
    EXPECT_TRUE(matchMask("?.jpg", "a.jpg"));
    EXPECT_FALSE(matchMask("?.jpg", "ab.jpg"));
    EXPECT_TRUE(matchMask("a*b*c", "aXXbYYc"));
    EXPECT_FALSE(matchMask("a*b*c", "aXXbYY"));
    EXPECT_TRUE(matchMask("*", ""));
    EXPECT_FALSE(matchMask("?", ""));
}

TEST(Platform, ListingsComeInCaseInsensitiveNameOrderWithSizes) {
    TempDir dir;
    writeFile("b.jpg", "12");
    writeFile("A.jpg", "1");
    writeFile("c.JPG", "123");
    writeFile("d.txt", "");
    std::filesystem::create_directory("sub.jpg");
    std::vector<DirEntry> out;
    int err = -1;
    ASSERT_TRUE(findFiles(".", "*.jpg", out, err));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].name, "A.jpg");
    EXPECT_EQ(out[0].size, 1u);
    EXPECT_EQ(out[1].name, "b.jpg");
    EXPECT_EQ(out[2].name, "c.JPG");
    EXPECT_EQ(out[3].name, "sub.jpg");
    EXPECT_TRUE(out[3].isDirectory);
    out.clear();
    EXPECT_FALSE(findFiles("no-such-dir", "*", out, err));
    EXPECT_EQ(err, ENOENT);
}

TEST(Platform, NumbersReadAsAtolDoOrWholeAndInRange) {
    EXPECT_EQ(readDecimal("  42abc"), 42);
    EXPECT_EQ(readDecimal("-7"), -7);
    EXPECT_EQ(readDecimal("+3"), 3);
    EXPECT_EQ(readDecimal("x1"), 0);
    EXPECT_EQ(readDecimal(""), 0);
    EXPECT_GT(readDecimal("99999999999999999999999"), 0);  // saturates, no wrap
    // Extension options take whole numbers only: "8x" is no 8.
    EXPECT_EQ(wholeNumber("8", 1, 64), 8);
    EXPECT_EQ(wholeNumber("-3", -5, 5), -3);
    for (const char* bad : {"8x", "x8", " 8", "8 ", "", "-", "65", "0", "99999999999999999999"})
        EXPECT_FALSE(wholeNumber(bad, 1, 64)) << bad;
}

TEST(Platform, UuidsAreFreshAndWellFormed) {
    const std::string a = uuidText(), b = uuidText();
    EXPECT_EQ(a.size(), 36u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a[8], '-');
    EXPECT_EQ(a[23], '-');
}

// Private folders of runs that ended without removing them (killed) go with
// the next run's; a live run's, a folder of another name and one whose
// process id is not ours to judge stay.
TEST(Platform, PrivateFoldersOfDeadRunsAreRemoved) {
    testing_support::TempDir dir;
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);  // a process id that no longer runs
    const std::string dead = dir / ("tskivo-" + std::to_string(child) + "-abcdef");
    const std::string live = dir / ("tskivo-" + std::to_string(getpid()) + "-ghijkl");
    const std::string other = dir / "tskivo-XXabcd";
    for (const auto& f : {dead, live, other}) std::filesystem::create_directories(f + "/inner");
    const char* was = std::getenv("TMPDIR");
    const std::string saved = was ? was : "";
    setenv("TMPDIR", dir.path().c_str(), 1);
    const std::string made = common::makePrivateFolder();
    if (was) setenv("TMPDIR", saved.c_str(), 1);
    else unsetenv("TMPDIR");
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(live));
    EXPECT_TRUE(std::filesystem::exists(other));
    EXPECT_EQ(made.rfind(dir / ("tskivo-" + std::to_string(getpid()) + "-"), 0), 0u) << made;
    std::filesystem::remove_all(made);
}
