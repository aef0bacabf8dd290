// Post check (-check) and resume (-resume) against the scripted server.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <map>
#include <set>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "post/run.h"
#include "fake_nntp_server.h"
#include "posting_run.h"
#include "common/run_state.h"
#include "common/text_fields.h"
#include "kelvo_exception.h"
#include "post/nzb.h"
#include "test_support.h"

using namespace pelmor;
using testing::HasSubstr;
using testing_support::Args;
using testing_support::JobHarness;
using testing_support::randomBytes;
using testing_support::readFile;
using testing_support::ReceivedArticle;
using testing_support::ScriptedNntpServer;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct CheckRun : testing_support::PostingRun {
    CheckRun()
        : PostingRunOn({"-from", "Me <me@example.org>", "-subject", "Set", "-newsgroups", "alt.test", "-lines", "2",
                      "-o", "out.nzb"}) {}
    // The NZB's files by name: part -> id.
    std::map<std::string, std::map<int, std::string>> listed() {
        std::map<std::string, std::map<int, std::string>> out;
        const std::string text = readFile("out.nzb");
        for (std::size_t at = text.find("<file "); at != std::string::npos; at = text.find("<file ", at + 1)) {
            NzbFile f;
            if (!parseFileElement(text.substr(at, text.find("</file>", at) + 7 - at), f)) continue;
            for (const auto& s : f.segments) out[f.name][s.number] = s.messageId;
        }
        return out;
    }
    std::vector<ReceivedArticle> articles() { return server.server().articles(); }
};

std::string idOf(const ReceivedArticle& a) {
    const std::string id = a.header("Message-ID");
    return id.substr(1, id.size() - 2);
}

}  // namespace

TEST(PostCheck, MissingArticlesArePostedAgainAndTheNzbFollows) {
    for (const char* connections : {"1", "3"}) {
        CheckRun h;
        writeFile("a.bin", randomBytes(700, 1));  // 3 parts
        // The server loses the first copy of part 2.
        std::string lost;
        bool onDisk = false;  // the copy posted again, named in the NZB file before anything else happens
        h.server.script->statReply = [&](const std::string& id) {
            const auto arts = h.articles();
            if (lost.empty())
                for (const auto& a : arts)
                    if (a.header("Message-ID") == id && a.body().find("=ybegin part=2 ") == 0) lost = id;
            if (arts.size() == 4 && id == arts.back().header("Message-ID"))
                onDisk = readFile("out.nzb").find(idOf(arts.back())) != std::string::npos;
            return id == lost ? std::string("430 no such article") : "223 0 " + id;
        };
        try {
            h.run({"-connections", connections, "-check", "-checkdelay", "0", "a.bin"});
        } catch (const Kelvo_Exception& e) {
            FAIL() << e.message << "\n" << h.log.str();
        }
        const auto arts = h.articles();
        ASSERT_EQ(arts.size(), 4u) << connections;
        EXPECT_THAT(h.log.str(), HasSubstr("Post check: 3 articles checked, 1 missing, 1 posted again."));
        const auto nzb = h.listed()["a.bin"];
        ASSERT_EQ(nzb.size(), 3u);
        EXPECT_EQ(nzb.at(2), idOf(arts.back())) << "the NZB names the copy the server has";
        EXPECT_TRUE(onDisk) << "at once, not at the job's end";
        EXPECT_EQ(arts.back().header("Subject"), arts[1].header("Subject"));
        EXPECT_EQ(arts.back().body(), arts[1].body());
    }
}

