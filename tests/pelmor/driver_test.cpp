#include "post/run.h"
#include "post/message_id.h"
#include "post/article.h"
#include "post/reporter.h"
#include "post/recovery_set.h"
#include "codec/crc32.h"
#include "job/settings.h"
#include "par2/par2_create.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <map>
#include <set>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "codec/encoder.h"
#include "common/utf8.h"
#include "fake_nntp_server.h"
#include "posting_run.h"
#include "kelvo_exception.h"
#include "test_support.h"

using namespace pelmor;
using testing::HasSubstr;
using testing_support::Args;
using testing_support::JobHarness;
using testing_support::randomBytes;
using testing_support::ScriptedNntpServer;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

// The driver's jobs: one sender, subject and group.
struct RunHarness : testing_support::PostingRun {
    explicit RunHarness(bool printHeader = false, bool threadPosts = true, bool uutease = false, bool scramble = false)
        : PostingRunOn({"-from", "Me <me@example.org>", "-subject", "Trip", "-newsgroups", "alt.test"}, printHeader,
                     threadPosts, uutease, scramble) {}
    std::vector<testing_support::ReceivedArticle> articles() { return server.server().articles(); }
};

}  // namespace

TEST(Driver, ProgressLinesDotsAndThroughput) {
    RunHarness h;
    writeFile("one.jpg", "small");
    writeFile("five.jpg", randomBytes(128 * 2 * 5, 3));
    h.run({"-lines", "2", "one.jpg", "five.jpg"});
    const std::string log = h.log.str();
    EXPECT_THAT(log, testing::StartsWith("    Trip [1/2] 5 bytes - yEnc \"one.jpg\" (1/1) \n"
                                         "    Trip [2/2] 1280 bytes - yEnc \"five.jpg\" (*/5) .....\n"
                                         "\n    "));
    EXPECT_TRUE(std::regex_search(log, std::regex("\n    [0-9]+ bytes posted, throughput: [0-9]+ bytes/sec\\.\n\n$")))
        << log;
    ASSERT_EQ(h.articles().size(), 6u);
    EXPECT_EQ(h.articles()[3].header("Subject"), "Trip [2/2] 1280 bytes - yEnc \"five.jpg\" (3/5)");
    // Bodies arrive exactly as encoded.
    YencEncoder e("five.jpg", 2);
    std::vector<char> buffer(e.encodedSizeBound());
    ASSERT_TRUE(e.encodePart(3, buffer.data(), buffer.size(), 5));
    EXPECT_EQ(h.articles()[3].body(), std::string(buffer.data(), e.encodedLength()) + "\r\n");

    RunHarness quiet(true);
    writeFile("two.jpg", randomBytes(300, 1));
    quiet.run({"-v", "0", "-lines", "1", "two.jpg"});
    EXPECT_EQ(quiet.log.str(), "  News server: 127.0.0.1\n  Port       : " + std::to_string(quiet.server.port()) +
                                   "\n\n...\n");
}

TEST(Driver, WithItsOwnHeaderTheProgressIsIndentedByTwo) {
    RunHarness h(true);
    writeFile("one.jpg", "small");
    h.run({"one.jpg"});
    const std::string log = h.log.str();
    EXPECT_THAT(log, HasSubstr("\n  Trip 5 bytes - yEnc \"one.jpg\" (1/1) \n"));
    EXPECT_TRUE(std::regex_search(log, std::regex("\n\n  [0-9]+ bytes posted, throughput: [0-9]+ bytes/sec\\.\n\n$")))
        << log;
}

