// Connections kept open from one job to the next: a folder runner posts
// folder after folder to the same server, and a new connection costs a TCP,
// a TLS and a log-in hand-shake, several round trips to a far provider.
// A job that is followed by another parks its logged-in, idle connections
// here; the next job's sessions to the same server, port, TLS, proxy and
// log-in take them back. Parked connections are closed with QUIT after a
// while unused, on request and when the process ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "common/log.h"
#include "server.h"
#include "socket.h"

namespace pelmor {

class ConnectionPool {
public:
    // The process's pool.
    static ConnectionPool& instance();

    ConnectionPool();
    ~ConnectionPool();  // closes what is parked
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // What a connection is kept under: where it goes and as whom.
    static std::string keyFor(const ServerSettings& server, const ProxySettings* proxy);

    // Keeps `socket` (logged in, idle, in step with its server) for the
    // next session under `key`; `greeting` is its server's first line.
    void park(const std::string& key, std::unique_ptr<ThrottledSocket> socket, std::string greeting);
    // A parked connection under `key` the server has not closed or spoken
    // on since (those are closed quietly), or none.
    std::unique_ptr<ThrottledSocket> take(const std::string& key, std::string& greeting);
    std::size_t parked();
    // Closes every parked connection with QUIT.
    void closeAll();

private:
    struct Parked {
        std::string key;
        std::unique_ptr<ThrottledSocket> socket;
        std::string greeting;
        std::chrono::steady_clock::time_point since;
    };
    // QUIT, a short wait for the reply, then closed.
    void quit(ThrottledSocket& socket);
    void reap();

    // Parked connections belong to no job: they use the pool's own clock,
    // a log nobody reads and a short time-out.
    std::ostream nowhere_{nullptr};
    common::Log log_;
    SocketContext context_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Parked> parked_;
    // How long a connection may wait parked (a server's idle time-out is
    // usually a few minutes).
    static constexpr std::chrono::milliseconds kIdleLimit{60000};
    std::thread reaper_;
    bool stopping_ = false;
};

}  // namespace pelmor
