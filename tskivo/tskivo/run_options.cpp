#include "run_options.h"

#include <sys/stat.h>

#include <fstream>

#include <strings.h>

#include <cstdlib>
#include <type_traits>
#include <ostream>

#include "common/limits.h"
#include "common/platform.h"

namespace tskivo {

namespace {

bool startsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t n = std::char_traits<char>::length(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// The first argument, the program name included, that begins with the option.
const std::string* findOption(const std::vector<std::string>& args, const char* option) {
    for (const auto& a : args)
        if (startsWithNoCase(a, option)) return &a;
    return nullptr;
}

std::optional<std::string> textOption(const std::vector<std::string>& args, const char* option) {
    const std::string* a = findOption(args, option);
    if (!a) return std::nullopt;
    return a->substr(std::char_traits<char>::length(option));
}

std::optional<std::string> fileOption(const std::vector<std::string>& args, const char* option,
                                      const std::string& initialDirectory) {
    auto value = textOption(args, option);
    if (!value) return std::nullopt;
    const std::string resolved = !value->empty() && (*value)[0] == '/' ? *value : initialDirectory + "/" + *value;
    if (value->empty() || !common::canOpenForRead(resolved)) return std::nullopt;
    // Absolute, so that it is still found once the runner is in a folder below.
    return resolved;
}

RGBQUAD colourOption(const std::vector<std::string>& args, const char* option, RGBQUAD fallback) {
    auto value = textOption(args, option);
    if (!value) return fallback;
    unsigned long v = 0;
    for (char c : *value) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else break;
        v = ((v << 4) | static_cast<unsigned long>(digit)) & 0xFFFFFFFFul;
    }
    return RGBQUAD{static_cast<std::uint8_t>(v & 0xFF), static_cast<std::uint8_t>((v >> 8) & 0xFF),
                   static_cast<std::uint8_t>((v >> 16) & 0xFF), 0};
}

// A number above 0, else absent: a zero or negative limit means none.
std::optional<long long> numberOption(const std::vector<std::string>& args, const char* option) {
    auto value = textOption(args, option);
    if (!value) return std::nullopt;
    const long long v = common::readDecimal(*value);
    if (v <= 0) return std::nullopt;
    return v;
}

// Every slash option, as its prefix is matched.
constexpr const char* kOptions[] = {
    "/uutease", "/maxbw=", "/uuencode", "/nfl", "/ics", "/maxlines=", "/fc=", "/bc=", "/bi=", "/al=", "/u=", "/p=",
    "/itf=", "/fs=", "/sf=", "/scramble", "/port=", "/ssl", "/nzb=", "/conn=", "/check", "/resume", "/par2=",
    "/par2files=", "/par2equal", "/par2blocks=", "/par2blocksize=", "/json", "/verify", "/checkdelay=", "/checkasks=", "/checkspacing=", "/backup=",
    "/backupuser=", "/backuppass=", "/backupssl", "/checkserver=", "/checkuser=", "/checkpass=", "/proxy=",
    "/obfuscate", "/domain=", "/nzbtitle=", "/nzbpassword=", "/nzbcategory=", "/nzbtag=", "/after=",
    "/archive", "/password=", "/volume=", "/each", "/nzbdir=", "/history=", "/watch"};

// A flag given exactly ("/check", not "/checkserver=").
bool flagOption(const std::vector<std::string>& args, const char* option) {
    for (const auto& a : args)
        if (strcasecmp(a.c_str(), option) == 0) return true;
    return false;
}

bool isMaskArgument(const std::string& a) {
    return a.find_first_of("*?") != std::string::npos && a.find_first_of("<>@") == std::string::npos;
}

}  // namespace

bool parseRunOptions(const std::vector<std::string>& args, const std::string& initialDirectory,
                     const std::optional<std::string>& environmentPassword, RunOptions& out,
                     const std::optional<std::string>& backupPassword) {
    if (args.size() < 6) return false;
    out.args = args;
    out.initialDirectory = initialDirectory;
    out.uutease = findOption(args, "/uutease");
    out.uuencode = findOption(args, "/uuencode");
    out.scramble = findOption(args, "/scramble");
    out.nonFolderLike = findOption(args, "/nfl");
    out.contactSheets = findOption(args, "/ics");
    out.backgroundImage = fileOption(args, "/bi=", initialDirectory);
    out.authorLogo = fileOption(args, "/al=", initialDirectory);
    out.introTextFile = fileOption(args, "/itf=", initialDirectory);
    out.userName = textOption(args, "/u=");
    out.password = textOption(args, "/p=");
    if (!out.password && environmentPassword) out.password = environmentPassword;
    out.folderSeparator = textOption(args, "/fs=").value_or("");
    out.subjectFormat = textOption(args, "/sf=");
    out.backgroundColour = colourOption(args, "/bc=", RGBQUAD{255, 255, 255, 0});
    out.fontColour = colourOption(args, "/fc=", RGBQUAD{0, 0, 0, 0});
    out.maxBandwidth = numberOption(args, "/maxbw=");
    // Kilobytes become bytes per second for the engine; far beyond any link,
    // and the multiplication must not overflow.
    if (out.maxBandwidth && *out.maxBandwidth > kMaxBandwidthKb) out.maxBandwidth = kMaxBandwidthKb;
    out.maxLines = numberOption(args, "/maxlines=");
    if (auto conn = textOption(args, "/conn=")) {
        if (const auto v = common::wholeNumber(*conn, 1, common::kMaxConnections))
            out.connections = static_cast<int>(*v);
        else
            out.error = "The /conn= value \"" + *conn + "\" must be a number from 1 to " +
                        std::to_string(common::kMaxConnections) + ".";
    }
    if (auto port = textOption(args, "/port=")) {
        if (const auto v = common::wholeNumber(*port, 1, 65535)) out.port = *v;
        else out.error = "The /port= value \"" + *port + "\" must be a number from 1 to 65535.";
    }
    out.tls = findOption(args, "/ssl");
    out.check = flagOption(args, "/check");
    out.json = findOption(args, "/json");
    out.verify = findOption(args, "/verify");
    out.resume = findOption(args, "/resume");
    if (auto nzb = textOption(args, "/nzb="); nzb && !nzb->empty())
        out.nzbFile = (*nzb)[0] == '/' ? *nzb : initialDirectory + "/" + *nzb;

    // A number option with its range; anything else is an error.
    const auto ranged = [&](const char* option, long long low, long long high, auto& into) {
        const auto text = textOption(args, option);
        if (!text) return;
        const auto whole = common::wholeNumber(*text, low, high);
        if (!whole) {
            if (out.error.empty())
                out.error = std::string("The ") + option + " value \"" + *text + "\" must be a number from " +
                            std::to_string(low) + " to " + std::to_string(high) + ".";
            return;
        }
        into = static_cast<std::remove_reference_t<decltype(into)>>(*whole);
    };
    ranged("/par2=", 1, 100, out.par2Percent);
    long long checkDelay = -1;
    ranged("/checkdelay=", 0, 86400, checkDelay);
    if (checkDelay >= 0) out.checkDelay = checkDelay;
    long long checkAsks = -1, checkSpacing = -1;
    ranged("/checkasks=", 1, 100, checkAsks);
    ranged("/checkspacing=", 0, 86400, checkSpacing);
    if (checkAsks >= 0) out.checkAsks = checkAsks;
    if (checkSpacing >= 0) out.checkSpacing = checkSpacing;
    ranged("/par2files=", 1, 1000, out.par2Files);
    ranged("/par2blocks=", 1, 32768, out.par2Blocks);
    ranged("/par2blocksize=", 4, 1LL << 40, out.par2BlockSize);
    out.par2Equal = findOption(args, "/par2equal");
    if (out.par2BlockSize % 4 != 0 && out.error.empty())
        out.error = "The /par2blocksize= value must be a multiple of 4 bytes.";
    if (out.resume && !out.nzbFile && !flagOption(args, "/each") && out.error.empty())
        out.error = "/resume needs /nzb= with the NZB file of the interrupted posting.";
    if (out.verify && !out.nzbFile && out.error.empty()) out.error = "/verify needs /nzb= with the NZB file to verify.";
    // Backups in the order given; the log-in options belong to the
    // "/backup=" before them.
    for (std::size_t i = 6; i < args.size(); ++i) {
        const std::string& a = args[i];
        const auto value = [&](const char* option) { return a.substr(std::char_traits<char>::length(option)); };
        if (startsWithNoCase(a, "/backup=")) {
            out.backups.push_back({value("/backup="), std::nullopt, backupPassword, false});
            continue;
        }
        const bool forBackup = startsWithNoCase(a, "/backupuser=") || startsWithNoCase(a, "/backuppass=") ||
                               strcasecmp(a.c_str(), "/backupssl") == 0;
        if (!forBackup) continue;
        if (out.backups.empty()) {
            if (out.error.empty()) out.error = a.substr(0, a.find('=')) + " needs a /backup= before it.";
            continue;
        }
        RunOptions::Backup& b = out.backups.back();
        if (startsWithNoCase(a, "/backupuser=")) b.user = value("/backupuser=");
        else if (startsWithNoCase(a, "/backuppass=")) b.password = value("/backuppass=");
        else b.tls = true;
    }
    out.checkServer = textOption(args, "/checkserver=");
    out.checkUser = textOption(args, "/checkuser=");
    out.checkPassword = textOption(args, "/checkpass=");
    out.proxy = textOption(args, "/proxy=");
    out.domain = textOption(args, "/domain=");
    out.after = textOption(args, "/after=");
    if (out.after && out.after->empty()) out.after.reset();
    const auto absolute = [&](const char* option) -> std::optional<std::string> {
        auto v = textOption(args, option);
        if (!v || v->empty()) return std::nullopt;
        return (*v)[0] == '/' ? *v : initialDirectory + "/" + *v;
    };
    out.each = flagOption(args, "/each");
    if (flagOption(args, "/watch")) out.watchSeconds = 30;
    long long watch = -1;
    ranged("/watch=", 0, 86400, watch);
    if (watch >= 0) out.watchSeconds = watch;
    if (out.watchSeconds) out.each = true;  // a watched folder's subfolders are releases
    out.nzbDir = absolute("/nzbdir=");
    out.history = absolute("/history=");
    if (out.each && out.nzbFile && out.error.empty())
        out.error = "/each writes an NZB file for each release: give /nzbdir= instead of /nzb=.";
    if (out.nzbDir && !out.each && out.error.empty()) out.error = "/nzbdir= goes with /each.";
    out.archive = flagOption(args, "/archive");
    out.archivePassword = textOption(args, "/password=");
    if (!out.archivePassword) out.archivePassword = common::environment("TSKIVO_ARCHIVE_PASSWORD");
    if (out.archivePassword && out.archivePassword->empty()) out.archivePassword.reset();
    long long volume = -1;
    ranged("/volume=", 1, 1 << 20, volume);
    if (volume > 0) out.volumeMiB = static_cast<std::uint64_t>(volume);
    if (!out.archive && out.error.empty() && (textOption(args, "/password=") || volume > 0))
        out.error = "/password= and /volume= go with /archive.";
    for (const auto& [option, type] : {std::pair{"/nzbtitle=", "title"}, std::pair{"/nzbpassword=", "password"},
                                        std::pair{"/nzbcategory=", "category"}})
        if (auto v = textOption(args, option)) out.nzbMeta.emplace_back(type, *v);
    for (std::size_t i = 6; i < args.size(); ++i)
        if (startsWithNoCase(args[i], "/nzbtag=")) out.nzbMeta.emplace_back("tag", args[i].substr(8));
    // Private: contact sheets and the intro text would give the posting
    // away; they stay only when asked ("/obfuscate=keep").
    for (const auto& a : args) {
        if (strcasecmp(a.c_str(), "/obfuscate") == 0) {
            out.obfuscate = true;
            out.contactSheets = false;
            out.introTextFile.reset();
        } else if (strcasecmp(a.c_str(), "/obfuscate=keep") == 0) {
            out.obfuscate = true;
        } else if (startsWithNoCase(a, "/obfuscate") && out.error.empty()) {
            out.error = "The /obfuscate option is written /obfuscate or /obfuscate=keep.";
        }
    }
    out.reference.clear();
    if (args.size() > 6) {
        const std::string& sixth = args[6];
        // Never a log-in value: the reference goes out in every article's
        // References header, for the world to read.
        // Nor an option: no Message-ID starts with "/" ("... host /conn=8"
        // went out as "References: /conn=8").
        if (!(sixth.rfind('/', 0) == 0 || sixth.find_first_of("*?") != std::string::npos)) out.reference = sixth;
    }
    // Slash options past the reference that are none of ours: a typing
    // slip ("/connections=4") would otherwise change nothing, unnoticed.
    for (std::size_t i = out.reference.empty() ? 6 : 7; i < args.size(); ++i)
        if (!args[i].empty() && args[i][0] == '/' && !knownRunnerOption(args[i]) && !isMaskArgument(args[i]))
            out.unknown.push_back(args[i]);
    out.fileMask = "*.*";
    for (std::size_t i = 6; i < args.size(); ++i) {
        if (isMaskArgument(args[i])) {
            out.fileMask = args[i];
            break;
        }
    }
    return true;
}

bool knownRunnerOption(const std::string& argument) {
    for (const char* option : kOptions)
        if (startsWithNoCase(argument, option)) return true;
    return false;
}

std::vector<std::string> withSavedOptions(const std::vector<std::string>& args, std::string& note) {
    note.clear();
    if (args.size() < 6) return args;  // the usage text, --version, --restore: as typed
    std::string path;
    if (const auto named = common::environment("TSKIVO_CONFIG")) {
        path = *named;
    } else {
        const auto config = common::environment("XDG_CONFIG_HOME");
        const auto home = common::environment("HOME");
        if (config && !config->empty()) path = *config + "/tarvel-skivor/tskivo.conf";
        else if (home && !home->empty()) path = *home + "/.config/tarvel-skivor/tskivo.conf";
    }
    std::ifstream in(path);
    if (path.empty() || !in) return args;
    std::vector<std::string> out = args;
    bool secret = false;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        line.erase(0, first);
        secret = secret || startsWithNoCase(line, "/p=") || startsWithNoCase(line, "/backuppass=") ||
                 startsWithNoCase(line, "/checkpass=") || startsWithNoCase(line, "/password=") ||
                 (startsWithNoCase(line, "/proxy=") && line.find('@') != std::string::npos);
        out.push_back(line);
    }
    struct stat st {};
    if (secret && stat(path.c_str(), &st) == 0 && (st.st_mode & 077))
        note = "The saved options " + path + " hold a password and others can read them (chmod 600 " + path + ").";
    return out;
}

