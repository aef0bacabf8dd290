#include "job/defaults.h"
#include "job/job_check.h"
#include "job/post_job.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "job/settings.h"
#include "kelvo_exception.h"
#include "posting_run.h"
#include "test_support.h"

using namespace pelmor;
using testing::HasSubstr;
using testing_support::Args;
using testing_support::JobHarness;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

std::string usageText() {
    std::ostringstream s;
    printUsage(s);
    return s.str();
}

void parseAll(PostJob& job, Args args) {
    for (int i = 1; i < args.argc();) i += parseArgument(job, args.argc() - i, args.argv() + i);
}

const std::string kRequired = "-from a@b -subject s -newsgroups g -hostname h";

void require(PostJob& job) {
    job.options.insert({{"from", "f"}, {"subject", "s"}, {"newsgroups", "g"}, {"hostname", "h"}});
}

// The job check's refusal ("" when the job passes); a refusal is never retried.
std::string refusal(PostJob& job) {
    try {
        checkJob(job);
    } catch (const Kelvo_Exception& e) {
        EXPECT_EQ(e.retryable, 0);
        return e.message;
    }
    return "";
}

}  // namespace

TEST(Options, LookupsNeverAdd) {
    JobHarness h;
    EXPECT_EQ(h.job.getOption("userid"), "");
    EXPECT_FALSE(h.job.hasOption("userid"));
    EXPECT_EQ(h.job.getOption("port"), "119");
    EXPECT_EQ(h.job.getOption("lines"), "2500");
    EXPECT_EQ(readSettings(h.job).maxRetries, 60) << "unless the defaults file says otherwise";
    EXPECT_FALSE(h.job.hasOption("max_retries"));
}

TEST(Options, LetterDispatchLooksOnlyAtTheCharactersItNeeds) {
    TempDir dir;
    JobHarness h;
    parseAll(h.job, {"-fr", "F", "-folder", "D", "-subj", "S1", "-subjectf", "SF", "-s", "SEP", "-po", "563",
                     "-p", "PW", "-th", "1000", "-uid", "U", "-verbose", "3", "-n", "G", "-h", "H", "-r", "R",
                     "-i", "I", "-l", "10"});
    using Table = std::map<std::string, std::string>;
    EXPECT_EQ(h.job.options, (Table{{"from", "F"}, {"folder", "D"}, {"subject", "S1"}, {"subjectformat", "SF"},
                                    {"seperator", "SEP"}, {"port", "563"}, {"password", "PW"}, {"throttle", "1000"},
                                    {"userid", "U"}, {"newsgroups", "G"}, {"hostname", "H"}, {"references", "R"},
                                    {"introtextfile", "I"}, {"lines", "10"}}));
    EXPECT_EQ(h.job.verbosity, 3);

    // "-subject" (8 characters) is the subject; "-subjectX" with X = f the format.
    JobHarness h2;
    parseAll(h2.job, {"-subject", "A", "-subjectformat", "B", "-sep", "C", "-password", "D", "-passwd", "E"});
    EXPECT_EQ(h2.job.options, (Table{{"subject", "A"}, {"subjectformat", "B"}, {"seperator", "C"},
                                     {"password", "E"}, {"port", "119"}, {"lines", "2500"}}));
}

TEST(Options, UnknownOptionsAreReportedAndSkipped) {
    JobHarness h;
    parseAll(h.job, {"-X", "--from", "-", "-z"});
    EXPECT_EQ(h.log.str(),
              "Invalid argument: -X\nInvalid argument: --from\nInvalid argument: -\nInvalid argument: -z\n");
    EXPECT_TRUE(h.job.files.empty());
}

TEST(Options, EmptyValueRemovesTheOptionAndMissingValuesFail) {
    JobHarness h;
    h.job.options["from"] = "from-defaults";
    parseAll(h.job, {"-from", ""});
    EXPECT_FALSE(h.job.hasOption("from"));

    for (const char* last : {"-from", "-v", "-lines", "-o"}) {
        JobHarness j;
        Args a{last};
        try {
            parseArgument(j.job, 1, a.argv() + 1);
            ADD_FAILURE() << last;
        } catch (const Kelvo_Exception& e) {
            EXPECT_EQ(e.retryable, 0);
            EXPECT_EQ(e.message, "invalid arguments");
        }
    }
    // "-text" last also prints the usage text first.
    JobHarness t;
    Args a{"-text"};
    EXPECT_THROW(parseArgument(t.job, 1, a.argv() + 1), Kelvo_Exception);
    EXPECT_EQ(t.log.str(), usageText());
}

