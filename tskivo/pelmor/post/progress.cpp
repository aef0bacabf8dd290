#include "progress.h"

namespace pelmor {

void printProgress(Posting& posting, const SubjectLines& subject, int p, int parts) {
    std::string text;
    if (p == 1 && posting.settings.verbosity >= 1)
        text += std::string(posting.settings.printHeader ? "  " : "    ") + subject.display + ' ';
    if (p > 1 || parts > 1) text += '.';
    posting.job.put(text);
}

}  // namespace pelmor
