#include "server_choice.h"

#include <algorithm>

namespace pelmor {

int ServerChoice::serverFor(Connection& c, int articleServer, std::uint32_t nowMs) const {
    if (c.preferred > 0 && nowMs - c.since >= kBackToMainMs) c.preferred = 0;
    return std::min(last_, std::max({articleServer, firstUsable_.load(), c.preferred}));
}

ServerChoice::Step ServerChoice::failed(Connection& c, int& server, int& triesHere, Failure why, std::uint32_t nowMs) {
    const auto leaveFor = [&](int next) {
        c.preferred = std::max(c.preferred, next);
        c.since = nowMs;
    };
    if (server < last_ && why != Failure::ForGood) {
        Step step = Step::NextServer;
        if (why == Failure::TurnedAway) {
            leaveFor(server + 1);  // this connection posts on the backup
        } else if (why == Failure::LogInFailed) {
            int was = firstUsable_.load();
            while (was <= server && !firstUsable_.compare_exchange_weak(was, server + 1)) {
            }
            step = was <= server ? Step::ServerUnusable : Step::MovedOn;
        } else if (++triesHere < 2) {
            return Step::TryAgainHere;
        } else {
            leaveFor(server + 1);
            step = Step::GoesToNext;
        }
        ++server;
        triesHere = 0;
        return step;
    }
    if (server > 0 && why == Failure::LogInFailed) {
        server = 0;
        triesHere = 0;
        c.preferred = 0;
        return Step::BackToMain;
    }
    return Step::UseRetryRules;
}

}  // namespace pelmor
