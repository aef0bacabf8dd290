// Folder jobs of a runner that overlap: the next folder's job starts while
// the one before it waits for the server's last replies. Each such job
// takes a turn on entry; its log and events are held until every earlier
// turn has ended, so that what a run prints stays in folder order, and the
// NZB file gets its entries in that order too. A turn that fails stops the
// turns after it. Together they use no more connections than one job asks
// for: a connection is taken under its server's slot count, and a job's
// connections with nothing left to post leave (parked for the next job).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <streambuf>
#include <string>

namespace pelmor {

class JobTurns {
public:
    static JobTurns& instance();

    // The first folder's job of a run starts afresh: a failure of another
    // run stops nothing of this one. A turn that fails stops every later
    // turn of its run, also one that starts after it ended (the runner may
    // have started the next folder's job just then).
    int enter(bool firstOfRun);
    // Every earlier turn has ended.
    bool head(int turn);
    // Waits until head(turn), or until `stop` says so (checked now and then).
    // (`stop` is asked without the lock held: it may ask stopped().)
    template <typename Stop>
    void waitHead(int turn, Stop stop) {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (live_.empty() || *live_.begin() >= turn) return;
                changed_.wait_for(lock, std::chrono::milliseconds(100));
                if (live_.empty() || *live_.begin() >= turn) return;
            }
            if (stop()) return;
        }
    }
    // Every article of the turn's job is handed out to its connections (or
    // the job ended first): the runner may ready the next folder.
    void handedOut(int turn);
    int handedOutCount();
    void leave(int turn, bool failed);
    // An earlier turn failed: this one stops.
    bool stopped(int turn);

    // At most `limit` connections under `key` at once, across the turns.
    // `first`: the job's first connection, whose article the job's others
    // wait for; while it waits, connections of earlier turns that only wait
    // for their own first article give way (firstWaiting).
    template <typename Stop>
    bool acquireSlot(const std::string& key, int limit, bool first, Stop stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (first) ++firstWaiting_[key];
        bool got = false;
        for (;;) {
            if (slots_[key] < limit || (changed_.wait_for(lock, std::chrono::milliseconds(100)), slots_[key] < limit)) {
                ++slots_[key];
                got = true;
                break;
            }
            lock.unlock();
            const bool stopping = stop();
            lock.lock();
            if (stopping) break;
        }
        if (first && --firstWaiting_[key] == 0) firstWaiting_.erase(key);
        return got;
    }
    void releaseSlot(const std::string& key);
    bool firstWaiting(const std::string& key);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int next_ = 0;
    std::set<int> live_;
    std::set<int> handed_;
    int handedOutCount_ = 0;
    int failedTurn_ = -1;
    std::map<std::string, int> slots_;
    std::map<std::string, int> firstWaiting_;
};

// A job's output while it waits for its turn: its log (standard error) and
// its events and status (standard output) are kept, then written out in
// one go when the turn comes (the first text after `turnCame` says so),
// after the runner's lines for the folder.
class HeldOutput : private std::streambuf {
public:
    // `outFd`: where standard output's text goes.
    HeldOutput(std::ostream& log, std::string preamble, int outFd, std::function<bool()> turnCame);
    ~HeldOutput() override;
    // The job's log stream: held, then the real one.
    std::ostream& log() { return stream_; }
    // Standard output's text: false when it was kept (the caller writes it
    // itself otherwise).
    bool keep(const std::string& text);
    // The turn came: the kept text is written, and from now on goes straight out.
    void release();
    // Nothing of it is said: a job stopped before it posted anything,
    // as a folder after a failed one never started.
    void discard();

private:
    int overflow(int c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;
    // With the lock held: still held, unless the turn came just now.
    bool holding();
    void releaseLocked();

    std::mutex mutex_;
    std::ostream& target_;
    std::ostream stream_;
    std::string preamble_, err_, out_;
    int outFd_;
    std::function<bool()> turnCame_;
    bool held_ = true;
};

}  // namespace pelmor
