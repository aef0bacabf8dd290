// The posting run: one session per job, every file and part, retries.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "job.h"
#include "kelvo_exception.h"

namespace pelmor {

class NntpSession;

// 32 characters from "A".."F" and "a".."j", from a fresh UUID.
std::string makeIdText();
// "<" + makeIdText() + "@" + host + ">"
std::string makeMessageId(const std::string& host);
// name <user@domain.tld>, everything after "<" in lower case.
std::string makeRandomSender(Clock& clock);
std::string randomChars(Clock& clock, int count, bool hyphens);

struct SubjectLines;

// Whether part p of the file is posted: in its parts list (empty: all) and
// not among the parts an earlier run posted.
bool partWanted(const FileEntry& file, const std::set<int>& posted, int p);
// "Unable to encode segment %d; quitting" on standard output.
void sayUnencodable(int p);
// The subject lines of part p: the format form or the plain form.
SubjectLines subjectFor(PostJob& job, const FileEntry& file, int p, int parts, int fileNumber, int fileCount,
                        std::uint32_t size);
// The progress of part p: the display subject first, then a dot a part.
void printProgress(PostJob& job, const SubjectLines& subject, int p, int parts);
// Fails the job when a header line cannot fit 998 bytes.
void checkHeaders(PostJob& job);
// The throughput lines, and the failure of a job whose NZB could not be saved.
void finishJob(PostJob& job, std::uint32_t startTicks, std::uint64_t jobBytes);

// Asks the server for every accepted article ("-check") and posts missing
// ones again, up to three times; fails the job when some stay missing.
void checkPosts(PostJob& job, NntpSession& session, std::uint64_t& jobBytes);

// Parses, checks and posts the job; throws Kelvo_Exception when it fails.
void runJob(PostJob& job, int argc, char** argv);
void postFile(PostJob& job, NntpSession& session, const FileEntry& file, int fileNumber, int fileCount,
              std::uint64_t& jobBytes);
// How long a failed article waits before its next attempt.
inline constexpr std::uint32_t kRetryWaitMs = 60000;

// After a failed attempt: logs it and says whether another may follow
// (not for a fatal failure, nor once `attemptsLeft`, counted down, is spent).
bool mayRetry(PostJob& job, const Kelvo_Exception& e, long long& attemptsLeft);

// What an article of file `fileNumber` refers to and carries: in a threaded
// job, the first file has the reference and the intro text, the others refer
// to the job's first article.
struct Threading {
    const std::string& references;
    const std::string* introTextFile;
};
Threading threading(PostJob& job, int fileNumber, const std::string& references, const std::string& introTextFile);

// Posts one article with its retries; returns the accepted Message-ID.
std::string postWithRetries(PostJob& job, NntpSession& session, const std::string& retries,
                            const std::string& newsgroups, const std::string& sender, const std::string& subject,
                            const std::string& references, const std::string& extraHeaders, std::string_view part,
                            const std::string& introTextFile, int partNumber, int fileNumber,
                            std::uint64_t& jobBytes);

}  // namespace pelmor
