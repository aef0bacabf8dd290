#include "job_queue.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>

namespace tskivor {

QString errorGist(const QString& message) {
    // "Unable to create IP socket (h:119: connect: Connection refused): h:119
    // refused the connection; ...": what follows the last "): " says it.
    const qsizetype cut = message.lastIndexOf(QStringLiteral("): "));
    return cut >= 0 ? message.mid(cut + 3) : message;
}

QString stateText(Job::State state) {
    switch (state) {
        case Job::State::Waiting: return QStringLiteral("waiting");
        case Job::State::MakingPar2: return QStringLiteral("making PAR2");
        case Job::State::Posting: return QStringLiteral("posting");
        case Job::State::Checking: return QStringLiteral("checking");
        case Job::State::Done: return QStringLiteral("done");
        case Job::State::Failed: return QStringLiteral("failed");
        case Job::State::Cancelled: return QStringLiteral("cancelled");
    }
    return QString();
}

JobQueue::JobQueue(QString runner, QObject* parent) : QObject(parent), runner_(std::move(runner)) {}

JobQueue::~JobQueue() {
    // Whoever watched the rows may be gone already.
    disconnect(this, &JobQueue::changed, nullptr, nullptr);
    stopAll();
    for (const Job& job : jobs_) forgetIntro(job);
}

void JobQueue::forgetIntro(const Job& job) {
    if (!job.command.introFile.isEmpty()) QFile::remove(job.command.introFile);
}

void JobQueue::setMaxRunning(int n) {
    maxRunning_ = std::clamp(n, 1, 16);
    startDue();
}

int JobQueue::rowOf(int id) const {
    for (std::size_t i = 0; i < jobs_.size(); ++i)
        if (jobs_[i].id == id) return static_cast<int>(i);
    return -1;
}

int JobQueue::add(const QString& directory, RunnerCommand command) {
    Job job;
    job.id = nextId_++;
    job.directory = directory;
    job.command = std::move(command);
    jobs_.push_back(std::move(job));
    emit changed(-1);
    startDue();
    return static_cast<int>(jobs_.size()) - 1;
}

int JobQueue::running() const {
    return static_cast<int>(std::count_if(jobs_.begin(), jobs_.end(), [](const Job& j) { return j.running(); }));
}

void JobQueue::startDue() {
    // In the order they were added.
    for (Job& job : jobs_) {
        if (running() >= maxRunning_) return;
        if (job.state == Job::State::Waiting) start(job);
    }
}

JobQueue::Runner* JobQueue::runnerOf(int jobId) const {
    for (const auto& r : runners_)
        if (r->jobId == jobId) return r.get();
    return nullptr;
}

void JobQueue::start(Job& job) {
    // A runner done with its job takes the next: its connections are open.
    for (const auto& r : runners_)
        if (r->jobId == 0 && r->reusable) return hand(job, *r);
    auto owned = std::make_unique<Runner>();
    Runner* runner = owned.get();
    runner->process = std::make_unique<QProcess>();
    runner->idle = std::make_unique<QTimer>();
    runner->idle->setSingleShot(true);
    connect(runner->idle.get(), &QTimer::timeout, this, [runner] {
        if (runner->jobId != 0) return;
        runner->reusable = false;
        runner->process->closeWriteChannel();  // the runner ends, closing its connections
    });
    QProcess& p = *runner->process;
    p.setProgram(runner_);
    p.setArguments({QStringLiteral("--queue")});
    // The secrets come with each job, on the runner's standard input.
    p.setProcessEnvironment(runnerEnvironment(RunnerCommand{}));
    p.setWorkingDirectory(QDir::currentPath());
    connect(&p, &QProcess::readyReadStandardOutput, this, [this, runner] { readEvents(*runner); });
    connect(&p, &QProcess::readyReadStandardError, this, [this, runner] { readErrors(*runner); });
    connect(&p, &QProcess::finished, this,
            [this, runner](int code, QProcess::ExitStatus how) { exited(runner, code, how); });
    connect(&p, &QProcess::errorOccurred, this, [this, runner](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) notStarted(runner);
    });
    runners_.push_back(std::move(owned));
    runner->jobId = job.id;
    const int id = job.id;
    p.start();
    // A runner that could not start has failed the job already.
    if (runnerOf(id) == runner) hand(job, *runner);
}

