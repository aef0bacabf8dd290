#include "nzb.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <tuple>

#include "common/text_fields.h"
#include "common/utf8.h"
#include "net/nntp_session.h"

namespace pelmor {

namespace {

std::string dirOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// Saves of the same NZB file by several jobs at once take turns: a lock on
// the folder (the file itself is replaced by every save, so its own lock
// would not hold), then read, merge and replace under it.
class FolderLock {
public:
    explicit FolderLock(const std::string& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FolderLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }

private:
    int fd_;
};

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// One pass over an NZB file, linear in its size, holding one element at a
// time: the text outside the <file> elements goes to `text`, each element to
// `element`. False when the file cannot be read; `isNzb` says whether it
// has an <nzb> root and its end tag.
bool scanNzb(const std::string& path, const std::function<void(std::string_view)>& text,
             const std::function<void(const std::string&)>& element, bool& isNzb) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string buf;
    std::size_t at = 0;        // what is already handed on
    std::size_t searched = 0;  // how far the element's end was looked for
    bool inElement = false, sawRoot = false, sawEnd = false, eof = false;
    char chunk[65536];
    const auto handText = [&](std::size_t end) {
        const std::string_view t(buf.data() + at, end - at);
        // Tags are looked for with what came before, in case a read cut one.
        if (!sawRoot && buf.find("<nzb", at >= 8 ? at - 8 : 0) < end) sawRoot = true;
        if (buf.find("</nzb>", at >= 8 ? at - 8 : 0) < end) sawEnd = true;
        if (!t.empty()) text(t);
        at = end;
    };
    for (;;) {
        if (!inElement) {
            std::size_t open = buf.find("<file", at);
            while (open != std::string::npos && open + 5 < buf.size() && buf[open + 5] != ' ' && buf[open + 5] != '>')
                open = buf.find("<file", open + 1);
            if (open != std::string::npos && open + 5 < buf.size()) {
                handText(open);
                inElement = true;
                searched = at;
                continue;
            }
            if (eof) {
                handText(buf.size());
                break;
            }
            // Keep a tail that could be the start of a cut tag.
            if (buf.size() > at + 16) handText(buf.size() - 16);
        } else {
            const std::size_t close = buf.find("</file>", searched);
            if (close != std::string::npos) {
                element(buf.substr(at, close + 7 - at));
                at = close + 7;
                inElement = false;
                continue;
            }
            if (eof) {  // an element that never ends is text
                inElement = false;
                handText(buf.size());
                break;
            }
            searched = buf.size() >= 7 ? buf.size() - 7 : at;
        }
        // More input; what was handed on is dropped now and then, so the
        // buffer holds about one element and a chunk.
        if (at > buf.size() / 2) {
            buf.erase(0, at);
            searched -= std::min(searched, at);
            at = 0;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) eof = true;
        else buf.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    isNzb = sawRoot && sawEnd;
    return true;
}

std::string render(const NzbFile& file) {
    std::string x = "<file poster=\"" + xmlEscape(file.poster) + "\" date=\"" + std::to_string(file.date) +
                    "\" subject=\"" + xmlEscape(file.subject) + "\">\n";
    if (!file.name.empty())
        x += "  <!-- tskivo name=\"" + common::hexText(file.name) + "\" size=\"" + std::to_string(file.size) + "\"" +
             (file.wireName.empty() ? "" : " wire=\"" + common::hexText(file.wireName) + "\"") +
             (file.folder.empty() ? "" : " folder=\"" + common::hexText(file.folder) + "\"") + " -->\n";
    x += "  <groups>\n";
    for (const auto& g : file.groups) x += "   <group>" + xmlEscape(g) + "</group>\n";
    x += "  </groups>\n  <segments>\n";
    for (const auto& seg : file.segments)
        x += "   <segment bytes=\"" + std::to_string(seg.bytes) + "\" number=\"" + std::to_string(seg.number) +
             "\">" + xmlEscape(seg.messageId) + "</segment>\n";
    x += "  </segments>\n </file>";
    return x;
}

// One pass; "&amp;lt;" stays "&lt;".
std::string unescape(std::string_view text) {
    static const std::pair<std::string_view, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&#9;", '\t'}, {"&amp;", '&'}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '&') {
            bool matched = false;
            for (const auto& [entity, c] : entities)
                if (text.compare(i, entity.size(), entity) == 0) {
                    out += c;
                    i += entity.size();
                    matched = true;
                    break;
                }
            if (matched) continue;
        }
        out += text[i++];
    }
    return out;
}