TEST(PostCheck, AnArticleTheServerNeverKeepsFailsTheJobWithTheNzbSaved) {
    CheckRun h;
    writeFile("a.bin", randomBytes(700, 2));
    h.server.script->statReply = [&](const std::string& id) {
        for (const auto& a : h.articles())
            if (a.header("Message-ID") == id && a.body().find("=ybegin part=3 ") == 0) return std::string("430 gone");
        return "223 0 " + id;
    };
    try {
        h.run({"-check", "a.bin"});
        ADD_FAILURE() << "passed";
    } catch (const Kelvo_Exception& e) {
        EXPECT_EQ(e.retryable, 0);
        EXPECT_THAT(e.message, HasSubstr("1 articles are still not on the server"));
    }
    EXPECT_EQ(h.articles().size(), 6u);  // 3, and part 3 three times more
    // Each copy: the default delay, then asked again three times 10 s apart
    // before it counts as missing.
    std::vector<std::uint32_t> perCopy{5000, 10000, 10000, 10000}, all;
    for (int copy = 0; copy < 4; ++copy) all.insert(all.end(), perCopy.begin(), perCopy.end());
    EXPECT_EQ(h.clock.sleeps, all);
    EXPECT_EQ(h.listed()["a.bin"].size(), 3u);
}

// A provider that shows articles only a while after taking them: each is
// asked for again, spaced, and none is posted again for being slow.
TEST(PostCheck, ASlowProviderIsNoLostArticle) {
    for (const std::string asks : {"", "2"}) {
        CheckRun h;
        writeFile("a.bin", randomBytes(700, 1));  // 3 parts
        std::map<std::string, int> asked;  // the first copies show by the third ask, copies posted again at once
        h.server.script->statReply = [&](const std::string& id) {
            const auto arts = h.articles();
            const bool first = arts.size() >= 3 && (id == arts[0].header("Message-ID") ||
                                                     id == arts[1].header("Message-ID") || id == arts[2].header("Message-ID"));
            return first && ++asked[id] <= 2 ? std::string("430 no such article") : "223 0 " + id;
        };
        std::vector<std::string> words{"-check", "-checkspacing", "3", "a.bin"};
        if (!asks.empty()) words.insert(words.begin(), {"-checkasks", asks});
        h.run(words);
        if (asks.empty()) {
            EXPECT_EQ(h.articles().size(), 3u) << "none posted again";
            EXPECT_THAT(h.log.str(), HasSubstr("3 articles checked, 0 missing, 0 posted again."));
        } else {
            EXPECT_EQ(h.articles().size(), 6u) << "two asks, then each posted again";
        }
    }
}

TEST(Resume, PostsOnlyWhatTheNzbLacksAndRefusesToMix) {
    CheckRun h;
    writeFile("a.bin", randomBytes(1000, 3));  // 4 parts
    writeFile("b.bin", randomBytes(500, 4));   // 2 parts
    h.run({"a.bin:1-2", "b.bin:1"});  // as a job cut short
    ASSERT_EQ(h.articles().size(), 3u);

    const std::string again = h.runAgain({"-resume", "a.bin", "b.bin"});
    EXPECT_EQ(h.articles().size(), 6u) << "parts 3 and 4 of a, and 2 of b";
    EXPECT_THAT(again, HasSubstr("Resume: a.bin: 2 of 4 parts are posted already."));
    EXPECT_THAT(again, HasSubstr("Resume: b.bin: 1 of 2 parts are posted already."));
    auto nzb = h.listed();
    EXPECT_EQ(nzb["a.bin"].size(), 4u);
    EXPECT_EQ(nzb["b.bin"].size(), 2u);
    const std::string text = readFile("out.nzb");
    std::size_t files = 0;
    for (std::size_t at = text.find("<file "); at != std::string::npos; at = text.find("<file ", at + 1)) ++files;
    EXPECT_EQ(files, 2u) << "the records taken over, not added twice";
    // The same files again without -resume: refused with the way out, the
    // NZB file as it was (never a doubled list).
    std::string refused;
    h.runAgain({"a.bin", "b.bin"}, &refused);
    EXPECT_EQ(refused, "The NZB file out.nzb lists a.bin already: add /resume to finish that posting, or name another "
                       "NZB file (/nzb=).");
    EXPECT_EQ(readFile("out.nzb"), text);
    EXPECT_EQ(h.articles().size(), 6u);

    // A file of the same name but another size, or another subject form, is posted whole again.
    writeFile("b.bin", randomBytes(700, 5));
    const std::string third = h.runAgain({"-subject", "Other", "-resume", "a.bin", "b.bin"});
    EXPECT_EQ(h.articles().size(), 6u + 4 + 3);
    EXPECT_THAT(third, HasSubstr("Resume: a.bin is not the file out.nzb lists"));
    EXPECT_THAT(third, HasSubstr("Resume: b.bin is not the file out.nzb lists"));

    // A subject that does not show the size (a format without $B, $K or $M)
    // cannot tell a changed file: the size does, part count alike or not.
    writeFile("c.bin", randomBytes(1000, 6));  // 4 parts
    h.runAgain({"-subjectformat", "$F", "c.bin:1-2"});
    writeFile("c.bin", randomBytes(900, 7));   // 4 parts still
    const std::size_t before = h.articles().size();
    const std::string changed = h.runAgain({"-subjectformat", "$F", "-resume", "c.bin"});
    EXPECT_THAT(changed, HasSubstr("Resume: c.bin is not the file out.nzb lists"));
    EXPECT_EQ(h.articles().size(), before + 4) << "posted whole, none of its old parts kept";

    // -resume without -o is refused before anything is posted.
    JobHarness bare(false);
    Args c(std::vector<std::string>{"pelmor", "-from", "f", "-subject", "s", "-newsgroups", "g", "-hostname", "h",
                                    "-resume", "a.bin"});
    EXPECT_THROW(runJob(bare.job, c.argc(), c.argv()), Kelvo_Exception);
}

