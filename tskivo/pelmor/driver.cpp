#include "driver.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <random>
#include <sstream>
#include <vector>

#include "encoder.h"
#include "kelvo_exception.h"
#include "nntp_session.h"
#include "nzb.h"
#include "parallel.h"
#include "post_record.h"
#include "subject.h"
#include "throttled_socket.h"

namespace pelmor {

std::string makeIdText() {
    std::string out;
    for (char c : uuidText()) {
        if (c == '-') continue;
        if (c >= '0' && c <= '9') out += static_cast<char>(c + 49);
        else out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    return out;
}

std::string makeMessageId(const std::string& host) { return "<" + makeIdText() + "@" + host + ">"; }

std::string randomChars(Clock& clock, int count, bool hyphens) {
    std::minstd_rand random(clock.tickMs());
    std::string out;
    while (static_cast<int>(out.size()) < count) {
        const auto c = static_cast<signed char>((random() + 65) % 256);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (hyphens && c == '-')) out += c;
    }
    return out;
}

std::string makeRandomSender(Clock& clock) {
    const std::string name = makeIdText().substr(0, 8);
    const std::string user = makeIdText().substr(0, 6);
    const std::string domain = randomChars(clock, 7, true);
    const std::string top = makeIdText().substr(0, 3);
    std::string sender = name + " <" + user + "@" + domain + "." + top + ">";
    for (std::size_t i = sender.find('<'); i < sender.size(); ++i)
        if (sender[i] >= 'A' && sender[i] <= 'Z') sender[i] = static_cast<char>(sender[i] + 32);
    return sender;
}

bool partWanted(const FileEntry& file, const std::set<int>& posted, int p) {
    if (!file.parts.empty() && std::find(file.parts.begin(), file.parts.end(), p) == file.parts.end()) return false;
    return posted.count(p) == 0;  // else on the server from an earlier run
}

void sayUnencodable(int p) {
    std::printf("Unable to encode segment %d; quitting\n", p);
    std::fflush(stdout);
}

SubjectLines subjectFor(PostJob& job, const FileEntry& file, int p, int parts, int fileNumber, int fileCount,
                        std::uint32_t size) {
    return job.hasOption("subjectformat")
               ? formatSubject(job.getOption("subjectformat"), file, job.getOption("folder"), p, parts, fileNumber,
                               fileCount, size)
               : formatPlainSubject(job.getOption("subject"), file, p, parts, fileNumber, fileCount, size);
}

void printProgress(PostJob& job, const SubjectLines& subject, int p, int parts) {
    std::string text;
    if (p == 1 && job.verbosity >= 1) text += std::string(job.printHeader ? "  " : "    ") + subject.display + ' ';
    if (p > 1 || parts > 1) text += '.';
    job.put(text);
}

bool mayRetry(PostJob& job, const Kelvo_Exception& e, long long& attemptsLeft) {
    job.line("Caught exception " + e.message);
    if (e.retryable == 0) {
        job.line("Fatal, passing exception on up");
        return false;
    }
    if (--attemptsLeft <= 0) {
        job.line("Too many retries, I give up.");
        return false;
    }
    return true;
}

Threading threading(PostJob& job, int fileNumber, const std::string& references, const std::string& introTextFile) {
    if (job.threadPosts && fileNumber == 1) return {references, &introTextFile};
    if (job.threadPosts) return {job.firstMessageId, nullptr};
    return {references, nullptr};
}

std::string postWithRetries(PostJob& job, NntpSession& session, const std::string& retries,
                            const std::string& newsgroups, const std::string& sender, const std::string& subject,
                            const std::string& references, const std::string& extraHeaders, std::string_view part,
                            const std::string& introTextFile, int partNumber, int fileNumber,
                            std::uint64_t& jobBytes) {
    long long attemptsLeft = readDecimal(retries);
    for (;;) {
        try {
            const std::string messageId = makeMessageId(job.getOption("hostname"));
            if (fileNumber == 1 && partNumber == 1) job.firstMessageId = messageId;
            const Threading t = threading(job, fileNumber, references, introTextFile);
            const std::string* extra = extraHeaders.empty() ? nullptr : &extraHeaders;
            if (!session.post(newsgroups, sender, subject, messageId, t.references, extra, part, t.introTextFile))
                throw Kelvo_Exception(1, session.lastResponse());
            jobBytes += session.bytesSent();
            return messageId;
        } catch (const Kelvo_Exception& e) {
            if (!mayRetry(job, e, attemptsLeft)) throw;
            job.line("Nonfatal; we'll try again, waiting 1min.");
            job.clock.sleepMs(kRetryWaitMs);
        }
    }
}

void postFile(PostJob& job, NntpSession& session, const FileEntry& file, int fileNumber, int fileCount,
              std::uint64_t& jobBytes) {
    const auto entry = statPath(file.name);
    const std::uint32_t size = entry ? static_cast<std::uint32_t>(entry->size) : 0;
    const int lines = static_cast<int>(readDecimal(job.getOption("lines")));
    std::unique_ptr<Encoder> encoder = makeEncoder(file.encoding, lines, file.name);
    if (!encoder) throw Kelvo_Exception(0, "Unable to create encoding object");
    const int parts = encoder->parts();
    if (parts == 0) return;
    std::vector<char> buffer(encoder->encodedSizeBound());

    const std::set<int>& posted = job.record ? job.record->alreadyPosted(fileNumber - 1) : std::set<int>{};
    try {
        for (int p = 1; p <= parts; ++p) {
            if (!partWanted(file, posted, p)) continue;
            if (!encoder->encodePart(p, buffer.data(), buffer.size(), parts)) {
                sayUnencodable(p);
                session.abandon();
                throw ProcessExit{255};
            }
            const SubjectLines subject = subjectFor(job, file, p, parts, fileNumber, fileCount, size);
            printProgress(job, subject, p, parts);

            const std::string sender = job.scramble ? makeRandomSender(job.clock) : job.getOption("from");
            const std::string id = postWithRetries(
                job, session, job.getOptionOr("max_retries", "60"), job.getOption("newsgroups"), sender,
                subject.subject, job.getOption("references"), job.getOption("xheaders"),
                std::string_view(buffer.data(), encoder->encodedLength()), job.getOption("introtextfile"), p,
                fileNumber, jobBytes);
            if (job.record)
                job.record->accepted({fileNumber - 1, p, subject.subject, sender, id, session.articleBytes()});
        }
    } catch (...) {
        if (job.record) job.record->save();  // every way out leaves an NZB of what the server accepted
        throw;
    }
    if (job.record) job.record->save();
    job.line("");
}

// Every header line must fit 998 bytes once folded; a subject that cannot be
// folded fails the job before anything is posted, naming its file.
void checkHeaders(PostJob& job) {
    const int count = static_cast<int>(job.files.size());
    for (int i = 0; i < count; ++i) {
        const FileEntry& file = job.files[i];
        const int parts = 99999;  // the widest part counter a job can have
        const SubjectLines subject = subjectFor(job, file, parts, parts, i + 1, count, file.size);
        if (!headerLine("Subject", subject.subject))
            throw Kelvo_Exception(0, "The subject for " + file.name + " is longer than " +
                                         std::to_string(kMaxHeaderLine) +
                                         " bytes and has no space to fold it at; shorten the subject or the "
                                         "folder names.");
    }
    for (const char* key : {"from", "newsgroups", "references"})
        if (!headerLine(key, job.getOption(key)))
            throw Kelvo_Exception(0, std::string("The ") + key + " value is longer than " +
                                         std::to_string(kMaxHeaderLine) + " bytes and has no space to fold it at.");
}

void checkPosts(PostJob& job, NntpSession& session, std::uint64_t& jobBytes) {
    PostRecord& record = *job.record;
    const long long delay = job.hasOption("checkdelay") ? readDecimal(job.getOption("checkdelay")) : 5;
    std::vector<AcceptedArticle> pending = record.articles();
    const std::size_t checked = pending.size();
    std::size_t missing = 0, reposted = 0;
    // STAT each; a connection that fails is opened again for the next try.
    const auto onServer = [&](const AcceptedArticle& a) {
        for (int attempt = 1;; ++attempt) {
            try {
                return session.stat(a.messageId);
            } catch (const Kelvo_Exception& e) {
                if (attempt == 3) throw;
                job.line("Caught exception " + e.message);
            }
        }
    };
    const int lines = static_cast<int>(readDecimal(job.getOption("lines")));
    const int count = static_cast<int>(job.files.size());
    constexpr int kRounds = 3;
    for (int round = 0;; ++round) {
        job.clock.sleepMs(static_cast<std::uint32_t>(delay * 1000));
        std::vector<AcceptedArticle> absent;
        for (const auto& a : pending)
            if (!onServer(a)) absent.push_back(a);
        if (round == 0) missing = absent.size();
        pending = absent;
        if (pending.empty() || round == kRounds) break;
        // Posted again: a new Message-ID, the same subject and body.
        for (auto& a : pending) {
            const FileEntry& file = job.files[static_cast<std::size_t>(a.file)];
            std::unique_ptr<Encoder> encoder = makeEncoder(file.encoding, lines, file.name);
            std::vector<char> buffer(encoder ? encoder->encodedSizeBound() : 0);
            if (!encoder || !encoder->encodePart(a.part, buffer.data(), buffer.size(), encoder->parts()))
                throw Kelvo_Exception(0, "Unable to read " + file.name + " to post part " + std::to_string(a.part) +
                                             " again");
            const std::string subject = a.subject.empty()
                                            ? subjectFor(job, file, a.part, encoder->parts(), a.file + 1, count,
                                                         file.size)
                                                  .subject
                                            : a.subject;
            a.messageId = postWithRetries(job, session, job.getOptionOr("max_retries", "60"),
                                          job.getOption("newsgroups"), a.sender, subject, job.getOption("references"),
                                          job.getOption("xheaders"),
                                          std::string_view(buffer.data(), encoder->encodedLength()),
                                          job.getOption("introtextfile"), a.part, a.file + 1, jobBytes);
            record.replaced(a.file, a.part, a.messageId, session.articleBytes());
            ++reposted;
        }
        record.save();
    }
    job.line("Post check: " + std::to_string(checked) + " articles checked, " + std::to_string(missing) +
             " missing, " + std::to_string(reposted) + " posted again.");
    record.save();
    if (!pending.empty())
        throw Kelvo_Exception(0, "Post check: " + std::to_string(pending.size()) +
                                     " articles are still not on the server after they were posted again " +
                                     std::to_string(kRounds) + " times.");
}

namespace {

// One connection, the articles one after another; the bytes posted.
std::uint64_t postInOrder(PostJob& job) {
    const auto session = openSession(job, true);
    std::uint64_t jobBytes = 0;
    const int count = static_cast<int>(job.files.size());
    for (int i = 0; i < count; ++i) postFile(job, *session, job.files[i], i + 1, count, jobBytes);
    return jobBytes;
}

}  // namespace

void runJob(PostJob& job, int argc, char** argv) {
    parseArguments(job, argc, argv);
    if (job.files.empty()) return;
    NzbWriter nzb;
    if (job.hasOption("out")) {
        std::string error;
        if (!nzb.open(job.getOption("out"), error)) throw Kelvo_Exception(0, error);
        job.nzb = &nzb;
    }
    struct Detach {
        PostJob& job;
        ~Detach() {
            job.nzb = nullptr;
            job.record = nullptr;
        }
    } detach{job};
    checkHeaders(job);
    PostRecord record(job, job.nzb);
    job.record = &record;
    // A resumed first article is still the one later files refer to.
    job.firstMessageId = record.messageIdOf(0, 1);
    const std::uint32_t startTicks = job.clock.tickMs();
    std::uint64_t jobBytes = connectionCount(job) > 1 ? runParallel(job, connectionCount(job)) : postInOrder(job);
    // Over a connection of its own, once every article is in and the
    // posting connections have quit.
    if (job.hasOption("check")) checkPosts(job, *openSession(job, false), jobBytes);
    finishJob(job, startTicks, jobBytes);
}

void finishJob(PostJob& job, std::uint32_t startTicks, std::uint64_t jobBytes) {
    if (job.verbosity >= 1) {
        const std::uint32_t endTicks = job.clock.tickMs();
        const TickTime start = tickTime(startTicks), end = tickTime(endTicks);
        elapsedMicros(job, end, start);  // says so when the clock ran backwards
        // 64 bits: a 32-bit count of microseconds wraps after 71.6 minutes.
        const std::uint64_t elapsed = static_cast<std::uint64_t>(endTicks - startTicks) * 1000u;
        const double seconds = static_cast<double>(elapsed) * 0.000001;
        if (job.verbosity > 5) {
            std::ostringstream t;
            t << "TIME: START[" << start.seconds << "," << start.microseconds << "], END[" << end.seconds << ","
              << end.microseconds << "], ELAPSED_USEC[" << elapsed << "],  ELAPSED_S[" << seconds << "]";
            job.line(t.str());
        }
        const std::uint64_t rate = elapsed == 0 ? 0 : static_cast<std::uint64_t>(jobBytes / seconds);
        job.line("");
        job.line(std::string(job.printHeader ? "" : "  ") + "  " + std::to_string(jobBytes) +
                 " bytes posted, throughput: " + std::to_string(rate) + " bytes/sec.");
        job.line("");
    }
    if (job.nzbFailed)
        throw Kelvo_Exception(0, "Everything was posted, but the NZB file " + job.getOption("out") +
                                     " could not be saved.");
}

}  // namespace pelmor
