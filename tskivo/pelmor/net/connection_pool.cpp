#include "connection_pool.h"

#include <utility>
#include <vector>

#include "common/platform.h"

namespace pelmor {

namespace {
constexpr int kQuitWaitMs = 2000;
}

ConnectionPool& ConnectionPool::instance() {
    static ConnectionPool pool;
    return pool;
}

ConnectionPool::ConnectionPool() : log_(nowhere_), context_{common::systemClock(), log_, kQuitWaitMs, ""} {}

ConnectionPool::~ConnectionPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (reaper_.joinable()) reaper_.join();
    closeAll();
}

std::string ConnectionPool::keyFor(const ServerSettings& server, const ProxySettings* proxy) {
    // Fields apart by a byte no host name or log-in holds.
    std::string key = server.host + '\0' + std::to_string(server.port) + '\0' + (server.tls ? "tls" : "plain");
    if (server.login) key += '\0' + server.login->user + '\0' + server.login->password;
    if (proxy) {
        key += std::string("\0proxy\0", 7) + proxy->label();
        if (proxy->login) key += '\0' + proxy->login->user + '\0' + proxy->login->password;
    }
    return key;
}

void ConnectionPool::park(const std::string& key, std::unique_ptr<ThrottledSocket> socket, std::string greeting) {
    socket->rebind(context_);
    socket->setSharedLimiter(nullptr);  // the job's limiter ends with the job
    socket->setWriteRate(0);
    socket->setProgressHook(nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    parked_.push_back({key, std::move(socket), std::move(greeting), std::chrono::steady_clock::now()});
    if (!reaper_.joinable()) reaper_ = std::thread([this] { reap(); });
    wake_.notify_all();
}

std::unique_ptr<ThrottledSocket> ConnectionPool::take(const std::string& key, std::string& greeting) {
    std::vector<std::unique_ptr<ThrottledSocket>> closed;
    std::unique_ptr<ThrottledSocket> found;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = parked_.begin(); it != parked_.end() && !found;) {
            if (it->key != key) {
                ++it;
                continue;
            }
            // Closed by the server meanwhile (its idle time-out), or it said
            // something unasked ("400 idle too long"): not to be used.
            if (it->socket->quiet()) {
                found = std::move(it->socket);
                greeting = std::move(it->greeting);
            } else {
                closed.push_back(std::move(it->socket));
            }
            it = parked_.erase(it);
        }
    }
    for (auto& s : closed) s->close();
    return found;
}

void ConnectionPool::quit(ThrottledSocket& socket) {
    if (socket.quiet() && socket.writePair("QUIT", "\r\n")) {
        std::string reply;
        socket.readLine(reply, 512, kQuitWaitMs);
    }
    socket.close();
}

void ConnectionPool::closeAll() {
    std::deque<Parked> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(parked_);
    }
    // QUIT on each first, then their replies: one round trip for them all.
    std::vector<char> sent(all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        sent[i] = all[i].socket->quiet() && all[i].socket->writePair("QUIT", "\r\n");
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::string reply;
        if (sent[i]) all[i].socket->readLine(reply, 512, kQuitWaitMs);
        all[i].socket->close();
    }
}

std::size_t ConnectionPool::parked() {
    std::lock_guard<std::mutex> lock(mutex_);
    return parked_.size();
}

void ConnectionPool::reap() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::seconds(1));
        const auto now = std::chrono::steady_clock::now();
        std::vector<Parked> expired;
        for (auto it = parked_.begin(); it != parked_.end();) {
            if (now - it->since >= kIdleLimit) {
                expired.push_back(std::move(*it));
                it = parked_.erase(it);
            } else {
                ++it;
            }
        }
        if (expired.empty()) continue;
        lock.unlock();
        for (auto& p : expired) quit(*p.socket);
        lock.lock();
    }
}

}  // namespace pelmor
