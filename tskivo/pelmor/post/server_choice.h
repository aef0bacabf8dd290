// Which server an attempt goes to, and where the next one goes when it
// fails: the main server; a backup while the main one turns a connection
// away or keeps failing an article (for five minutes, then the main server
// again); past a server whose log-in failed, for every connection; and
// back to the main server from a backup that cannot be used. Decisions
// only: no sockets, the time given by the caller.
#pragma once

#include <atomic>
#include <cstdint>

namespace pelmor {

// How long a connection stays on a backup before it tries the main server again.
inline constexpr std::uint32_t kBackToMainMs = 5 * 60 * 1000;

class ServerChoice {
public:
    explicit ServerChoice(int servers) : last_(servers - 1) {}

    // One connection's leaning: the server it posts on first.
    struct Connection {
        int preferred = 0;
        std::uint32_t since = 0;
    };
    // Where an article last tried on `articleServer` goes now.
    int serverFor(Connection& c, int articleServer, std::uint32_t nowMs) const;

    enum class Failure {
        TurnedAway,   // a greeting or log-in refused for a connection limit
        LogInFailed,  // no connection, no greeting, or the log-in refused
        Passing,      // anything else that may pass
        ForGood,      // fatal, or the file is to be skipped
    };
    enum class Step {
        TryAgainHere,     // once more on this server, after a short wait
        NextServer,       // at once, on the next server (turned away: nothing to say)
        GoesToNext,       // failed twice here: at once on the next server, and this connection's next articles too
        ServerUnusable,   // at once, on the next server; this one is left by every connection (said once)
        MovedOn,          // the same, another connection had said so already
        BackToMain,       // the backup cannot be used: the main server, under the retry rules
        UseRetryRules,    // no other server to try: the article's own retry rules
    };
    // Sets `server` and `triesHere` for the next attempt.
    Step failed(Connection& c, int& server, int& triesHere, Failure why, std::uint32_t nowMs);

    int firstUsable() const { return firstUsable_.load(); }

private:
    int last_;
    // Servers before this one cannot be used (down, or the log-in refused).
    std::atomic<int> firstUsable_{0};
};

}  // namespace pelmor