TEST(Options, EncodingAppliesToTheFilesAfterItAndUuteaseChangesOnlyTheFirst) {
    TempDir dir;
    for (const char* f : {"a.jpg", "b.jpg", "c.gif", "d.gif", "t.txt"}) writeFile(f, "x");
    JobHarness h;
    parseAll(h.job, {"-yenc", "a.jpg", "-uuencode", "b.jpg", "*.gif", "-text", "t.txt", "-y", "t.txt"});
    ASSERT_EQ(h.job.files.size(), 6u);
    EXPECT_EQ(h.job.files[0].encoding, kYenc);
    EXPECT_EQ(h.job.files[1].encoding, kUuencode);
    EXPECT_EQ(h.job.files[2].name, "c.gif");
    EXPECT_EQ(h.job.files[2].encoding, kUuencode);
    EXPECT_EQ(h.job.files[3].name, "d.gif");
    EXPECT_EQ(h.job.files[4].encoding, kText);
    EXPECT_EQ(h.job.files[5].encoding, kYenc);

    // uutease: a "-text" file first is posted uuencoded when the job is yEnc ...
    JobHarness u(true, true, /*uutease=*/true);
    Args a = Args{"-from", "f", "-subject", "s", "-newsgroups", "g", "-hostname", "h", "-text", "t.txt", "a.jpg"};
    parseArguments(u.job, a.argc(), a.argv());
    EXPECT_EQ(u.job.files[0].encoding, kUuencode);
    EXPECT_EQ(u.job.files[1].encoding, kYenc);
    // ... and changes nothing when the job encoding is uuencode.
    JobHarness v(true, true, true);
    Args b = Args{"-from", "f", "-subject", "s", "-newsgroups", "g", "-hostname", "h", "-uuencode", "-text", "t.txt"};
    parseArguments(v.job, b.argc(), b.argv());
    EXPECT_EQ(v.job.files[0].encoding, kText);
}

TEST(Options, MasksExpandWithQuestionMarksAndDirectoryParts) {
    TempDir dir;
    std::filesystem::create_directory("pics");
    for (const char* f : {"pics/a1.jpg", "pics/a2.jpg", "pics/a10.jpg", "x1.jpg"}) writeFile(f, "x");
    JobHarness h;
    EXPECT_EQ(expandWildcards(h.job, "x?.jpg"), std::vector<std::string>{"x1.jpg"});
    // Names keep their folder, so the job check finds them from here.
    EXPECT_EQ(expandWildcards(h.job, "pics/a?.jpg"), (std::vector<std::string>{"pics/a1.jpg", "pics/a2.jpg"}));
    EXPECT_EQ(expandWildcards(h.job, "plain-name.jpg"), std::vector<std::string>{"plain-name.jpg"});
    EXPECT_TRUE(h.log.str().empty());

    // No match, or folders only: the search itself worked, so no error number.
    EXPECT_TRUE(expandWildcards(h.job, "*.png").empty());
    EXPECT_TRUE(expandWildcards(h.job, "pic*").empty());
    EXPECT_EQ(h.log.str(), "No files match *.png\nNo files match pic*\n");
    EXPECT_TRUE(expandWildcards(h.job, "missing/*.jpg").empty());
    EXPECT_THAT(h.log.str(), testing::EndsWith("Failed to find any files matching missing/*.jpg err=2\n"));
}

