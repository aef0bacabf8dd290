#include "run_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

using namespace tskivo;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

RunOptions parse(std::vector<std::string> extra, const std::string& initial = "/nowhere",
                 std::optional<std::string> envPassword = std::nullopt) {
    std::vector<std::string> args{"tskivo", "Me <me@x.org>", "Fav. pix", "/pics", "alt.test", "news.x"};
    args.insert(args.end(), extra.begin(), extra.end());
    RunOptions o;
    EXPECT_TRUE(parseRunOptions(args, initial, envPassword, o));
    return o;
}

std::string usage() {
    std::ostringstream s;
    printRunnerUsage(s);
    return s.str();
}

}  // namespace

TEST(RunOptions, TooFewArgumentsMeanUsage) {
    RunOptions o;
    EXPECT_FALSE(parseRunOptions({"tskivo", "a", "b", "c", "d"}, "/", std::nullopt, o));
    EXPECT_TRUE(parseRunOptions({"tskivo", "a", "b", "c", "d", "e"}, "/", std::nullopt, o));
}

TEST(RunOptions, SwitchesMatchByPrefixAnywhereAndFirstMatchWins) {
    RunOptions o = parse({"/UUENCODE", "/icsX", "/fs=first", "/fs=second"});
    EXPECT_TRUE(o.uuencode);
    EXPECT_TRUE(o.contactSheets);
    EXPECT_FALSE(o.uutease);
    EXPECT_EQ(o.folderSeparator, "first");
    std::vector<std::string> args{"tskivo", "/scramble", "/nfl subject", "/pics", "g", "s"};
    ASSERT_TRUE(parseRunOptions(args, "/", std::nullopt, o));
    EXPECT_TRUE(o.scramble);
    EXPECT_TRUE(o.nonFolderLike);
}

TEST(RunOptions, ReferenceAndFileMaskRules) {
    const struct {
        std::vector<std::string> extra;
        const char* reference;
        const char* mask;
    } cases[] = {
        {{}, "", "*.*"}, {{"*.jpg"}, "", "*.jpg"}, {{"", "*.jpg"}, "", "*.jpg"}, {{"/maxbw=32"}, "", "*.*"},
        {{"/nfl"}, "", "*.*"}, {{"/conn=8", "*.jpg"}, "", "*.jpg"}, {{"<abc@x>", "*.gif"}, "<abc@x>", "*.gif"}, {{"<a@b>", "*<x>"}, "<a@b>", "*.*"},
        {{"<a@b>", "one.jpg"}, "<a@b>", "*.*"}, {{"x", "a?.jpg"}, "x", "a?.jpg"},
        // Sixth arguments that are never a reference: the References header
        // is public, no Message-ID starts with "/", and option words are
        // matched without regard to case.
        {{"/UUTEASE"}, "", "*.*"}, {{"/p=secret"}, "", "*.*"}, {{"/P=secret"}, "", "*.*"}, {{"/u=joe"}, "", "*.*"},
        {{"/U=joe"}, "", "*.*"}, {{"/MAXBW=8"}, "", "*.*"}, {{"/MaxBw=8"}, "", "*.*"}, {{"/uuTease"}, "", "*.*"},
        // A mask holds none of < > @ (those mark an address or Message-ID).
        {{"", "a*b@x"}, "", "*.*"}, {{"", "*<x"}, "", "*.*"}, {{"", "x>*"}, "", "*.*"}};
    for (const auto& c : cases) {
        const RunOptions o = parse(c.extra);
        EXPECT_EQ(o.reference, c.reference) << testing::PrintToString(c.extra);
        EXPECT_EQ(o.fileMask, c.mask) << testing::PrintToString(c.extra);
    }
    EXPECT_EQ(*parse({"/maxbw=32"}).maxBandwidth, 32);
    EXPECT_TRUE(parse({"/nfl"}).nonFolderLike);
}

