#include "job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>

#include "kelvo_exception.h"
#include "replace_file.h"

namespace pelmor {

PostJob::PostJob(bool printHeader_, bool threadPosts_, bool uutease_, bool scramble_, Clock& clock_,
                 std::ostream& log_)
    : printHeader(printHeader_),
      uutease(uutease_),
      threadPosts(threadPosts_),
      scramble(scramble_),
      clock(clock_),
      log(log_) {}

std::string PostJob::getOption(const std::string& key) const {
    const auto it = options.find(key);
    return it == options.end() ? std::string() : it->second;
}

bool PostJob::hasOption(const std::string& key) const { return options.count(key) != 0; }

std::string PostJob::getOptionOr(const std::string& key, const std::string& fallback) {
    return options.try_emplace(key, fallback).first->second;
}

void PostJob::line(std::string_view text) {
    std::lock_guard<std::mutex> lock(logMutex);
    log << text << '\n';
    log.flush();
}

void PostJob::put(std::string_view text) {
    std::lock_guard<std::mutex> lock(logMutex);
    log << text;
    log.flush();
}

std::uint32_t throttleRate(const PostJob& job) {
    if (!job.hasOption("throttle")) return 0;
    const long long rate = readDecimal(job.getOption("throttle"));
    return rate < 0 ? 0 : rate > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rate);
}

int connectionCount(const PostJob& job) {
    if (!job.hasOption("connections")) return 1;
    const long long n = readDecimal(job.getOption("connections"));
    return n < 1 || n > kMaxConnections ? 1 : static_cast<int>(n);
}

std::string defaultsFilePath() {
    if (auto root = environment("SystemRoot")) return *root + "/pelmor.ini";
    std::string config;
    if (auto xdg = environment("XDG_CONFIG_HOME"); xdg && !xdg->empty()) {
        config = *xdg;
    } else if (auto home = environment("HOME"); home && !home->empty()) {
        config = *home + "/.config";
    } else {
        config = ".";
    }
    return config + "/pelmor.ini";
}

void readDefaults(PostJob& job, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string text;
    // Whole lines: a long value (xheaders, a long password) must come back as
    // it was written, not split into bogus entries.
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const auto tab = text.find('\t');
        std::string key, value;
        if (tab != std::string::npos) {
            key = text.substr(0, tab);
            value = text.substr(tab + 1);
            for (char& c : value)
                if (c == '\t') c = '\n';
        } else {
            std::vector<std::string> words;
            std::istringstream split(text);
            std::string w;
            while (std::getline(split, w, ' '))
                if (!w.empty()) words.push_back(w);
            if (words.size() != 2) continue;
            key = words[0];
            value = words[1];
        }
        if (key == "out") {
            continue;  // written by older versions; never a default
        } else if (key == "encoding") {
            job.encoding = value == "uu" ? kUuencode : kYenc;
        } else if (key == "verbosity") {
            job.verbosity = static_cast<int>(readDecimal(value));
        } else {
            job.options[key] = value;
        }
    }
}

void writeDefaultsFile(const PostJob& job, const std::string& path) {
    std::string text;
    for (const auto& [key, value] : job.options) {
        // An NZB file belongs to one job; as a default, every later job
        // would write into it with no way back from the command line.
        if (key == "out") continue;
        std::string v = value;
        for (char& c : v)
            if (c == '\n') c = '\t';
        text += key + "\t" + v + "\n";
    }
    text += std::string("encoding\t") + (job.encoding == kUuencode ? "uu" : "yenc") + "\n";
    text += "verbosity\t" + std::to_string(job.verbosity) + "\n";

    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0700);
    // Owner-only: the file holds the password. Replaced whole, so a full
    // disk leaves the old defaults rather than an empty file.
    replaceFile(path, text, 0600);
}

namespace {

[[noreturn]] void invalidArguments() { throw Kelvo_Exception(0, "invalid arguments"); }

int setOption(PostJob& job, const char* key, int remaining, char** args) {
    if (remaining < 2) invalidArguments();
    const std::string value = args[1];
    if (value.empty())
        job.options.erase(key);
    else
        job.options[key] = value;
    return 2;
}

void addFileArgument(PostJob& job, const std::string& argument) {
    std::string name = argument;
    std::vector<int> parts;
    // A parts suffix only when the whole argument is not itself a file.
    if (!statPath(argument)) splitPartsSuffix(argument, name, parts);
    for (auto& match : expandWildcards(job, name))
        job.files.push_back(FileEntry{std::move(match), job.encoding, parts, 0});
}

}  // namespace