std::string_view attribute(std::string_view element, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const auto at = element.find(key);
    if (at == std::string_view::npos) return {};
    const auto start = at + key.size();
    const auto end = element.find('"', start);
    return element.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

constexpr const char* kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" \"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
    "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n";

std::string metaLine(const std::pair<std::string, std::string>& m) {
    return "  <meta type=\"" + xmlEscape(m.first) + "\">" + xmlEscape(m.second) + "</meta>\n";
}

// The text before the first element with the meta entries it lacks: into
// its <head>, or a new <head> after the <nzb> start tag.
std::string withMeta(std::string prologue, const std::vector<std::pair<std::string, std::string>>& meta) {
    std::string missing;
    for (const auto& m : meta) {
        const std::string line = metaLine(m);
        if (prologue.find(line.substr(2, line.size() - 3)) == std::string::npos) missing += line;
    }
    if (missing.empty()) return prologue;
    const auto headEnd = prologue.find("</head>");
    if (headEnd != std::string::npos) return prologue.insert(headEnd, missing.substr(1) + " ");
    const auto root = prologue.find("<nzb");
    const auto rootEnd = root == std::string::npos ? std::string::npos : prologue.find('>', root);
    if (rootEnd == std::string::npos) return prologue;
    return prologue.insert(rootEnd + 1, "\n <head>\n" + missing + " </head>");
}

// The process's umask, read without changing it (umask(2) would, for
// every thread at once).
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
    return 022;
}

// An NZB file keeps the mode it has; a new one gets what the user's umask
// allows; neither is readable by others while it holds a password (the
// file is the only map to a private posting's names, and may hold the
// archive's password).
mode_t nzbFileMode(const std::string& path, const std::vector<std::pair<std::string, std::string>>& meta) {
    struct stat st {};
    mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : (0666 & ~currentUmask());
    for (const auto& [type, value] : meta)
        if (type == "password") mode &= 0700;
    return mode;
}

// Writes the merge of the current file (its text and the elements `keep`
// lets through) and `added` into a new file that replaces it. Held under
// the folder lock.
bool replaceMerged(const std::string& path, const std::function<bool(const std::string&)>& keep,
                   const std::vector<std::string>& added, const std::vector<std::pair<std::string, std::string>>& meta,
                   const std::function<void()>& hook, std::string& error) {
    std::string tmp = path + ".XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) {
        error = "Unable to write the NZB file " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, nzbFileMode(path, meta)) == 0;
    bool isNzb = true, prologueDone = false;
    std::string held;  // text not written yet: the prologue, then the latest text between elements
    const auto flushHeld = [&] {
        if (!prologueDone) {
            held = withMeta(held, meta);
            prologueDone = true;
        }
        ok = ok && writeAll(fd, held);
        held.clear();
    };
    bool exists = false;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        ::close(fd);
        unlink(tmp.c_str());
        error = "Unable to write the NZB file " + path + ": it is no longer a regular file";
        return false;
    }
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) {
        exists = scanNzb(
            path, [&](std::string_view t) { held += t; },
            [&](const std::string& e) {
                if (!keep(e)) {
                    // Text around a dropped element: keep only one line's break.
                    held.erase(held.find_last_not_of(" \n") + 1);
                    return;
                }
                flushHeld();
                ok = ok && writeAll(fd, e);
            },
            isNzb);
        if (exists && !isNzb) {
            ::close(fd);
            unlink(tmp.c_str());
            error = path + " is no longer an NZB file; not overwritten.";
            return false;
        }
    }
    std::string tail;
    if (exists && held.rfind("</nzb>") != std::string::npos) {
        // The held text is the end of the file: ours go before "</nzb>".
        const auto end = held.rfind("</nzb>");
        tail = held.substr(end);
        held.erase(end);
        held.erase(held.find_last_not_of(" \n") + 1);
        held += "\n";
    } else {
        held = kPrologue;
        tail = "</nzb>\n";
    }
    flushHeld();
    for (const auto& e : added) ok = ok && writeAll(fd, " " + e + "\n");
    ok = ok && writeAll(fd, tail);
    if (hook) hook();
    ok = ok && fsync(fd) == 0;
    const int saved = errno;
    ok = ::close(fd) == 0 && ok;
    // A reader never sees half a file.
    if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    error = "Unable to write the NZB file " + path + ": " + std::strerror(ok ? errno : saved);
    unlink(tmp.c_str());
    return false;
}

