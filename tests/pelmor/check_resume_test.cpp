// Post check (-check) and resume (-resume) against the scripted server.
#include <map>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "post/run.h"
#include "fake_nntp_server.h"
#include "posting_run.h"
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
        h.server.script->statReply = [&](const std::string& id) {
            const auto arts = h.articles();
            if (lost.empty())
                for (const auto& a : arts)
                    if (a.header("Message-ID") == id && a.body().find("=ybegin part=2 ") == 0) lost = id;
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
    EXPECT_EQ(h.clock.sleeps, (std::vector<std::uint32_t>{5000, 5000, 5000, 5000})) << "the default delay";
    EXPECT_EQ(h.listed()["a.bin"].size(), 3u);
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
