// Posting over several connections, against a server that serves each
// connection on a thread of its own.
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <atomic>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/run_state.h"
#include "net/connection_pool.h"
#include "post/job_turns.h"
#include "post/run.h"
#include "fake_nntp_server.h"
#include "posting_run.h"
#include "kelvo_exception.h"
#include "test_support.h"

#include <thread>

using namespace pelmor;
using testing::HasSubstr;
using testing_support::Args;
using testing_support::FakeNntpServer;
using testing_support::JobHarness;
using testing_support::randomBytes;
using testing_support::readFile;
using testing_support::ReceivedArticle;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct ParallelRun : testing_support::PostingRunOn<testing_support::ConcurrentNntpServer> {
    explicit ParallelRun(bool threadPosts = true)
        : PostingRunOn({"-from", "Me <me@example.org>", "-subject", "Many", "-newsgroups", "alt.test"}, false,
                       threadPosts) {}
    testing_support::NntpScript& script = *server.script;
    std::vector<ReceivedArticle> accepted() { return server.server().acceptedArticles(); }
};

std::string nameOf(const ReceivedArticle& a) {
    std::smatch m;
    const std::string body = a.body();
    return std::regex_search(body, m, std::regex("name=([^\r]*)\r\n")) ? m[1].str() : std::string();
}

int partOf(const ReceivedArticle& a) {
    std::smatch m;
    const std::string body = a.body();
    return std::regex_search(body, m, std::regex("=ybegin part=([0-9]+)")) ? std::stoi(m[1]) : 0;
}

}  // namespace

