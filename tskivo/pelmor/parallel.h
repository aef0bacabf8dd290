// Posting a job over several connections at once.
#pragma once

#include <cstdint>

#include "job.h"

namespace pelmor {

// Posts the parsed and checked job over `connections` sessions, each with its
// own connection, log-in and TLS. The articles are handed out in their usual
// order; each keeps its retry rules, and one waiting for its retry holds up
// no other connection. Throws like the single-connection run; returns the
// bytes posted.
std::uint64_t runParallel(PostJob& job, int connections);

}  // namespace pelmor
