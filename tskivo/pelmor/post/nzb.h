// NZB 1.1 files of what a job posted, so that a posting can be shared and
// resumed. Saves merge with what other writers saved meanwhile, under a
// folder lock, streaming: the file is never held in memory whole. Between
// saves, every accepted article is appended to a journal beside the NZB, so
// that a posting killed at any moment loses only the articles in flight.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pelmor {

struct NzbSegment {
    std::string messageId;  // without angle brackets
    std::uint64_t bytes;
    int number;
};

struct NzbFile {
    std::string poster;
    std::int64_t date;  // seconds since 1970
    std::string subject;
    std::vector<std::string> groups;
    std::vector<NzbSegment> segments;
    // The posted file's name and size, kept in a comment of the element so
    // that an interrupted job can be resumed; empty and 0 when unknown.
    std::string name;
    std::uint64_t size = 0;
    std::string wireName = {};  // the random name an obfuscated file went out under
    // The folder it was posted from, below the start ("CD1/extras"; empty
    // for the start), so that a flat download can be put back in its tree.
    std::string folder = {};
};

// Reads back a <file> element this writer wrote (subject, poster, segments
// and the name and size comment). False for any other element; false with
// `problem` set for one of ours that cannot be trusted (a name that is not
// hexadecimal, a Message-ID that is not one), which is then not resumed.
bool parseFileElement(const std::string& element, NzbFile& out, std::string* problem = nullptr);

class NzbWriter {
public:
    ~NzbWriter();
    // False (with `error`) when `path` exists but is no regular NZB file, so
    // that nothing of the user's is overwritten, or when its folder cannot
    // take the file. Journals that killed postings left beside it are
    // folded into it first.
    bool open(const std::string& path, std::string& error);
    // What open passed over and the job should say (files named like a
    // journal that are none of ours).
    const std::vector<std::string>& notes() const { return notes_; }
    // Each <file> element the file holds now, in order, one at a time.
    void scan(const std::function<void(const std::string& element)>& each) const;
    // Takes over an existing element: the next save replaces it with this
    // writer's own (a resumed file's record, now complete).
    void claim(const std::string& element) { claimed_.insert(element); }
    void add(const NzbFile& file);
    // Replaces every element this writer added with these.
    void setFiles(const std::vector<NzbFile>& files);
    // <head><meta type="..."> entries (title, password, category, tag): added
    // to the head the file has, which is kept whatever it holds.
    void setMeta(std::vector<std::pair<std::string, std::string>> meta) { meta_ = std::move(meta); }
    // An accepted article of `file`, appended to the journal at once.
    void journal(const NzbFile& file, const NzbSegment& segment);
    // Merges this writer's files into the file and replaces it atomically;
    // `final`: the job is over, its journal goes.
    bool save(std::string& error, bool final = false);
    const std::string& path() const { return path_; }
    // A re-posted article of a file an earlier job wrote: its segment's id
    // replaced in the file, under the lock.
    bool replaceSegment(const std::string& oldId, const std::string& newId, std::uint64_t bytes, std::string& error);
    // Runs inside save, after the file was read and before it is replaced
    // (tests interleave writers there).
    void setSaveHook(std::function<void()> hook) { saveHook_ = std::move(hook); }

private:
    std::string path_;
    std::vector<std::string> notes_;
    std::string journalPath_;
    int journalFd_ = -1;
    std::vector<std::string> added_;  // this writer's <file> elements
    std::set<std::string> saved_;     // what its last save wrote
    std::set<std::string> claimed_;
    std::vector<std::pair<std::string, std::string>> meta_;
    std::function<void()> saveHook_;
};

std::string xmlEscape(const std::string& text);

}  // namespace pelmor
