// The job that one postFolder call builds: options, files, defaults file,
// argument parsing, the job check, summary and usage text.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace pelmor {

enum EncodingCode : int { kText = 0, kUuencode = 1, kYenc = 2 };

struct FileEntry {
    std::string name;
    int encoding = kYenc;
    std::vector<int> parts;      // empty: every part
    std::uint32_t size = 0;      // low 32 bits, recorded by the job check
};

class NzbWriter;
class PostRecord;
class RateLimiter;

class PostJob {
public:
    PostJob(bool printHeader, bool threadPosts, bool uutease, bool scramble,
            Clock& clock, std::ostream& log);

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

    Clock& clock;
    std::ostream& log;
    std::mutex logMutex;
    std::string defaultsPath;  // where "-defaults" writes; empty: nowhere
    int responseTimeoutMs = 60000;  // how long a server response may take
    NzbWriter* nzb = nullptr;       // set while a job writes an NZB file ("-out")
    PostRecord* record = nullptr;   // what the server accepted, while a job posts
    RateLimiter* sharedThrottle = nullptr;  // one "-throttle" for all connections of a job
    bool nzbFailed = false;         // a save of the NZB file failed

    std::string getOption(const std::string& key) const;
    bool hasOption(const std::string& key) const;
    std::string getOptionOr(const std::string& key, const std::string& fallback);

    // One line on the engine log, ended and flushed at once. Safe from the
    // connections' threads.
    void line(std::string_view text);
    // Text without a line end (progress), flushed at once.
    void put(std::string_view text);
};

// $SystemRoot/pelmor.ini, else ${XDG_CONFIG_HOME:-$HOME/.config}/pelmor.ini.
std::string defaultsFilePath();
void readDefaults(PostJob& job, const std::string& path);
// Owner-only (0600): the file holds the password.
void writeDefaultsFile(const PostJob& job, const std::string& path);

// Looks at args[0] (and args[1] when remaining >= 2); returns how many it consumed.
int parseArgument(PostJob& job, int remaining, char** args);
// Parses argv[1..], writes the defaults file when asked, checks the job,
// prints the summary and applies the uutease rule.
void parseArguments(PostJob& job, int argc, char** argv);
std::vector<std::string> expandWildcards(PostJob& job, const std::string& pattern);
void checkJob(PostJob& job);
void printSummary(PostJob& job);
void printUsage(std::ostream& out);

// "name:1,3-5" -> name and parts when the text after the last ':' is a part list.
bool splitPartsSuffix(const std::string& argument, std::string& name, std::vector<int>& parts);

// The "-throttle" value in bytes per second, kept to 32 bits; 0: no limit.
std::uint32_t throttleRate(const PostJob& job);

// Most connections a job may use at once ("-connections").
inline constexpr int kMaxConnections = 64;
// The "-connections" value, 1 when absent.
int connectionCount(const PostJob& job);

// Largest "lines" value a job accepts; bounds the part buffer.
inline constexpr long long kMaxLines = 100000;

}  // namespace pelmor