// Killed (SIGKILL) while posting: every article the server took is in the
// journal beside the NZB, and the next run with -resume posts again only
// what was in flight.
TEST(Resume, AKilledPostingLosesOnlyWhatWasInFlight) {
    CheckRun h;
    writeFile("a.bin", randomBytes(2000, 8));  // 8 parts
    std::atomic<int> seen{0};
    std::atomic<pid_t> child{0};
    h.server.script->onArticle = [&] {
        if (++seen == 4) kill(child, SIGKILL);  // before the 4th is answered
    };
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            h.run({"-folder", "CD1\\extra", "a.bin"});
        } catch (...) {
        }
        _exit(0);
    }
    child = pid;
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    h.server.script->onArticle = nullptr;
    const std::string again = h.runAgain({"-folder", "CD1\\extra", "-resume", "a.bin"});
    EXPECT_THAT(again, HasSubstr("Resume: a.bin: 3 of 8 parts are posted already."));
    EXPECT_EQ(h.articles().size(), 4u + 5u) << "the one in flight posted twice, no more";
    EXPECT_EQ(h.listed()["a.bin"].size(), 8u);
    // The folder it came from, as a path, for putting a flat download back.
    NzbFile f;
    const std::string text = readFile("out.nzb");
    const auto at = text.find("<file ");
    ASSERT_TRUE(parseFileElement(text.substr(at, text.find("</file>", at) + 7 - at), f));
    EXPECT_EQ(f.folder, "CD1/extra");
    for (const auto& e : std::filesystem::directory_iterator("."))
        EXPECT_EQ(e.path().filename().string().find("journal"), std::string::npos) << "folded in and gone";
}

// What a job reads back must not steer it: an NZB entry whose name is not
// hexadecimal, or whose Message-ID carries a line break (a command smuggled
// into the post check's STAT), is not resumed; its file is posted whole.
TEST(Resume, EntriesThatCannotBeTrustedAreNotResumed) {
    CheckRun h;
    writeFile("a.bin", randomBytes(700, 9));  // 3 parts
    writeFile("b.bin", randomBytes(300, 10));  // 2 parts
    h.run({"a.bin:1", "b.bin:1"});
    std::string nzb = readFile("out.nzb");
    const auto firstId = nzb.find("\">", nzb.find("<segment ")) + 2;
    nzb.replace(firstId, nzb.find("</segment>", firstId) - firstId, "x@y\r\nAUTHINFO USER injected");
    nzb.replace(nzb.find(common::hexText("b.bin")), 2, "zz");
    writeFile("out.nzb", nzb);
    const std::string again = h.runAgain({"-resume", "-check", "-checkdelay", "0", "a.bin", "b.bin"});
    EXPECT_THAT(again, HasSubstr("segment 1 has no valid Message-ID); its file is posted whole."));
    EXPECT_THAT(again, HasSubstr("its name is not written in hexadecimal); its file is posted whole."));
    EXPECT_THAT(again, testing::Not(HasSubstr("stoi")));
    EXPECT_EQ(h.articles().size(), 2u + 3u + 2u);
    for (const auto& line : h.server.server().transcript()) EXPECT_EQ(line.find("injected"), std::string::npos) << line;
}

