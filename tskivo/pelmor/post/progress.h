// The progress the log shows while a job posts: per file, the display
// subject, then a dot per part.
#pragma once

#include "posting.h"
#include "subject.h"

namespace pelmor {

// Before part p is posted: for the first, the display subject (verbosity 1
// and up); a dot for every part of a file of several.
void printProgress(Posting& posting, const SubjectLines& subject, int p, int parts);

}  // namespace pelmor