void JobQueue::hand(Job& job, Runner& runner) {
    const QStringList& arguments = job.command.arguments;  // the runner sends JSON events
    QJsonObject environment;
    for (const auto& [name, value] : runnerSecrets(job.command))
        if (value) environment[name] = *value;
    const QJsonObject line{{QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)},
                           {QStringLiteral("environment"), environment}};
    runner.jobId = job.id;
    runner.lastStderr.clear();
    runner.idle->stop();
    job.state = Job::State::Posting;
    job.share = 0;
    job.rate = 0;
    job.secondsLeft = -1;
    job.par2Percent = -1;
    job.status = -1;
    job.error.clear();
    job.waiting.clear();
    job.log << QStringLiteral("tskivo ") + arguments.join(QLatin1Char(' '));
    emit changed(rowOf(job.id));
    runner.process->write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
}

void JobQueue::retire(Runner& runner) {
    runner.idle->stop();
    runner.process->disconnect(this);
    runner.process.release()->deleteLater();
    runners_.erase(std::find_if(runners_.begin(), runners_.end(), [&](const auto& r) { return r.get() == &runner; }));
}

void JobQueue::notStarted(Runner* runner) {
    const int row = rowOf(runner->jobId);
    const QString why = runner->process->errorString();
    retire(*runner);
    if (row < 0) return;
    Job& job = jobs_[static_cast<std::size_t>(row)];
    job.state = Job::State::Failed;
    job.error = QStringLiteral("The runner %1 could not be started: %2").arg(runner_, why);
    emit changed(row);
    startDue();
}

namespace {

// The runner ends a job with {"type":"ended",...} on both its outputs:
// the job is over once both are read, so that none of its lines is taken
// for the next job's.
bool endsJob(const QByteArray& line) {
    return QJsonDocument::fromJson(line).object().value(QStringLiteral("type")).toString() == QStringLiteral("ended");
}

// The next whole line of what came, taken out of it.
std::optional<QByteArray> takeLine(QByteArray& pending) {
    const qsizetype eol = pending.indexOf('\n');
    if (eol < 0) return std::nullopt;
    QByteArray line = pending.left(eol);
    pending.remove(0, eol + 1);
    return line;
}

}  // namespace

void JobQueue::readEvents(Runner& runner) {
    runner.pending += runner.process->readAllStandardOutput();
    while (const auto line = takeLine(runner.pending)) {
        const int row = rowOf(runner.jobId);
        if (row < 0) continue;
        if (endsJob(*line)) {
            runner.endedStatus = QJsonDocument::fromJson(*line).object().value(QStringLiteral("status")).toInt(255);
            if (runner.errorsEnded) ended(runner, *runner.endedStatus);
            continue;
        }
        event(jobs_[static_cast<std::size_t>(row)], *line);
        emit changed(row);
    }
}

void JobQueue::readErrors(Runner& runner) {
    runner.pendingErrors += runner.process->readAllStandardError();
    while (const auto taken = takeLine(runner.pendingErrors)) {
        const QByteArray& line = *taken;
        const int row = rowOf(runner.jobId);
        if (row < 0 || line.trimmed().isEmpty()) continue;
        if (endsJob(line)) {
            runner.errorsEnded = true;
            if (runner.endedStatus) ended(runner, *runner.endedStatus);
            continue;
        }
        runner.lastStderr = QString::fromUtf8(line).trimmed();
        jobs_[static_cast<std::size_t>(row)].log << QString::fromUtf8(line);
        emit changed(row);
    }
}