void printRunnerUsage(std::ostream& out) {
    out << "\n"
           "  Usage:\n"
           "    TSKIVO <from|/scramble> <subject> <directory> <newsgroups> <newserver>\n"
           "              [reference] [filemask] [/uutease] [/maxbw=#] [/uuencode] [/nfl]\n"
           "              [/ics] [/maxlines=#] [/fc=RRGGBB] [/bc=RRGGBB] [/bi=<file>]\n"
           "              [/al=<file>] [/u=username] [/p=password] [/itf=<file>]\n"
           "              [/fs=<text>] [/sf=<format>] [/port=#] [/ssl] [/nzb=<file>]\n"
           "              [/conn=#] [/check] [/resume] [/par2=#] [/par2files=#]\n"
           "              [/par2equal] [/par2blocks=#] [/par2blocksize=#] [/checkdelay=#]\n"
           "              [/checkasks=#] [/checkspacing=#]\n"
           "              [/verify] [/json] [/backup=<host[:port]>] [/backupuser=username]\n"
           "              [/backuppass=password] [/backupssl] [/checkserver=<host[:port]>]\n"
           "              [/checkuser=username] [/checkpass=password] [/proxy=<url>]\n"
           "              [/obfuscate[=keep]] [/domain=<name>] [/nzbtitle=<text>]\n"
           "              [/nzbpassword=<text>] [/nzbcategory=<text>] [/nzbtag=<text>]\n"
           "              [/after=<command>] [/archive] [/password=<text>] [/volume=#]\n"
           "              [/each] [/nzbdir=<folder>] [/history=<file>] [/watch[=#]]\n"
           "\n"
           "  Arguments:\n"
           "    <from/scramble> = Mandatory. Either an address like this: name\n"
           "                      <john.doe@example.com> or /scramble. /scramble forces\n"
           "                      random generation of From and Sender addresses.\n"
           "    <subject>       = Mandatory. Enclose in \" if you have spaces in your\n"
           "                      subject.\n"
           "    <directory>     = Mandatory. Directory from which you want to post.\n"
           "    <newsgroups>    = Mandatory. One of more newsgroups. Comma seperated.\n"
           "    <newsserver>    = Mandatory. Domain name or IP of your newsserver.\n"
           "    [reference]     = Optional. Enclosed in \" type the Message-ID of your\n"
           "                      referanting article.\n"
           "    [filemask]      = Optional. Any filemask with * or ?\n"
           "    [/uutease]      = Optional. Made to piss-off Outlook or Outlook Express\n"
           "                      or any uuencoded-only client.\n"
           "    [/maxbw=#]      = Optional. Limit bandwidth used to post to # kilobytes.\n"
           "    [/uuencode]     = Optional. Forces uuencoding rather than yEnc.\n"
           "    [/nfl]          = Optional. Non folder like. Use - \"<folder>\" instead of\n"
           "                      .\\<folder>\\\n"
           "    [/ics]          = Optional. Include contact sheets.\n"
           "    [/maxlines=#]   = Optional. Sets the maximum number of lines per segment.\n"
           "                      Defaults to 2500 for yEnc and 4060 for uuEncoded.\n"
           "    [/fc=RRGGBB]    = Hexadecimal values for font color, RGB style.\n"
           "    [/bc=RRGGBB]    = Hexadecimal values for background color, RGB style.\n"
           "    [/bi=<file>]    = Contachsheet background image (non tiled, 1024x768).\n"
           "    [/al=<file>]    = Contachsheet author logo (600x30).\n"
           "    [/u=username]   = User name used for server authentication.\n"
           "    [/p=password]   = Password used for server authentication.\n"
           "    [/itf=<file>]   = Introducing text file. Which will be posted within the\n"
           "                      first article.\n"
           "    [/fs=<text>]    = Folder seperating char or characters, ex. \\ or \" - \"\n"
           "    [/sf=<format>]  = Subject format. $D = directory\n"
           "                                      $B = bytes\n"
           "                                      $K = kilobytes\n"
           "                                      $M = megabytes\n"
           "                                      $1 = file number\n"
           "                                      $2 = file count\n"
           "                                      $F = filename\n"
           "    [/port=#]       = Optional. Server port, default 119 (563 with /ssl).\n"
           "    [/ssl]          = Optional. Speak to the server over TLS.\n"
           "    [/nzb=<file>]   = Optional. Write an NZB file of everything posted.\n"
           "    [/conn=#]       = Optional. Post over # connections at once (1 to 64),\n"
           "                      default 1.\n"
           "    [/check]        = Optional. Ask the server for every article a few seconds\n"
           "                      after it was posted and post the missing ones again.\n"
           "                      With /resume, the articles earlier runs posted too.\n"
           "    [/checkdelay=#] = Optional. Seconds between posting and asking, default 5.\n"
           "    [/checkasks=#]  = Optional. Asks that must find an article missing before\n"
           "                      it is posted again, default 4 (a slow provider shows\n"
           "                      articles only a while after taking them).\n"
           "    [/checkspacing=#] = Optional. Seconds between those asks, default 10.\n"
           "    [/verify]       = Optional. With /nzb=: ask for every article the NZB file\n"
           "                      lists and say what is missing; posts nothing.\n"
           "    [/json]         = Optional. One JSON event per line on standard output\n"
           "                      instead of the log (for programs).\n"
           "    [/resume]       = Optional. With /nzb=: post only what the NZB file does not\n"
           "                      list yet (an interrupted posting).\n"
           "    [/par2=#]       = Optional. Post PAR2 recovery files of # percent of each\n"
           "                      folder's files (1 to 100).\n"
           "    [/par2files=#]  = Optional. Number of recovery files (sizes doubling).\n"
           "    [/par2equal]    = Optional. Recovery files of equal size.\n"
           "    [/par2blocks=#] = Optional. Number of source blocks (at most 32768).\n"
           "    [/par2blocksize=#] = Optional. Block size in bytes, a multiple of 4.\n"
           "    [/backup=<host[:port]>] = Optional. A server to post on when the one before\n"
           "                      it refuses, fails to log in or keeps failing an article.\n"
           "                      Repeatable; /backupuser=, /backuppass= and /backupssl\n"
           "                      after it are its own.\n"
           "    [/checkserver=<host[:port]>] = Optional. The server /check asks, with\n"
           "                      /checkuser= and /checkpass= for its log-in.\n"
           "    [/proxy=<url>]  = Optional. socks5://[user:password@]host:port for every\n"
           "                      connection.\n"
           "    [/obfuscate]    = Optional. Random subjects, file names and senders on the\n"
           "                      wire; the real names stay in the NZB and PAR2 files. No\n"
           "                      contact sheets or intro text unless /obfuscate=keep.\n"
           "    [/domain=<name>] = Optional. The domain of the Message-IDs.\n"
           "    [/nzbtitle=<text>], [/nzbpassword=<text>], [/nzbcategory=<text>],\n"
           "    [/nzbtag=<text>] = Optional. Details in the NZB file's head for indexers.\n"
           "    [/after=<command>] = Optional. A shell command run once the NZB file is\n"
           "                      written (or after each folder without /nzb=), with\n"
           "                      TSKIVO_NZB, TSKIVO_FOLDER, TSKIVO_STATUS, TSKIVO_BYTES,\n"
           "                      TSKIVO_ARTICLES in its environment.\n"
           "    [/archive]      = Optional. Packs each folder's files into a 7z archive\n"
           "                      (AES-256, names encrypted) and posts its volumes; the\n"
           "                      password goes into the NZB file. Needs the 7z program.\n"
           "    [/password=<text>] = Optional. The archive's password (else\n"
           "                      TSKIVO_ARCHIVE_PASSWORD, else a random one, printed).\n"
           "    [/volume=#]     = Optional. Volume size in MiB (default 50).\n"
           "    [/each]         = Optional. Each subfolder is a release of its own: its own\n"
           "                      NZB file (in /nzbdir=<folder>), subject (the subfolder's\n"
           "                      name when none is given), PAR2 set and /after= call.\n"
           "    [/history=<file>] = Optional. Adds a JSON line per release to the file.\n"
           "    [/watch[=#]]    = Optional. Keeps running: a new subfolder is posted as a\n"
           "                      release once nothing in it changed for # seconds (30).\n"
           "\n"
           "    Without /p= the password is taken from the TSKIVO_PASSWORD environment\n"
           "    variable, which other users cannot see in the process list; without\n"
           "    /backuppass= from TSKIVO_BACKUP_PASSWORD, and without /proxy= the proxy\n"
           "    from TSKIVO_PROXY.\n"
           "\n"
           "  Examples: tskivo \"John Doe <john.doe@example.com>\" \"Fav. pix\" /home/john/pix alt.binaries.test news.example.com \"\"\n"
           "            tskivo \"John Doe <john.doe@example.com>\" \"Fav. pix\" /home/john/pix alt.binaries.test news.example.com \"\" *.jpg /uutease\n"
           "            tskivo /scramble Holiday /home/john/pix alt.binaries.test.yenc news.example.com /maxbw=32\n"
           "            tskivo /scramble \"Fav. pix\" /home/john/pix alt.binaries.test news.example.com \"<abc123@news.example.com>\"\n";
    out.flush();
}

