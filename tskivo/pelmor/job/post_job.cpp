#include "post_job.h"

#include "common/utf8.h"
#include "common/text_fields.h"
#include "defaults.h"
#include "job_check.h"
#include "kelvo_exception.h"

namespace pelmor {

PostJob::PostJob(bool printHeader_, bool threadPosts_, bool uutease_, bool scramble_, common::Clock& clock_,
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

std::string postedName(const FileEntry& file) {
    std::string name = !file.postAs.empty() ? file.postAs
                       : file.name.empty() || file.name[0] != '/' ? file.name
                                                                   : file.name.substr(file.name.find_last_of('/') + 1);
    // Every C0 control and DEL: a TAB or ESC in a file name must not reach a
    // header or a =ybegin line any more than CR or LF.
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    // A name that is not UTF-8 (Latin-1 from an old disk) in its UTF-8 form:
    // servers refuse the raw bytes in a header, and the recovery set and the
    // NZB name it the same way, so that the download matches both.
    return common::toUtf8(name);
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
    if (!common::statPath(argument)) splitPartsSuffix(argument, name, parts);
    for (auto& match : expandWildcards(job, name))
        job.files.push_back(FileEntry{std::move(match), job.encoding, parts, 0, job.par2Started, {}});
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

    for (const char* word : {"-connections", "-checkdelay", "-checkasks", "-checkspacing", "-par2files", "-par2blocks", "-par2blocksize",
                             "-par2memory", "-par2name", "-runstate", "-pathnames", "-checkserver", "-checkuser",
                             "-checkpass", "-proxy", "-domain", "-nzbtitle", "-nzbpassword", "-nzbcategory", "-preamble", "-overlap", "-eventsfd"})
        if (arg == word) return setOption(job, word + 1, remaining, args);
    // Repeatable: each adds a line; "-backupuser", "-backuppass" and
    // "-backupssl" belong to the "-backup" before them.
    if (arg == "-nzbtag" || arg == "-backup") {
        if (remaining < 2) invalidArguments();
        std::string& list = job.options[arg.substr(1)];
        list += (list.empty() ? "" : "\n") + std::string(args[1]) + (arg == "-backup" ? "\x1f\x1f\x1f" : "");
        return 2;
    }
    if (arg == "-backupuser" || arg == "-backuppass" || arg == "-backupssl") {
        const bool flag = arg == "-backupssl";
        if (!flag && remaining < 2) invalidArguments();
        std::string& list = job.options["backup"];
        if (list.empty()) {
            job.line("Invalid argument: " + arg + " (no -backup before it)");
            return flag ? 1 : 2;
        }
        // The last entry's fields: host:port, user, password, TLS.
        const auto entry = list.rfind('\n') == std::string::npos ? 0 : list.rfind('\n') + 1;
        std::vector<std::string> fields;
        for (const auto field : common::splitFields(std::string_view(list).substr(entry), '\x1f')) fields.emplace_back(field);
        fields.resize(4);
        fields[arg == "-backupuser" ? 1 : arg == "-backuppass" ? 2 : 3] = flag ? "1" : args[1];
        list.erase(entry);
        list += fields[0] + "\x1f" + fields[1] + "\x1f" + fields[2] + "\x1f" + fields[3];
        return flag ? 1 : 2;
    }
    if (arg == "-par2") {
        job.par2Started = true;  // the files after it are in the recovery set
        return setOption(job, "par2", remaining, args);
    }
    if (arg == "-check" || arg == "-resume" || arg == "-par2equal" || arg == "-json" || arg == "-verify" ||
        arg == "-obfuscate" || arg == "-testserver") {
        job.options[arg.substr(1)] = "1";
        return 1;
    }
    const char second = arg.size() > 1 ? arg[1] : '\0';
    const char third = arg.size() > 2 ? arg[2] : '\0';
    switch (second) {
        case '?':
            printUsage(job.log.stream());
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
                printUsage(job.log.stream());
                invalidArguments();
            }
            job.files.push_back(FileEntry{args[1], kText, {}, 0, job.par2Started, {}});
            return 2;
        case 'u':
            if (third == 'u') {
                job.encoding = kUuencode;
                return 1;
            }
            return setOption(job, "userid", remaining, args);
        case 'v': {
            if (remaining < 2) invalidArguments();
            const long long v = common::readDecimal(args[1]);
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
    // Files of a folder posted with its path ("CD1/cover.jpg"), so that
    // same-named files of a tree stay apart for downloaders.
    if (job.hasOption("pathnames"))
        for (auto& file : job.files)
            file.postAs = job.getOption("pathnames") + "/" + file.name.substr(file.name.find_last_of('/') + 1);
    if (job.writeDefaults) {
        writeDefaultsFile(job, job.defaultsPath);
        job.writeDefaults = false;
    }
    checkJob(job);
    printSummary(job);
    if (!job.files.empty() && job.encoding == kYenc && job.uutease) job.files.front().encoding = kUuencode;
}

std::vector<std::string> expandWildcards(PostJob& job, const std::string& pattern) {
    if (!common::isMask(pattern)) return {pattern};
    const auto slash = pattern.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    const std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    std::vector<common::DirEntry> entries;
    int error = 0;
    const bool ok = common::findFiles(dir.empty() ? "." : dir, mask, entries, error);
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

}  // namespace pelmor