void JobQueue::event(Job& job, const QByteArray& line) {
    const QJsonObject e = QJsonDocument::fromJson(line).object();
    const QString type = e.value(QStringLiteral("type")).toString();
    const auto number = [&e](const char* key) { return e.value(QLatin1String(key)).toDouble(); };
    const auto text = [&e](const char* key) { return e.value(QLatin1String(key)).toString(); };
    if (type == QStringLiteral("retry")) {
        job.waiting = QStringLiteral("retrying in %1 s: %2").arg(static_cast<int>(number("wait_seconds"))).arg(errorGist(text("message")));
        job.log << text("message");
        job.log << job.waiting;
    } else if (type == QStringLiteral("error") || type == QStringLiteral("after")) {
        job.log << (type == QStringLiteral("after") ? QStringLiteral("after: ") + text("command") : text("message"));
    } else if (type == QStringLiteral("job_started")) {
        job.log << QStringLiteral("Folder %1 of %2").arg(number("folder")).arg(number("folders"));
    }
    if (type == QStringLiteral("progress") && number("bytes_done") > 0) job.waiting.clear();
    if (type == QStringLiteral("progress")) {
        const bool run = e.contains(QStringLiteral("run_bytes_total"));
        const double done = number(run ? "run_bytes_done" : "bytes_done");
        const double total = number(run ? "run_bytes_total" : "bytes_total");
        job.share = total > 0 ? std::min(1.0, done / total) : 0;
        job.rate = static_cast<std::uint64_t>(number("rate"));
        job.secondsLeft = job.rate ? static_cast<std::int64_t>(number("eta_seconds")) : -1;
        job.par2Percent = e.contains(QStringLiteral("par2")) ? static_cast<int>(number("par2")) : -1;
        const bool allSent = number("bytes_done") >= number("bytes_total");
        if (e.contains(QStringLiteral("check")) && allSent) job.state = Job::State::Checking;
        else if (job.par2Percent >= 0 && job.par2Percent < 100 && number("bytes_done") == 0)
            job.state = Job::State::MakingPar2;
        else job.state = Job::State::Posting;
    } else if (type == QStringLiteral("error")) {
        job.error = e.value(QStringLiteral("message")).toString();
    } else if (type == QStringLiteral("finished")) {
        job.log << QStringLiteral("Status %1: %2").arg(static_cast<int>(number("status"))).arg(text("meaning"));
        job.status = static_cast<int>(number("status"));
        job.bytes = static_cast<std::uint64_t>(number("bytes"));
        job.articles = static_cast<std::uint64_t>(number("articles"));
        job.reposted = static_cast<std::uint64_t>(number("reposted"));
        job.skipped = static_cast<std::uint64_t>(number("skipped"));
        job.seconds = number("seconds");
    }
}

void JobQueue::ended(Runner& runner, int status) {
    const int row = rowOf(runner.jobId);
    runner.jobId = 0;
    runner.endedStatus.reset();
    runner.errorsEnded = false;
    // One stopped (by anyone) ends after its job; the others wait for the next.
    if (status == 130) runner.reusable = false;
    if (runner.reusable) runner.idle->start(idleMs_);
    else if (runner.process) runner.process->closeWriteChannel();
    if (row < 0) return;
    Job& job = jobs_[static_cast<std::size_t>(row)];
    const QString lastStderr = runner.lastStderr;
    job.rate = 0;
    job.secondsLeft = -1;
    job.waiting.clear();
    if (status < 0) {
        job.state = Job::State::Failed;
        job.status = -1;
        if (job.error.isEmpty()) job.error = QStringLiteral("The runner ended abnormally.");
    } else {
        job.status = status;
        // 0: done; 1: done with files skipped; 130: stopped on request.
        job.state = status == 0 || status == 1 ? Job::State::Done
                    : status == 130            ? Job::State::Cancelled
                                               : Job::State::Failed;
        if (job.state == Job::State::Done) {
            job.share = 1;
            forgetIntro(job);  // no retry needs it again
        }
        if (job.state == Job::State::Failed && job.error.isEmpty())
            job.error = lastStderr.isEmpty() ? QStringLiteral("The runner ended with status %1.").arg(status)
                                             : lastStderr;
    }
    emit changed(row);
    startDue();
}

void JobQueue::exited(Runner* runner, int exitCode, QProcess::ExitStatus how) {
    readErrors(*runner);
    readEvents(*runner);
    // Ended in the middle of a job: the job ends with it.
    if (runner->jobId != 0) {
        runner->reusable = false;
        ended(*runner, how == QProcess::CrashExit ? -1 : exitCode);
    }
    retire(*runner);
}

void JobQueue::cancel(int row) {
    if (row < 0 || row >= static_cast<int>(jobs_.size())) return;
    Job& job = jobs_[static_cast<std::size_t>(row)];
    if (job.state == Job::State::Waiting) {
        job.state = Job::State::Cancelled;
        emit changed(row);
        return;
    }
    Runner* runner = runnerOf(job.id);
    // Once only: a second SIGTERM ends the runner at once, before it has
    // saved its NZB file.
    if (!runner || job.cancelling) return;
    job.cancelling = true;
    runner->reusable = false;
    emit changed(row);
    runner->process->terminate();  // SIGTERM: the runner saves its NZB file and ends with 130
}