TEST(Driver, RetriesAfterAMinuteWithFreshMessageIds) {
    RunHarness h;
    writeFile("a.jpg", "abc");
    h.server.script->articleReplies = {"441 refused", "441 refused again"};
    h.run({"a.jpg"});
    EXPECT_EQ(h.clock.sleeps, (std::vector<std::uint32_t>{60000, 60000}));
    const std::string log = h.log.str();
    // The server's own words come first: the message leaves them out.
    EXPECT_THAT(log, HasSubstr("The server said: 441 refused\n"
                               "Caught exception Bad result at end of POST\nNonfatal; we'll try again, waiting 1min.\n"
                               "The server said: 441 refused again\n"
                               "Caught exception Bad result at end of POST\nNonfatal; we'll try again, waiting 1min.\n"));
    const auto articles = h.articles();
    ASSERT_EQ(articles.size(), 3u);
    std::set<std::string> ids;
    for (const auto& a : articles) ids.insert(a.header("Message-ID"));
    EXPECT_EQ(ids.size(), 3u);
    for (const auto& id : ids) EXPECT_TRUE(std::regex_match(id, std::regex("<[A-Fa-j]{32}@tarvel-skivor\\.example\\.org>"))) << id;
    EXPECT_EQ(articles[0].header("Subject"), articles[2].header("Subject"));
}

TEST(Driver, GivesUpAfterMaxRetries) {
    RunHarness h;
    writeFile("a.jpg", "abc");
    h.job.options["max_retries"] = "1";
    h.server.script->articleReplies = {"441 no"};
    try {
        h.run({"a.jpg"});
        FAIL();
    } catch (const Kelvo_Exception& e) {
        EXPECT_EQ(e.retryable, 1);
        EXPECT_EQ(e.message, "Bad result at end of POST");
    }
    EXPECT_THAT(h.log.str(), HasSubstr("Caught exception Bad result at end of POST\nToo many retries, I give up.\n"));
    EXPECT_TRUE(h.clock.sleeps.empty());
}

TEST(Driver, ReconnectsAfterADroppedConnectionAndFinishesTheJob) {
    RunHarness h;
    writeFile("a.jpg", randomBytes(128 * 3 * 3, 5));
    h.server.script->postReplies = {"340 go", "<DROP>"};
    h.run({"-lines", "3", "a.jpg"});
    EXPECT_EQ(h.articles().size(), 3u);
    EXPECT_EQ(h.server.server().connections(), 2);
    // Closed before the article went out: no failed attempt, no wait.
    EXPECT_TRUE(h.clock.sleeps.empty());
    EXPECT_THAT(h.log.str(), testing::Not(HasSubstr("Caught exception")));
}

TEST(Driver, LongJobsCountTimeIn64Bits) {
    // 75 refusals with a minute's wait each: the job takes over 71.6 minutes,
    // where a 32-bit count of microseconds wraps.
    RunHarness h;
    writeFile("a.jpg", randomBytes(200000, 4));
    h.job.options["max_retries"] = "100";
    h.server.script->articleReplies.assign(75, "441 not now");
    h.run({"a.jpg"});
    std::smatch m;
    const std::string log = h.log.str();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("([0-9]+) bytes posted, throughput: ([0-9]+) bytes/sec")));
    const double bytes = std::stod(m[1]);
    EXPECT_NEAR(std::stod(m[2]), bytes / (75 * 60), 2);
}

TEST(Driver, HeaderLinesStayWithin998BytesAndNamesCarryNoControls) {
    RunHarness h;
    const std::string name = std::string("tab\tesc\x1b" "del\x7f") + ".jpg";
    writeFile(name, "x");
    const std::string words = [] {
        std::string w;
        for (int i = 0; i < 150; ++i) w += "folder" + std::to_string(i) + " ";
        return w;
    }();
    h.run({"-subject", words, name});
    const auto articles = h.articles();
    ASSERT_EQ(articles.size(), 1u);
    const auto& art = articles[0];
    const std::string text = art.text();
    const std::string headers = text.substr(0, text.find("\r\n\r\n"));
    std::size_t longest = 0;
    for (std::size_t at = 0; at < headers.size();) {
        std::size_t end = headers.find("\r\n", at);
        if (end == std::string::npos) end = headers.size();
        longest = std::max(longest, end - at);
        at = end + 2;
    }
    EXPECT_LE(longest, 998u);
    EXPECT_THAT(headers, HasSubstr("\r\n folder"));  // folded before a space
    EXPECT_THAT(headers, HasSubstr("\"tab_esc_del_.jpg\""));
    EXPECT_THAT(art.body(), testing::StartsWith("=ybegin part=1 line=128 size=1 name=tab_esc_del_.jpg\r\n"));

    // A subject that cannot be folded fails the job before anything is sent.
    RunHarness refused;
    writeFile("a.jpg", "x");
    writeFile("b.jpg", "x");
    try {
        refused.run({"-subject", std::string(1200, 's'), "a.jpg", "b.jpg"});
        ADD_FAILURE() << "posted";
    } catch (const Kelvo_Exception& e) {
        EXPECT_EQ(e.retryable, 0);
        EXPECT_THAT(e.message, HasSubstr("The subject for a.jpg is longer than 998 bytes"));
    }
    EXPECT_EQ(refused.server.server().connections(), 0);
}

