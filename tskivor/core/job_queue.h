// The front end's jobs: a folder job per directory, at most N at once,
// the rest waiting in order. Each runs in a runner that takes jobs one
// after another ("tskivo --queue"), so that the next job finds the
// server connections the one before logged in; a runner left without a
// job for a minute ends. Runners report in JSON lines (/json); a job's row
// follows them from waiting to done, failed or cancelled.
#pragma once

#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "runner_command.h"

namespace tskivor {

struct Job {
    int id = 0;  // stays with the job while rows come and go
    enum class State { Waiting, MakingPar2, Posting, Checking, Done, Failed, Cancelled };
    QString directory;
    RunnerCommand command;
    State state = State::Waiting;
    double share = 0;            // of the directory's bytes, 0 to 1
    std::uint64_t rate = 0;      // bytes per second
    std::int64_t secondsLeft = -1;
    int par2Percent = -1;        // while the recovery set is made
    // At the end: the runner's totals, exit status and last error.
    std::uint64_t bytes = 0, articles = 0, reposted = 0, skipped = 0;
    double seconds = 0;
    int status = -1;
    QString error;
    QString waiting;  // a retry's wait: "retrying in 52 s: connection refused"
    QStringList log;  // every line the runner wrote, the events' words among them
    bool cancelling = false;  // asked to stop; the runner is saving its NZB file
    bool running() const { return state == State::MakingPar2 || state == State::Posting || state == State::Checking; }
    bool finished() const { return state == State::Done || state == State::Failed || state == State::Cancelled; }
};

// "waiting", "making PAR2", "posting", "checking", "done", "failed", "cancelled".
QString stateText(Job::State state);
// The words of a runner's error that say what went wrong, without the
// technical lead-in.
QString errorGist(const QString& message);

class JobQueue : public QObject {
    Q_OBJECT
public:
    // `runner`: the tskivo program.
    explicit JobQueue(QString runner, QObject* parent = nullptr);
    // Running runners are stopped (their NZB files saved) and waited for.
    ~JobQueue() override;

    void setMaxRunning(int n);
    // Queues a job; it starts when a place is free. Returns its row.
    int add(const QString& directory, RunnerCommand command);
    // A running job's runner is asked to stop (SIGTERM: it saves its NZB
    // file and ends); a waiting one is cancelled at once.
    void cancel(int row);
    // A failed or cancelled job again, resuming from its NZB file; with
    // `fresh`, under that command (the settings as they are now).
    void retry(int row, std::optional<RunnerCommand> fresh = std::nullopt);
    // Removes the finished rows (and their intro files).
    void clearFinished();
    const std::vector<Job>& jobs() const { return jobs_; }
    int running() const;
    // Stops every runner and waits for each up to `ms` milliseconds.
    void stopAll(int ms = 15000);
    // One of the runner's JSON event lines, applied to its job's row and log.
    static void event(Job& job, const QByteArray& line);
    // The list kept across restarts (no secrets: those come from the
    // profile when a job runs again). A job that had not finished comes
    // back cancelled, for Retry to resume.
    bool save(const QString& path) const;
    void load(const QString& path);
    // A row as it would stand, without a runner (the window's screenshots).
    void showRow(Job job);

    // How long a runner without a job waits for the next.
    void setRunnerIdleMs(int ms) { idleMs_ = ms; }
    // The runner processes there are, busy or waiting for a job.
    int runners() const { return static_cast<int>(runners_.size()); }

signals:
    void changed(int row);  // -1: rows added or removed

private:
    struct Runner {
        std::unique_ptr<QProcess> process;
        int jobId = 0;          // the job it runs; 0 while it waits for one
        bool reusable = true;   // not once asked to stop or to end
        QByteArray pending, pendingErrors;  // lines not yet whole
        QString lastStderr;
        std::optional<int> endedStatus;  // the job's end, read on standard output
        bool errorsEnded = false;        // and on standard error
        std::unique_ptr<QTimer> idle;
    };
    int rowOf(int id) const;
    Runner* runnerOf(int jobId) const;
    void startDue();
    void start(Job& job);
    void hand(Job& job, Runner& runner);
    void readEvents(Runner& runner);
    void readErrors(Runner& runner);
    // The job's end: `status` from its runner (-1: ended abnormally).
    void ended(Runner& runner, int status);
    void exited(Runner* runner, int exitCode, QProcess::ExitStatus how);
    void notStarted(Runner* runner);
    void retire(Runner& runner);
    static void forgetIntro(const Job& job);

    QString runner_;
    int maxRunning_ = 1;
    int nextId_ = 1;
    int idleMs_ = 60000;
    std::vector<Job> jobs_;
    std::vector<std::unique_ptr<Runner>> runners_;
};

}  // namespace tskivor