std::string relativePath(const std::string& startPath, const std::string& folderPath) {
    if (folderPath.size() < startPath.size() + 1) return {};
    std::string rel = folderPath.substr(startPath.size() + 1);
    for (char& c : rel)
        if (c == '/') c = '\\';  // what newsreaders show, whatever the poster's system
    return rel;
}

std::string folderLabel(const RunOptions& options, std::size_t index, const std::string& relative) {
    const std::string prefix = options.nonFolderLike ? " - '" : " .\\";
    const std::string closing = options.nonFolderLike ? "'" : "\\";
    if (index == 0) return prefix;
    if (relative.empty()) return {};
    return prefix + relative + closing;
}

void appendServerArgs(std::vector<std::string>& v, std::optional<long long> port, bool tls,
                      const std::optional<std::string>& user, const std::optional<std::string>& password) {
    if (user) {
        v.push_back("-userid");
        v.push_back(*user);
        v.push_back("-password");
        v.push_back(password.value_or(""));
    }
    if (port || tls) {
        v.push_back("-port");
        v.push_back(std::to_string(port ? *port : 563));
    }
    if (tls) v.push_back("-encrypt");
}

std::vector<std::string> buildEngineArgs(const RunOptions& o, std::size_t index, const std::string& relative,
                                         const std::deque<std::string>& sheets, const std::string& folderName,
                                         const std::string& runState, const std::string& pathNames) {
    std::vector<std::string> v;
    v.push_back(o.args[0]);
    v.push_back("-from");
    v.push_back(o.scramble ? kPlaceholderAuthor : o.author());
    v.push_back("-subject");
    v.push_back(o.subjectFormat ? *o.subjectFormat : o.subject() + folderLabel(o, index, relative));
    if (o.subjectFormat) {
        v.push_back("-subjectformat");
        v.push_back(*o.subjectFormat);
    }
    v.push_back("-newsgroups");
    v.push_back(o.newsgroups());
    v.push_back("-hostname");
    v.push_back(o.server());
    v.push_back("-references");
    v.push_back(o.reference);
    v.push_back("-lines");
    v.push_back(o.maxLines ? std::to_string(*o.maxLines) : o.uuencode ? "4060" : "2500");
    if (o.maxBandwidth) {
        v.push_back("-throttle");
        v.push_back(std::to_string(*o.maxBandwidth * 1024));
    }
    v.push_back("-verbose");
    v.push_back("1");
    v.push_back(o.uuencode ? "-uuencode" : "-yenc");
    v.push_back("-folder");
    v.push_back(relative);
    v.push_back("-seperator");
    v.push_back(o.folderSeparator == "\\" ? "\\\\" : o.folderSeparator);
    if (o.introTextFile) {
        v.push_back("-introtextfile");
        v.push_back(*o.introTextFile);
    }
    // A user name without its password logs in as nobody.
    appendServerArgs(v, o.port, o.tls, o.password ? o.userName : std::nullopt, o.password);
    if (o.check) v.push_back("-check");
    if (o.checkDelay) {
        v.push_back("-checkdelay");
        v.push_back(std::to_string(*o.checkDelay));
    }
    if (o.checkAsks) {
        v.push_back("-checkasks");
        v.push_back(std::to_string(*o.checkAsks));
    }
    if (o.checkSpacing) {
        v.push_back("-checkspacing");
        v.push_back(std::to_string(*o.checkSpacing));
    }
    if (o.json) v.push_back("-json");
    for (const auto& b : o.backups) {
        v.push_back("-backup");
        v.push_back(b.server);
        if (b.user && b.password) {
            v.push_back("-backupuser");
            v.push_back(*b.user);
            v.push_back("-backuppass");
            v.push_back(*b.password);
        }
        if (b.tls) v.push_back("-backupssl");
    }
    const auto addText = [&](const char* option, const std::optional<std::string>& value) {
        if (!value) return;
        v.push_back(option);
        v.push_back(*value);
    };
    addText("-checkserver", o.checkServer);
    if (o.checkServer && o.checkUser) {
        addText("-checkuser", o.checkUser);
        addText("-checkpass", o.checkPassword.value_or(""));
    }
    addText("-proxy", o.proxy);
    addText("-domain", o.domain);
    if (o.obfuscate) v.push_back("-obfuscate");
    for (const auto& [type, value] : o.nzbMeta) addText(type == "title"      ? "-nzbtitle"
                                                    : type == "password" ? "-nzbpassword"
                                                    : type == "category" ? "-nzbcategory"
                                                                         : "-nzbtag",
                                                    value);
    if (o.resume) v.push_back("-resume");
    if (o.connections > 1) {
        v.push_back("-connections");
        v.push_back(std::to_string(o.connections));
    }
    if (o.nzbFile) {
        v.push_back("-o");
        v.push_back(*o.nzbFile);
    }
    if (!runState.empty()) {
        v.push_back("-runstate");
        v.push_back(runState);
    }
    if (!pathNames.empty()) {
        v.push_back("-pathnames");
        v.push_back(pathNames);
    }
    // Contact sheets by their full path, first as their names sort first:
    // they are made outside the user's folder, whatever the mask matches.
    v.insert(v.end(), sheets.begin(), sheets.end());
    // The recovery set covers the files named after "-par2": the folder's
    // own, not the sheets. The engine posts it after them, in the same job.
    if (o.par2Percent > 0) {
        const auto add = [&](const char* option, const std::string& value) {
            v.push_back(option);
            v.push_back(value);
        };
        if (o.par2Files) add("-par2files", std::to_string(o.par2Files));
        if (o.par2Equal) v.push_back("-par2equal");
        if (o.par2Blocks) add("-par2blocks", std::to_string(o.par2Blocks));
        if (o.par2BlockSize) add("-par2blocksize", std::to_string(o.par2BlockSize));
        add("-par2name", folderName.empty() ? "files" : folderName);
        add("-par2", std::to_string(o.par2Percent));
    }
    v.push_back(o.fileMask);
    return v;
}

}  // namespace tskivo
