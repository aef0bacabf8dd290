// Posting over several connections, against a server that serves each
// connection on a thread of its own.
#include <chrono>
#include <map>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver.h"
#include "fake_nntp_server.h"
#include "posting_run.h"
#include "kelvo_exception.h"
#include "test_support.h"

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

// What every connection of the server saw, in the order articles arrived.
struct Farm {
    std::mutex mutex;
    std::vector<ReceivedArticle> accepted;  // answered 240
    int articlesSeen = 0;
    std::vector<std::string> greetings;  // by connection; "200 ok" past the list
    std::set<int> dropInBody;            // article numbers (from 1) cut off mid-body, once
    std::set<int> refuse;                // article numbers answered 441
    int delayFirstReplyMs = 0;           // before the 240 of the job's first article (part 1 of 1.bin)
    std::chrono::steady_clock::time_point firstByte, lastByte, firstAcceptedAt;
    std::vector<std::chrono::steady_clock::time_point> postedAt;  // by accepted article: when its POST came
    std::size_t bytes = 0;
    std::atomic<int> connection{0};

    FakeNntpServer::Handler handler() {
        return [this](FakeNntpServer::Conn& c) {
            const int index = connection++;
            std::string greeting = "200 ok";
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (static_cast<std::size_t>(index) < greetings.size()) greeting = greetings[index];
            }
            c.sendLine(greeting);
            if (greeting[0] != '2') return;
            while (auto line = c.readLine()) {
                if (*line == "QUIT") {
                    c.sendLine("205 bye");
                    return;
                }
                if (*line != "POST") {
                    c.sendLine("500 what?");
                    continue;
                }
                int number;
                bool drop, refused;
                const auto postAt = std::chrono::steady_clock::now();
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    number = ++articlesSeen;
                    drop = dropInBody.erase(number) > 0;
                    refused = refuse.count(number) > 0;
                }
                c.sendLine("340 send it");
                auto article = c.readArticle(drop ? 200 : 0);
                if (!article || drop) return;
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    const auto now = std::chrono::steady_clock::now();
                    if (bytes == 0) firstByte = now;
                    lastByte = now;
                    bytes += article->size();
                }
                if (refused) {
                    c.sendLine("441 not this one");
                    continue;
                }
                // The job's first article: part 1 of the first file.
                const bool first = article->find("=ybegin part=1 total") != std::string::npos &&
                                   article->find("name=1.bin") != std::string::npos;
                if (first && delayFirstReplyMs) std::this_thread::sleep_for(std::chrono::milliseconds(delayFirstReplyMs));
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    accepted.push_back(ReceivedArticle{*article});
                    postedAt.push_back(postAt);
                    if (first) firstAcceptedAt = std::chrono::steady_clock::now();
                }
                c.sendLine("240 posted");
            }
        };
    }
};

// The farm behind a server that serves every connection at once.
struct FarmServer {
    Farm farm;
    FakeNntpServer server{{farm.handler()}, nullptr, true};
    int port() const { return server.port(); }
};

struct ParallelRun : testing_support::PostingRunOn<FarmServer> {
    explicit ParallelRun(bool threadPosts = true)
        : PostingRunOn({"-from", "Me <me@example.org>", "-subject", "Many", "-newsgroups", "alt.test"}, false,
                       threadPosts) {}
    Farm& farm = server.farm;
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
    h.farm.greetings = {"200 ok", "200 ok", "502 too many connections"};
    h.farm.dropInBody = {5, 17};
    h.farm.refuse = {9};
    h.run({"-connections", "4", "-lines", "10", "-o", "out.nzb", "a.bin", "b.bin", "c.bin"});

    // Every part of every file arrived once, and decodes to the source.
    std::map<std::string, std::map<int, std::string>> got;
    for (const auto& a : h.farm.accepted) {
        auto& parts = got[nameOf(a)];
        EXPECT_TRUE(parts.emplace(partOf(a), testing_support::yencDecode(a.body())).second)
            << nameOf(a) << " part " << partOf(a) << " twice";
    }
    for (const auto& [name, data] : files) {
        std::string joined;
        for (const auto& [part, bytes] : got[name]) joined += bytes;
        EXPECT_EQ(joined, data) << name;
    }
    EXPECT_THAT(h.log.str(), HasSubstr("The server took 3 of 4 connections; posting over 3."));
    EXPECT_THAT(h.log.str(), HasSubstr("Nonfatal; we'll try again, waiting 1min."));
    // Progress lines as over one connection.
    EXPECT_THAT(h.log.str(), HasSubstr("    Many [2/3] 1 bytes - yEnc \"b.bin\" (1/1) \n"));