TEST(Parallel, EveryArticleOnceAndExactThroughRefusalsDropsAndRetries) {
    ParallelRun h;
    const std::map<std::string, std::string> files{
        {"a.bin", randomBytes(60000, 1)}, {"b.bin", "x"}, {"c.bin", randomBytes(25000, 2)}};
    for (const auto& [name, data] : files) writeFile(name, data);
    // The fourth connection is turned away at once; so is the one that
    // replaces the first cut off (twice: it tries once more at once), which
    // must hand its article back.
    h.script.greetings = {"200 ok", "200 ok", "200 ok", "502 too many connections", "502 too many connections",
                          "502 too many connections"};
    h.script.dropArticles = {5, 17};
    h.script.refuseArticles = {9};
    // The others connect once the first got in: its first article waits
    // until they have, so that they take their greetings in the order above
    // before its first drop makes it connect again.
    auto first = std::make_shared<std::atomic<bool>>(true);
    h.script.beforeAccepting = [first, &h](const std::string&) {
        if (!first->exchange(false)) return;
        for (int i = 0; i < 500 && h.server.server().connections() < 4; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // and read their greetings
    };
    h.run({"-connections", "4", "-lines", "10", "-o", "out.nzb", "a.bin", "b.bin", "c.bin"});

    // Every part of every file arrived once, and decodes to the source.
    std::map<std::string, std::map<int, std::string>> got;
    const auto accepted = h.accepted();
    for (const auto& a : accepted) {
        auto& parts = got[nameOf(a)];
        EXPECT_TRUE(parts.emplace(partOf(a), testing_support::yencDecode(a.body())).second)
            << nameOf(a) << " part " << partOf(a) << " twice";
    }
    for (const auto& [name, data] : files) {
        std::string joined;
        for (const auto& [part, bytes] : got[name]) joined += bytes;
        EXPECT_EQ(joined, data) << name;
    }
    // (On a busy machine the first may be refused on reconnecting before
    // the last of the others has said whether it got in: 2 of 4.)
    EXPECT_TRUE(std::regex_search(h.log.str(), std::regex("The server took ([23]) of 4 connections; posting over \\1\\.")))
        << h.log.str();
    EXPECT_THAT(h.log.str(), HasSubstr("Nonfatal; we'll try again, waiting 1min."));
    // Progress lines as over one connection.
    EXPECT_THAT(h.log.str(), HasSubstr("    Many [2/3] 1 bytes - yEnc \"b.bin\" (1/1) \n"));

    // The NZB lists the accepted ids in part order, file by file.
    const std::string nzb = readFile("out.nzb");
    std::map<std::string, std::string> idToName;
    std::map<std::string, int> idToPart;
    for (const auto& a : accepted) {
        const std::string id = a.header("Message-ID");
        idToName[id.substr(1, id.size() - 2)] = nameOf(a);
        idToPart[id.substr(1, id.size() - 2)] = partOf(a);
    }
    const std::regex segment("number=\"([0-9]+)\">([^<]+)</segment>");
    std::vector<std::pair<std::string, int>> listed;
    for (std::sregex_iterator it(nzb.begin(), nzb.end(), segment), end; it != end; ++it) {
        const std::string id = (*it)[2];
        ASSERT_TRUE(idToName.count(id)) << "an id the server never accepted: " << id;
        EXPECT_EQ(idToPart[id], std::stoi((*it)[1]));
        listed.emplace_back(idToName[id], idToPart[id]);
    }
    EXPECT_EQ(listed.size(), accepted.size());
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << "files in job order, parts in part order";
}

TEST(Parallel, ReferencingArticlesNeverPrecedeTheFirst) {
    ParallelRun h;
    for (const char* f : {"1.bin", "2.bin", "3.bin"}) writeFile(f, randomBytes(6000, 7));
    // The job's first article (part 1 of 1.bin) is answered slowly: the
    // others would overtake it if they could.
    std::chrono::steady_clock::time_point firstAcceptedAt;
    h.script.beforeAccepting = [&](const std::string& article) {
        if (article.find("=ybegin part=1 total") == std::string::npos || article.find("name=1.bin") == std::string::npos)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        firstAcceptedAt = std::chrono::steady_clock::now();
    };
    h.run({"-connections", "6", "-lines", "10", "-references", "<top@x>", "1.bin", "2.bin", "3.bin"});
    std::string firstId;
    const auto accepted = h.accepted();
    for (const auto& a : accepted)
        if (nameOf(a) == "1.bin" && partOf(a) == 1) firstId = a.header("Message-ID");
    ASSERT_FALSE(firstId.empty());
    EXPECT_EQ(h.job.firstMessageId, firstId);
    int referencing = 0;
    for (const auto& a : accepted) {
        if (nameOf(a) == "1.bin") {
            EXPECT_EQ(a.header("References"), "<top@x>");
        } else {
            EXPECT_EQ(a.header("References"), firstId);
            EXPECT_GT(a.postedAt, firstAcceptedAt) << "sent before the article it references";
            ++referencing;
        }
    }
    EXPECT_EQ(referencing, 10);
}

// On the job's clock: 1.2 MB over 4 connections at 400 kB/s takes 3 s of it.
TEST(Parallel, ThrottleHoldsForTheSumOfAllConnections) {
    ParallelRun h;
    writeFile("big.bin", randomBytes(1200000, 3));
    const std::uint32_t start = h.clock.now;
    h.run({"-connections", "4", "-throttle", "400000", "-lines", "100", "big.bin"});
    std::size_t bytes = 0;
    for (const auto& a : h.accepted()) bytes += a.raw.size();
    const double seconds = (h.clock.now - start) / 1000.0;
    ASSERT_GT(seconds, 1.0);
    EXPECT_NEAR(static_cast<double>(bytes) / seconds, 400000, 400000 * 0.05);
}

TEST(Parallel, AJobThatFailsStopsEveryConnectionAndKeepsWhatWasAccepted) {
    ParallelRun h;
    writeFile("a.bin", randomBytes(20000, 4));
    h.job.options["max_retries"] = "2";
    for (int i = 4; i < 100; ++i) h.script.refuseArticles.insert(i);
    EXPECT_THROW(h.run({"-connections", "3", "-lines", "10", "-o", "out.nzb", "a.bin"}), Kelvo_Exception);
    EXPECT_THAT(h.log.str(), HasSubstr("Too many retries, I give up."));
    const std::string nzb = readFile("out.nzb");
    const auto accepted = h.accepted();
    EXPECT_EQ(accepted.size(), 3u);
    EXPECT_LT(h.script.articlesSeen, 16 * 2) << "the other connections stopped too (16 parts, 2 tries each)";
    for (const auto& a : accepted) {
        const std::string id = a.header("Message-ID");
        EXPECT_THAT(nzb, HasSubstr(id.substr(1, id.size() - 2)));
    }
}

namespace {

// The jobs of a folder runner's run, folder after folder against one server.
struct TreeRun : ParallelRun {
    int folders = 0;
    std::string log;
    void folder(int i, const std::vector<std::string>& extra) {
        common::writeRunState("run-state", {{"folder", std::to_string(i)}, {"folders", std::to_string(folders)}});
        std::vector<std::string> words{"-runstate", "run-state"};
        words.insert(words.end(), extra.begin(), extra.end());
        log += runAgain(words);
    }
    int said(const std::string& command) {
        const auto t = server.server().transcript();
        return static_cast<int>(std::count(t.begin(), t.end(), command));
    }
};

}  // namespace

TEST(KeptConnections, EveryFolderOfARunPostsOverTheConnectionsTheFirstOpened) {
    TreeRun h;
    h.folders = 5;
    for (int i = 1; i <= h.folders; ++i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        writeFile(name, randomBytes(3000, static_cast<unsigned>(i)));
        h.folder(i, {"-userid", "me", "-password", "pw", "-connections", "3", "-lines", "10", name});
    }
    EXPECT_EQ(h.server.server().connections(), 3);
    EXPECT_EQ(h.said("AUTHINFO USER me"), 3);
    EXPECT_EQ(h.accepted().size(), 5u * 3u);
    // The last folder's job closes them, as a run without folders after it does.
    EXPECT_EQ(h.said("QUIT"), 3);
    EXPECT_EQ(ConnectionPool::instance().parked(), 0u);
}

TEST(KeptConnections, OnesTheServerClosedMeanwhileAreReplacedWithoutARetry) {
    TreeRun h;
    h.folders = 2;
    h.script.idleTimeoutMs = 1000;  // the server hangs up on idle connections (between folders, not within one)
    writeFile("a.bin", randomBytes(3000, 1));
    h.folder(1, {"-connections", "2", "-lines", "10", "a.bin"});
    const int first = h.server.server().connections();  // one or two, as the articles came
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    h.folder(2, {"-connections", "2", "-lines", "10", "a.bin"});
    EXPECT_EQ(h.accepted().size(), 2u * 3u);
    EXPECT_GT(h.server.server().connections(), first) << "the closed ones opened again";
    EXPECT_THAT(h.log, testing::Not(HasSubstr("Caught exception")));
    EXPECT_THAT(h.log, testing::Not(HasSubstr("retry")));
}

TEST(KeptConnections, KeptOnlyForTheSameServerLogInAndProxy) {
    const ServerSettings s{"news.example.org", 119, false, Credentials{"me", "pw"}};
    const ProxySettings proxy{"proxy", 1080, std::nullopt};
    const std::string key = ConnectionPool::keyFor(s, nullptr);
    for (const ServerSettings& o : {ServerSettings{"news.example.net", 119, false, Credentials{"me", "pw"}},
                                    ServerSettings{"news.example.org", 563, false, Credentials{"me", "pw"}},
                                    ServerSettings{"news.example.org", 119, true, Credentials{"me", "pw"}},
                                    ServerSettings{"news.example.org", 119, false, Credentials{"you", "pw"}},
                                    ServerSettings{"news.example.org", 119, false, Credentials{"me", "other"}}})
        EXPECT_NE(ConnectionPool::keyFor(o, nullptr), key) << o.host << o.port << o.tls << o.login->user;
    EXPECT_NE(ConnectionPool::keyFor(s, &proxy), key);
}

// Over several connections each article's answer is not waited for before
// the next article's POST goes out (RFC 3977 3.5): one round trip an
// article; every article still arrives once and whole.
TEST(Parallel, TheNextPostGoesOutBeforeTheAnswer) {
    ParallelRun h;
    h.script.pipelineWaitMs = 300;
    writeFile("a.bin", randomBytes(12 * 1280, 5));  // 12 parts
    h.run({"-connections", "2", "-lines", "10", "a.bin"});
    ASSERT_EQ(h.accepted().size(), 12u);
    // All but the last on each connection (and any that waited for the first).
    EXPECT_GE(h.script.pipelined.load(), 8);
}

namespace {

// A runner's folder jobs that overlap: each starts once the one before has
// handed out its articles, on a thread of its own, as the runner does.
struct OverlappingRun : ParallelRun {
    std::string nzb = dir / "run.nzb";
    std::atomic<bool> stop{false};
    int folders = 0;
    std::vector<int> status;
    // Runs folders 1..folders; each folder's files and options from `of`.
    void runAll(const std::function<std::vector<std::string>(int)>& of) {
        status.assign(static_cast<std::size_t>(folders) + 1, -1);
        const int base = JobTurns::instance().handedOutCount();
        std::vector<std::thread> jobs;
        std::vector<std::unique_ptr<Args>> args;
        for (int i = 1; i <= folders; ++i) {
            const std::string runState = "run-state-" + std::to_string(i % 2);
            common::writeRunState(runState, {{"folder", std::to_string(i)}, {"folders", std::to_string(folders)}});
            std::vector<std::string> extra{"-runstate", runState, "-out", nzb, "-overlap", std::to_string(i), "-preamble",
                                           "<folder " + std::to_string(i) + ">\n"};
            for (auto& w : of(i)) extra.push_back(w);
            args.push_back(std::make_unique<Args>(words(extra)));
            Args& a = *args.back();
            jobs.emplace_back([this, &a, i] { status[static_cast<std::size_t>(i)] = postFolderJob(a.argc(), a.argv(), false, true, false, false, stop); });
            if (i > 1) jobs[static_cast<std::size_t>(i) - 2].join();
            for (int w = 0; w < 2000 && JobTurns::instance().handedOutCount() < base + i; ++w)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        jobs.back().join();
    }
    int said(const std::string& command) {
        const auto t = server.server().transcript();
        return static_cast<int>(std::count(t.begin(), t.end(), command));
    }
};

std::size_t segments(const std::string& nzb) {
    std::size_t n = 0;
    for (auto at = nzb.find("</segment>"); at != std::string::npos; at = nzb.find("</segment>", at + 1)) ++n;
    return n;
}

// Whether each of the texts comes in `text`, in this order.
bool inOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const auto& p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos) return false;
    }
    return true;
}

}  // namespace

