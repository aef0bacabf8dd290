// One connection: every file and part in order, each article posted with its
// retries before the next is made.
#include "article.h"
#include "kelvo_exception.h"
#include "posting.h"
#include "reporter.h"

namespace pelmor {

namespace {

void postFile(Posting& posting, ServerSessions& sessions, int f) {
    PostJob& job = posting.job;
    if (posting.beforeFile) posting.beforeFile(f);
    FileArticles articles(job, posting.settings, f, posting.fileCrc ? posting.fileCrc(f) : std::nullopt);
    const int parts = articles.parts();
    if (parts == 0) return;
    const std::set<int>& posted = posting.record.alreadyPosted(f);
    Article a;
    try {
        for (int p = 1; p <= parts && !posting.skipped(f); ++p) {
            posting.checkStop();
            if (!partWanted(job.files[static_cast<std::size_t>(f)], posted, p)) continue;
            if (!articles.make(p, a, job.clock)) {
                sayUnencodable(p);
                sessions.abandon();
                throw ProcessExit{255};
            }
            posting.report.partStarting(f, articles.subject(p), p, parts);
            if (!posting.postWithRetries(sessions, a)) break;
            if (f == 0 && p == 1) job.firstMessageId = a.messageId;
            posting.accepted(a);
        }
    } catch (...) {
        posting.record.save();  // every way out leaves an NZB of what the server accepted
        throw;
    }
    posting.record.save();
    posting.report.fileHandedOut(f, articles.subject(1), parts);
}

}  // namespace

void postInOrder(Posting& posting) {
    ServerSessions sessions(posting, true);
    posting.report.connectionsInUse(1);
    const int count = static_cast<int>(posting.job.files.size());
    for (int f = 0; f < count; ++f) postFile(posting, sessions, f);
}

}  // namespace pelmor