    // The NZB lists the accepted ids in part order, file by file.
    const std::string nzb = readFile("out.nzb");
    std::map<std::string, std::string> idToName;
    std::map<std::string, int> idToPart;
    for (const auto& a : h.farm.accepted) {
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
    EXPECT_EQ(listed.size(), h.farm.accepted.size());
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << "files in job order, parts in part order";
}

TEST(Parallel, ReferencingArticlesNeverPrecedeTheFirst) {
    ParallelRun h;
    for (const char* f : {"1.bin", "2.bin", "3.bin"}) writeFile(f, randomBytes(6000, 7));
    h.farm.delayFirstReplyMs = 200;  // the others would overtake it if they could
    h.run({"-connections", "6", "-lines", "10", "-references", "<top@x>", "1.bin", "2.bin", "3.bin"});
    std::string firstId;
    for (const auto& a : h.farm.accepted)
        if (nameOf(a) == "1.bin" && partOf(a) == 1) firstId = a.header("Message-ID");
    ASSERT_FALSE(firstId.empty());
    EXPECT_EQ(h.job.firstMessageId, firstId);
    int referencing = 0;
    for (std::size_t i = 0; i < h.farm.accepted.size(); ++i) {
        const auto& a = h.farm.accepted[i];
        if (nameOf(a) == "1.bin") {
            EXPECT_EQ(a.header("References"), "<top@x>");
        } else {
            EXPECT_EQ(a.header("References"), firstId);
            EXPECT_GT(h.farm.postedAt[i], h.farm.firstAcceptedAt) << "sent before the article it references";
            ++referencing;
        }
    }
    EXPECT_EQ(referencing, 10);
}

TEST(Parallel, ThrottleHoldsForTheSumOfAllConnections) {
    TempDir dir;
    Farm farm;
    FakeNntpServer server({farm.handler()}, nullptr, true);
    std::ostringstream log;
    PostJob job(false, true, false, false, systemClock(), log);
    writeFile("big.bin", randomBytes(1200000, 3));
    Args a(std::vector<std::string>{"pelmor", "-from", "f <f@x>", "-subject", "s", "-newsgroups", "g", "-hostname",
                                    "127.0.0.1", "-port", std::to_string(server.port()), "-connections", "4",
                                    "-throttle", "400000", "-lines", "100", "big.bin"});
    runJob(job, a.argc(), a.argv());
    const double seconds = std::chrono::duration<double>(farm.lastByte - farm.firstByte).count();
    ASSERT_GT(seconds, 1.0);
    const double rate = static_cast<double>(farm.bytes) / seconds;
    EXPECT_GT(rate, 400000 * 0.8);
    EXPECT_LT(rate, 400000 * 1.15);
}

TEST(Parallel, AJobThatFailsStopsEveryConnectionAndKeepsWhatWasAccepted) {
    ParallelRun h;
    writeFile("a.bin", randomBytes(20000, 4));
    h.job.options["max_retries"] = "2";
    for (int i = 4; i < 100; ++i) h.farm.refuse.insert(i);
    EXPECT_THROW(h.run({"-connections", "3", "-lines", "10", "-o", "out.nzb", "a.bin"}), Kelvo_Exception);
    EXPECT_THAT(h.log.str(), HasSubstr("Too many retries, I give up."));
    const std::string nzb = readFile("out.nzb");
    EXPECT_EQ(h.farm.accepted.size(), 3u);
    EXPECT_LT(h.farm.articlesSeen, 16 * 2) << "the other connections stopped too (16 parts, 2 tries each)";
    for (const auto& a : h.farm.accepted) {
        const std::string id = a.header("Message-ID");
        EXPECT_THAT(nzb, HasSubstr(id.substr(1, id.size() - 2)));
    }
}