// Journal lines: one accepted article each, every text field in hex.
std::string journalLine(const NzbFile& f, const NzbSegment& s) {
    std::string groups;
    for (const auto& g : f.groups) groups += (groups.empty() ? "" : "\n") + g;
    return "J3\t" + common::hexText(f.folder) + "\t" + common::hexText(f.wireName) + "\t" + common::hexText(f.name) + "\t" + std::to_string(f.size) + "\t" + std::to_string(f.date) + "\t" +
           common::hexText(f.subject) + "\t" + common::hexText(f.poster) + "\t" + common::hexText(groups) + "\t" + std::to_string(s.number) +
           "\t" + std::to_string(s.bytes) + "\t" + s.messageId + "\n";
}

// The files a journal left by a killed posting records: its lines grouped
// by file, the subject of each file's lowest part kept. Lines that cannot
// be read (a cut last line) are passed over.
// Only a regular file of this user, opened without following a link (a
// planted one would make a resume skip parts and name foreign articles; a
// FIFO would hang the run); `foreign` says when it is none of that.
std::vector<NzbFile> readJournal(const std::string& path, bool& foreign) {
    std::map<std::tuple<std::string, std::uint64_t, std::string>, std::pair<NzbFile, int>> files;
    foreign = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022)) {
        foreign = fd >= 0 || errno == ELOOP;
        if (fd >= 0) ::close(fd);
        return {};
    }
    std::string text, line;
    char chunk[65536];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
    for (std::size_t at = 0, eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1) {
        auto f = common::splitFields(std::string_view(text.data() + at, eol - at), '\t');
        std::string folder, wire, name, subject, poster, groups;
        // J3 lines lead with the folder; J2 lines (before it was kept) have none.
        if (f.size() == 12 && f[0] == "J3") {
            if (!common::fromHex(f[1], folder)) continue;
            f.erase(f.begin() + 1);
        } else if (f.size() != 11 || f[0] != "J2") {
            continue;
        }
        if (!common::fromHex(f[1], wire)) continue;
        f.erase(f.begin() + 1);
        if (!common::fromHex(f[1], name) || !common::fromHex(f[4], subject) || !common::fromHex(f[5], poster) || !common::fromHex(f[6], groups) ||
            !validMessageId(std::string(f[9])))
            continue;
        const std::uint64_t size = std::strtoull(std::string(f[2]).c_str(), nullptr, 10);
        const int number = std::atoi(std::string(f[7]).c_str());
        if (number < 1) continue;
        auto& [file, lowest] = files[{name, size, poster}];
        if (file.segments.empty()) {
            file.name = name;
            file.size = size;
            file.poster = poster;
            file.wireName = wire;
            file.folder = folder;
            file.date = std::strtoll(std::string(f[3]).c_str(), nullptr, 10);
            for (std::size_t p = 0; p <= groups.size();) {
                const auto nl = std::min(groups.find('\n', p), groups.size());
                if (nl > p) file.groups.push_back(groups.substr(p, nl - p));
                p = nl + 1;
            }
            lowest = number + 1;
        }
        if (number < lowest) {
            lowest = number;
            file.subject = subject;
        }
        file.segments.push_back({std::string(f[9]), std::strtoull(std::string(f[8]).c_str(), nullptr, 10), number});
    }
    std::vector<NzbFile> out;
    for (auto& [key, value] : files) {
        std::sort(value.first.segments.begin(), value.first.segments.end(),
                  [](const NzbSegment& a, const NzbSegment& b) { return a.number < b.number; });
        out.push_back(std::move(value.first));
    }
    return out;
}