TEST(RunOptions, RangesOfPortAndBandwidth) {
    EXPECT_EQ(*parse({"/port=563"}).port, 563);
    EXPECT_EQ(*parse({"/port=65535"}).port, 65535);
    for (const char* bad : {"/port=78906", "/port=0", "/port=-1", "/port=x"}) {
        const RunOptions o = parse({bad});
        EXPECT_FALSE(o.port) << bad;
        EXPECT_THAT(o.error, testing::HasSubstr("must be a number from 1 to 65535")) << bad;
    }
    // Connections: passed on above 1, refused outside 1 to 64.
    EXPECT_EQ(parse({"/conn=8"}).connections, 8);
    const auto eight = buildEngineArgs(parse({"/conn=8"}), 0, "");
    const auto conn = std::find(eight.begin(), eight.end(), "-connections");
    ASSERT_NE(conn, eight.end());
    EXPECT_EQ(*(conn + 1), "8");
    const auto one = buildEngineArgs(parse({"/conn=1"}), 0, "");
    EXPECT_EQ(std::find(one.begin(), one.end(), "-connections"), one.end());
    for (const char* bad : {"/conn=0", "/conn=65", "/conn=many"})
        EXPECT_THAT(parse({bad}).error, testing::HasSubstr("must be a number from 1 to 64")) << bad;
    // /check and /resume pass on; /resume needs the NZB file it resumes from.
    const auto checked = buildEngineArgs(parse({"/check", "/resume", "/nzb=/x/a.nzb"}), 0, "");
    EXPECT_NE(std::find(checked.begin(), checked.end(), "-check"), checked.end());
    EXPECT_NE(std::find(checked.begin(), checked.end(), "-resume"), checked.end());
    EXPECT_THAT(parse({"/resume"}).error, testing::HasSubstr("/resume needs /nzb="));
}

TEST(RunOptions, Par2Options) {
    const RunOptions o = parse({"/par2=10", "/par2files=4", "/par2equal", "/par2blocks=500", "/par2blocksize=4096"});
    EXPECT_TRUE(o.error.empty()) << o.error;
    EXPECT_EQ(o.par2Percent, 10);
    EXPECT_EQ(o.par2Files, 4);
    EXPECT_TRUE(o.par2Equal);
    EXPECT_EQ(o.par2Blocks, 500u);
    EXPECT_EQ(o.par2BlockSize, 4096u);
    EXPECT_EQ(parse({}).par2Percent, 0) << "off when absent";
    for (const char* bad : {"/par2=0", "/par2=101", "/par2=ten", "/par2=10x", "/par2blocks=32769",
                            "/par2blocksize=6", "/par2files=0", "/conn=8x", "/conn=0", "/port=119x"})
        EXPECT_FALSE(parse({bad}).error.empty()) << bad;
    // Kilobytes that would overflow once made bytes are clamped, not wrapped.
    EXPECT_EQ(*parse({"/maxbw=9007199254740992"}).maxBandwidth, kMaxBandwidthKb);
    const auto args = buildEngineArgs(parse({"/maxbw=9007199254740992"}), 0, "");
    const auto at = std::find(args.begin(), args.end(), "-throttle");
    ASSERT_NE(at, args.end());
    EXPECT_EQ(*(at + 1), std::to_string(kMaxBandwidthKb * 1024));
}

TEST(RunOptions, ColoursNumbersAndFiles) {
    TempDir dir;
    writeFile("logo.png", "x");
    RunOptions o = parse({"/fc=FF8000", "/bc=ff", "/al=logo.png", "/bi=missing.png", "/itf=logo.png"}, dir.path());
    EXPECT_EQ(o.fontColour.rgbRed, 255);
    EXPECT_EQ(o.fontColour.rgbGreen, 128);
    EXPECT_EQ(o.fontColour.rgbBlue, 0);
    EXPECT_EQ(o.backgroundColour.rgbBlue, 255);
    EXPECT_EQ(o.backgroundColour.rgbRed, 0);
    EXPECT_EQ(*o.authorLogo, dir / "logo.png");  // absolute: still found from the folders below
    EXPECT_FALSE(o.backgroundImage);
    EXPECT_EQ(*o.introTextFile, dir / "logo.png");
    o = parse({"/bc=1FFFFFF", "/fc=0x12"});
    EXPECT_EQ(o.backgroundColour.rgbRed, 255);
    EXPECT_EQ(o.backgroundColour.rgbGreen, 255);
    EXPECT_EQ(o.backgroundColour.rgbBlue, 255);
    EXPECT_EQ(o.fontColour.rgbRed + o.fontColour.rgbGreen + o.fontColour.rgbBlue, 0);
    o = parse({});
    EXPECT_EQ(o.backgroundColour.rgbRed, 255);
    EXPECT_EQ(o.fontColour.rgbRed, 0);
    EXPECT_FALSE(parse({"/maxbw=0"}).maxBandwidth);
    EXPECT_FALSE(parse({"/maxlines=-3"}).maxLines);
}

