#include "folder_runner.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/run_state.h"
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
    std::vector<std::string> sheetTitles;
    std::vector<std::string> sheetsOnDiskDuringPost;
    std::vector<std::pair<bool, bool>> flags;  // uutease, scramble
    std::vector<long long> doneBefore;          // "done" of the run state each job was given
    long long handled = 0;                      // what each job says it handled, when not 0
};
Calls* calls = nullptr;

int fakePostFolder(int argc, char** argv, bool printHeader, bool threadPosts, bool uutease, bool scramble) {
    EXPECT_FALSE(printHeader);
    EXPECT_TRUE(threadPosts);
    calls->engine.emplace_back(argv, argv + argc);
    calls->cwd.push_back(common::currentDirectory());
    calls->flags.emplace_back(uutease, scramble);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "-runstate") {
            calls->doneBefore.push_back(common::runStateNumber(common::readRunState(argv[i + 1]), "done"));
            if (calls->handled) common::writeRunState(argv[i + 1], {{"status", "0"}, {"handled", std::to_string(calls->handled)}});
        }
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).find("!sheet") != std::string::npos && access(argv[i], F_OK) == 0)
            calls->sheetsOnDiskDuringPost.push_back(argv[i]);
    return 0;
}

void fakeSheets(const char*, const char* title, const char*, const char*, const RGBQUAD*, const RGBQUAD*,
                const std::deque<std::string>* sources, std::deque<std::string>* created) {
    calls->sheetSources.emplace_back(sources->begin(), sources->end());
    calls->sheetTitles.push_back(title);
    writeFile("!sheet.jpg", "sheet");  // into the current folder, as the library does
    created->push_back("!sheet.jpg");
}

struct RunnerHarness {
    TempDir dir;
    Calls record;
    std::ostringstream out;
    RunnerHarness() { calls = &record; }
    ~RunnerHarness() { calls = nullptr; }
    int run(std::vector<std::string> extra, PostFolderFn engine = fakePostFolder, CreateContactSheetsFn sheets = fakeSheets) {
        std::vector<std::string> args{"tskivo", "Me <me@x.org>", "Fav. pix", dir / "start", "alt.test", "news.x"};
        args.insert(args.end(), extra.begin(), extra.end());
        return runRunner(args, engine, sheets, out);
    }
};

}  // namespace

TEST(FolderRunner, RecordsDepthFirstSkipsDotFoldersAndLabelsEachFolder) {
    RunnerHarness h;
    for (const char* d : {"start/gc/a", "start/b", "start/.hidden/x", "start/Zed"})
        std::filesystem::create_directories(h.dir / d);
    const std::string before = common::currentDirectory();
    EXPECT_EQ(h.run({"", "*.jpg"}), 0);
    EXPECT_EQ(common::currentDirectory(), before);
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

// A folder that cannot be entered is named, not left out without a word
// (the run then ends 1). Root enters any folder: the walk runs as nobody.
TEST(FolderRunner, FoldersThatCannotBeEnteredAreNamed) {
    RunnerHarness h;
    for (const char* d : {"start/open", "start/locked"}) std::filesystem::create_directories(h.dir / d);
    chmod(h.dir.path().c_str(), 0755);
    chmod((h.dir / "start").c_str(), 0755);
    chmod((h.dir / "start/open").c_str(), 0755);
    chmod((h.dir / "start/locked").c_str(), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        if (!common::changeDirectory(h.dir / "start")) _exit(3);
        std::vector<std::string> folders{h.dir / "start"}, unreadable;
        recordFolders(folders, &unreadable);
        const bool right = folders == std::vector<std::string>{h.dir / "start", h.dir / "start/open"} &&
                           unreadable == std::vector<std::string>{h.dir / "start/locked"};
        _exit(right ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod((h.dir / "start/locked").c_str(), 0755);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// The run's progress never falls from one folder to the next: a folder's
// job counts its contact sheets and recovery set too, and the next starts
// where it ended.
TEST(FolderRunner, EachFolderStartsWhereTheOneBeforeEnded) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start/b");
    writeFile(h.dir / "start/a.jpg", std::string(100, 'a'));
    writeFile(h.dir / "start/b/b.jpg", std::string(100, 'b'));
    h.record.handled = 5000;  // 100 bytes of pictures, and its sheets and set
    h.run({"", "*.jpg"});
    EXPECT_THAT(h.record.doneBefore, ElementsAre(0, 5000));
}

TEST(FolderRunner, LinksBackUpTheTreeDoNotLoopForever) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start/a/b");
    std::filesystem::create_directory_symlink(h.dir / "start", h.dir / "start/a/b/up");
    std::filesystem::create_directory_symlink(h.dir / "start/a", h.dir / "start/again");
    h.run({});
    EXPECT_EQ(h.record.engine.size(), 3u);  // start, a, a/b
}

TEST(FolderRunner, ContactSheetsAreMadeApartPostedWhateverTheMaskAndRemoved) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start/empty");
    writeFile(h.dir / "start/IMG_b.jpg", "b");
    writeFile(h.dir / "start/IMG_a.JPG", "a");
    writeFile(h.dir / "start/notes.txt", "n");
    writeFile(h.dir / "start/!sheet.jpg", "the user's own picture");
    h.run({"IMG_*.jpg", "/ics"});
    const std::string start = std::filesystem::canonical(h.dir / "start").string();
    ASSERT_EQ(h.record.sheetSources.size(), 1u);
    EXPECT_THAT(h.record.sheetSources[0], ElementsAre(start + "/IMG_a.JPG", start + "/IMG_b.jpg"));
    EXPECT_THAT(h.record.sheetTitles, ElementsAre("start"));
    // Posted by full path from a private folder, before the mask that does
    // not match its name; gone afterwards, and the user's file untouched.
    ASSERT_EQ(h.record.sheetsOnDiskDuringPost.size(), 1u);
    const std::string sheet = h.record.sheetsOnDiskDuringPost[0];
    EXPECT_EQ(sheet.rfind(start, 0), std::string::npos);
    const auto& args = h.record.engine[0];
    ASSERT_GE(args.size(), 2u);
    EXPECT_EQ(args[args.size() - 2], sheet);
    EXPECT_EQ(args.back(), "IMG_*.jpg");
    EXPECT_FALSE(std::filesystem::exists(sheet));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(sheet).parent_path()));
    EXPECT_EQ(readFile(h.dir / "start/!sheet.jpg"), "the user's own picture");
    EXPECT_EQ(h.record.engine.size(), 2u);  // the empty folder is still posted
}

