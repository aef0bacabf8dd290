// One article of a job, made in one place: the file and part it carries,
// its subject and sender, the encoded body, and its attempts. The
// one-connection loop, the many-connection scheduler, the post check's
// re-posts and the NZB record all use this value.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "codec/encoder.h"
#include "job/settings.h"
#include "kelvo_exception.h"
#include "subject.h"

namespace pelmor {

class NntpSession;

struct Article {
    int file = 0;  // index into the job's files
    int part = 0;
    int parts = 0;
    std::uint64_t begin = 0;  // the file's bytes it carries, [begin, end)
    std::uint64_t end = 0;
    std::string subject;        // on the wire
    std::string recordSubject;  // in the NZB: the real one when the wire's is random
    std::string sender;
    std::string messageId;  // of the attempt under way, then the accepted one
    std::unique_ptr<char[]> body;  // encoded straight into, never copied
    std::size_t capacity = 0;
    std::size_t bodyLength = 0;
    std::uint64_t bytes = 0;  // the accepted article, as the NZB lists it
    long long attemptsLeft = 0;
    bool quickRetryUsed = false;
    int quickTries = 0;  // of a server where nothing listens
    int server = 0;      // which of the job's servers it is tried on (0: the main one)
    int triesHere = 0;   // failed attempts on that server
    std::uint32_t notBefore = 0;  // clock tick before which it waits for its retry

    std::string_view text() const { return {body.get(), bodyLength}; }
};

// The articles of one file of the job: its encoder and subject lines.
class FileArticles {
public:
    // Throws "Unable to create encoding object" when the file's encoding has none.
    // `fileCrc`: the file's CRC-32 when it is known already (see makeEncoder).
    FileArticles(const PostJob& job, const JobSettings& settings, int file,
                 std::optional<std::uint32_t> fileCrc = std::nullopt);
    int parts() const { return encoder_->parts(); }
    int file() const { return file_; }
    SubjectLines subject(int part) const;
    // Part p encoded into `a` (its buffer reused when large enough), with
    // its subject, a sender and a fresh count of attempts; false when the
    // part cannot be encoded.
    bool make(int part, Article& a, common::Clock& clock);

private:
    const PostJob& job_;
    const JobSettings& settings_;
    int file_;
    std::unique_ptr<Encoder> encoder_;
};

// The subject lines of part p of file f (from 0): the format form or the
// plain form.
SubjectLines subjectFor(const PostJob& job, const JobSettings& settings, int f, int p, int parts);
// The subject on the wire: the above, or for an obfuscated job one that
// names nothing but the file's random name and the part counter.
std::string wireSubject(const PostJob& job, const JobSettings& settings, int f, int p, int parts);

// Whether part p of the file is posted: in its parts list (empty: all) and
// not among the parts an earlier run posted.
bool partWanted(const FileEntry& file, const std::set<int>& posted, int p);
// "Unable to encode segment %d; quitting" on standard output.
void sayUnencodable(int p);

// What an article of file `file` (from 0) refers to and carries: in a
// threaded job, the first file has the reference and the intro text, the
// others refer to the job's first article.
struct Threading {
    const std::string& references;
    const std::string* introText;
};
Threading threading(const PostJob& job, const JobSettings& settings, int file);

// One attempt: a fresh Message-ID into a.messageId, then the session's
// post; every failure throws (a false result as the server's last line).
void postOnce(const PostJob& job, const JobSettings& settings, NntpSession& session, Article& a);
// The one place an article's wire form is decided, for first posts and the
// check's re-posts alike: a fresh Message-ID (random bits and domain for a
// private posting), the job's groups and extra headers, `a`'s subject,
// sender and body (the session leaves out the program's header on a private
// posting). Throws like NntpSession::post.
void postArticle(const JobSettings& settings, NntpSession& session, Article& a, const std::string& references,
                 const std::string* introText);

// How long a failed article waits before its next attempt, and before the
// one retry of a failure that waiting cannot mend.
inline constexpr std::uint32_t kRetryWaitMs = 60000;
inline constexpr std::uint32_t kQuickRetryMs = 5000;

enum class AfterFailure { Retry, GiveUp, SkipFile };
// The one retry rule: logs the failed attempt and says what follows; for
// Retry, `waitMs` is how long the article waits.
AfterFailure afterFailure(common::Log& log, const Kelvo_Exception& e, Article& a, std::uint32_t& waitMs);

}  // namespace pelmor
