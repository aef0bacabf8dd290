#include "post_check.h"

#include "article.h"
#include "kelvo_exception.h"

namespace pelmor {

namespace {

// STAT with up to three tries over connections that fail.
StatResult askFor(PostJob& job, NntpSession& session, const std::string& messageId) {
    for (int attempt = 1;; ++attempt) {
        try {
            return session.stat(messageId);
        } catch (const Kelvo_Exception& e) {
            if (attempt == 3) throw;
            job.line("Caught exception " + e.message);
        }
    }
}

}  // namespace

void checkPosts(Posting& posting) {
    PostJob& job = posting.job;
    PostRecord& record = posting.record;
    const auto session = posting.openSession(false);
    std::vector<PostedPart> pending = record.parts();
    const std::size_t checked = pending.size();
    std::size_t missing = 0, reposted = 0;
    constexpr int kRounds = 3;
    for (int round = 0;; ++round) {
        posting.wait(static_cast<std::uint32_t>(posting.settings.checkDelaySeconds * 1000));
        std::vector<PostedPart> absent;
        for (const auto& p : pending) {
            posting.checkStop();
            const StatResult r = askFor(job, *session, p.messageId);
            if (r == StatResult::Unanswerable) {
                // "500 unknown command", "502 no permission": the server
                // cannot tell, so nothing is posted again on its word.
                job.line("The server cannot be checked (reply \"" + session->lastResponse() +
                         "\"); nothing was posted again.");
                return;
            }
            if (r == StatResult::Missing) absent.push_back(p);
        }
        if (round == 0) missing = absent.size();
        pending = absent;
        if (pending.empty() || round == kRounds) break;
        // Posted again: a new Message-ID, the same subject, sender and body.
        for (auto& p : pending) {
            const FileEntry& file = job.files[static_cast<std::size_t>(p.file)];
            Article a;
            bool made = false;
            try {
                FileArticles articles(job, posting.settings, p.file);
                made = articles.make(p.part, a, job.clock);
            } catch (const Kelvo_Exception&) {
            }
            if (!made)
                throw Kelvo_Exception(0, "Unable to read " + file.name + " to post part " + std::to_string(p.part) +
                                             " again");
            if (!p.subject.empty()) a.subject = p.subject;
            a.sender = p.sender;
            if (!posting.postWithRetries(*session, a)) continue;
            record.replaced(a);
            p.messageId = a.messageId;
            ++reposted;
            ++posting.reposted;
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

}  // namespace pelmor