bool splitPartsSuffix(const std::string& argument, std::string& name, std::vector<int>& parts) {
    const auto colon = argument.find_last_of(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string list = argument.substr(colon + 1);
    std::vector<int> result;
    std::size_t i = 0;
    auto number = [&](long& out) {
        const std::size_t start = i;
        long v = 0;
        while (i < list.size() && list[i] >= '0' && list[i] <= '9') {
            v = v * 10 + (list[i] - '0');
            if (v > 1000000000L) return false;
            ++i;
        }
        out = v;
        return i > start && v > 0;
    };
    while (i < list.size()) {
        long first = 0, last = 0;
        if (!number(first)) return false;
        last = first;
        if (i < list.size() && list[i] == '-') {
            ++i;
            if (!number(last) || last < first) return false;
        }
        if (last - first > 1000000) return false;
        for (long p = first; p <= last; ++p) result.push_back(static_cast<int>(p));
        if (i < list.size()) {
            if (list[i] != ',') return false;
            ++i;
            if (i == list.size()) return false;
        }
    }
    name = argument.substr(0, colon);
    parts = std::move(result);
    return true;
}

int parseArgument(PostJob& job, int remaining, char** args) {
    const std::string arg = args[0];
    if (arg.empty() || arg[0] != '-') {
        addFileArgument(job, arg);
        return 1;
    }
    // Whole words first: their letters would otherwise select other options.
    if (arg == "-noencrypt") {
        job.options.erase("encrypt");
        return 1;
    }
    if (arg == "-connections") return setOption(job, "connections", remaining, args);
    if (arg == "-checkdelay") return setOption(job, "checkdelay", remaining, args);
    if (arg == "-check" || arg == "-resume") {
        job.options[arg.substr(1)] = "1";
        return 1;
    }
    const char second = arg.size() > 1 ? arg[1] : '\0';
    const char third = arg.size() > 2 ? arg[2] : '\0';
    switch (second) {
        case '?':
            printUsage(job.log);
            throw ProcessExit{0};
        case 'd':
            job.writeDefaults = true;
            return 1;
        case 'e':  // "-encrypt": NNTP over TLS from the first byte
            job.options["encrypt"] = "1";
            return 1;
        case 'f':
            return setOption(job, third == 'r' ? "from" : "folder", remaining, args);
        case 'h':
            return setOption(job, "hostname", remaining, args);
        case 'i':
            return setOption(job, "introtextfile", remaining, args);
        case 'l':
            return setOption(job, "lines", remaining, args);
        case 'n':
            return setOption(job, "newsgroups", remaining, args);
        case 'o':  // "-o" / "-out": NZB file of what was posted
            return setOption(job, "out", remaining, args);
        case 'p':
            return setOption(job, third == 'o' ? "port" : "password", remaining, args);
        case 'r':
            return setOption(job, "references", remaining, args);
        case 's':
            if (third != 'u') return setOption(job, "seperator", remaining, args);
            if (arg.size() > 8 && arg[8] == 'f') return setOption(job, "subjectformat", remaining, args);
            return setOption(job, "subject", remaining, args);
        case 't':
            if (third == 'h') return setOption(job, "throttle", remaining, args);
            if (remaining < 2) {
                printUsage(job.log);
                invalidArguments();
            }
            job.files.push_back(FileEntry{args[1], kText, {}, 0});
            return 2;
        case 'u':
            if (third == 'u') {
                job.encoding = kUuencode;
                return 1;
            }
            return setOption(job, "userid", remaining, args);
        case 'v': {
            if (remaining < 2) invalidArguments();
            const long long v = readDecimal(args[1]);
            job.verbosity = v > 1000 ? 1000 : v < -1000 ? -1000 : static_cast<int>(v);
            return 2;
        }
        case 'y':
            job.encoding = kYenc;
            return 1;
        default:
            job.line("Invalid argument: " + arg);
            return 1;
    }
}

void parseArguments(PostJob& job, int argc, char** argv) {
    for (int i = 1; i < argc;) i += parseArgument(job, argc - i, argv + i);
    if (job.writeDefaults) {
        writeDefaultsFile(job, job.defaultsPath);
        job.writeDefaults = false;
    }
    checkJob(job);
    printSummary(job);
    if (!job.files.empty() && job.encoding == kYenc && job.uutease) job.files.front().encoding = kUuencode;
}

std::vector<std::string> expandWildcards(PostJob& job, const std::string& pattern) {
    if (!isMask(pattern)) return {pattern};
    const auto slash = pattern.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    const std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    std::vector<DirEntry> entries;
    int error = 0;
    const bool ok = findFiles(dir.empty() ? "." : dir, mask, entries, error);
    if (!ok && entries.empty()) {
        job.line("Failed to find any files matching " + pattern + " err=" + std::to_string(error));
        return {};
    }
    std::vector<std::string> names;
    for (const auto& e : entries)
        if (!e.isDirectory) names.push_back(dir + e.name);  // found again from the current folder
    if (!ok) {
        job.line("Unexpected error while expanding wildcards... err=" + std::to_string(error));
    } else if (names.empty()) {
        job.line("No files match " + pattern);
    }
    return names;
}

void checkJob(PostJob& job) {
    std::string text;
    for (const char* key : {"from", "subject", "newsgroups", "hostname"})
        if (!job.hasOption(key)) text += std::string("You must provide a ") + key + " parameter.\n";
    const long long lines = readDecimal(job.getOption("lines"));
    if (lines <= 0 || lines > kMaxLines)
        text += "The lines value \"" + job.getOption("lines") + "\" must be a number from 1 to " +
                std::to_string(kMaxLines) + ".\n";
    if (job.hasOption("connections")) {
        const long long n = readDecimal(job.getOption("connections"));
        if (n < 1 || n > kMaxConnections)
            text += "The connections value \"" + job.getOption("connections") + "\" must be a number from 1 to " +
                    std::to_string(kMaxConnections) + ".\n";
    }
    if (job.hasOption("resume") && !job.hasOption("out"))
        text += "-resume needs -o with the NZB file of the interrupted job.\n";
    if (job.hasOption("checkdelay") && (readDecimal(job.getOption("checkdelay")) < 0 ||
                                        readDecimal(job.getOption("checkdelay")) > 86400))
        text += "The checkdelay value \"" + job.getOption("checkdelay") + "\" must be a number of seconds from 0 to 86400.\n";
    const long long port = readDecimal(job.getOption("port"));
    if (port < 1 || port > 65535)
        text += "The port value \"" + job.getOption("port") + "\" must be a number from 1 to 65535.\n";
    for (auto& file : job.files) {
        const auto entry = statPath(file.name);
        if (!entry || entry->isDirectory) {
            text += "File " + file.name + " not found!\n";
        } else if (entry->size > 0xFFFFFFFFull) {
            text += "File " + file.name + " is 4 GiB or larger; files that large cannot be posted.\n";
        } else {
            file.size = static_cast<std::uint32_t>(entry->size);
        }
    }
    if (text.empty()) return;
    if (!job.files.empty()) printUsage(job.log);
    throw Kelvo_Exception(0, text);
}

void printSummary(PostJob& job) {
    if (job.verbosity >= 1 && job.printHeader) {
        job.line("  From       : " + job.getOption("from"));
        job.line("  Subject    : " + job.getOption("subject"));
        job.line("  Newsgroups : " + job.getOption("newsgroups"));
        job.line("  References : " + job.getOption("references"));
        if (job.hasOption("introtextfile")) job.line("  Intro text : " + job.getOption("introtextfile"));
    }
    if (job.verbosity >= 2) {
        job.line("Files:");
        std::uint64_t total = 0;
        for (const auto& f : job.files) {
            const char* label = f.encoding == kText       ? " (as text)"
                                : f.encoding == kUuencode ? " (uuencode)"
                                : f.encoding == kYenc     ? " (yencode)"
                                                          : " (UNKNOWN ENCODING)";
            job.line(f.name + "\t(" + std::to_string(f.size) + " bytes)\t" + label);
            total += f.size;
        }
        job.line("Total: " + std::to_string(total) + " bytes");
        job.line("");
    }
}

void printUsage(std::ostream& out) {
    out << "\n"
           "Usage: pelmor [options] file1[:parts] ...\n"
           "  Valid options:\n"
           "    -from (email-addr)         - sender information\n"
           "    -newsgroups (groupname(s)) - comma separated\n"
           "    -subject (subject)         - subject for all your posts.\n"
           "    -subjectformat (format)    -\n"
           "    -hostname (name)           - ip or name of posting host\n"
           "    -port (portnum)            - port on server to post to, default = 119\n"
           "    -encrypt                   - speak NNTP over TLS (usually port 563)\n"
           "    -noencrypt                 - plain NNTP for this job, whatever the defaults say\n"
           "    -connections (n)           - post over n connections at once (1-64), default = 1\n"
           "    -check                     - ask the server for every article afterwards; post missing ones again\n"
           "    -checkdelay (seconds)      - wait before the check, default = 5\n"
           "    -resume                    - with -out: post only what the NZB file does not list yet\n"
           "    -userid (userid)           - user id if authentication is required\n"
           "    -passwd (password)         - passwd if auth required\n"
           "    -lines (numlines)          - max lines per post, default = 2500\n"
           "    -throttle (Bps)            - max bytes per sec to post\n"
           "    -references (reference)    - thread posting\n"
           "    -text (filename)           - post as text file\n"
           "    -uuencode                  - use uu encoding for subsequent files\n"
           "    -yenc                      - use yenc encoding for subsequent files\n"
           "    -introtextfile (filename)  -\n"
           "    -folder                    -\n"
           "    -seperator                 -\n"
           "    -out (filename)            - write an NZB file of the posted articles\n"
           "    -v (xxx)                   - set verbosity level to xxx\n"
           "       0 = quiet (errors only)\n"
           "       1 = normal\n"
           "       2 = progress bars\n"
           "       3 = basic debugging\n"
           "       4 = more debugging\n"
           "       5 = very noisy\n"
           "    -defaults                  - write settings to "
        << defaultsFilePath()
        << "\n"
           "    -?                         - print this help\n"
           "\n";
    out.flush();
}

}  // namespace pelmor
