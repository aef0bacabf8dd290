#include "folder_runner.h"

#include <unistd.h>

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

using namespace tskivo;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// What the runner handed to the engine and the sheet library, folder by folder.
struct Calls {
    std::vector<std::vector<std::string>> engine;
    std::vector<std::string> cwd;
    std::vector<std::vector<std::string>> sheetSources;
    std::vector<std::string> sheetsOnDiskDuringPost;
};
Calls* calls = nullptr;

int fakePostFolder(int argc, char** argv, bool printHeader, bool threadPosts, bool, bool) {
    EXPECT_FALSE(printHeader);
    EXPECT_TRUE(threadPosts);
    calls->engine.emplace_back(argv, argv + argc);
    calls->cwd.push_back(pelmor::currentDirectory());
    if (access("!sheet.jpg", F_OK) == 0) calls->sheetsOnDiskDuringPost.push_back(pelmor::currentDirectory());
    return 0;
}

void fakeSheets(const char*, const char*, const char*, const char*, const RGBQUAD*, const RGBQUAD*,
                const std::deque<std::string>* sources, std::deque<std::string>* created) {
    calls->sheetSources.emplace_back(sources->begin(), sources->end());
    writeFile("!sheet.jpg", "sheet");
    created->push_back("!sheet.jpg");
}

struct RunnerHarness {
    TempDir dir;
    Calls record;
    std::ostringstream out;
    RunnerHarness() { calls = &record; }
    ~RunnerHarness() { calls = nullptr; }
    int run(std::vector<std::string> extra) {
        std::vector<std::string> args{"tskivo", "Me <me@x.org>", "Fav. pix", dir / "start", "alt.test", "news.x"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runRunner(args, fakePostFolder, fakeSheets, out);
    }
};

}  // namespace

TEST(FolderRunner, RecordsDepthFirstSkipsDotFoldersAndLabelsEachFolder) {
    RunnerHarness h;
    for (const char* d : {"start/gc/a", "start/b", "start/.hidden/x", "start/Zed"})
        std::filesystem::create_directories(h.dir / d);
    const std::string before = pelmor::currentDirectory();
    EXPECT_EQ(h.run({"", "*.jpg"}), 0);
    EXPECT_EQ(pelmor::currentDirectory(), before);
    const std::string start = std::filesystem::canonical(h.dir / "start").string();
    EXPECT_THAT(h.record.cwd, ElementsAre(start, start + "/b", start + "/gc", start + "/gc/a", start + "/Zed"));
    ASSERT_EQ(h.record.engine.size(), 5u);
    EXPECT_EQ(h.record.engine[0][4], "Fav. pix .\\");
    EXPECT_EQ(h.record.engine[3][4], "Fav. pix .\\gc\\a\\");
    EXPECT_EQ(h.record.engine[3][17], "gc\\a");  // -folder value
    const std::string out = h.out.str();
    EXPECT_THAT(out, testing::StartsWith("  Recorded folders: 5\n\n\n  Handling: " + start +
                                         "\n  From     : Me <me@x.org>\n  Subject  : Fav. pix\n"
                                         "  Groups   : alt.test\n  Host     : news.x\n  Reference: \n\n  Handling: " +
                                         start + "/b\n"));
}

TEST(FolderRunner, LinksBackUpTheTreeDoNotLoopForever) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start/a/b");
    std::filesystem::create_directory_symlink(h.dir / "start", h.dir / "start/a/b/up");
    std::filesystem::create_directory_symlink(h.dir / "start/a", h.dir / "start/again");
    h.run({});
    EXPECT_EQ(h.record.engine.size(), 3u);  // start, a, a/b
}

TEST(FolderRunner, ContactSheetsOnlyWhereFilesMatchAndDeletedAfterPosting) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start/empty");
    writeFile(h.dir / "start/b.jpg", "b");
    writeFile(h.dir / "start/a.JPG", "a");
    writeFile(h.dir / "start/notes.txt", "n");
    h.run({"*.jpg", "/ics"});
    ASSERT_EQ(h.record.sheetSources.size(), 1u);
    EXPECT_THAT(h.record.sheetSources[0], ElementsAre("a.JPG", "b.jpg"));
    EXPECT_EQ(h.record.sheetsOnDiskDuringPost.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(h.dir / "start/!sheet.jpg"));
    EXPECT_EQ(h.record.engine.size(), 2u);  // the empty folder is still posted
}

TEST(FolderRunner, MissingStartDirectory) {
    RunnerHarness h;
    EXPECT_EQ(h.run({}), 0);
    EXPECT_EQ(h.out.str(), "  Unable to find: " + (h.dir / "start") + "\n");
    EXPECT_TRUE(h.record.engine.empty());
}

TEST(FolderRunner, SubjectFormatKeepsTheSubjectInTheSummary) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start");
    h.run({"/sf=$D - $F"});
    EXPECT_EQ(h.record.engine[0][4], "$D - $F");
    EXPECT_EQ(h.record.engine[0][6], "$D - $F");
    EXPECT_THAT(h.out.str(), HasSubstr("  Subject  : Fav. pix\n"));
}

// The program itself, with a library missing next to it.
TEST(RunnerProgram, SaysWhichLibraryIsMissing) {
    TempDir dir;
    std::filesystem::create_directories(dir / "bin");
    std::filesystem::create_directories(dir / "lib");
    std::filesystem::copy_file(TSKIVO_BIN, dir / "bin/tskivo");
    auto run = [&] {
        const std::string cmd = "cd " + dir.path() + " && ./bin/tskivo a b c d e > out.txt 2> err.txt; echo $? > rc.txt";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        return readFile("err.txt");
    };
    EXPECT_EQ(run(), "  Unable to load required DLL library: libpelmor.so, aborting.\n"
                     "  Unable to load required DLL library: libtplat.so, aborting.\n");
    EXPECT_EQ(readFile(dir / "rc.txt"), "0\n");
    EXPECT_EQ(readFile(dir / "out.txt"), "Tarvel Skivor v0.36 - Usenet binary folder poster\n");
    std::filesystem::copy_file(PELMOR_SO, dir / "lib/libpelmor.so");
    EXPECT_EQ(run(), "  Unable to load required DLL library: libtplat.so, aborting.\n");
    std::filesystem::copy_file(TPLAT_SO, dir / "lib/libtplat.so");
    EXPECT_EQ(run(), "");
    EXPECT_THAT(readFile(dir / "out.txt"), HasSubstr("  Unable to find: c\n"));
}