TEST(Driver, ThreadingReferencesAndIntroText) {
    RunHarness h;
    writeFile("intro.txt", "Hello readers\n");
    for (const char* f : {"a.jpg", "b.jpg", "c.jpg"}) writeFile(f, randomBytes(300, 9));
    h.run({"-lines", "2", "-introtextfile", "intro.txt", "a.jpg", "b.jpg", "c.jpg"});
    const auto a = h.articles();
    ASSERT_EQ(a.size(), 6u);
    const std::string first = a[0].header("Message-ID");
    EXPECT_EQ(h.job.firstMessageId, first);
    EXPECT_EQ(a[0].header("References"), "");
    EXPECT_THAT(a[1].body(), testing::StartsWith("Hello readers\r\n\r\n=ybegin part=2"));
    for (std::size_t i = 2; i < 6; ++i) {
        EXPECT_EQ(a[i].header("References"), first);
        EXPECT_THAT(a[i].body(), testing::StartsWith("=ybegin"));
    }

    RunHarness flat(false, /*threadPosts=*/false);
    writeFile("intro.txt", "Hello readers\n");
    writeFile("a.jpg", "x");
    writeFile("b.jpg", "y");
    flat.run({"-references", "<r@x>", "-introtextfile", "intro.txt", "a.jpg", "b.jpg"});
    for (const auto& art : flat.articles()) {
        EXPECT_EQ(art.header("References"), "<r@x>");
        EXPECT_THAT(art.body(), testing::StartsWith("=ybegin"));
    }
}

TEST(Driver, ScrambledSendersAreFreshAndWellFormed) {
    RunHarness h(false, true, false, /*scramble=*/true);
    writeFile("a.jpg", randomBytes(1000, 2));
    h.run({"-lines", "2", "a.jpg"});
    std::set<std::string> senders;
    for (const auto& a : h.articles()) {
        const std::string from = a.header("From");
        EXPECT_TRUE(std::regex_match(from, std::regex("[A-Za-z]{8} <[a-z]{6}@[A-Za-z_-]{7}\\.[a-z]{3}>"))) << from;
        EXPECT_EQ(a.header("Sender"), from);
        senders.insert(from);
    }
    EXPECT_EQ(senders.size(), h.articles().size());
    // The whole alphabet, not its first ten letters.
    std::string all;
    for (const auto& s : senders) all += s;
    EXPECT_NE(all.find_first_of("klmnopqrstuvwxyz"), std::string::npos);
}

TEST(Driver, NoLoginWithoutUserIdAndOnlyTheChosenParts) {
    RunHarness h;
    writeFile("a.jpg", randomBytes(128 * 5, 2));
    h.run({"-password", "pw", "-lines", "1", "a.jpg:2,4"});
    EXPECT_THAT(h.server.server().transcript(), testing::ElementsAre("POST", "POST", "QUIT"));
    ASSERT_EQ(h.articles().size(), 2u);
    EXPECT_EQ(h.articles()[0].header("Subject"), "Trip 640 bytes - yEnc \"a.jpg\" (2/5)");
    EXPECT_EQ(h.articles()[1].header("Subject"), "Trip 640 bytes - yEnc \"a.jpg\" (4/5)");
}