TEST(OverlappingFolders, TwentyFoldersOverEightConnectionsLogInEightTimesAndSayEverythingInFolderOrder) {
    OverlappingRun h;
    h.folders = 20;
    // A server slow enough that the next folder starts while one waits.
    h.script.beforeAccepting = [](const std::string&) { std::this_thread::sleep_for(std::chrono::milliseconds(3)); };
    std::ostringstream err;
    auto* saved = std::cerr.rdbuf(err.rdbuf());
    testing::internal::CaptureStdout();
    h.runAll([](int i) {
        const std::string name = "f" + std::to_string(i) + ".bin";
        writeFile(name, randomBytes(12 * 1280, static_cast<unsigned>(i)));  // 12 parts
        return std::vector<std::string>{"-userid", "me", "-password", "pw", "-connections", "8", "-lines", "10", name};
    });
    const std::string out = testing::internal::GetCapturedStdout();
    std::cerr.rdbuf(saved);
    for (int i = 1; i <= h.folders; ++i) EXPECT_EQ(h.status[static_cast<std::size_t>(i)], 0) << i;
    EXPECT_EQ(h.accepted().size(), 20u * 12u);
    EXPECT_EQ(h.server.server().connections(), 8);
    EXPECT_EQ(h.said("AUTHINFO USER me"), 8);
    EXPECT_EQ(h.said("QUIT"), 8);
    EXPECT_EQ(ConnectionPool::instance().parked(), 0u);
    std::vector<std::string> logs, preambles, entries;
    for (int i = 1; i <= h.folders; ++i) {
        logs.push_back("\"f" + std::to_string(i) + ".bin\"");
        logs.push_back("bytes posted");
        preambles.push_back("<folder " + std::to_string(i) + ">");
        entries.push_back("f" + std::to_string(i) + ".bin&quot;");
    }
    EXPECT_TRUE(inOrder(err.str(), logs)) << err.str();
    EXPECT_TRUE(inOrder(out, preambles)) << out;
    const std::string nzb = readFile(h.nzb);
    EXPECT_TRUE(inOrder(nzb, entries)) << nzb;
    EXPECT_EQ(segments(nzb), 240u);
}