TEST(Options, PartsSuffixSelectsPartsUnlessTheWholeArgumentIsAFile) {
    TempDir dir;
    writeFile("photo.jpg", "x");
    writeFile("odd:1", "x");
    JobHarness h;
    parseAll(h.job, {"photo.jpg:2,5-7", "photo.jpg:", "odd:1", "photo.jpg:x"});
    ASSERT_EQ(h.job.files.size(), 4u);
    EXPECT_EQ(h.job.files[0].name, "photo.jpg");
    EXPECT_EQ(h.job.files[0].parts, (std::vector<int>{2, 5, 6, 7}));
    EXPECT_EQ(h.job.files[1].name, "photo.jpg");
    EXPECT_TRUE(h.job.files[1].parts.empty());
    EXPECT_EQ(h.job.files[2].name, "odd:1");
    EXPECT_EQ(h.job.files[3].name, "photo.jpg:x");

    std::string name;
    std::vector<int> parts;
    for (const char* bad : {"a:0", "a:3-1", "a:1,", "a:,1", "a:1--2", ":1"})
        EXPECT_FALSE(splitPartsSuffix(bad, name, parts)) << bad;
}

TEST(JobCheck, ReportsMissingOptionsAndFilesInOrder) {
    TempDir dir;
    JobHarness h;
    EXPECT_EQ(refusal(h.job),
              "You must provide a from parameter.\nYou must provide a subject parameter.\n"
              "You must provide a newsgroups parameter.\nYou must provide a hostname parameter.\n");
    EXPECT_EQ(h.log.str(), "");  // no files: no usage text

    writeFile("here.jpg", "abc");
    JobHarness j;
    require(j.job);
    j.job.files = {{"gone.jpg", kYenc, {}, 0, false, {}}, {"here.jpg", kYenc, {}, 0, false, {}}, {".", kYenc, {}, 0, false, {}}};
    EXPECT_EQ(refusal(j.job), "File gone.jpg not found!\nFile . not found!\n");
    EXPECT_EQ(j.log.str(), usageText());
    EXPECT_EQ(j.job.files[1].size, 3u);
}

TEST(JobCheck, RefusesLineCountsAndPortsOutOfRange) {
    const struct {
        const char* key;
        const char* value;
        const char* message;  // nullptr: accepted
    } cases[] = {
        {"lines", "0", "lines value"},     {"lines", "-5", "lines value"},     {"lines", "abc", "lines value"},
        {"lines", "100001", "lines value"}, {"lines", "100000", nullptr},      {"port", "78906", "port value"},
        {"port", "0", "port value"},       {"port", "-119", "port value"},    {"port", "65536", "port value"},
        {"port", "65535", nullptr},        {"port", "1", nullptr},
        {"connections", "0", "connections value"}, {"connections", "65", "connections value"},
        {"connections", "x", "connections value"}, {"connections", "64", nullptr},
        // Extension options take whole numbers: trailing junk is refused, naming the option.
        {"connections", "8x", "connections value \"8x\""}, {"checkdelay", "abc", "checkdelay value \"abc\""},
        {"checkdelay", "0", nullptr}, {"par2", "10x", "par2 value \"10x\""}, {"par2", "101", "par2 value"},
        {"par2blocksize", "1002", "multiple of 4"}, {"par2memory", "8", "par2memory value"},
    };
    for (const auto& c : cases) {
        JobHarness h;
        require(h.job);
        h.job.options[c.key] = c.value;
        const std::string message = refusal(h.job);
        if (!c.message) {
            EXPECT_EQ(message, "") << c.key << " " << c.value;
        } else if (std::string(c.key) == "port") {
            EXPECT_EQ(message, std::string("The port value \"") + c.value + "\" must be a number from 1 to 65535.\n");
        } else {
            EXPECT_THAT(message, HasSubstr(c.message)) << c.value;
        }
    }
}

TEST(JobCheck, FilesOfAnySizeAndUnreadableOnesSkipped) {
    TempDir dir;
    {
        std::ofstream big("big.bin");
    }
    ASSERT_EQ(truncate("big.bin", 5LL << 30), 0);  // sparse: costs no disk
    writeFile("locked.bin", "x");
    chmod("locked.bin", 0);
    const bool root = access("locked.bin", R_OK) == 0;  // root reads it all the same
    JobHarness h;
    require(h.job);
    h.job.files = {{"big.bin", kYenc, {}, 0, false, {}}, {"locked.bin", kYenc, {}, 0, false, {}}};
    EXPECT_EQ(refusal(h.job), "");
    EXPECT_EQ(h.job.files[0].size, 5ull << 30);
    if (!root) {
        EXPECT_EQ(h.job.files.size(), 1u);
        EXPECT_THAT(h.log.str(), HasSubstr("File locked.bin cannot be read ("));
        EXPECT_EQ(h.job.totals.skipped, 1u);
    }
}