TEST(RunOptions, PasswordFromTheEnvironmentWhenNotOnTheCommandLine) {
    EXPECT_EQ(*parse({"/u=joe"}, "/", std::string("envpw")).password, "envpw");
    EXPECT_EQ(*parse({"/u=joe", "/p=cli"}, "/", std::string("envpw")).password, "cli");
    EXPECT_FALSE(parse({"/u=joe"}).password);
}

TEST(EngineArgs, TheSeventeenEntriesInOrder) {
    RunOptions o = parse({"\"\"", "*.jpg", "/fs=\\"});
    o.reference = "";
    EXPECT_THAT(buildEngineArgs(o, 0, ""),
                ElementsAre("tskivo", "-from", "Me <me@x.org>", "-subject", "Fav. pix .\\", "-newsgroups", "alt.test",
                            "-hostname", "news.x", "-references", "", "-lines", "2500", "-verbose", "1", "-yenc",
                            "-folder", "", "-seperator", "\\\\", "*.jpg"));
    EXPECT_EQ(buildEngineArgs(o, 0, "").size(), 21u);
}

TEST(EngineArgs, OptionalEntriesAndExtensions) {
    TempDir dir;
    writeFile("intro.txt", "hi");
    RunOptions o = parse({"<r@x>", "/scramble", "/sf=$D $F", "/maxbw=32", "/uuencode", "/itf=intro.txt", "/u=joe",
                          "/p=pw", "/ssl", "/nzb=out.nzb", "/fs= - "},
                         dir.path());
    EXPECT_THAT(buildEngineArgs(o, 2, "gc\\a"),
                ElementsAreArray(std::vector<std::string>{
                    "tskivo", "-from", kPlaceholderAuthor, "-subject", "$D $F", "-subjectformat", "$D $F",
                    "-newsgroups", "alt.test", "-hostname", "news.x", "-references", "<r@x>", "-lines", "4060",
                    "-throttle", "32768", "-verbose", "1", "-uuencode", "-folder", "gc\\a", "-seperator", " - ",
                    "-introtextfile", dir / "intro.txt", "-userid", "joe", "-password", "pw", "-port", "563",
                    "-encrypt", "-o", dir / "out.nzb", "*.*"}));
    o = parse({"/maxlines=3000", "/uuencode", "/u=joe", "/port=8119"});
    const auto v = buildEngineArgs(o, 0, "");
    EXPECT_EQ(v[12], "3000");
    EXPECT_EQ(std::count(v.begin(), v.end(), "-userid"), 0);  // no password: no login
    EXPECT_THAT(v, testing::Contains("8119"));
    EXPECT_THAT(v, testing::Not(testing::Contains("-encrypt")));
}

