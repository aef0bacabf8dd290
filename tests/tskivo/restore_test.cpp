// A flat download back into its tree, by the folders the NZB file names.
#include "restore.h"

#include <filesystem>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/text_fields.h"
#include "test_support.h"

using testing::HasSubstr;
using testing_support::TempDir;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

std::string entry(const std::string& name, const std::string& folder) {
    return "<file poster=\"p\" date=\"1\" subject=\"s\">\n  <!-- tskivo name=\"" + common::hexText(name) +
           "\" size=\"1\"" + (folder.empty() ? "" : " folder=\"" + common::hexText(folder) + "\"") +
           " -->\n  <segments/>\n </file>\n";
}

}  // namespace

TEST(Restore, FlatNamesGoBackToTheirFoldersAndNothingIsOverwritten) {
    TempDir dir(false);
    const std::string dl = dir / "dl";
    std::filesystem::create_directories(dl + "/Day2");
    writeFile(dir / "t.nzb", "<?xml version=\"1.0\"?>\n<nzb>\n" + entry("top.jpg", "") + entry("a.jpg", "Day1") +
                                 entry("Day1/cover.jpg", "Day1") + entry("b.jpg", "Day2/late") + entry("b.jpg", "Day2/late") +
                                 entry("taken.jpg", "Day2") + entry("gone.jpg", "Day3") + entry("x.vol01+02.par2", "Day1") +
                                 entry("evil.jpg", "../outside") + "</nzb>\n");
    for (const char* name : {"top.jpg", "a.jpg", "Day1_cover.jpg", "b.jpg", "taken.jpg", "evil.jpg"})
        writeFile(dl + "/" + name, name);
    writeFile(dl + "/Day2/taken.jpg", "the user's own");
    std::ostringstream out;
    EXPECT_EQ(tskivo::restoreTree(dir / "t.nzb", dl, out), 1) << out.str();
    EXPECT_EQ(readFile(dl + "/top.jpg"), "top.jpg") << "the start's files stay";
    EXPECT_EQ(readFile(dl + "/Day1/a.jpg"), "a.jpg");
    EXPECT_EQ(readFile(dl + "/Day1/cover.jpg"), "Day1_cover.jpg") << "nzbget's form of a path name";
    EXPECT_EQ(readFile(dl + "/Day2/late/b.jpg"), "b.jpg");
    EXPECT_EQ(readFile(dl + "/Day2/taken.jpg"), "the user's own") << "never overwritten";
    EXPECT_EQ(readFile(dl + "/taken.jpg"), "taken.jpg");
    EXPECT_EQ(readFile(dl + "/evil.jpg"), "evil.jpg");
    EXPECT_FALSE(std::filesystem::exists(dir / "outside"));
    const std::string said = out.str();
    EXPECT_THAT(said, HasSubstr("Not found: Day3/gone.jpg"));
    EXPECT_THAT(said, HasSubstr("Left where it is: taken.jpg (Day2/taken.jpg exists)"));
    EXPECT_THAT(said, HasSubstr("Left where it is: evil.jpg (its folder leaves the tree)"));
    EXPECT_THAT(said, HasSubstr("Moved 3 files into the tree; 1 in place already; 1 recovery volume not downloaded"));
    // Run again: everything that could go is in place, nothing moves.
    std::ostringstream again;
    tskivo::restoreTree(dir / "t.nzb", dl, again);
    EXPECT_THAT(again.str(), HasSubstr("Moved 0 files into the tree; 4 in place already"));
    // Not an NZB file of ours.
    writeFile(dir / "other.nzb", "<nzb><file subject=\"x\"></file></nzb>");
    std::ostringstream none;
    EXPECT_EQ(tskivo::restoreTree(dir / "other.nzb", dl, none), 255);
    EXPECT_THAT(none.str(), HasSubstr("names no folders"));
}