// The engine makes the set: over the files named after "-par2" (the
// folder's own, not the sheets), named after the folder.
TEST(FolderRunner, Par2OptionsComeAfterTheSheetsAndBeforeTheFolderFiles) {
    RunnerHarness h;
    std::filesystem::create_directories(h.dir / "start");
    writeFile(h.dir / "start/a.jpg", "a");
    h.run({"*.jpg", "/ics", "/par2=20", "/par2files=2", "/par2equal", "/par2blocksize=4096"});
    const auto& args = h.record.engine.at(0);
    ASSERT_EQ(h.record.sheetsOnDiskDuringPost.size(), 1u);
    const std::vector<std::string> tail(args.end() - 11, args.end());
    EXPECT_THAT(tail, ElementsAre(h.record.sheetsOnDiskDuringPost[0], "-par2files", "2", "-par2equal", "-par2blocksize",
                                  "4096", "-par2name", "start", "-par2", "20", "*.jpg"));
}

TEST(FolderRunner, LongPathsLinkedLabelsAndFlags) {
    RunnerHarness h;
    // Deeper than PATH_MAX: recorded and posted all the same.
    std::string deep = "start";
    const std::string name(200, 'd');
    for (int i = 0; i < 24; ++i) deep += "/" + name;
    std::filesystem::create_directories(h.dir / "start");
    {
        const int back = open(".", O_RDONLY);
        ASSERT_EQ(chdir((h.dir / "start").c_str()), 0);
        for (int i = 0; i < 24; ++i) ASSERT_TRUE(mkdir(name.c_str(), 0755) == 0 && chdir(name.c_str()) == 0);
        ASSERT_EQ(fchdir(back), 0);
        close(back);
    }
    // A link to a folder outside the tree takes its label from its name here.
    std::filesystem::create_directories(h.dir / "elsewhere/far");
    std::filesystem::create_directory_symlink(h.dir / "elsewhere", h.dir / "start/_linked");
    EXPECT_EQ(h.run({"/uutease", "/scramble"}), 0);
    ASSERT_EQ(h.record.engine.size(), 27u);  // start, 24 deep, _linked, _linked/far
    EXPECT_GT(h.record.cwd[24].size(), 4096u);
    // Folded to upper case, "_linked" sorts after "ddd...".
    EXPECT_EQ(h.record.engine[25][4], "Fav. pix .\\_linked\\");
    EXPECT_EQ(h.record.engine[26][4], "Fav. pix .\\_linked\\far\\");
    EXPECT_EQ(h.record.flags[0], std::make_pair(true, true));
    EXPECT_THAT(h.out.str(), HasSubstr("  From     : " + std::string(kPlaceholderAuthor) + "\n"));

    // One flag at a time reaches its own place.
    RunnerHarness one;
    std::filesystem::create_directories(one.dir / "start");
    one.run({"/uutease"});
    EXPECT_EQ(one.record.flags[0], std::make_pair(true, false));
    EXPECT_THAT(one.out.str(), HasSubstr("  From     : Me <me@x.org>\n"));
}

