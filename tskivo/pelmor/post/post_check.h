// The post check ("-check"): every accepted article asked for with STAT, the
// missing ones posted again.
#pragma once

#include "posting.h"

namespace pelmor {

// Asks the server for every accepted article over a connection of its own
// and posts missing ones again, up to three times; fails the job when some
// stay missing. A server that cannot answer STAT ends the check with a
// note, nothing posted again.
void checkPosts(Posting& posting);

}  // namespace pelmor
