// What a job must pass before anything is sent, the summary of a job that
// passed, and the usage text.
#pragma once

#include <iosfwd>

#include "post_job.h"

namespace pelmor {

// Fails the job (Kelvo_Exception, retryable 0) with every problem found.
void checkJob(PostJob& job);
void printSummary(PostJob& job);
void printUsage(std::ostream& out);

// Largest "lines" value a job accepts; bounds the part buffer.
inline constexpr long long kMaxLines = 100000;
// Most source blocks of a PAR2 set.
inline constexpr long long kMaxPar2Blocks = 32768;

}  // namespace pelmor
