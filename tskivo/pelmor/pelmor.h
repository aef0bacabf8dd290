// The posting engine's public interface: one job per call.
#pragma once

#define PELMOR_EXPORT __attribute__((visibility("default")))

extern "C" {
// argv[0] is a program name; options and files follow (see the usage text).
// Returns 0 when the job is done; a failed job ends the process with status
// 255, "-?" with status 0.
PELMOR_EXPORT int postFolder(int argc, char** argv, bool printHeader, bool threadPosts, bool uutease,
                             bool scramble);
// How many folder jobs started with "-overlap" have handed every article to
// their connections (or ended): a runner readies the next folder after that.
PELMOR_EXPORT int postFolderJobsHandedOut();
}
