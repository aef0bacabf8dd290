#include "settings.h"

#include <fstream>

#include "common/run_state.h"
#include "defaults.h"

namespace pelmor {

namespace {

long long number(const PostJob& job, const char* key, long long fallback) {
    return job.hasOption(key) ? common::readDecimal(job.getOption(key)) : fallback;
}

}  // namespace

std::optional<std::string> readIntroText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text, line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 4095) break;
        text += line + "\r\n";
    }
    return text;
}

JobSettings readSettings(const PostJob& job) {
    JobSettings s;
    s.verbosity = job.verbosity;
    s.printHeader = job.printHeader;
    s.threadPosts = job.threadPosts;
    s.scramble = job.scramble;
    s.from = job.getOption("from");
    s.subject = job.getOption("subject");
    if (job.hasOption("subjectformat")) s.subjectFormat = job.getOption("subjectformat");
    s.folder = job.getOption("folder");
    s.newsgroups = job.getOption("newsgroups");
    s.references = job.getOption("references");
    s.extraHeaders = job.getOption("xheaders");
    s.lines = static_cast<int>(common::readDecimal(job.getOption("lines")));
    // "max_retries" 60 unless the defaults file says otherwise.
    s.maxRetries = number(job, "max_retries", 60);
    const long long rate = number(job, "throttle", 0);
    s.throttle = rate < 0 ? 0 : rate > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rate);
    if (job.hasOption("introtextfile")) s.introText = readIntroText(job.getOption("introtextfile"));

    s.server.host = job.getOption("hostname");
    s.server.port = static_cast<int>(common::readDecimal(job.getOption("port")));
    s.server.tls = job.hasOption("encrypt");
    // Without "userid" no log-in is attempted, even with a password.
    if (job.hasOption("userid")) s.server.login = Credentials{job.getOption("userid"), job.getOption("password")};
    s.responseTimeoutMs = job.responseTimeoutMs;
    if (number(job, "log_performance_data", 0) > 0) s.performanceLog = performanceLogPath(job);
    s.connections = static_cast<int>(number(job, "connections", 1));
    s.check = job.hasOption("check");
    s.checkDelaySeconds = number(job, "checkdelay", 5);
    s.resume = job.hasOption("resume");
    s.nzbPath = job.getOption("out");

    s.par2.percent = static_cast<int>(number(job, "par2", 0));
    s.par2.fileCount = static_cast<int>(number(job, "par2files", 0));
    s.par2.equalSizes = job.hasOption("par2equal");
    s.par2.blockCount = static_cast<std::uint32_t>(number(job, "par2blocks", 0));
    s.par2.blockSize = static_cast<std::uint64_t>(number(job, "par2blocksize", 0));
    s.par2.memoryLimit = static_cast<std::uint64_t>(number(job, "par2memory", 256)) << 20;
    s.par2.name = job.getOption("par2name");
    s.json = job.hasOption("json");
    s.runState = job.getOption("runstate");
    if (!s.runState.empty()) {
        const common::RunState state = common::readRunState(s.runState);
        s.run.folder = static_cast<int>(common::runStateNumber(state, "folder"));
        s.run.folders = static_cast<int>(common::runStateNumber(state, "folders"));
        s.run.done = static_cast<std::uint64_t>(common::runStateNumber(state, "done"));
        s.run.total = static_cast<std::uint64_t>(common::runStateNumber(state, "total"));
    }
    return s;
}

}  // namespace pelmor
