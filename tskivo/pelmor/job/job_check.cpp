#include "job_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <sstream>

#include "common/limits.h"
#include "defaults.h"
#include "kelvo_exception.h"
#include "net/nntp_session.h"
#include "settings.h"

namespace pelmor {

namespace {

// An extension option's number: digits only, within its range, else a line
// that names the option.
void checkNumber(const PostJob& job, const char* key, long long low, long long high, const std::string& unit,
                 std::string& text) {
    if (!job.hasOption(key)) return;
    const std::string value = job.getOption(key);
    if (!common::wholeNumber(value, low, high))
        text += std::string("The ") + key + " value \"" + value + "\" must be a number" + unit + " from " +
                std::to_string(low) + " to " + std::to_string(high) + ".\n";
}

}  // namespace

void checkJob(PostJob& job) {
    std::string text;
    // A server test posts nothing: the server is all it needs.
    const bool test = job.hasOption("testserver");
    for (const char* key : {"from", "subject", "newsgroups", "hostname"})
        if (!job.hasOption(key) && (!test || std::string(key) == "hostname"))
            text += std::string("You must provide a ") + key + " parameter.\n";
    const long long lines = common::readDecimal(job.getOption("lines"));
    if (lines <= 0 || lines > kMaxLines)
        text += "The lines value \"" + job.getOption("lines") + "\" must be a number from 1 to " +
                std::to_string(kMaxLines) + ".\n";
    checkNumber(job, "connections", 1, common::kMaxConnections, "", text);
    if (job.hasOption("resume") && !job.hasOption("out"))
        text += "-resume needs -o with the NZB file of the interrupted job.\n";
    if (job.hasOption("verify") && !job.hasOption("out")) text += "-verify needs -o with the NZB file to verify.\n";
    {
        std::istringstream backups(job.getOption("backup"));
        for (std::string line; std::getline(backups, line);) {
            std::string host;
            int port = 0;
            const std::string server = line.substr(0, line.find('\x1f'));
            if (!splitHostPort(server, 119, host, port))
                text += "The backup server \"" + server + "\" must be written host or host:port.\n";
        }
        std::string host, error;
        int port = 0;
        if (job.hasOption("checkserver") && !splitHostPort(job.getOption("checkserver"), 119, host, port))
            text += "The check server \"" + job.getOption("checkserver") + "\" must be written host or host:port.\n";
        ProxySettings proxy;
        if (job.hasOption("proxy") && !parseProxy(job.getOption("proxy"), proxy, error)) text += error + "\n";
        if (job.hasOption("domain") && !validMessageId("x@" + job.getOption("domain")))
            text += "The domain \"" + job.getOption("domain") + "\" cannot stand in a Message-ID.\n";
    }
    checkNumber(job, "checkdelay", 0, 86400, " of seconds", text);
    checkNumber(job, "checkasks", 1, 100, "", text);
    checkNumber(job, "checkspacing", 0, 86400, " of seconds", text);
    checkNumber(job, "par2", 1, 100, "", text);
    checkNumber(job, "par2files", 1, 1000, "", text);
    checkNumber(job, "par2blocks", 1, kMaxPar2Blocks, "", text);
    checkNumber(job, "par2blocksize", 4, 1LL << 40, "", text);
    checkNumber(job, "par2memory", 16, 1 << 20, " of MiB", text);
    if (job.hasOption("par2blocksize") && common::readDecimal(job.getOption("par2blocksize")) % 4 != 0)
        text += "The par2blocksize value must be a multiple of 4 bytes.\n";
    const long long port = common::readDecimal(job.getOption("port"));
    if (port < 1 || port > 65535)
        text += "The port value \"" + job.getOption("port") + "\" must be a number from 1 to 65535.\n";
    std::vector<FileEntry> readable;
    for (auto& file : job.files) {
        const auto entry = common::statPath(file.name);
        if (!entry || entry->isDirectory) {
            text += "File " + file.name + " not found!\n";
            continue;
        }
        file.size = entry->size;
        // One that is there but cannot be read is skipped, said so; the
        // rest of the job goes on.
        const int fd = ::open(file.name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            job.line("File " + file.name + " cannot be read (" + std::strerror(errno) + "); skipped.");
            ++job.totals.skipped;
            continue;
        }
        ::close(fd);
        readable.push_back(std::move(file));
    }
    if (text.empty()) {
        job.files = std::move(readable);
        return;
    }
    if (!job.files.empty()) printUsage(job.log.stream());
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
           "    -checkasks (n)             - asks that find a copy missing before it is posted again, default = 4\n"
           "    -checkspacing (seconds)    - between those asks, default = 10\n"
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
           "    -par2 (percent)            - PAR2 recovery files for the files named after it (1-100)\n"
           "    -par2files (n)             - number of recovery files, sizes doubling\n"
           "    -par2equal                 - recovery files of equal size\n"
           "    -par2blocks (n)            - source blocks (1-32768), default = 2000\n"
           "    -par2blocksize (bytes)     - block size, a multiple of 4\n"
           "    -par2memory (MiB)          - memory the recovery set may use, default = 256\n"
           "    -par2name (name)           - name of the set's files, default = files\n"
           "    -pathnames (folder)        - post the files under this folder path: folder/name\n"
           "    -json                      - events for programs (JSON lines) on standard output, no log\n"
           "    -verify                    - with -out: ask for every article the NZB file lists, post nothing\n"
           "    -backup (host[:port])      - a server to post on when the one before it fails (repeatable)\n"
           "    -backupuser (user)         - the log-in of the -backup before it\n"
           "    -backuppass (password)     - the password of the -backup before it\n"
           "    -backupssl                 - the -backup before it speaks TLS (port 563)\n"
           "    -checkserver (host[:port]) - the server the post check asks\n"
           "    -checkuser (user)          - its log-in; -checkpass (password) its password\n"
           "    -proxy (url)               - socks5://[user:password@]host:port for every connection\n"
           "    -obfuscate                 - random names, subjects and senders on the wire; real ones in the NZB\n"
           "    -domain (name)             - the domain of the Message-IDs\n"
           "    -nzbtitle (text)           - the NZB file's title; -nzbpassword, -nzbcategory alike\n"
           "    -nzbtag (text)             - a tag of the NZB file (repeatable)\n"
           "    -runstate (file)           - a folder runner's file: the run so far in, the job's totals out;\n"
           "                                 the job's status is returned, the process not ended\n"
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
