#include "post_record.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <sstream>

#include "codec/encoder.h"
#include "job_turns.h"
#include "kelvo_exception.h"
#include "subject.h"

namespace pelmor {

namespace {

int partCount(const JobSettings& settings, const FileEntry& f) {
    return partCountFor(f.encoding, settings.lines, f.size);
}

}  // namespace

PostRecord::PostRecord(PostJob& job, const JobSettings& settings, NzbWriter* nzb)
    : job_(job), settings_(settings), nzb_(nzb), lastSave_(job.clock.tickMs()) {
    std::istringstream groups(settings.newsgroups);
    for (std::string g; std::getline(groups, g, ',');)
        if (!g.empty()) groups_.push_back(g);
    if (!nzb_) return;
    const int count = static_cast<int>(job.files.size());
    std::map<std::string, std::vector<int>> byName;  // the job's files by posted name
    for (int f = 0; f < count; ++f) byName[postedName(job.files[static_cast<std::size_t>(f)])].push_back(f);
    // The same file only when its size and subject form are the same: the
    // subject of its lowest listed part must come out unchanged.
    const auto sameFile = [&](const NzbFile& old, int f, int& lowest) {
        const FileEntry& file = job.files[static_cast<std::size_t>(f)];
        lowest = old.segments.front().number;
        for (const auto& seg : old.segments) lowest = std::min(lowest, seg.number);
        const int parts = partCount(settings, file);
        return old.size == file.size && lowest <= parts && subjectFor(job, settings, f, lowest, parts).subject == old.subject;
    };
    if (!settings.resume) {
        // Posting a file the NZB file lists already would list it twice.
        std::string listed;
        nzb_->scan([&](const std::string& element) {
            NzbFile old;
            const auto named = parseFileElement(element, old, nullptr) && !old.segments.empty()
                                   ? byName.find(old.name)
                                   : byName.end();
            if (!listed.empty() || named == byName.end()) return;
            int lowest = 0;
            for (const int f : named->second)
                if (sameFile(old, f, lowest)) listed = old.name;
        });
        if (!listed.empty())
            throw Kelvo_Exception(0, "The NZB file " + nzb_->path() + " lists " + listed +
                                         " already: add /resume to finish that posting, or name another NZB "
                                         "file (/nzb=).");
        return;
    }
    std::set<int> refused;
    // Every element of a file's name counts: a save and the journal of a
    // killed posting may each hold some of its parts.
    nzb_->scan([&](const std::string& element) {
        NzbFile old;
        std::string problem;
        if (!parseFileElement(element, old, &problem)) {
            if (!problem.empty())
                job.line("Resume: an entry of " + nzb_->path() + " cannot be used (" + problem +
                         "); its file is posted whole.");
            return;
        }
        const auto named = byName.find(old.name);
        if (old.segments.empty() || named == byName.end()) return;
        for (const int f : named->second) {
            const FileEntry& file = job.files[static_cast<std::size_t>(f)];
            int lowest = 0;
            const int parts = partCount(settings, file);
            if (!sameFile(old, f, lowest)) {
                if (refused.insert(f).second)
                    job.line("Resume: " + file.name + " is not the file " + nzb_->path() +
                             " lists (size or subject differ); posting it whole again.");
                continue;
            }
            nzb_->claim(element);
            // An obfuscated file goes on under the name its first parts had.
            if (!old.wireName.empty()) {
                // Not finished in the open what began private.
                if (!settings.obfuscate)
                    throw Kelvo_Exception(0, "The NZB file " + nzb_->path() + " lists " + file.name +
                                                 " as posted privately; add /obfuscate to finish it the same way.");
                job.files[static_cast<std::size_t>(f)].wireName = old.wireName;
                job.files[static_cast<std::size_t>(f)].wireSender = old.poster;
            }
            auto& done = resumed_[f];
            for (const auto& seg : old.segments) {
                if (seg.number < 1 || seg.number > parts || !done.insert(seg.number).second) continue;
                files_[f][seg.number] = PostedPart{f, seg.number, seg.number == lowest ? old.subject : std::string(),
                                                   old.poster, "<" + seg.messageId + ">", seg.bytes};
            }
            if (!dates_.count(f)) dates_[f] = old.date;
            break;
        }
    });
    for (const auto& [f, done] : resumed_) {
        // A file that also did not match elsewhere is posted whole: drop any parts taken.
        const FileEntry& file = job.files[static_cast<std::size_t>(f)];
        job.line("Resume: " + file.name + ": " + std::to_string(done.size()) + " of " +
                 std::to_string(partCount(settings, file)) + " parts are posted already.");
    }
}

const std::set<int>& PostRecord::alreadyPosted(int f) const {
    static const std::set<int> none;
    const auto it = resumed_.find(f);
    return it == resumed_.end() ? none : it->second;
}

// The job's folder as the runner names it ("CD1\\extras", what newsreaders
// show) in the form of a path ("CD1/extras").
std::string PostRecord::treeFolder(std::string folder) {
    std::replace(folder.begin(), folder.end(), '\\', '/');
    while (!folder.empty() && folder.front() == '/') folder.erase(0, 1);
    return folder;
}

void PostRecord::accepted(const Article& a) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[a.file][a.part] = PostedPart{a.file, a.part, a.recordSubject, a.sender, a.messageId, a.bytes};
    if (!dates_.count(a.file)) dates_[a.file] = static_cast<std::int64_t>(std::time(nullptr));
    dirty_ = true;
    if (nzb_) {
        // On disk before the next article goes: a kill loses only those in flight.
        NzbFile f;
        f.name = postedName(job_.files[static_cast<std::size_t>(a.file)]);
        f.size = job_.files[static_cast<std::size_t>(a.file)].size;
        f.date = dates_[a.file];
        f.subject = a.recordSubject;
        f.poster = a.sender;
        f.wireName = job_.files[static_cast<std::size_t>(a.file)].wireName;
        f.folder = treeFolder(settings_.folder);
        f.groups = groups_;
        nzb_->journal(f, NzbSegment{a.messageId.substr(1, a.messageId.size() - 2), a.bytes, a.part});
    }
    if (static_cast<std::uint32_t>(job_.clock.tickMs() - lastSave_) >= kSaveEveryMs) saveLocked();
}

