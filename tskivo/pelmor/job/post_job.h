// The job that one postFolder call builds: the option table and the files,
// filled from the defaults file and the argument vector.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/platform.h"

namespace pelmor {

enum EncodingCode : int { kText = 0, kUuencode = 1, kYenc = 2 };

struct FileEntry {
    std::string name;
    int encoding = kYenc;
    std::vector<int> parts;      // empty: every part
    std::uint64_t size = 0;      // recorded by the job check
    bool inPar2Set = false;      // named after "-par2": the recovery set covers it
    // The name it goes out under, when not the one it is read by (a folder
    // path put before it, "-pathnames").
    std::string postAs;
    // With "-obfuscate": the random name and sender it goes out under.
    std::string wireName = {};
    std::string wireSender = {};
};

// The name a file is posted under: a file given by absolute path (the
// runner's contact sheets, made in a private folder) by its base name, as
// the poster's folders are nobody's business; a relative name with its
// folder part; never a control character.
std::string postedName(const FileEntry& file);

// What a job did, for whoever called it: filled as it goes, so that a job
// that fails or is stopped still tells what it posted.
struct JobTotals {
    std::uint64_t bytes = 0;     // sent for the accepted articles
    std::uint64_t articles = 0;  // accepted, posted again ones included
    std::uint64_t reposted = 0;  // posted again by the post check
    std::uint64_t skipped = 0;   // files the server would not take, or that cannot be read
    std::uint64_t handled = 0;   // the job's bytes as its progress counts them (sheets and recovery set included)
    bool reported = false;       // the job's end was reported (its events)
};

class PostJob {
public:
    PostJob(bool printHeader, bool threadPosts, bool uutease, bool scramble, common::Clock& clock,
            std::ostream& log);

    int verbosity = 1;
    bool printHeader;
    int encoding = kYenc;
    bool writeDefaults = false;
    std::vector<FileEntry> files;
    std::map<std::string, std::string> options{{"lines", "2500"}, {"port", "119"}};
    bool uutease;
    std::string firstMessageId;
    bool threadPosts;
    bool scramble;

    common::Clock& clock;
    common::Log log;
    std::string defaultsPath;       // where "-defaults" writes; empty: nowhere
    int responseTimeoutMs = 60000;  // how long a server response may take
    bool par2Started = false;       // "-par2" seen: later files are in the recovery set
    // Set when the job is to stop (a signal); the posting loops look at it
    // between articles.
    const std::atomic<bool>* stop = nullptr;
    // A folder job that overlaps the one before it (post/job_turns.h): its
    // turn, a stop when an earlier turn failed, and standard output's text
    // kept while its turn has not come (true: kept).
    int turn = -1;
    // Where standard output's text (events, the status line) goes: a
    // runner that sends the contact-sheet library's lines elsewhere for a
    // moment gives its real standard output ("-eventsfd").
    int outFd = 1;
    std::function<bool()> stopAlso;
    std::function<bool(const std::string&)> keepOut;
    bool stopRequested() const { return (stop && stop->load()) || (stopAlso && stopAlso()); }
    JobTotals totals;

    std::string getOption(const std::string& key) const;
    bool hasOption(const std::string& key) const;

    void line(std::string_view text) { log.line(text); }
    void put(std::string_view text) { log.put(text); }
};

// Looks at args[0] (and args[1] when remaining >= 2); returns how many it consumed.
int parseArgument(PostJob& job, int remaining, char** args);
// Parses argv[1..], writes the defaults file when asked, checks the job,
// prints the summary and applies the uutease rule.
void parseArguments(PostJob& job, int argc, char** argv);
std::vector<std::string> expandWildcards(PostJob& job, const std::string& pattern);

// "name:1,3-5" -> name and parts when the text after the last ':' is a part list.
bool splitPartsSuffix(const std::string& argument, std::string& name, std::vector<int>& parts);

}  // namespace pelmor