void JobQueue::retry(int row, std::optional<RunnerCommand> fresh) {
    if (row < 0 || row >= static_cast<int>(jobs_.size())) return;
    Job& job = jobs_[static_cast<std::size_t>(row)];
    if (job.state != Job::State::Failed && job.state != Job::State::Cancelled) return;
    if (fresh) {
        if (fresh->introFile != job.command.introFile) forgetIntro(job);
        job.command = std::move(*fresh);
    }
    // What the NZB file lists is on the server: only the rest is posted.
    if (!job.command.nzbPath.isEmpty() && !job.command.arguments.contains(QStringLiteral("/resume")))
        job.command.arguments << QStringLiteral("/resume");
    job.state = Job::State::Waiting;
    job.error.clear();
    job.cancelling = false;
    job.status = -1;
    job.share = 0;
    emit changed(row);
    startDue();
}

void JobQueue::clearFinished() {
    for (const Job& j : jobs_)
        if (j.finished()) forgetIntro(j);
    jobs_.erase(std::remove_if(jobs_.begin(), jobs_.end(), [](const Job& j) { return j.finished(); }), jobs_.end());
    emit changed(-1);
}

namespace {

Job::State stateFrom(const QString& text) {
    for (const auto s : {Job::State::Done, Job::State::Failed, Job::State::Cancelled})
        if (stateText(s) == text) return s;
    return Job::State::Cancelled;  // unfinished when the list was kept
}

}  // namespace

bool JobQueue::save(const QString& path) const {
    QJsonArray rows;
    for (const Job& j : jobs_) {
        QJsonObject o;
        o[QStringLiteral("directory")] = j.directory;
        o[QStringLiteral("arguments")] = QJsonArray::fromStringList(j.command.arguments);
        o[QStringLiteral("nzb")] = j.command.nzbPath;
        o[QStringLiteral("state")] = j.finished() ? stateText(j.state) : QStringLiteral("interrupted");
        o[QStringLiteral("status")] = j.status;
        o[QStringLiteral("error")] = j.finished() ? j.error : QStringLiteral("The window was closed before the job ended; Retry resumes it.");
        o[QStringLiteral("bytes")] = static_cast<double>(j.bytes);
        o[QStringLiteral("articles")] = static_cast<double>(j.articles);
        o[QStringLiteral("seconds")] = j.seconds;
        o[QStringLiteral("log")] = QJsonArray::fromStringList(j.log.mid(std::max<qsizetype>(0, j.log.size() - 500)));
        rows.append(o);
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return false;
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(QJsonDocument(rows).toJson(QJsonDocument::Compact));
    return f.commit();
}

void JobQueue::load(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return;
    for (const QJsonValue v : QJsonDocument::fromJson(f.readAll()).array()) {
        const QJsonObject o = v.toObject();
        Job job;
        job.id = nextId_++;
        job.directory = o.value(QStringLiteral("directory")).toString();
        if (job.directory.isEmpty()) continue;
        for (const QJsonValue a : o.value(QStringLiteral("arguments")).toArray()) job.command.arguments << a.toString();
        job.command.nzbPath = o.value(QStringLiteral("nzb")).toString();
        job.state = stateFrom(o.value(QStringLiteral("state")).toString());
        job.status = o.value(QStringLiteral("status")).toInt(-1);
        job.error = o.value(QStringLiteral("error")).toString();
        job.bytes = static_cast<std::uint64_t>(o.value(QStringLiteral("bytes")).toDouble());
        job.articles = static_cast<std::uint64_t>(o.value(QStringLiteral("articles")).toDouble());
        job.seconds = o.value(QStringLiteral("seconds")).toDouble();
        job.share = job.state == Job::State::Done ? 1 : 0;
        for (const QJsonValue l : o.value(QStringLiteral("log")).toArray()) job.log << l.toString();
        jobs_.push_back(std::move(job));
    }
    emit changed(-1);
}

void JobQueue::showRow(Job job) {
    job.id = nextId_++;
    jobs_.push_back(std::move(job));
    emit changed(-1);
}

void JobQueue::stopAll(int ms) {
    // Waiting jobs first, or they would start as the running ones end.
    for (Job& job : jobs_) {
        if (job.state == Job::State::Waiting) job.state = Job::State::Cancelled;
        if (runnerOf(job.id)) job.cancelling = true;
    }
    std::vector<QProcess*> processes;
    for (const auto& r : runners_) {
        r->reusable = false;
        // One without a job ends when its input does; one with a job
        // saves its NZB file first.
        if (r->jobId != 0) r->process->terminate();
        else r->process->closeWriteChannel();
        processes.push_back(r->process.get());
    }
    for (QProcess* p : processes) p->waitForFinished(ms);
}

}  // namespace tskivor