TEST(FolderRunner, MissingStartDirectoryAndUnknownOptionsAreSaid) {
    RunnerHarness h;
    // A mistyped option is said, not silently dropped ("/connections=4" is no "/conn=").
    EXPECT_EQ(h.run({"", "/connections=4"}), 255) << "nothing posted is no success";
    EXPECT_EQ(h.out.str(), "  Unknown option /connections=4 ignored.\n  Unable to find: " + (h.dir / "start") + "\n");
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
    EXPECT_EQ(readFile(dir / "rc.txt"), "255\n") << "nothing can be posted: no success";
    EXPECT_EQ(readFile(dir / "out.txt"), "Tarvel Skivor v0.36 - Usenet binary folder poster\n");
    std::filesystem::copy_file(PELMOR_SO, dir / "lib/libpelmor.so");
    EXPECT_EQ(run(), "  Unable to load required DLL library: libtplat.so, aborting.\n");
    std::filesystem::copy_file(TPLAT_SO, dir / "lib/libtplat.so");
    EXPECT_EQ(run(), "");
    EXPECT_THAT(readFile(dir / "out.txt"), HasSubstr("  Unable to find: c\n"));
}

// The runner enters the user's folders: its library search path must never
// name the current folder (an empty entry does).
TEST(RunnerProgram, LibrarySearchPathIsOnlyOriginRelative) {
    FILE* p = popen("readelf -d " TSKIVO_BIN, "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    while (std::size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    pclose(p);
    const auto at = out.find("runpath: [");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string list = out.substr(at + 10, out.find(']', at) - at - 10);
    std::size_t from = 0;
    for (;;) {
        const std::size_t colon = list.find(':', from);
        const std::string entry = list.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        EXPECT_TRUE(entry.rfind("$ORIGIN", 0) == 0 || (!entry.empty() && entry[0] == '/')) << "[" << list << "]";
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
}

// A core dump would hold the password and land in the folder being posted.
TEST(RunnerProgram, NeverDumpsCore) {
    const pid_t child = fork();
    if (child == 0) {
        std::ostringstream out;
        runRunner({"tskivo"}, fakePostFolder, fakeSheets, out);
        _exit(prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {

// An engine whose folder jobs overlap: each hands out its articles at once,
// then waits for its "replies"; folder `failing` fails then.
struct OverlappingEngine {
    std::mutex mutex;
    std::vector<std::string> events;  // "start N", "end N"
    std::vector<std::vector<std::string>> args;
    int failing = 0;
    // Folder 1's job says something on its standard output while the
    // runner makes the next folder's contact sheets.
    bool speakDuringSheets = false;
    std::atomic<bool> inSheets{false}, spoke{false};
    int sheetCalls = 0;
};
OverlappingEngine* overlapping = nullptr;
std::atomic<int> handedOutCount{0};

void waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 400 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void sheetsWhileAJobSpeaks(const char*, const char*, const char*, const char*, const RGBQUAD*, const RGBQUAD*,
                           const std::deque<std::string>*, std::deque<std::string>*) {
    if (++overlapping->sheetCalls != 2) return;  // the second folder's, while the first is posted
    overlapping->inSheets = true;
    waitFor(overlapping->spoke);
    overlapping->inSheets = false;
}

int countHandedOut() { return handedOutCount.load(); }

int overlappingPostFolder(int argc, char** argv, bool, bool, bool, bool) {
    std::string runState;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "-runstate") runState = argv[i + 1];
    const int folder = static_cast<int>(common::runStateNumber(common::readRunState(runState), "folder"));
    {
        std::lock_guard<std::mutex> lock(overlapping->mutex);
        overlapping->events.push_back("start " + std::to_string(folder));
        overlapping->args.emplace_back(argv, argv + argc);
    }
    ++handedOutCount;
    if (overlapping->speakDuringSheets && folder == 1) {
        int fd = STDOUT_FILENO;
        for (int i = 1; i + 1 < argc; ++i)
            if (std::string(argv[i]) == "-eventsfd") fd = std::atoi(argv[i + 1]);
        waitFor(overlapping->inSheets);
        EXPECT_EQ(write(fd, "{\"type\":\"said\"}\n", 16), 16);
        overlapping->spoke = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(folder == 2 ? 150 : 100));
    const bool fails = folder == overlapping->failing;
    common::writeRunState(runState, {{"status", fails ? "255" : "0"}, {"articles", "5"}, {"bytes", "1000"}});
    std::lock_guard<std::mutex> lock(overlapping->mutex);
    overlapping->events.push_back("end " + std::to_string(folder));
    return fails ? 255 : 0;
}

struct OverlapHarness : RunnerHarness {
    OverlappingEngine engine;
    OverlapHarness() {
        overlapping = &engine;
        jobsHandedOut = countHandedOut;
        for (const char* d : {"start/a", "start/b", "start/c"}) std::filesystem::create_directories(dir / d);
    }
    ~OverlapHarness() {
        jobsHandedOut = nullptr;
        overlapping = nullptr;
    }
    int runOverlapping(std::vector<std::string> extra, CreateContactSheetsFn sheets = fakeSheets) {
        return run(std::move(extra), overlappingPostFolder, sheets);
    }
};

}  // namespace

// The next folders' jobs start while the ones before wait for their
// replies (two at once when each holds a recovery set); what the runner says
// of a folder comes out with that folder's job, jobs at once keep their
// outcomes apart, and a folder that fails ends the run with the jobs
// already started counted and no folder after them.
TEST(FolderRunner, FoldersOverlapInOrderAndAFailedOneStillEndsTheRun) {
    {
        OverlapHarness h;
        EXPECT_EQ(h.runOverlapping({"*.jpg"}), 0);
        EXPECT_THAT(std::vector<std::string>(h.engine.events.begin(), h.engine.events.begin() + 4),
                    ElementsAre("start 1", "start 2", "start 3", "start 4"));
        ASSERT_EQ(h.engine.args.size(), 4u);
        const auto option = [&](std::size_t job, const std::string& name) {
            const auto& a = h.engine.args[job];
            const auto at = std::find(a.begin(), a.end(), name);
            return at == a.end() || at + 1 == a.end() ? std::string("(none)") : *(at + 1);
        };
        std::set<std::string> runStates;
        for (std::size_t j = 0; j < 4; ++j) runStates.insert(option(j, "-runstate"));
        EXPECT_EQ(runStates.size(), 4u);
        EXPECT_THAT(option(1, "-preamble"), testing::EndsWith("start/a\n"));
        EXPECT_THAT(option(2, "-preamble"), testing::EndsWith("start/b\n"));
        // What the first folder's job follows is said at once.
        EXPECT_THAT(h.out.str(), HasSubstr("start\n"));
        EXPECT_THAT(h.out.str(), testing::Not(HasSubstr("start/a")));
        EXPECT_THAT(h.out.str(), HasSubstr("in 20 articles"));
    }
    {
        OverlapHarness h;
        h.engine.failing = 2;
        EXPECT_EQ(h.runOverlapping({"*.jpg", "/par2=10"}), 255);
        EXPECT_THAT(h.engine.events, ElementsAre("start 1", "start 2", "end 1", "start 3", "end 2", "end 3"));
        EXPECT_THAT(h.out.str(), HasSubstr("in 15 articles"));
    }
    {
        // Events: the jobs' own reach standard output also while the contact
        // sheets' library speaks to the log instead.
        OverlapHarness h;
        h.engine.speakDuringSheets = true;
        for (const char* d : {"start", "start/a", "start/b", "start/c"}) writeFile(h.dir / d + "/x.jpg", "picture");
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(h.runOverlapping({"*.jpg", "/json", "/ics"}, sheetsWhileAJobSpeaks), 0);
        const std::string out = testing::internal::GetCapturedStdout(), err = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(h.engine.spoke);
        EXPECT_THAT(out, HasSubstr("\"said\""));
        EXPECT_THAT(err, testing::Not(HasSubstr("\"said\"")));
    }
    // The post check carries work from folder to folder, and each job keeps
    // to the bandwidth limit on its own: one at a time.
    for (const char* oneAtATime : {"/check", "/maxbw=100"}) {
        OverlapHarness h;
        EXPECT_EQ(h.runOverlapping({"*.jpg", oneAtATime}), 0);
        EXPECT_THAT(h.engine.events, ElementsAre("start 1", "end 1", "start 2", "end 2", "start 3", "end 3", "start 4", "end 4"))
            << oneAtATime;
    }
}