bool processAlive(long pid) { return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : common::toUtf8(text)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\t': out += "&#9;"; break;  // an attribute would turn a raw TAB into a space
            default: out += c;
        }
    }
    return out;
}

bool parseFileElement(const std::string& element, NzbFile& out, std::string* problem) {
    const auto comment = element.find("<!-- tskivo ");
    if (element.rfind("<file ", 0) != 0 || comment == std::string::npos) return false;
    const std::string_view all(element);
    const std::string_view meta = all.substr(comment, element.find("-->", comment) - comment);
    out = NzbFile{};
    const auto untrusted = [&](std::string why) {
        if (problem) *problem = std::move(why);
        return false;
    };
    if (!common::fromHex(attribute(meta, "name"), out.name)) return untrusted("its name is not written in hexadecimal");
    out.size = std::strtoull(std::string(attribute(meta, "size")).c_str(), nullptr, 10);
    if (!common::fromHex(attribute(meta, "wire"), out.wireName)) return untrusted("its wire name is not written in hexadecimal");
    if (!common::fromHex(attribute(meta, "folder"), out.folder)) return untrusted("its folder is not written in hexadecimal");
    const std::string_view head = all.substr(0, element.find('>'));
    out.poster = unescape(attribute(head, "poster"));
    out.subject = unescape(attribute(head, "subject"));
    out.date = std::strtoll(std::string(attribute(head, "date")).c_str(), nullptr, 10);
    for (std::size_t at = element.find("<group>"); at != std::string::npos; at = element.find("<group>", at + 1)) {
        const auto start = at + 7;
        out.groups.push_back(unescape(all.substr(start, element.find("</group>", start) - start)));
    }
    for (std::size_t at = element.find("<segment "); at != std::string::npos;
         at = element.find("<segment ", at + 1)) {
        const auto close = element.find('>', at);
        if (close == std::string::npos) break;
        const std::string_view open = all.substr(at, close - at);
        NzbSegment seg;
        seg.bytes = std::strtoull(std::string(attribute(open, "bytes")).c_str(), nullptr, 10);
        seg.number = std::atoi(std::string(attribute(open, "number")).c_str());
        seg.messageId = unescape(all.substr(close + 1, element.find("</segment>", close) - close - 1));
        if (!validMessageId(seg.messageId))
            return untrusted("segment " + std::to_string(seg.number) + " has no valid Message-ID");
        out.segments.push_back(std::move(seg));
    }
    return true;
}

NzbWriter::~NzbWriter() {
    if (journalFd_ >= 0) ::close(journalFd_);
}