TEST(Driver, UuencodeAndTextBodiesSurviveDotsAtLineStarts) {
    RunHarness h;
    writeFile("notes.txt", "first\r\n.\r\n.hidden\r\nlast\r\n");
    // Bytes that uuencode to a line starting with "." (length character 14 bytes = ".").
    writeFile("u.bin", std::string(14, 'z'));
    h.run({"-text", "notes.txt", "-uuencode", "u.bin"});
    const auto a = h.articles();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].body(), "first\r\n.\r\n.hidden\r\nlast\r\n\r\n");
    EXPECT_THAT(a[1].body(), HasSubstr("\n.")) << "the test data must have a dot line";
    UuEncoder u("u.bin", 4060);
    std::vector<char> buffer(u.encodedSizeBound());
    ASSERT_TRUE(u.encodePart(1, buffer.data(), buffer.size(), 1));
    EXPECT_EQ(a[1].body(), std::string(buffer.data(), u.encodedLength()) + "\r\n");
}

TEST(Driver, NoFilesMeansNoConnection) {
    RunHarness h;
    h.run({});
    EXPECT_EQ(h.server.server().connections(), 0);
}

// Refused credentials stay refused: one quick retry, not an hour of them.
TEST(Driver, FailuresThatWaitingCannotMendEndTheJobAfterOneQuickRetry) {
    RunHarness h;
    writeFile("a.jpg", "abc");
    h.server.script->passReplies = {"481 Authentication failed", "481 Authentication failed"};
    try {
        h.run({"-userid", "joe", "-password", "wrong", "a.jpg"});
        FAIL();
    } catch (const Kelvo_Exception& e) {
        EXPECT_EQ(e.retryable, kRetryOnce);
        EXPECT_THAT(e.message, HasSubstr("481 Authentication failed (log-in as joe at 127.0.0.1:"));
    }
    EXPECT_EQ(h.clock.sleeps, std::vector<std::uint32_t>{kQuickRetryMs});
    EXPECT_THAT(h.log.str(), HasSubstr("Nonfatal; trying once more in 5 seconds.\n"));
    EXPECT_THAT(h.log.str(), HasSubstr("Too many retries, I give up.\n"));

    // Over several connections the same, and no talk of connections the
    // server would not take: it took them, the log-in failed.
    RunHarness many;
    writeFile("a.jpg", "abc");
    many.server.script->passReplies.assign(20, "481 Authentication failed");
    EXPECT_THROW(many.run({"-connections", "4", "-userid", "joe", "-password", "wrong", "a.jpg"}), Kelvo_Exception);
    EXPECT_THAT(many.log.str(), testing::Not(HasSubstr("The server took")));
    EXPECT_THAT(many.log.str(), HasSubstr("481 Authentication failed (log-in as joe"));

    // Nothing listening at the port: three tries seconds apart, not an hour,
    // and by one connection, not by each of twenty.
    int closedPort = 0;
    ::close(testing_support::listenOnLoopback(1, closedPort));
    RunHarness refused;
    writeFile("a.jpg", "abc");
    EXPECT_THROW(refused.run({"-port", std::to_string(closedPort), "a.jpg"}), Kelvo_Exception);
    EXPECT_EQ(refused.clock.sleeps, (std::vector<std::uint32_t>{kQuickRetryMs, kQuickRetryMs}));
    RunHarness twenty;
    writeFile("a.jpg", randomBytes(3000000, 3));
    EXPECT_THROW(twenty.run({"-port", std::to_string(closedPort), "-connections", "20", "a.jpg"}), Kelvo_Exception);
    const auto tries = [](const std::string& said) {
        std::size_t n = 0;
        for (std::size_t at = 0; (at = said.find("refused the connection;", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    EXPECT_EQ(tries(twenty.log.str()), tries(refused.log.str())) << twenty.log.str() << "\n---\n" << refused.log.str();
}

// A name that is not UTF-8 (Latin-1 from an old disk) goes out in its
// UTF-8 form, in the subject, the yEnc header and the recovery set alike
// (servers refuse the raw bytes; the file was skipped, its set kept it).
TEST(Driver, ANameThatIsNotUtf8GoesOutInItsUtf8Form) {
    RunHarness h;
    writeFile("caf\xe9.jpg", randomBytes(300, 1));
    h.run({"-par2", "50", "caf\xe9.jpg"});
    const auto articles = h.articles();
    ASSERT_GE(articles.size(), 2u);
    EXPECT_THAT(articles[0].header("Subject"), HasSubstr("\"caf\xc3\xa9.jpg\""));
    EXPECT_THAT(articles[0].body(), HasSubstr("name=caf\xc3\xa9.jpg\r\n"));
    // The recovery set's file description names it the same way.
    bool named = false;
    for (const auto& a : articles)
        if (a.header("Subject").find(".par2") != std::string::npos &&
            testing_support::yencDecode(a.body()).find("caf\xc3\xa9.jpg") != std::string::npos)
            named = true;
    EXPECT_TRUE(named);
}

// A file written to while it is posted (cut short, or rewritten in place)
// goes out no further: its articles would not make the file.
TEST(Driver, AFileChangedWhileItIsPostedEndsTheJob) {
    for (const bool shorter : {true, false}) {
        RunHarness h;
        writeFile("a.bin", randomBytes(1000, 1));  // 4 parts of 256 bytes
        int seen = 0;
        h.server.script->onArticle = [&] {
            if (++seen != 1) return;
            writeFile("a.bin", shorter ? randomBytes(300, 2) : randomBytes(1000, 3));
            const timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 5, 0}};
            utimensat(AT_FDCWD, "a.bin", later, 0);
        };
        try {
            h.run({"-lines", "2", "a.bin"});
            ADD_FAILURE() << "passed";
        } catch (const Kelvo_Exception& e) {
            EXPECT_THAT(e.message, HasSubstr("The file a.bin changed while it was posted")) << shorter;
        }
        EXPECT_LE(h.server.server().acceptedArticles().size(), 2u) << shorter;
    }
}

// A name the server will not take (it says which header) skips that file;
// the rest of the job goes on, over one connection and over several.
TEST(Driver, AFileWhoseHeadersTheServerRefusesIsSkipped) {
    for (const char* connections : {"1", "3"}) {
        RunHarness h;
        writeFile("a.jpg", randomBytes(1000, 1));
        writeFile("b.jpg", randomBytes(1000, 2));
        h.server.script->articleReplies = {"441 Bad \"Subject\" header"};
        h.run({"-connections", connections, "-lines", "2", "a.jpg", "b.jpg"});
        EXPECT_THAT(h.log.str(), HasSubstr("Skipping a.jpg: The server refuses the article's headers: 441 Bad"));
        std::set<std::string> posted;
        for (const auto& a : h.server.server().acceptedArticles()) posted.insert(a.header("Subject"));
        EXPECT_EQ(posted.size(), 4u) << "b.jpg whole";
        for (const auto& s : posted) EXPECT_THAT(s, HasSubstr("b.jpg"));
        EXPECT_TRUE(h.clock.sleeps.empty());
    }
}

// The recovery set: over the files named after "-par2" (not a sheet named
// before it), built while they are posted, posted after them, the very set
// made alone from the same files, and gone with its private folder.
TEST(Driver, Par2SetIsPostedAfterItsFilesAndIsTheSetMadeAlone) {
    RunHarness h;
    writeFile("!sheet.jpg", randomBytes(5000, 3));
    writeFile("a.jpg", randomBytes(300000, 1));
    writeFile("b.jpg", randomBytes(20000, 2));
    h.run({h.dir / "!sheet.jpg", "-par2name", "start", "-par2files", "2", "-par2", "20", "a.jpg", "b.jpg"});
    std::vector<std::string> names;
    std::map<std::string, std::string> posted;
    for (const auto& a : h.articles()) {
        std::smatch m;
        const std::string body = a.body();
        ASSERT_TRUE(std::regex_search(body, m, std::regex("name=([^\r]*)\r\n")));
        if (names.empty() || names.back() != m[1].str()) names.push_back(m[1]);
        posted[m[1]] += testing_support::yencDecode(body);
    }
    ASSERT_EQ(names.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 3),
              (std::vector<std::string>{"!sheet.jpg", "a.jpg", "b.jpg"}));
    EXPECT_EQ(names[3], "start.par2");
    EXPECT_THAT(h.log.str(), HasSubstr("    PAR2: "));

    TempDir alone(false);
    par2::Par2Options o;
    o.percent = 20;
    o.fileCount = 2;
    const par2::Par2Result r =
        par2::createPar2({{h.dir / "a.jpg", "a.jpg"}, {h.dir / "b.jpg", "b.jpg"}}, alone.path(), "start", o);
    ASSERT_TRUE(r.error.empty()) << r.error;
    ASSERT_EQ(r.files.size(), 3u);
    for (const auto& f : r.files) {
        const std::string name = f.substr(f.find_last_of('/') + 1);
        EXPECT_EQ(posted[name], testing_support::readFile(f)) << name;
    }
    for (const auto& f : h.job.files) {
        if (f.name.find(".par2") == std::string::npos) continue;
        EXPECT_EQ(f.name.rfind(h.dir.path(), 0), std::string::npos) << "made outside the user's folders";
        EXPECT_FALSE(std::filesystem::exists(f.name)) << "removed after the job";
    }
}

// The recovery set hands each file's CRC on, as its first pass read it,
// for the yEnc trailers; and the encoder puts what it is given there.
TEST(Driver, TheRecoverySetKnowsEachFilesCrcForTheTrailers) {
    testing_support::JobHarness h;
    TempDir dir;
    const std::string a = randomBytes(300000, 1), b = randomBytes(20001, 2);
    writeFile("a.jpg", a);
    writeFile("b.jpg", b);
    testing_support::Args args{"-from", "Me <me@example.org>", "-subject", "Trip", "-newsgroups", "alt.test",
                               "-hostname", "127.0.0.1", "-lines", "100", "-par2", "20", "a.jpg", "b.jpg"};
    parseArguments(h.job, args.argc(), args.argv());
    const JobSettings settings = readSettings(h.job);
    RecoverySet set(h.job, settings);
    set.ready();
    EXPECT_EQ(set.fileCrc(0), crc32Update(0, a.data(), a.size()));
    EXPECT_EQ(set.fileCrc(1), crc32Update(0, b.data(), b.size()));
    // The set's own files', as written (in one pass here, in slices below).
    const auto ownFilesKnown = [](RecoverySet& r, const PostJob& job, std::size_t first) {
        for (std::size_t f = first; f < job.files.size(); ++f) {
            const std::string written = testing_support::readFile(job.files[f].name);
            EXPECT_EQ(r.fileCrc(static_cast<int>(f)), crc32Update(0, written.data(), written.size())) << f;
        }
    };
    ownFilesKnown(set, h.job, 2);
    // Past its memory limit the set is made in slices, and posting waits
    // for each file's CRC rather than reading the file for it.
    testing_support::JobHarness big;
    const std::string c = randomBytes(17 << 20, 3);
    writeFile("c.jpg", c);
    testing_support::Args bigArgs{"-from", "Me <me@example.org>", "-subject", "Trip", "-newsgroups", "alt.test",
                                  "-hostname", "127.0.0.1", "-par2memory", "16", "-par2blocks", "20",
                                  "-par2", "100", "c.jpg"};
    parseArguments(big.job, bigArgs.argc(), bigArgs.argv());
    const JobSettings bigSettings = readSettings(big.job);  // the set keeps a reference
    RecoverySet sliced(big.job, bigSettings);
    EXPECT_EQ(sliced.fileCrc(0), crc32Update(0, c.data(), c.size())) << "waited for";
    sliced.ready();
    ownFilesKnown(sliced, big.job, 1);

    YencEncoder given("a.jpg", 100, 0x12345678u);
    ASSERT_GT(given.parts(), 1);
    std::vector<char> buffer(given.encodedSizeBound());
    ASSERT_TRUE(given.encodePart(2, buffer.data(), buffer.size(), given.parts()));
    EXPECT_THAT(std::string(buffer.data()), HasSubstr(" crc32=12345678\r\n"));
}

// Sizes and offsets in 64 bits from the job check to the wire and the NZB:
// a sparse file of 5 GiB with data across the 4 GiB mark, posted in the
// parts around it.
TEST(Driver, FilesOf5GiBPostWithOffsetsPast4GiB) {
    RunHarness h;
    const std::uint64_t size = 5ull << 30, mark = 4ull << 30;
    {
        std::ofstream big("big.bin");
    }
    ASSERT_EQ(truncate("big.bin", static_cast<off_t>(size)), 0);
    const std::string marker = randomBytes(64, 7);
    {
        const int fd = open("big.bin", O_WRONLY);
        ASSERT_EQ(pwrite(fd, marker.data(), marker.size(), static_cast<off_t>(mark - 32)), 64);
        close(fd);
    }
    const std::uint64_t perPart = 100000ull * 128;
    const int parts = static_cast<int>((size + perPart - 1) / perPart), across = static_cast<int>(mark / perPart) + 1;
    h.run({"-lines", "100000", "-o", "big.nzb", "big.bin:" + std::to_string(across) + "," + std::to_string(parts)});
    const auto arts = h.articles();
    ASSERT_EQ(arts.size(), 2u);
    const std::uint64_t begin = (across - 1) * perPart;
    const std::string body = arts[0].body();
    EXPECT_THAT(body, testing::StartsWith("=ybegin part=" + std::to_string(across) + " total=" + std::to_string(parts) +
                                          " line=128 size=" + std::to_string(size) + " name=big.bin\r\n=ypart begin=" +
                                          std::to_string(begin + 1) + " end=" + std::to_string(begin + perPart) + "\r\n"));
    const std::string decoded = testing_support::yencDecode(body);
    ASSERT_EQ(decoded.size(), perPart);
    EXPECT_EQ(decoded.substr(mark - 32 - begin, 64), marker);
    EXPECT_THAT(arts[1].body(), HasSubstr("=ypart begin=" + std::to_string((parts - 1) * perPart + 1) + " end=" +
                                          std::to_string(size) + "\r\n"));
    EXPECT_THAT(arts[0].header("Subject"), HasSubstr("5120.0 mb - yEnc \"big.bin\" (" + std::to_string(across) + "/" +
                                                     std::to_string(parts) + ")"));
    EXPECT_THAT(testing_support::readFile("big.nzb"), HasSubstr("size=\"" + std::to_string(size) + "\""));
}

// The status line on an 80-column terminal: the figures first (the recovery
// set's progress included), a long file name shortened in its middle, or
// left out, and a retry's reason last, where the line is cut.
TEST(Reporter, TheStatusLineFitsEightyColumnsFiguresFirst) {
    JobHarness h;
    FileEntry file;
    file.name = "A very long holiday picture name from the beach at sunset " + std::string(40, 'x') + ".jpg";
    file.size = 1u << 20;
    h.job.files.push_back(file);
    JobSettings s;
    s.run = RunContext{2, 5, 0, 1u << 30};
    Reporter r(h.job, s, Reporter::Mode::Log);
    r.setPar2Progress([] { return 0.5; });
    r.partStarting(0, SubjectLines{"s", "d"}, 2, 3);
    // 80 columns: the figures, the recovery set's among them; no room for the name.
    const std::string line = r.statusText(79);
    EXPECT_EQ(line, "  [folder 2/5] 0% of 1.1 GB  0 B/s  --:-- left  0 conn  making PAR2 50%");
    // Wider: the name, shortened in its middle to the room there is.
    const std::string wide = r.statusText(110);
    EXPECT_EQ(wide.size(), 110u) << wide;
    EXPECT_THAT(wide, testing::StartsWith("  [folder 2/5] A very long holid...xxxx"));
    EXPECT_THAT(wide, HasSubstr("xx.jpg  0% of 1.1 GB"));
    Article a;
    r.retried(a, "Unable to create IP socket (news.example.com:119: connect: Connection refused)", 52000);
    EXPECT_THAT(r.statusText(), testing::ContainsRegex("making PAR2 50%  retrying in 5[0-9] s: Unable to create IP socket"));
    std::cout.flush();
}
