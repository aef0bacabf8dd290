// The engine's one export.
#include <signal.h>
#include <sys/prctl.h>

#include <atomic>
#include <mutex>

#include "pelmor.h"
#include "post/job_turns.h"
#include "post/run.h"

namespace {

// Asked to stop (SIGINT, SIGTERM) while a job runs: the job stops between
// articles and saves what the server took. A second signal ends the
// process at once. Whoever handled the signal before the job hears of it too.
std::atomic<bool> stopRequested{false};
struct sigaction previousInt {}, previousTerm {};

void onStopSignal(int signal) {
    if (stopRequested.exchange(true)) {
        ::signal(signal, SIG_DFL);
        raise(signal);
        return;
    }
    const struct sigaction& previous = signal == SIGINT ? previousInt : previousTerm;
    if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN)
        previous.sa_handler(signal);
}

// Installed by the first of the jobs running at once (a runner's folders
// overlap), taken away by the last: a second job must not take the first
// one's handler for the caller's, nor clear a stop asked of the first.
std::mutex signalsMutex;
int jobsRunning = 0;

class StopSignals {
public:
    StopSignals() {
        std::lock_guard<std::mutex> lock(signalsMutex);
        if (jobsRunning++ > 0) return;
        stopRequested = false;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previousInt);
        sigaction(SIGTERM, &action, &previousTerm);
    }
    ~StopSignals() {
        std::lock_guard<std::mutex> lock(signalsMutex);
        if (--jobsRunning > 0) return;
        sigaction(SIGINT, &previousInt, nullptr);
        sigaction(SIGTERM, &previousTerm, nullptr);
    }
};

}  // namespace

extern "C" PELMOR_EXPORT int postFolder(int argc, char** argv, bool printHeader, bool threadPosts, bool uutease,
                                        bool scramble) {
    // The job holds the server password: no core dump of it, anywhere.
    prctl(PR_SET_DUMPABLE, 0);
    StopSignals signals;
    return pelmor::postFolderJob(argc, argv, printHeader, threadPosts, uutease, scramble, stopRequested);
}

// For a folder runner whose jobs overlap ("-overlap"): how many of them have
// handed out every article (or ended). The runner readies the next folder
// once its job did: it reads no file of its folder after that.
extern "C" PELMOR_EXPORT int postFolderJobsHandedOut() { return pelmor::JobTurns::instance().handedOutCount(); }
