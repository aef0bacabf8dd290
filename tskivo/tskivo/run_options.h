// The runner's command line: positional values, slash options, usage text,
// and the engine argument vector built from them for one folder.
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "tplat.h"

namespace tskivo {

inline constexpr const char* kBanner = "Tarvel Skivor v0.36 - Usenet binary folder poster";
// The largest /maxbw= in kilobytes per second (4 GiB/s in bytes).
inline constexpr long long kMaxBandwidthKb = 4194303;
inline constexpr const char* kPlaceholderAuthor = "Unused (random senders) <unused@example.invalid>";

struct RunOptions {
    std::vector<std::string> args;  // program name first
    std::string initialDirectory;   // where the runner was started
    std::vector<std::string> unreadableFolders;  // of the tree, found when it was recorded
    bool uutease = false;
    bool uuencode = false;
    bool scramble = false;
    bool nonFolderLike = false;
    bool contactSheets = false;
    std::optional<std::string> backgroundImage;
    std::optional<std::string> authorLogo;
    std::optional<std::string> userName;
    std::optional<std::string> password;
    std::optional<std::string> introTextFile;
    std::string folderSeparator;
    std::optional<std::string> subjectFormat;
    std::string fileMask = "*.*";
    RGBQUAD backgroundColour{255, 255, 255, 0};
    RGBQUAD fontColour{0, 0, 0, 0};
    std::optional<long long> maxBandwidth;  // kilobytes per second
    std::optional<long long> maxLines;
    std::optional<long long> port;
    bool tls = false;
    std::optional<std::string> nzbFile;  // absolute
    int connections = 1;                 // "/conn="
    bool check = false;                  // "/check"
    // PAR2 recovery files per folder ("/par2=P"; 0 = none).
    int par2Percent = 0;
    int par2Files = 0;                   // "/par2files=N"
    bool par2Equal = false;              // "/par2equal"
    std::uint32_t par2Blocks = 0;        // "/par2blocks=N"
    std::uint64_t par2BlockSize = 0;     // "/par2blocksize=B"
    bool resume = false;                 // "/resume", with "/nzb="
    bool json = false;                   // "/json": events for programs instead of the log
    bool verify = false;                 // "/verify", with "/nzb=": ask for every article, post nothing
    std::optional<long long> checkDelay; // "/checkdelay=" seconds
    std::optional<long long> checkAsks;     // "/checkasks=": asks that find a copy missing before it goes again
    std::optional<long long> checkSpacing;  // "/checkspacing=" seconds between them
    // Servers to post on when the one before fails ("/backup=", each with
    // its "/backupuser=", "/backuppass=" and "/backupssl" after it).
    struct Backup {
        std::string server;  // host[:port]
        std::optional<std::string> user, password;
        bool tls = false;
    };
    std::vector<Backup> backups;
    std::optional<std::string> checkServer, checkUser, checkPassword;  // "/checkserver=" and its log-in
    std::optional<std::string> proxy;    // "/proxy=socks5://..."
    bool obfuscate = false;              // "/obfuscate": random names on the wire
    std::optional<std::string> domain;   // "/domain=": of the Message-IDs
    // "/nzbtitle=", "/nzbpassword=", "/nzbcategory=", "/nzbtag=": the NZB's head.
    std::vector<std::pair<std::string, std::string>> nzbMeta;
    std::optional<std::string> after;    // "/after=": a command run after posting
    // "/archive": each folder's files packed into a 7z archive with a
    // password ("/password=", else TSKIVO_ARCHIVE_PASSWORD, else a random
    // one) in volumes of "/volume=" MiB.
    // "/each": every subfolder of the start folder a release of its own,
    // its NZB file in "/nzbdir=" (else the folder the runner was started
    // in); "/history=": a JSON line per release.
    bool each = false;
    // "/watch[=SECONDS]": keep running; a new subfolder is posted as a
    // release (as with "/each") once nothing in it changed for SECONDS.
    std::optional<long long> watchSeconds;
    std::optional<std::string> nzbDir, history;  // absolute
    bool archive = false;
    std::optional<std::string> archivePassword;
    std::uint64_t volumeMiB = 50;
    // Another run follows in this process (the front end's queue, the next
    // release): the server connections stay open at the end.
    bool more = false;
    std::string error;                   // a value that cannot be used; nothing is posted
    std::vector<std::string> unknown;    // slash options the runner does not know (ignored, said so)

    const std::string& author() const { return args[1]; }
    const std::string& subject() const { return args[2]; }
    const std::string& startDirectory() const { return args[3]; }
    const std::string& newsgroups() const { return args[4]; }
    const std::string& server() const { return args[5]; }
    std::string reference;
};

// False when the usage text is due (fewer than five arguments).
// `initialDirectory` resolves relative file options; `environmentPassword`
// stands in for "/p=" when that is absent, `backupPassword` for each
// "/backuppass=" (TSKIVO_BACKUP_PASSWORD).
bool parseRunOptions(const std::vector<std::string>& args, const std::string& initialDirectory,
                     const std::optional<std::string>& environmentPassword, RunOptions& out,
                     const std::optional<std::string>& backupPassword = std::nullopt);

void printRunnerUsage(std::ostream& out);

// The saved options: TSKIVO_CONFIG names the file (empty: none), else
// $XDG_CONFIG_HOME/tarvel-skivor/tskivo.conf (~/.config/...). One option a
// line, "#" starts a comment. They follow the command line's own, so that
// what is typed wins. `note` gets a warning worth printing (a file others
// can read that holds a password), or stays empty.
std::vector<std::string> withSavedOptions(const std::vector<std::string>& args, std::string& note);

// Whether an argument is one of the runner's slash options (by its prefix,
// as they are matched).
bool knownRunnerOption(const std::string& argument);

// "gc\a" for the folder /start/gc/a below /start; empty for the start folder.
std::string relativePath(const std::string& startPath, const std::string& folderPath);
// The text appended to the subject for folder `index` of the list.
std::string folderLabel(const RunOptions& options, std::size_t index, const std::string& relative);

// The engine's server words: "-userid" and "-password" when `user` is
// given, "-port" (563 for TLS unless given) and "-encrypt".
void appendServerArgs(std::vector<std::string>& v, std::optional<long long> port, bool tls,
                      const std::optional<std::string>& user, const std::optional<std::string>& password);

// The engine's argument vector for one folder, in order; `sheets` are the
// folder's contact sheets (full paths), `folderName` names its recovery set.
// `runState`: the file through which the job reports back (-runstate);
// `pathNames`: the folder path its files go out under (-pathnames).
std::vector<std::string> buildEngineArgs(const RunOptions& options, std::size_t index, const std::string& relative,
                                         const std::deque<std::string>& sheets = {},
                                         const std::string& folderName = {}, const std::string& runState = {},
                                         const std::string& pathNames = {});

}  // namespace tskivo
