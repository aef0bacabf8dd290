// The watched folder's decisions on times the test sets, and its record.
#include "watch.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "test_support.h"

using tskivo::FolderWatch;
using tskivo::WatchRecord;
using testing_support::TempDir;
using testing_support::writeFile;

TEST(Watch, AFolderIsPostedOnceQuietAndNeverTwice) {
    FolderWatch watch(30);
    using Seen = std::map<std::string, std::string>;
    std::set<std::string> done;
    EXPECT_TRUE(watch.ready(Seen{{"b", "1"}, {"a", "1"}}, 100, done).empty()) << "just seen: not quiet yet";
    EXPECT_TRUE(watch.ready(Seen{{"b", "1"}, {"a", "2"}}, 120, done).empty());
    // b has been quiet 30 s; a changed at 120, so it waits on.
    EXPECT_EQ(watch.ready(Seen{{"b", "1"}, {"a", "2"}}, 130, done), std::vector<std::string>{"b"});
    done.insert("b");
    EXPECT_TRUE(watch.ready(Seen{{"b", "1"}, {"a", "3"}}, 149, done).empty()) << "still changing";
    EXPECT_EQ(watch.ready(Seen{{"b", "9"}, {"a", "3"}}, 179, done), std::vector<std::string>{"a"})
        << "a posted folder that changes is not posted again";
    // A folder that went away and came back starts its quiet time anew.
    EXPECT_TRUE(watch.ready(Seen{}, 200, done).empty());
    EXPECT_TRUE(watch.ready(Seen{{"c", "1"}}, 201, done).empty());
    EXPECT_EQ(watch.ready(Seen{{"c", "1"}, {"B2", "1"}}, 231, done), std::vector<std::string>{"c"});
    EXPECT_EQ(watch.ready(Seen{{"c", "1"}, {"B2", "1"}}, 261, done), (std::vector<std::string>{"B2", "c"}))
        << "in name order, case folded";
}

TEST(Watch, TheRecordSurvivesARestartAndIsTheUsersAlone) {
    TempDir dir(false);
    const std::string path = dir / "watch.json";
    WatchRecord r;
    r.posted = {{"Day one", 0}, {"Day \xe9", 255}};
    r.current = "Day two";
    ASSERT_TRUE(r.save(path));
    WatchRecord back;
    ASSERT_TRUE(back.load(path));
    EXPECT_EQ(back.posted.at("Day one"), 0);
    EXPECT_EQ(back.posted.size(), 2u);
    EXPECT_EQ(back.current, "Day two");
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::group_all, std::filesystem::perms::none);
    writeFile(path, "not json");
    WatchRecord broken;
    EXPECT_FALSE(broken.load(path));
    EXPECT_TRUE(broken.posted.empty());
    // The signature follows what is in a folder.
    std::filesystem::create_directories(dir / "f");
    writeFile(dir / "f/a.jpg", "x");
    const std::string before = tskivo::folderSignature(dir / "f");
    writeFile(dir / "f/a.jpg", "xy");
    EXPECT_NE(tskivo::folderSignature(dir / "f"), before);
}