TEST(EngineArgs, BackupsProxyPrivacyAndNzbDetails) {
    TempDir dir;
    writeFile("intro.txt", "hi");
    RunOptions o;
    ASSERT_TRUE(parseRunOptions({"tskivo", "Me <me@x.org>", "S", "/pics", "g", "news.x", "", "/backup=b1:8119",
                                 "/backupuser=ann", "/backupssl", "/backup=b2", "/backupuser=bob",
                                 "/backuppass=own", "/checkserver=c:119", "/proxy=socks5://p:1080",
                                 "/obfuscate", "/ics", "/itf=intro.txt", "/nzbtitle=T", "/nzbtag=a", "/nzbtag=b",
                                 "/domain=d.example", "/after=true"},
                                dir.path(), std::nullopt, o, std::string("fromenv")));
    const auto v = buildEngineArgs(o, 0, "");
    const auto from = std::find(v.begin(), v.end(), "-backup");
    ASSERT_NE(from, v.end());
    // Each backup's log-in after it; the environment's password where none is given.
    EXPECT_THAT(std::vector<std::string>(from, from + 13),
                ElementsAre("-backup", "b1:8119", "-backupuser", "ann", "-backuppass", "fromenv", "-backupssl",
                            "-backup", "b2", "-backupuser", "bob", "-backuppass", "own"));
    for (const char* word : {"-checkserver", "-proxy", "-obfuscate", "-nzbtitle", "-domain"})
        EXPECT_THAT(v, testing::Contains(word));
    EXPECT_EQ(std::count(v.begin(), v.end(), "-nzbtag"), 2);
    EXPECT_THAT(v, testing::Not(testing::Contains("-check"))) << "/checkserver= is not /check";
    EXPECT_THAT(v, testing::Not(testing::Contains("-introtextfile"))) << "private: no intro text";
    EXPECT_FALSE(o.contactSheets);
    EXPECT_EQ(o.after, "true");
    // "=keep" keeps them; a log-in option without a backup is an error.
    o = parse({"/ics", "/itf=intro.txt", "/obfuscate=keep"}, dir.path());
    EXPECT_TRUE(o.obfuscate && o.contactSheets && o.introTextFile);
    EXPECT_EQ(parse({"/backupuser=x"}).error, "/backupuser needs a /backup= before it.");
    // An archive's options; its password and volume size without it are a slip.
    o = parse({"/archive", "/password=open sesame", "/volume=20"});
    EXPECT_TRUE(o.archive);
    EXPECT_EQ(o.archivePassword, "open sesame");
    EXPECT_EQ(o.volumeMiB, 20u);
    EXPECT_TRUE(o.unknown.empty());
    EXPECT_EQ(parse({"/password=x"}).error, "/password= and /volume= go with /archive.");
    // The post check's asks before posting again, and their spacing.
    const auto asks = buildEngineArgs(parse({"/check", "/checkasks=6", "/checkspacing=20"}), 0, "");
    const auto at = std::find(asks.begin(), asks.end(), "-checkasks");
    ASSERT_NE(at, asks.end());
    EXPECT_THAT(std::vector<std::string>(at, at + 4), ElementsAre("-checkasks", "6", "-checkspacing", "20"));
}

TEST(Labels, FolderLikeAndNonFolderLike) {
    RunOptions o = parse({});
    EXPECT_EQ(relativePath("/pics", "/pics"), "");
    EXPECT_EQ(relativePath("/pics", "/pics/gc/a"), "gc\\a");
    EXPECT_EQ(folderLabel(o, 0, ""), " .\\");
    EXPECT_EQ(folderLabel(o, 1, "gc"), " .\\gc\\");
    EXPECT_EQ(folderLabel(o, 2, "gc\\a"), " .\\gc\\a\\");
    EXPECT_EQ(folderLabel(o, 3, ""), "");
    o.nonFolderLike = true;
    EXPECT_EQ(folderLabel(o, 0, ""), " - '");
    EXPECT_EQ(folderLabel(o, 2, "gc\\a"), " - 'gc\\a'");
}

TEST(Usage, RunnerTextLines) {
    const std::string u = usage();
    EXPECT_THAT(u, testing::StartsWith("\n  Usage:\n    TSKIVO <from|/scramble> <subject> <directory> <newsgroups> "
                                       "<newserver>\n              [reference] [filemask] [/uutease]"));
    EXPECT_THAT(u, testing::HasSubstr("name\n                      <john.doe@example.com> or /scramble. /scramble "
                                      "forces\n                      random generation of From and Sender addresses.\n"));
    EXPECT_THAT(u, testing::HasSubstr("    [/sf=<format>]  = Subject format. $D = directory\n"
                                      "                                      $B = bytes\n"));
    EXPECT_THAT(u, testing::HasSubstr("\n  Examples: tskivo \""));
    EXPECT_THAT(u, testing::HasSubstr("TSKIVO_PASSWORD"));
}
