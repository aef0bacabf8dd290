// NZB 1.1 files of what a job posted, so that a posting can be shared.
#pragma once

#include <cstdint>
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
};

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
    bool save(std::string& error);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> added_;  // this writer's <file> elements
    std::vector<std::string> saved_;  // what its last save wrote
};

std::string xmlEscape(const std::string& text);

}  // namespace pelmor
