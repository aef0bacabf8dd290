#include "run.h"

#include <sstream>

#include "article.h"
#include "job/job_check.h"
#include "net/nntp_session.h"
#include "nzb.h"
#include "post_check.h"
#include "posting.h"
#include "recovery_set.h"

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

void runJob(PostJob& job, int argc, char** argv) {
    parseArguments(job, argc, argv);
    if (job.files.empty()) return;
    const JobSettings settings = readSettings(job);
    NzbWriter nzb;
    if (!settings.nzbPath.empty()) {
        std::string error;
        if (!nzb.open(settings.nzbPath, error)) throw Kelvo_Exception(0, error);
    }
    checkHeaders(job, settings);
    // The recovery set is built while the files are posted, and posted after them.
    RecoverySet recovery(job, settings);
    PostRecord record(job, settings, settings.nzbPath.empty() ? nullptr : &nzb);
    // A resumed first article is still the one later files refer to.
    job.firstMessageId = record.messageIdOf(0, 1);
    Posting posting(job, settings, record);
    posting.beforeFile = [&](int f) {
        if (recovery.holds(f)) recovery.ready();
    };
    const std::uint32_t startTicks = job.clock.tickMs();
    if (settings.connections > 1) postInParallel(posting);
    else postInOrder(posting);
    // Over a connection of its own, once every article is in and the
    // posting connections have quit.
    if (settings.check) checkPosts(posting);
    printThroughput(job, settings, startTicks, posting.bytes);
    if (record.saveFailed())
        throw Kelvo_Exception(0, "Everything was posted, but the NZB file " + settings.nzbPath +
                                     " could not be saved.");
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

}  // namespace pelmor
