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
// every save replaces the file atomically.
class NzbWriter {
public:
    // Reads `path` when it exists; false (with `error`) when it exists but is
    // not an NZB file, so that nothing of the user's is overwritten.
    bool open(const std::string& path, std::string& error);
    void add(const NzbFile& file);
    bool save(std::string& error) const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string kept_;  // <file> elements of the existing file, as they were
    std::string added_;
};

std::string xmlEscape(const std::string& text);

}  // namespace pelmor
