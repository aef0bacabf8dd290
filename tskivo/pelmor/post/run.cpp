#include "codec/encoder.h"
#include "run.h"

#include <atomic>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <sstream>

#include "common/run_state.h"
#include "job/defaults.h"

#include "article.h"
#include "job_turns.h"
#include "message_id.h"
#include "job/job_check.h"
#include "net/connection_pool.h"
#include "net/nntp_session.h"
#include "nzb.h"
#include "post_check.h"
#include "posting.h"
#include "recovery_set.h"
#include "reporter.h"

namespace pelmor {

// Every header line must fit 998 bytes once folded; a subject that cannot be
// folded fails the job before anything is posted, naming its file.
void checkHeaders(const PostJob& job, const JobSettings& settings) {
    const int count = static_cast<int>(job.files.size());
    for (int i = 0; i < count; ++i) {
        const int parts = 99999;  // the widest part counter a job can have
        const SubjectLines subject = subjectFor(job, settings, i, parts, parts);
        if (!headerLine("Subject", subject.subject))
            throw Kelvo_Exception(0, "The subject for " + job.files[static_cast<std::size_t>(i)].name +
                                         " is longer than " + std::to_string(kMaxHeaderLine) +
                                         " bytes and has no space to fold it at; shorten the subject or the "
                                         "folder names.");
    }
    const std::pair<const char*, const std::string*> values[] = {
        {"from", &settings.from}, {"newsgroups", &settings.newsgroups}, {"references", &settings.references}};
    for (const auto& [key, value] : values)
        if (!headerLine(key, *value))
            throw Kelvo_Exception(0, std::string("The ") + key + " value is longer than " +
                                         std::to_string(kMaxHeaderLine) + " bytes and has no space to fold it at.");
}

namespace {

// Where the log goes when programs read events instead.
std::ostream& nowhere() {
    static std::ostream sink(nullptr);
    return sink;
}

Reporter::Mode reportMode(const JobSettings& settings) {
    if (settings.json) return Reporter::Mode::Json;
    return isatty(STDOUT_FILENO) ? Reporter::Mode::StatusLine : Reporter::Mode::Log;
}

// A job that overlaps the one before it writes its NZB entries after that
// one's, so that the file lists the folders in order.
void awaitTurn(PostJob& job) {
    if (job.turn >= 0) JobTurns::instance().waitHead(job.turn, [] { return false; });
}

void postJob(PostJob& job, const JobSettings& settings, Reporter& report) {
    NzbWriter nzb;
    if (!settings.nzbPath.empty()) {
        std::string error;
        if (!nzb.open(settings.nzbPath, error)) throw Kelvo_Exception(0, error);
        for (const auto& note : nzb.notes()) job.line(note);
    }
    checkHeaders(job, settings);
    // The recovery set is built while the files are posted, and posted after them.
    RecoverySet recovery(job, settings);
    report.setPar2Progress([&recovery] { return recovery.progress(); });
    struct Detach {
        Reporter& report;
        ~Detach() { report.setPar2Progress({}); }
    } detach{report};
    nzb.setMeta(settings.nzbMeta);
    PostRecord record(job, settings, settings.nzbPath.empty() ? nullptr : &nzb);
    // However the job ends, the NZB file holds what the server took, and
    // the journal that covered the time between saves goes.
    struct FinalSave {
        PostJob& job;
        const JobSettings& settings;
        PostRecord& record;
        ~FinalSave() {
            awaitTurn(job);
            record.save(true);
            // The run's last folder, and every job before it has ended:
            // the connections they kept are no longer wanted, unless
            // another run follows.
            if (job.turn >= 0 && settings.run.folder == settings.run.folders && !settings.run.more)
                ConnectionPool::instance().closeAll();
        }
    } finalSave{job, settings, record};
    // A resumed first article is still the one later files refer to.
    job.firstMessageId = record.messageIdOf(0, 1);
    // Private: each file goes out under a random name (a resumed one under
    // the name its first parts had) and a random sender.
    if (settings.obfuscate)
        for (FileEntry& f : job.files) {
            if (f.wireName.empty()) f.wireName = makeWireName();
            if (f.wireSender.empty()) f.wireSender = makePlausibleSender();  // a resumed file keeps its own
        }
    Posting posting(job, settings, record, report);
    posting.beforeFile = [&](int f) {
        if (recovery.holds(f)) recovery.ready();
    };
    // Only a file of several yEnc parts needs its CRC before its first part.
    posting.fileCrc = [&](int f) -> std::optional<std::uint32_t> {
        const FileEntry& e = job.files[static_cast<std::size_t>(f)];
        if (e.encoding != 2 || partCountFor(2, settings.lines, e.size) <= 1) return std::nullopt;
        return recovery.fileCrc(f);
    };
    // The totals, however the job ends.
    struct Totals {
        PostJob& job;
        Posting& posting;
        ~Totals() {
            job.totals.bytes = posting.bytes;
            job.totals.articles = posting.articles;
            job.totals.reposted = posting.reposted;
            job.totals.skipped += posting.skippedFiles().size();
        }
    } totals{job, posting};
    report.started();
    // The check runs alongside, on a connection of its own.
    std::optional<PostChecker> checker;
    if (settings.check) {
        checker.emplace(posting, settings.nzbPath.empty() ? nullptr : &nzb);
        posting.checker = &*checker;
        // A resumed job asks for what earlier runs posted too: the way to
        // mend a posting days later.
        for (const PostedPart& p : record.parts()) {
            Article a;
            a.file = p.file;
            a.part = p.part;
            const FileEntry& file = job.files[static_cast<std::size_t>(p.file)];
            const int parts = partCountFor(file.encoding, settings.lines, file.size);
            // Posted again as it went out: the wire's subject, not the NZB's.
            a.subject = settings.obfuscate || p.subject.empty() ? wireSubject(job, settings, p.file, p.part, parts)
                                                                : p.subject;
            a.sender = p.sender;
            a.messageId = p.messageId;
            checker->enqueue(a, true);
        }
    }
    const std::uint32_t startTicks = job.clock.tickMs();
    if (settings.connections > 1) postInParallel(posting);
    else postInOrder(posting);
    // With more folders to come, what is not yet due goes on to the next
    // folder's job; the last job waits for all.
    if (checker) checker->finish(!settings.runState.empty() && settings.run.folder < settings.run.folders);
    printThroughput(job, settings, startTicks, posting.bytes);
    for (std::size_t i = 1; i < posting.servers.size(); ++i)
        if (posting.took(static_cast<int>(i)) > 0)
            job.line("The backup " + posting.servers[i].label() + " took " +
                     std::to_string(posting.took(static_cast<int>(i))) + " articles.");
    awaitTurn(job);
    record.save(true);
    if (record.saveFailed())
        throw Kelvo_Exception(0, "Everything was posted, but the NZB file " + settings.nzbPath +
                                     " could not be saved.");
}

}  // namespace

void runJob(PostJob& job, int argc, char** argv) {
    parseArguments(job, argc, argv);
    if (job.hasOption("verify")) return verifyNzb(job, readSettings(job));
    if (job.hasOption("testserver")) return testServer(job, readSettings(job));
    if (job.files.empty()) return;
    const JobSettings settings = readSettings(job);
    Reporter report(job, settings, reportMode(settings));
    std::ostream& log = job.log.stream();
    if (settings.json) job.log.setStream(nowhere());
    struct Restore {
        PostJob& job;
        std::ostream& log;
        ~Restore() { job.log.setStream(log); }
    } restore{job, log};
    try {
        postJob(job, settings, report);
        report.finished(job.totals.skipped ? kStatusSkipped : kStatusDone, "", job.totals);
    } catch (const Kelvo_Exception& e) {
        report.finished(kStatusFailed, e.message, job.totals);
        throw;
    } catch (const Interrupted&) {
        report.finished(kStatusInterrupted, "Stopped on request.", job.totals);
        throw;
    } catch (const ProcessExit& e) {
        report.finished(e.status, "", job.totals);
        throw;
    }
}

void printThroughput(PostJob& job, const JobSettings& settings, std::uint32_t startTicks, std::uint64_t jobBytes) {
    if (settings.verbosity < 1) return;
    const std::uint32_t endTicks = job.clock.tickMs();
    const TickTime start = tickTime(startTicks), end = tickTime(endTicks);
    elapsedMicros(job.log, end, start);  // says so when the clock ran backwards
    // 64 bits: a 32-bit count of microseconds wraps after 71.6 minutes.
    const std::uint64_t elapsed = static_cast<std::uint64_t>(endTicks - startTicks) * 1000u;
    const double seconds = static_cast<double>(elapsed) * 0.000001;
    if (settings.verbosity > 5) {
        std::ostringstream t;
        t << "TIME: START[" << start.seconds << "," << start.microseconds << "], END[" << end.seconds << ","
          << end.microseconds << "], ELAPSED_USEC[" << elapsed << "],  ELAPSED_S[" << seconds << "]";
        job.line(t.str());
    }
    const std::uint64_t rate = elapsed == 0 ? 0 : static_cast<std::uint64_t>(static_cast<double>(jobBytes) / seconds);
    job.line("");
    job.line(std::string(settings.printHeader ? "" : "  ") + "  " + std::to_string(jobBytes) +
             " bytes posted, throughput: " + std::to_string(rate) + " bytes/sec.");
    job.line("");
}

int postFolderJob(int argc, char** argv, bool printHeader, bool threadPosts, bool uutease, bool scramble,
                  const std::atomic<bool>& stop) {
    int status = kStatusDone;
    std::optional<int> exitNow;
    std::string message, runState, nzb;
    JobTotals totals;
    // A runner's folder job that overlaps the one before it takes a turn:
    // its output waits for the earlier ones to end (the runner's lines for
    // the folder first), and it stops when one of them failed.
    // ("-overlap N": the folder's number in the run, from 1.)
    bool overlap = false, firstOfRun = false;
    std::string preamble;
    int outFd = STDOUT_FILENO;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-eventsfd") == 0) {
            const int fd = std::atoi(argv[i + 1]);
            if (fd > 2 && fcntl(fd, F_GETFD) >= 0) outFd = fd;
        }
        if (std::strcmp(argv[i], "-overlap") == 0) {
            overlap = true;
            firstOfRun = std::strcmp(argv[i + 1], "1") == 0;
        }
        if (std::strcmp(argv[i], "-preamble") == 0) preamble = argv[++i];
    }
    JobTurns& turns = JobTurns::instance();
    const int turn = overlap ? turns.enter(firstOfRun) : -1;
    // (Stopped by a failed folder, the job's end decides what is said.)
    std::optional<HeldOutput> held;
    if (overlap) held.emplace(std::cerr, preamble, outFd, [&turns, turn] { return turns.head(turn) && !turns.stopped(turn); });
    struct Leave {
        JobTurns& turns;
        int turn;
        const int& status;
        ~Leave() {
            if (turn >= 0) turns.leave(turn, status != kStatusDone && status != kStatusSkipped);
        }
    } leave{turns, turn, status};
    {
        PostJob job(printHeader, threadPosts, uutease, scramble, common::systemClock(), held ? held->log() : std::cerr);
        job.stop = &stop;
        job.outFd = outFd;
        if (overlap) {
            job.turn = turn;
            job.stopAlso = [&turns, turn] { return turns.stopped(turn); };
            job.keepOut = [&held](const std::string& text) { return held->keep(text); };
        }
        job.defaultsPath = defaultsFilePath();
        readDefaults(job, job.defaultsPath);
        try {
            runJob(job, argc, argv);
            if (job.totals.skipped > 0) status = kStatusSkipped;
        } catch (const Kelvo_Exception& e) {
            job.line(e.message);
            message = e.message;
            status = kStatusFailed;
            // Failed before the job could say so itself (its arguments, its check).
            if (job.hasOption("json") && !job.totals.reported) jsonJobFailed(job.outFd, status, message);
        } catch (const ProcessExit& e) {
            exitNow = e.status;  // "-?", a part that cannot be encoded: always the end
            status = e.status;
        } catch (const Interrupted&) {
            message = "Stopped on request.";
            if (job.hasOption("out"))
                message += " The NZB file " + job.getOption("out") + " holds every article the server took.";
            // A folder runner says so itself, once for the run.
            if (!job.hasOption("runstate")) job.line(message);
            status = kStatusInterrupted;
        } catch (const std::exception& e) {
            job.line(e.what());
            message = e.what();
            status = kStatusFailed;
        }
        runState = job.getOption("runstate");
        nzb = job.getOption("out");
        totals = job.totals;
    }
    if (held) {
        turns.waitHead(turn, [] { return false; });
        // Stopped by a failed folder before it posted anything: as if it
        // never started, it says nothing.
        if (totals.articles == 0 && turns.stopped(turn)) held->discard();
        else held->release();
    }
    if (exitNow) common::exitProcess(*exitNow);
    if (!runState.empty()) {
        // A folder runner's job: the outcome goes back to it, and it decides
        // what follows.
        common::writeRunState(runState, {{"status", std::to_string(status)},
                                         {"bytes", std::to_string(totals.bytes)},
                                         {"articles", std::to_string(totals.articles)},
                                         {"reposted", std::to_string(totals.reposted)},
                                         {"skipped", std::to_string(totals.skipped)},
                                         {"handled", std::to_string(totals.handled)},
                                         {"message", message},
                                         {"nzb", nzb}});
        return status;
    }
    if (status != kStatusDone && status != kStatusSkipped) common::exitProcess(status);
    return 0;
}

}  // namespace pelmor
