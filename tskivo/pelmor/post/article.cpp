#include "article.h"

#include <algorithm>
#include <cstdio>

#include "kelvo_exception.h"
#include "message_id.h"
#include "net/nntp_session.h"

namespace pelmor {

SubjectLines subjectFor(const PostJob& job, const JobSettings& settings, int f, int p, int parts) {
    const FileEntry& file = job.files[static_cast<std::size_t>(f)];
    const int count = static_cast<int>(job.files.size());
    return settings.subjectFormat
               ? formatSubject(*settings.subjectFormat, file, settings.folder, p, parts, f + 1, count, file.size)
               : formatPlainSubject(settings.subject, file, p, parts, f + 1, count, file.size);
}

std::string wireSubject(const PostJob& job, const JobSettings& settings, int f, int p, int parts) {
    if (!settings.obfuscate) return subjectFor(job, settings, f, p, parts).subject;
    const int count = static_cast<int>(job.files.size());
    const auto counter = [](int n, int of) {
        const std::string width = std::to_string(std::to_string(of).size());
        char buf[64];
        std::snprintf(buf, sizeof buf, ("%0" + width + "d/%0" + width + "d").c_str(), n, of);
        return std::string(buf);
    };
    return "[" + counter(f + 1, count) + "] - \"" + job.files[static_cast<std::size_t>(f)].wireName + "\" yEnc (" +
           counter(p, parts) + ")";
}

FileArticles::FileArticles(const PostJob& job, const JobSettings& settings, int file, std::optional<std::uint32_t> fileCrc)
    : job_(job), settings_(settings), file_(file) {
    const FileEntry& entry = job.files[static_cast<std::size_t>(file)];
    encoder_ = makeEncoder(entry.encoding, settings.lines, entry.name, fileCrc);
    if (!encoder_) throw Kelvo_Exception(0, "Unable to create encoding object");
    if (settings.obfuscate) encoder_->setName(entry.wireName);
    else if (!entry.postAs.empty()) encoder_->setName(entry.postAs);
}

SubjectLines FileArticles::subject(int part) const { return subjectFor(job_, settings_, file_, part, parts()); }

bool FileArticles::make(int part, Article& a, common::Clock& clock) {
    const std::size_t bound = encoder_->encodedSizeBound();
    if (a.capacity < bound) {
        a.body.reset(new char[bound]);
        a.capacity = bound;
    }
    if (!encoder_->encodePart(part, a.body.get(), a.capacity, parts())) {
        if (encoder_->changed())
            throw Kelvo_Exception(0, "The file " + job_.files[static_cast<std::size_t>(file_)].name +
                                         " changed while it was posted (its size or time): its articles would not "
                                         "make the file. Post it again once it is complete.");
        return false;
    }
    a.bodyLength = encoder_->encodedLength();
    a.file = file_;
    a.part = part;
    a.parts = parts();
    a.begin = encoder_->partBegin(part);
    a.end = encoder_->partEnd(part);
    a.recordSubject = subject(part).subject;
    a.subject = wireSubject(job_, settings_, file_, part, parts());
    const FileEntry& entry = job_.files[static_cast<std::size_t>(file_)];
    a.sender = settings_.obfuscate ? entry.wireSender : settings_.scramble ? makeRandomSender(clock) : settings_.from;
    a.messageId.clear();
    a.bytes = 0;
    a.attemptsLeft = settings_.maxRetries;
    a.quickRetryUsed = false;
    a.quickTries = 0;
    a.notBefore = 0;
    return true;
}

bool partWanted(const FileEntry& file, const std::set<int>& posted, int p) {
    if (!file.parts.empty() && std::find(file.parts.begin(), file.parts.end(), p) == file.parts.end()) return false;
    return posted.count(p) == 0;  // else on the server from an earlier run
}

void sayUnencodable(int p) {
    std::printf("Unable to encode segment %d; quitting\n", p);
    std::fflush(stdout);
}

Threading threading(const PostJob& job, const JobSettings& settings, int file) {
    const std::string* intro = settings.introText ? &*settings.introText : nullptr;
    if (settings.threadPosts && file == 0) return {settings.references, intro};
    if (settings.threadPosts) return {job.firstMessageId, nullptr};
    return {settings.references, nullptr};
}

void postArticle(const JobSettings& settings, NntpSession& session, Article& a, const std::string& references,
                 const std::string* introText) {
    a.messageId = settings.obfuscate ? makeRandomMessageId(settings.idDomain) : makeMessageId(settings.idDomain);
    const std::string* extra = settings.extraHeaders.empty() ? nullptr : &settings.extraHeaders;
    if (!session.post(settings.newsgroups, a.sender, a.subject, a.messageId, references, extra, a.text(), introText))
        throw Kelvo_Exception(1, session.lastResponse());
    a.bytes = session.articleBytes();
}

void postOnce(const PostJob& job, const JobSettings& settings, NntpSession& session, Article& a) {
    const Threading t = threading(job, settings, a.file);
    postArticle(settings, session, a, t.references, t.introText);
}

AfterFailure afterFailure(common::Log& log, const Kelvo_Exception& e, Article& a, std::uint32_t& waitMs) {
    log.line("Caught exception " + e.message);
    if (e.retryable == kFatal) {
        log.line("Fatal, passing exception on up");
        return AfterFailure::GiveUp;
    }
    if (e.retryable == kSkipFile) return AfterFailure::SkipFile;
    if (--a.attemptsLeft <= 0 || (e.retryable == kRetryOnce && a.quickRetryUsed) ||
        (e.retryable == kRetryFew && ++a.quickTries >= kFewTries)) {
        log.line("Too many retries, I give up.");
        return AfterFailure::GiveUp;
    }
    if (e.retryable == kRetryFew) {
        log.line("Nonfatal; trying again in " + std::to_string(kQuickRetryMs / 1000) + " seconds.");
        waitMs = kQuickRetryMs;
        return AfterFailure::Retry;
    }
    if (e.retryable == kRetryOnce) {
        // Waiting will not mend it: one more try soon, in case it was a
        // passing hiccup, then the job ends.
        a.quickRetryUsed = true;
        log.line("Nonfatal; trying once more in " + std::to_string(kQuickRetryMs / 1000) + " seconds.");
        waitMs = kQuickRetryMs;
        return AfterFailure::Retry;
    }
    log.line("Nonfatal; we'll try again, waiting 1min.");
    waitMs = kRetryWaitMs;
    return AfterFailure::Retry;
}

}  // namespace pelmor