// The folder before fails while this one posts: this one stops, and its
// NZB entries hold exactly what the server took of it.
TEST(OverlappingFolders, AFolderBeforeThatFailsStopsTheNextWhichClaimsOnlyWhatTheServerTook) {
    ParallelRun h;
    const int before = JobTurns::instance().enter(true);  // the folder before, still waiting for replies
    std::atomic<int> seen{0};
    h.script.beforeAccepting = [&](const std::string&) {
        if (++seen == 3) JobTurns::instance().leave(before, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    };
    writeFile("a.bin", randomBytes(40 * 1280, 3));  // 40 parts
    common::writeRunState("run-state", {{"folder", "2"}, {"folders", "2"}});
    Args a(h.words({"-runstate", "run-state", "-out", "run.nzb", "-overlap", "2", "-connections", "2", "-lines", "10", "a.bin"}));
    std::atomic<bool> stop{false};
    std::ostringstream err;
    auto* saved = std::cerr.rdbuf(err.rdbuf());
    const int status = postFolderJob(a.argc(), a.argv(), false, true, false, false, stop);
    std::cerr.rdbuf(saved);
    EXPECT_EQ(status, 130);
    const auto accepted = h.accepted();
    EXPECT_GE(accepted.size(), 3u);
    EXPECT_LT(accepted.size(), 40u);
    const std::string nzb = readFile("run.nzb");
    EXPECT_EQ(segments(nzb), accepted.size()) << nzb;
    for (const auto& art : accepted) {
        const std::string id = art.header("Message-ID");
        EXPECT_THAT(nzb, HasSubstr(id.substr(1, id.size() - 2)));
    }
}