// A folder runner's five small folders with -check: the articles not yet
// due when a folder's job ends are asked for by the next one, so the run
// waits about one check delay in all, not one a folder (on the test's clock).
TEST(PostCheck, FiveFoldersWaitOneDelayInAll) {
    CheckRun h;
    const std::string state = h.dir / "run-state";
    const std::uint32_t start = h.clock.now;
    for (int folder = 1; folder <= 5; ++folder) {
        const std::string name = "f" + std::to_string(folder) + ".bin";
        writeFile(name, randomBytes(300, static_cast<std::uint32_t>(folder)));
        common::writeRunState(state, {{"folder", std::to_string(folder)}, {"folders", "5"}});
        pelmor::PostJob job(false, true, false, false, h.clock, h.log);
        job.responseTimeoutMs = 5000;
        Args a(h.words({"-check", "-runstate", state, name}));
        runJob(job, a.argc(), a.argv());
    }
    const std::uint32_t waited = h.clock.now - start;
    EXPECT_GE(waited, 5000u);
    EXPECT_LE(waited, 5000u + 1000) << "one delay, not five";
    std::set<std::string> asked;
    for (const auto& line : h.server.server().transcript())
        if (line.rfind("STAT ", 0) == 0) asked.insert(line.substr(5));
    EXPECT_EQ(asked.size(), 10u) << "every article of every folder";
    EXPECT_FALSE(std::filesystem::exists(state + ".checks"));
    // Counts that say what they count: the run's so far, then the whole run's.
    EXPECT_THAT(h.log.str(), HasSubstr("Post check so far: "));
    EXPECT_THAT(h.log.str(), HasSubstr("Post check of the whole run: 10 articles checked, 0 missing, 0 posted again."));
}

// Days later: -resume -check asks for every article the NZB lists (the
// earlier runs' included) and posts again what the server lost; -verify
// only asks, and says per file what is missing.
TEST(PostCheck, ResumeWithCheckMendsAnOldPostingAndVerifyReports) {
    CheckRun h;
    writeFile("a.bin", randomBytes(700, 11));  // 3 parts
    writeFile("b.bin", randomBytes(300, 12));  // 2 parts
    h.run({"a.bin", "b.bin"});
    const std::string lost = "<" + h.listed()["a.bin"].at(2) + ">";
    std::set<std::string> gone{lost};
    h.server.script->statReply = [&](const std::string& id) {
        return gone.count(id) ? std::string("430 no such article") : "223 0 " + id;
    };
    std::string failure;
    const std::string verified = h.runAgain({"-verify"}, &failure);
    EXPECT_THAT(verified, HasSubstr("Verify: a.bin: 1 of 3 articles missing."));
    EXPECT_THAT(verified, HasSubstr("Verify: b.bin: all 2 articles are there."));
    EXPECT_EQ(failure, "Verify: 1 files of out.nzb are missing articles.");
    EXPECT_EQ(h.articles().size(), 5u) << "verifying posts nothing";

    const std::string mended = h.runAgain({"-resume", "-check", "-checkdelay", "0", "a.bin", "b.bin"});
    EXPECT_THAT(mended, HasSubstr("Post check: 5 articles checked, 1 missing, 1 posted again."));
    ASSERT_EQ(h.articles().size(), 6u);
    EXPECT_EQ(h.articles().back().header("Subject"), h.articles()[1].header("Subject"));
    EXPECT_NE(h.listed()["a.bin"].at(2), lost.substr(1, lost.size() - 2)) << "the NZB names the new copy";
    gone.clear();
    EXPECT_THAT(h.runAgain({"-verify"}), HasSubstr("Verify: every article out.nzb lists is on the server."));
}
