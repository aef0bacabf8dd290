// The posting run of one job: parse and check it, then post every file
// (over one connection or several), check what was posted when asked, and
// report the throughput.
#pragma once

#include <atomic>
#include <cstdint>

#include "job/settings.h"
#include "kelvo_exception.h"

namespace pelmor {

// Parses, checks and posts the job; throws Kelvo_Exception when it fails.
void runJob(PostJob& job, int argc, char** argv);

// postFolder's job: a failure prints its message and ends the process with
// its status, "-?" with 0; with "-runstate" the outcome is written to that
// file and the status returned instead. `stop` is set by a signal.
int postFolderJob(int argc, char** argv, bool printHeader, bool threadPosts, bool uutease, bool scramble,
                  const std::atomic<bool>& stop);

// Fails the job when a header line cannot fit 998 bytes.
void checkHeaders(const PostJob& job, const JobSettings& settings);
// The throughput lines.
void printThroughput(PostJob& job, const JobSettings& settings, std::uint32_t startTicks, std::uint64_t jobBytes);

}  // namespace pelmor
