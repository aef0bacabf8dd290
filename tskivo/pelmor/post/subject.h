// Subject lines that newsreaders can group: the plain form and the "$" format form.
#pragma once

#include <cstdint>
#include <string>

#include "job/post_job.h"

namespace pelmor {

struct SubjectLines {
    std::string subject;  // the article's Subject header
    std::string display;  // shown once per file in the progress line
};

// The subject text decorated with file counter, size, name and part counter.
SubjectLines formatPlainSubject(const std::string& subjectText, const FileEntry& file, int p, int P, int f,
                                int F, std::uint64_t S);

// The user's format with "$" codes, plus the part counter. "$$" is a dollar;
// a "$" before any other character, or at the very end, is kept as written.
SubjectLines formatSubject(const std::string& format, const FileEntry& file, const std::string& folder, int p,
                           int P, int f, int F, std::uint64_t S);

}  // namespace pelmor