void PostRecord::replaced(const Article& a) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& p = files_[a.file][a.part];
    p.messageId = a.messageId;
    p.bytes = a.bytes;
    dirty_ = true;
    // On disk at once, as an accepted article is: a kill after it must not
    // leave the NZB naming the copy the server lost (copies posted again
    // are few, so the whole file is written).
    saveLocked();
}

bool PostRecord::saveFailed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return saveFailed_;
}

void PostRecord::save(bool final) {
    std::lock_guard<std::mutex> lock(mutex_);
    saveLocked(final);
}

std::vector<PostedPart> PostRecord::parts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PostedPart> out;
    for (const auto& [f, parts] : files_)
        for (const auto& [p, a] : parts) out.push_back(a);
    return out;
}

std::string PostRecord::messageIdOf(int f, int part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto file = files_.find(f);
    if (file == files_.end()) return {};
    const auto a = file->second.find(part);
    return a == file->second.end() ? std::string() : a->second.messageId;
}

NzbFile PostRecord::fileRecord(int f) const {
    const FileEntry& file = job_.files[static_cast<std::size_t>(f)];
    NzbFile r;
    r.groups = groups_;
    r.date = dates_.at(f);
    r.name = postedName(file);
    r.size = file.size;
    r.wireName = file.wireName;
    r.folder = treeFolder(settings_.folder);
    const auto& parts = files_.at(f);
    // The file's subject and poster are those of its first part.
    const PostedPart& first = parts.begin()->second;
    r.subject = first.subject.empty() ? subjectFor(job_, settings_, f, first.part, partCount(settings_, file)).subject
                                      : first.subject;
    r.poster = first.sender;
    for (const auto& [p, a] : parts) r.segments.push_back({a.messageId.substr(1, a.messageId.size() - 2), a.bytes, p});
    return r;
}

void PostRecord::saveLocked(bool final) {
    lastSave_ = job_.clock.tickMs();
    if (!nzb_ || (!dirty_ && !final)) return;
    // Until the folder jobs before it have ended, the journal alone holds
    // what the server took: their entries come first in the file.
    if (!final && job_.turn >= 0 && !JobTurns::instance().head(job_.turn)) return;
    dirty_ = false;
    std::vector<NzbFile> records;
    for (const auto& [f, parts] : files_)
        if (!parts.empty()) records.push_back(fileRecord(f));
    nzb_->setFiles(records);
    std::string error;
    if (!nzb_->save(error, final)) {
        job_.line(error);
        saveFailed_ = true;
    }
}

}  // namespace pelmor
