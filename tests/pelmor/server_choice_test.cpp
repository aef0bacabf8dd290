// Which server each attempt goes to, on a clock the test moves: no sockets.
#include "post/server_choice.h"

#include <gtest/gtest.h>

using namespace pelmor;
using Failure = ServerChoice::Failure;
using Step = ServerChoice::Step;

TEST(ServerChoice, FailuresMoveArticlesAndConnectionsAsTheyShould) {
    struct Case {
        const char* what;
        int servers;
        int from;
        std::vector<Failure> failures;
        std::vector<Step> steps;
        int endsOn;
        int nextArticleGoesTo;  // this connection's next article, at once
    } cases[] = {
        {"a passing failure: once more here, then the backup", 2, 0, {Failure::Passing, Failure::Passing},
         {Step::TryAgainHere, Step::GoesToNext}, 1, 1},
        {"turned away: the backup at once", 2, 0, {Failure::TurnedAway}, {Step::NextServer}, 1, 1},
        {"a failed log-in: the backup at once, for every connection", 2, 0, {Failure::LogInFailed},
         {Step::ServerUnusable}, 1, 1},
        {"a fatal failure is no reason to move", 2, 0, {Failure::ForGood}, {Step::UseRetryRules}, 0, 0},
        {"no backup: the retry rules", 1, 0, {Failure::Passing, Failure::LogInFailed},
         {Step::UseRetryRules, Step::UseRetryRules}, 0, 0},
        {"a backup that cannot be used: back to the main server", 2, 1, {Failure::LogInFailed}, {Step::BackToMain}, 0, 0},
        {"a backup failing in passing: its retry rules", 2, 1, {Failure::Passing}, {Step::UseRetryRules}, 1, 0},
        {"the first backup fails twice: the second", 3, 1, {Failure::Passing, Failure::Passing},
         {Step::TryAgainHere, Step::GoesToNext}, 2, 2},
    };
    for (const Case& c : cases) {
        ServerChoice choice(c.servers);
        ServerChoice::Connection conn;
        int server = c.from, tries = 0;
        for (std::size_t i = 0; i < c.failures.size(); ++i)
            EXPECT_EQ(choice.failed(conn, server, tries, c.failures[i], 1000), c.steps[i]) << c.what << ", step " << i;
        EXPECT_EQ(server, c.endsOn) << c.what;
        EXPECT_EQ(choice.serverFor(conn, 0, 1000), c.nextArticleGoesTo) << c.what;
    }
}

TEST(ServerChoice, AConnectionOnABackupReturnsToTheMainServerAfterFiveMinutes) {
    ServerChoice choice(2);
    ServerChoice::Connection moved, other;
    int server = 0, tries = 0;
    choice.failed(moved, server, tries, Failure::TurnedAway, 1000);
    EXPECT_EQ(choice.serverFor(other, 0, 1000), 0) << "only the connection turned away leaves";
    EXPECT_EQ(choice.serverFor(moved, 0, 1000 + kBackToMainMs - 1), 1);
    EXPECT_EQ(choice.serverFor(moved, 0, 1000 + kBackToMainMs), 0);
    EXPECT_EQ(choice.serverFor(moved, 0, 1000 + kBackToMainMs + 1), 0) << "and stays there";
    // Across the clock's wrap as well.
    ServerChoice::Connection late;
    server = 0;
    choice.failed(late, server, tries, Failure::TurnedAway, 0xFFFFFF00u);
    EXPECT_EQ(choice.serverFor(late, 0, 0x100u), 1);
    EXPECT_EQ(choice.serverFor(late, 0, 0xFFFFFF00u + kBackToMainMs), 0);
}

TEST(ServerChoice, AServerWhoseLogInFailedIsLeftByEveryConnectionAndSaidOnce) {
    ServerChoice choice(3);
    ServerChoice::Connection a, b, fresh;
    int sa = 0, sb = 0, tries = 0;
    EXPECT_EQ(choice.failed(a, sa, tries, Failure::LogInFailed, 0), Step::ServerUnusable);
    EXPECT_EQ(choice.failed(b, sb, tries, Failure::LogInFailed, 0), Step::MovedOn);
    EXPECT_EQ(choice.firstUsable(), 1);
    EXPECT_EQ(choice.serverFor(fresh, 0, 0), 1);
    EXPECT_EQ(choice.serverFor(fresh, 0, 10 * kBackToMainMs), 1) << "no return to a server that cannot be used";
}
