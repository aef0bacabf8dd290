// The runner's main flow: record the tree, then post it folder by folder.
#pragma once

#include <deque>
#include <iosfwd>
#include <string>
#include <vector>

#include "run_options.h"

namespace tskivo {

using PostFolderFn = int (*)(int, char**, bool, bool, bool, bool);
// The engine's count of folder jobs that handed out their articles; when
// set, a folder's job starts while the one before still waits for replies.
using HandedOutFn = int (*)();
extern HandedOutFn jobsHandedOut;
using CreateContactSheetsFn = void (*)(const char*, const char*, const char*, const char*, const RGBQUAD*,
                                       const RGBQUAD*, const std::deque<std::string>*, std::deque<std::string>*);

// Appends the folders below the current directory, depth first, pre-order;
// never enters a folder twice (links that loop back), nor dot folders.
// Folders that cannot be entered go to `unreadable`, when given.
void recordFolders(std::vector<std::string>& folders, std::vector<std::string>* unreadable = nullptr);

// Names in the current folder that match the mask and are no directories.
std::deque<std::string> listSheetSources(const std::string& mask);

// Posts every folder of the list; prints the Handling lines and the summary.
// Returns the run's status: 0 done, 1 done with files skipped, 130
// stopped on request, 255 a job failed (the folders after it not posted).
int runFolders(const RunOptions& options, const std::vector<std::string>& folders, PostFolderFn postFolder,
               CreateContactSheetsFn createContactSheets, std::ostream& out);

// "tskivo --test-server HOST [/port=N] [/ssl] [/u=USER] [/proxy=URL]"
// (TSKIVO_PASSWORD, TSKIVO_PROXY): connects, logs in and says what the
// server allows; 0 when it can be posted on.
int testServer(const std::vector<std::string>& args, PostFolderFn postFolder, std::ostream& out);

// The whole program after the library check; returns the exit status.
// `queued`: one of runQueue's jobs (JSON events; another run may follow in
// this process).
int runRunner(const std::vector<std::string>& args, PostFolderFn postFolder,
              CreateContactSheetsFn createContactSheets, std::ostream& out, bool queued = false);

// "tskivo --queue": jobs one after another in one process, so that the
// server connections of one are there for the next. Each line of `in` is
// a job, a JSON object: "arguments" (the command line after the program
// name; its events are in JSON) and "environment" (TSKIVO_PASSWORD,
// TSKIVO_BACKUP_PASSWORD, TSKIVO_PROXY, TSKIVO_ARCHIVE_PASSWORD: those not
// given are unset). The job's events go to `out`, then
// {"type":"ended","status":N}, on standard error too. Ends at the end of `in`, on a line that is
// no job (status 255) or after a job stopped on request (130).
int runQueue(std::istream& in, const std::string& program, PostFolderFn postFolder,
             CreateContactSheetsFn createContactSheets, std::ostream& out);

}  // namespace tskivo