bool NzbWriter::open(const std::string& path, std::string& error) {
    path_ = path;
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        // Only a regular file: a FIFO would hang the job, a link to a device
        // would be read without end.
        if (!S_ISREG(st.st_mode)) {
            error = path + " is not a regular file; choose another name for the NZB output.";
            return false;
        }
        bool isNzb = false;
        if (!scanNzb(path, [](std::string_view) {}, [](const std::string&) {}, isNzb)) {
            error = "Unable to read the NZB file " + path + ": " + std::strerror(errno);
            return false;
        }
        if (st.st_size > 0 && !isNzb) {
            error = path + " exists and is not an NZB file; choose another name for the NZB output.";
            return false;
        }
    }
    // Found out now, not after everything was posted: can the folder take it?
    std::string probe = dirOf(path) + "/.nzb-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        error = "Unable to write the NZB file " + path + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    unlink(probe.c_str());
    // Journals of postings that were killed: folded into the file, then gone.
    const std::string prefix = baseOf(path) + ".journal.";
    std::vector<std::string> orphans;
    if (DIR* d = opendir(dirOf(path).c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind(prefix, 0) != 0) continue;
            if (!processAlive(std::strtol(name.c_str() + prefix.size(), nullptr, 10))) orphans.push_back(name);
        }
        closedir(d);
    }
    for (const auto& name : orphans) {
        const std::string journalFile = dirOf(path) + "/" + name;
        std::vector<std::string> elements;
        bool foreign = false;
        for (const auto& f : readJournal(journalFile, foreign)) elements.push_back(render(f));
        if (foreign) {
            notes_.push_back("Not read: " + journalFile +
                             " is named like a journal of this NZB file but is no regular file of yours (left as it is).");
            continue;
        }
        FolderLock lock(dirOf(path));
        if (!elements.empty() && !replaceMerged(path, [](const std::string&) { return true; }, elements, {}, {}, error))
            return false;
        unlink(journalFile.c_str());
    }
    return true;
}

void NzbWriter::scan(const std::function<void(const std::string& element)>& each) const {
    bool isNzb = false;
    scanNzb(path_, [](std::string_view) {}, each, isNzb);
}

void NzbWriter::add(const NzbFile& file) { added_.push_back(render(file)); }

void NzbWriter::setFiles(const std::vector<NzbFile>& files) {
    added_.clear();
    for (const auto& f : files) added_.push_back(render(f));
}

void NzbWriter::journal(const NzbFile& file, const NzbSegment& segment) {
    if (journalFd_ < 0) {
        // Named for this process, so that a posting killed leaves it for the
        // next to fold in, and a live one's is left alone.
        journalPath_ = path_ + ".journal." + std::to_string(getpid()) + "." + std::to_string(std::rand() % 100000);
        journalFd_ = ::open(journalPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
        if (journalFd_ < 0) return;
    }
    // One write a line: appended whole even by two writers at once.
    writeAll(journalFd_, journalLine(file, segment));
}

bool NzbWriter::replaceSegment(const std::string& oldId, const std::string& newId, std::uint64_t bytes,
                               std::string& error) {
    FolderLock lock(dirOf(path_));
    const std::string from = ">" + xmlEscape(oldId) + "</segment>";
    std::vector<std::string> changed;
    const auto keep = [&](const std::string& e) {
        const auto at = e.find(from);
        if (at == std::string::npos) return true;
        std::string copy = e;
        const auto open = copy.rfind("<segment ", at);
        copy.replace(open, at + from.size() - open,
                     "<segment bytes=\"" + std::to_string(bytes) + "\" number=\"" +
                         std::string(attribute(std::string_view(copy).substr(open, at - open), "number")) + "\">" +
                         xmlEscape(newId) + "</segment>");
        changed.push_back(copy);
        return false;
    };
    return replaceMerged(path_, keep, changed, {}, {}, error);
}

bool NzbWriter::save(std::string& error, bool final) {
    FolderLock lock(dirOf(path_));
    const auto keep = [&](const std::string& e) { return !saved_.count(e) && !claimed_.count(e); };
    if (!replaceMerged(path_, keep, added_, meta_, saveHook_, error)) return false;
    saved_ = std::set<std::string>(added_.begin(), added_.end());
    // What the journal held is in the file now.
    if (journalFd_ >= 0 && ftruncate(journalFd_, 0) != 0) return true;
    if (final && journalFd_ >= 0) {
        ::close(journalFd_);
        journalFd_ = -1;
        unlink(journalPath_.c_str());
    }
    return true;
}

}  // namespace pelmor