TEST(Summary, HeaderLinesFileListAndTotal) {
    TempDir dir;
    writeFile("a.jpg", std::string(10, 'x'));
    writeFile("b.txt", std::string(5, 'x'));
    JobHarness h;
    Args a{"-from", "me", "-subject", "subj", "-newsgroups", "g", "-hostname", "h", "-introtextfile", "it",
           "-v", "2", "a.jpg", "-text", "b.txt"};
    parseArguments(h.job, a.argc(), a.argv());
    EXPECT_EQ(h.log.str(),
              "  From       : me\n  Subject    : subj\n  Newsgroups : g\n  References : \n  Intro text : it\n"
              "Files:\na.jpg\t(10 bytes)\t (yencode)\nb.txt\t(5 bytes)\t (as text)\nTotal: 15 bytes\n\n");

    JobHarness quiet(/*printHeader=*/false);
    Args b{"-from", "me", "-subject", "subj", "-newsgroups", "g", "-hostname", "h", "a.jpg"};
    parseArguments(quiet.job, b.argc(), b.argv());
    EXPECT_EQ(quiet.log.str(), "");
}

TEST(Usage, NamesEveryOptionAndTheDefaultsFile) {
    setenv("SystemRoot", "/etc/tskivo", 1);
    const std::string usage = usageText();
    unsetenv("SystemRoot");
    EXPECT_THAT(usage, testing::StartsWith("\nUsage: pelmor [options] file1[:parts] ...\n  Valid options:\n"));
    EXPECT_THAT(usage, HasSubstr("\n    -defaults                  - write settings to /etc/tskivo/pelmor.ini\n"
                                 "    -?                         - print this help\n\n"));
    for (const char* option : {"-from", "-newsgroups", "-subject", "-subjectformat", "-hostname", "-port",
                               "-encrypt", "-noencrypt", "-connections", "-check", "-checkdelay", "-resume",
                               "-userid", "-passwd", "-lines", "-throttle", "-references", "-text", "-uuencode",
                               "-yenc", "-introtextfile", "-folder", "-seperator", "-out", "-par2", "-par2files",
                               "-par2equal", "-par2blocks", "-par2blocksize", "-par2memory", "-par2name", "-v"})
        EXPECT_THAT(usage, HasSubstr("\n    " + std::string(option) + " ")) << option;
}

