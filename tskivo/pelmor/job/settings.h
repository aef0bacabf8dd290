// The job's options read once, typed, before anything is posted: what the
// posting, the sessions, the post check, the NZB record and the PAR2 set
// need. Nothing reads the option table after this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/server.h"
#include "post_job.h"

namespace pelmor {

struct Par2Settings {
    int percent = 0;                // 0: no recovery set
    int fileCount = 0;              // recovery files; 0: sizes doubling
    bool equalSizes = false;
    std::uint32_t blockCount = 0;   // 0: 2000
    std::uint64_t blockSize = 0;    // 0: from the block count
    std::uint64_t memoryLimit = 256ull << 20;
    std::string name;               // the set's base name; empty: "files"
};

// Where a folder runner's run stands as this job starts (from "-runstate").
struct RunContext {
    int folder = 0;           // this job's folder, from 1; 0 without a runner
    int folders = 0;
    std::uint64_t done = 0;   // bytes of the folders before this one
    std::uint64_t total = 0;  // bytes of every folder's files
    // Another run follows in the same process (a queue of jobs, releases
    // one after another): the last folder's connections stay open too.
    bool more = false;
};

struct JobSettings {
    int verbosity = 1;
    bool printHeader = true;
    bool threadPosts = true;
    bool scramble = false;

    std::string from;
    std::string subject;
    std::optional<std::string> subjectFormat;
    std::string folder;
    std::string newsgroups;
    std::string references;
    std::string extraHeaders;
    int lines = 2500;
    long long maxRetries = 60;
    std::uint32_t throttle = 0;  // bytes per second, 0: no limit
    // The intro text file's lines with CR LF ends, read once; none when the
    // option is absent or the file cannot be opened.
    std::optional<std::string> introText;

    ServerSettings server;
    std::vector<ServerSettings> backups;  // in the order tried after the main server
    std::optional<ServerSettings> checkServer;
    std::optional<ProxySettings> proxy;
    int responseTimeoutMs = 60000;
    std::string performanceLog;  // empty: off
    int connections = 1;
    bool check = false;
    long long checkDelaySeconds = 5;
    // A copy is posted again only after this many asks, this far apart, found
    // it missing: a provider may take a while to show an article.
    long long checkAsks = 4;
    long long checkSpacingSeconds = 10;
    bool resume = false;
    std::string nzbPath;  // empty: no NZB file
    Par2Settings par2;
    bool json = false;    // events for programs on standard output instead of the log
    // Names, subjects and senders on the wire random, the real ones in the
    // NZB and the PAR2 set alone.
    bool obfuscate = false;
    std::string idDomain;  // right of the "@" of every Message-ID
    std::vector<std::pair<std::string, std::string>> nzbMeta;  // <head><meta type=...>
    std::string runState;  // a folder runner's file; empty: none
    RunContext run;
};

// After the job check passed.
JobSettings readSettings(const PostJob& job);

// "host", "host:port", "[::1]:port": the server's name and port; false when
// the port is no number from 1 to 65535.
bool splitHostPort(const std::string& text, int defaultPort, std::string& host, int& port);
// "socks5://[user:pass@]host:port"; false, with why, for anything else.
bool parseProxy(const std::string& url, ProxySettings& out, std::string& error);

// The domain of Message-IDs when neither the job nor its defaults name one.
inline constexpr const char* kIdDomain = "tarvel-skivor.example.org";

// An intro text file as the session sends it: lines with CR LF ends, up to a
// line of 4095 or more characters; none when the file cannot be opened.
std::optional<std::string> readIntroText(const std::string& path);

}  // namespace pelmor
