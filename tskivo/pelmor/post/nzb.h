// NZB 1.1 files of what a job posted, so that a posting can be shared.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
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
};

// Reads back a <file> element this writer wrote (subject, poster, segments
// and the name and size comment); false for any other element.
bool parseFileElement(const std::string& element, NzbFile& out);

// Keeps the <file> elements of an existing NZB and adds the job's files;
// every save merges with what other jobs saved meanwhile (under a lock) and
// replaces the file atomically.
class NzbWriter {
public:
    // False (with `error`) when `path` exists but is no regular NZB file, so
    // that nothing of the user's is overwritten, or when its folder cannot
    // take the file.
    bool open(const std::string& path, std::string& error);
    void add(const NzbFile& file);
    // Replaces every element this writer added with these.
    void setFiles(const std::vector<NzbFile>& files);
    bool save(std::string& error);
    // The <file> elements the file held when it was opened.
    const std::vector<std::string>& existing() const { return existing_; }
    // Takes over an existing element: the next save replaces it with this
    // writer's own (a resumed file's record, now complete).
    void claim(const std::string& element) { saved_.push_back(element); }
    const std::string& path() const { return path_; }
    // Runs inside save, after the file was read and before it is replaced
    // (tests interleave writers there).
    void setSaveHook(std::function<void()> hook) { saveHook_ = std::move(hook); }

private:
    std::function<void()> saveHook_;
    std::string path_;
    std::vector<std::string> added_;  // this writer's <file> elements
    std::vector<std::string> saved_;  // what its last save wrote
    std::vector<std::string> existing_;
};

std::string xmlEscape(const std::string& text);
// Bytes as lower-case hexadecimal digits (names of any bytes in a comment).
std::string hexText(const std::string& bytes);

}  // namespace pelmor