TEST(Defaults, FileRoundTripsEveryOptionAndIsOwnerOnly) {
    TempDir dir;
    writeFile("pelmor.ini",
              "xheaders\tX-One: 1\tX-Two: 2\n"
              "encoding\tuu\n"
              "verbosity\t3\n"
              "hostname news.example\n"
              "three words here\n"
              "custom\t\n"
              "password\t" + std::string(400, 'p') + "\n");
    JobHarness h;
    readDefaults(h.job, "pelmor.ini");
    EXPECT_EQ(h.job.options.at("xheaders"), "X-One: 1\nX-Two: 2");
    EXPECT_EQ(h.job.encoding, kUuencode);
    EXPECT_EQ(h.job.verbosity, 3);
    EXPECT_EQ(h.job.options.at("hostname"), "news.example");
    EXPECT_FALSE(h.job.hasOption("three"));
    EXPECT_EQ(h.job.options.at("custom"), "");
    EXPECT_EQ(h.job.options.at("password"), std::string(400, 'p'));  // long lines stay whole

    chmod("pelmor.ini", 0644);
    writeDefaultsFile(h.job, "pelmor.ini");
    EXPECT_EQ(readFile("pelmor.ini"),
              "custom\t\nhostname\tnews.example\nlines\t2500\npassword\t" + std::string(400, 'p') +
                  "\nport\t119\nxheaders\tX-One: 1\tX-Two: 2\nencoding\tuu\nverbosity\t3\n");
    struct stat st {};
    ASSERT_EQ(stat("pelmor.ini", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    JobHarness upper;
    writeFile("u.ini", "encoding\tUU\n");
    upper.job.encoding = kUuencode;
    readDefaults(upper.job, "u.ini");
    EXPECT_EQ(upper.job.encoding, kYenc);
    // A text job encoding is stored as yEnc.
    upper.job.encoding = kText;
    writeDefaultsFile(upper.job, "t.ini");
    EXPECT_THAT(readFile("t.ini"), HasSubstr("encoding\tyenc\n"));
}

TEST(Defaults, WrittenBeforeTheCheckSoAFailingJobStillSavesThem) {
    TempDir dir;
    JobHarness h;
    h.job.defaultsPath = dir / "cfg/pelmor.ini";
    Args a{"-from", "me", "-defaults"};
    EXPECT_THROW(parseArguments(h.job, a.argc(), a.argv()), Kelvo_Exception);
    EXPECT_THAT(readFile(h.job.defaultsPath), HasSubstr("from\tme\n"));
    EXPECT_FALSE(h.job.writeDefaults);
}

TEST(Defaults, TlsIsStorableAndUndoneByNoencryptButTheNzbPathNever) {
    TempDir dir;
    JobHarness h;
    h.job.defaultsPath = dir / "pelmor.ini";
    Args a{"-encrypt", "-o", "job.nzb", "-from", "me", "-defaults"};
    EXPECT_THROW(parseArguments(h.job, a.argc(), a.argv()), Kelvo_Exception);
    const std::string stored = readFile(h.job.defaultsPath);
    EXPECT_THAT(stored, HasSubstr("encrypt\t1\n"));
    EXPECT_THAT(stored, testing::Not(HasSubstr("out")));
    // A defaults file of an older version that holds one is not obeyed.
    writeFile(h.job.defaultsPath, stored + "out\told.nzb\n");
    JobHarness next;
    readDefaults(next.job, h.job.defaultsPath);
    EXPECT_TRUE(next.job.hasOption("encrypt"));
    EXPECT_FALSE(next.job.hasOption("out"));
    // "-noencrypt" as a whole word, not "-newsgroups" by its second letter.
    Args off{"-noencrypt"};
    EXPECT_EQ(parseArgument(next.job, 1, off.argv() + 1), 1);
    EXPECT_FALSE(next.job.hasOption("encrypt"));
    EXPECT_FALSE(next.job.hasOption("newsgroups"));
    // "-connections" likewise; it is a default like the others.
    Args conn{"-connections", "8", "-defaults"};
    next.job.defaultsPath = dir / "next.ini";
    EXPECT_THROW(parseArguments(next.job, conn.argc(), conn.argv()), Kelvo_Exception);
    EXPECT_EQ(readSettings(next.job).connections, 8);
    EXPECT_THAT(readFile(dir / "next.ini"), HasSubstr("connections\t8\n"));
    Args shortForm{"-conn", "8"};
    JobHarness third;
    EXPECT_EQ(parseArgument(third.job, 2, shortForm.argv() + 1), 1);
    EXPECT_THAT(third.log.str(), HasSubstr("Invalid argument: -conn"));
}

TEST(Defaults, PathFollowsSystemRootThenXdg) {
    setenv("SystemRoot", "/sr", 1);
    EXPECT_EQ(defaultsFilePath(), "/sr/pelmor.ini");
    unsetenv("SystemRoot");
    setenv("XDG_CONFIG_HOME", "/xdg", 1);
    EXPECT_EQ(defaultsFilePath(), "/xdg/pelmor.ini");
    unsetenv("XDG_CONFIG_HOME");
    const std::string home = common::environment("HOME").value_or("");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(defaultsFilePath(), "/home/u/.config/pelmor.ini");
    setenv("HOME", home.c_str(), 1);
}

TEST(Options, QuestionMarkPrintsUsageAndEndsWithZero) {
    JobHarness h;
    Args a{"-?"};
    try {
        parseArgument(h.job, 1, a.argv() + 1);
        FAIL();
    } catch (const ProcessExit& e) {
        EXPECT_EQ(e.status, 0);
    }
    EXPECT_EQ(h.log.str(), usageText());
}
