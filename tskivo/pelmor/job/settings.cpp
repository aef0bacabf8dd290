#include "settings.h"

#include <strings.h>

#include <fstream>
#include <random>
#include <sstream>

#include "common/run_state.h"
#include "common/text_fields.h"
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

bool splitHostPort(const std::string& text, int defaultPort, std::string& host, int& port) {
    port = defaultPort;
    host = text;
    std::size_t colon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            colon = close + 1;
        }
    } else if (text.find(':') == text.rfind(':')) {  // one colon: a port; more: a bare IPv6 address
        colon = text.find(':');
        if (colon != std::string::npos) host = text.substr(0, colon);
    }
    if (colon != std::string::npos) {
        const auto p = common::wholeNumber(text.substr(colon + 1), 1, 65535);
        if (!p) return false;
        port = static_cast<int>(*p);
    }
    return !host.empty();
}

namespace {

// A proxy URL as it may be shown: any log-in before the host hidden, as a
// message can end up in a log, a JSON event or a bug report.
std::string shownProxy(const std::string& url) {
    const auto scheme = url.find("://");
    const auto from = scheme == std::string::npos ? 0 : scheme + 3;
    const auto at = url.rfind('@');
    if (at == std::string::npos || at < from) return url;
    return url.substr(0, from) + "***@" + url.substr(at + 1);
}

}  // namespace

bool parseProxy(const std::string& url, ProxySettings& out, std::string& error) {
    const std::string scheme = "socks5://";
    if (url.size() < scheme.size() || strncasecmp(url.c_str(), scheme.c_str(), scheme.size()) != 0) {
        error = "The proxy \"" + shownProxy(url) + "\" must be written socks5://[user:password@]host:port.";
        return false;
    }
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    const auto at = rest.rfind('@');
    out = ProxySettings{};
    if (at != std::string::npos) {
        const std::string login = rest.substr(0, at);
        const auto colon = login.find(':');
        out.login = Credentials{login.substr(0, colon), colon == std::string::npos ? "" : login.substr(colon + 1)};
        if (out.login->user.size() > 255 || out.login->password.size() > 255) {
            error = "The proxy's user name and password may hold 255 bytes each.";
            return false;
        }
        rest = rest.substr(at + 1);
    }
    if (!splitHostPort(rest, 1080, out.host, out.port)) {
        error = "The proxy \"" + shownProxy(url) + "\" names no host and port.";
        return false;
    }
    return true;
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
    s.checkAsks = number(job, "checkasks", 4);
    s.checkSpacingSeconds = number(job, "checkspacing", 10);
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
    s.obfuscate = job.hasOption("obfuscate");
    s.idDomain = job.hasOption("domain") ? job.getOption("domain") : kIdDomain;
    if (s.obfuscate && !job.hasOption("domain")) {
        // A domain that says nothing about the poster: a random name under
        // a common top-level domain, fresh for every job.
        std::random_device random;
        static const char* const kTop[] = {"com", "net", "org"};
        s.idDomain = common::randomLetters(6 + static_cast<int>(random() % 5)) + "." + kTop[random() % 3];
    }
    for (const auto& [option, type] : {std::pair{"nzbtitle", "title"}, std::pair{"nzbpassword", "password"},
                                        std::pair{"nzbcategory", "category"}})
        if (job.hasOption(option)) s.nzbMeta.emplace_back(type, job.getOption(option));
    if (job.hasOption("nzbtag")) {
        std::istringstream tags(job.getOption("nzbtag"));
        for (std::string tag; std::getline(tags, tag);)
            if (!tag.empty()) s.nzbMeta.emplace_back("tag", tag);
    }
    // Backups: "host:port", user, password, TLS, a line each.
    std::istringstream backups(job.getOption("backup"));
    for (std::string line; std::getline(backups, line);) {
        auto f = common::splitFields(line, '\x1f');
        f.resize(4);
        ServerSettings b;
        b.tls = f[3] == "1";
        if (!splitHostPort(std::string(f[0]), b.tls ? 563 : 119, b.host, b.port)) continue;  // the job check said so
        if (!f[1].empty()) b.login = Credentials{std::string(f[1]), std::string(f[2])};
        s.backups.push_back(b);
    }
    if (job.hasOption("checkserver")) {
        ServerSettings c;
        c.tls = s.server.tls;
        if (splitHostPort(job.getOption("checkserver"), c.tls ? 563 : 119, c.host, c.port)) {
            if (job.hasOption("checkuser")) c.login = Credentials{job.getOption("checkuser"), job.getOption("checkpass")};
            s.checkServer = c;
        }
    }
    if (job.hasOption("proxy")) {
        ProxySettings proxy;
        std::string error;
        if (parseProxy(job.getOption("proxy"), proxy, error)) s.proxy = proxy;
    }
    s.runState = job.getOption("runstate");
    if (!s.runState.empty()) {
        const common::RunState state = common::readRunState(s.runState);
        s.run.folder = static_cast<int>(common::runStateNumber(state, "folder"));
        s.run.folders = static_cast<int>(common::runStateNumber(state, "folders"));
        s.run.done = static_cast<std::uint64_t>(common::runStateNumber(state, "done"));
        s.run.total = static_cast<std::uint64_t>(common::runStateNumber(state, "total"));
        s.run.more = common::runStateNumber(state, "more") != 0;
    }
    return s;
}

}  // namespace pelmor
