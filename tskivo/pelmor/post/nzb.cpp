#include "nzb.h"

#include "common/replace_file.h"
#include "common/utf8.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pelmor {

namespace {

// Strict UTF-8 is kept; any other byte is taken as Latin-1, so the file is
// always well-formed. Control characters XML cannot hold become "?".
std::string toUtf8(const std::string& in) {
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : static_cast<char>(c);
            ++i;
        } else if (const int len = common::utf8Length(s, i, n)) {
            out.append(in, i, static_cast<std::size_t>(len));
            i += static_cast<std::size_t>(len);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++i;
        }
    }
    return out;
}

// The <file> elements of an NZB text, each from "<file" to "</file>".
bool fileElements(const std::string& text, std::vector<std::string>& out) {
    const auto root = text.find("<nzb");
    const auto end = text.rfind("</nzb>");
    if (root == std::string::npos || end == std::string::npos || end < root) return false;
    for (std::size_t at = text.find("<file", root); at != std::string::npos && at < end;) {
        const auto close = text.find("</file>", at);
        if (close == std::string::npos || close > end) break;
        out.push_back(text.substr(at, close + 7 - at));
        at = text.find("<file", close);
    }
    return true;
}

bool readWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return true;
}

std::string dirOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

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

}  // namespace

std::string xmlEscape(const std::string& text) {
    std::string out;
    for (char c : toUtf8(text)) {
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
        std::string text;
        if (!readWhole(path, text)) {
            error = "Unable to read the NZB file " + path + ": " + std::strerror(errno);
            return false;
        }
        if (!text.empty() && !fileElements(text, existing_)) {
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
    return true;
}

namespace {

std::string render(const NzbFile& file) {
    std::string x = "<file poster=\"" + xmlEscape(file.poster) + "\" date=\"" + std::to_string(file.date) +
                    "\" subject=\"" + xmlEscape(file.subject) + "\">\n";
    if (!file.name.empty())
        x += "  <!-- tskivo name=\"" + hexText(file.name) + "\" size=\"" + std::to_string(file.size) + "\" -->\n";
    x += "  <groups>\n";
    for (const auto& g : file.groups) x += "   <group>" + xmlEscape(g) + "</group>\n";
    x += "  </groups>\n  <segments>\n";
    for (const auto& seg : file.segments)
        x += "   <segment bytes=\"" + std::to_string(seg.bytes) + "\" number=\"" + std::to_string(seg.number) +
             "\">" + xmlEscape(seg.messageId) + "</segment>\n";
    x += "  </segments>\n </file>";
    return x;
}

std::string unescape(std::string text) {
    static const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&#9;", "\t"}, {"&amp;", "&"}};
    for (const auto& [from, to] : entities)
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += std::strlen(to))
            text.replace(at, std::strlen(from), to);
    return text;
}

std::string attribute(const std::string& element, const std::string& name) {
    const std::string key = " " + name + "=\"";
    const auto at = element.find(key);
    if (at == std::string::npos) return {};
    const auto start = at + key.size();
    return element.substr(start, element.find('"', start) - start);
}

}  // namespace

std::string hexText(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool parseFileElement(const std::string& element, NzbFile& out) {
    const auto comment = element.find("<!-- tskivo ");
    if (element.rfind("<file ", 0) != 0 || comment == std::string::npos) return false;
    const std::string meta = element.substr(comment, element.find("-->", comment) - comment);
    const std::string hex = attribute(meta, "name");
    out = NzbFile{};
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.name += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    out.size = std::strtoull(attribute(meta, "size").c_str(), nullptr, 10);
    const std::string head = element.substr(0, element.find('>'));
    out.poster = unescape(attribute(head, "poster"));
    out.subject = unescape(attribute(head, "subject"));
    out.date = std::strtoll(attribute(head, "date").c_str(), nullptr, 10);
    for (std::size_t at = element.find("<group>"); at != std::string::npos; at = element.find("<group>", at + 1)) {
        const auto start = at + 7;
        out.groups.push_back(unescape(element.substr(start, element.find("</group>", start) - start)));
    }
    for (std::size_t at = element.find("<segment "); at != std::string::npos;
         at = element.find("<segment ", at + 1)) {
        const std::string open = element.substr(at, element.find('>', at) - at);
        const auto start = element.find('>', at) + 1;
        NzbSegment seg;
        seg.bytes = std::strtoull(attribute(open, "bytes").c_str(), nullptr, 10);
        seg.number = std::atoi(attribute(open, "number").c_str());
        seg.messageId = unescape(element.substr(start, element.find("</segment>", start) - start));
        out.segments.push_back(seg);
    }
    return true;
}

void NzbWriter::add(const NzbFile& file) { added_.push_back(render(file)); }

void NzbWriter::setFiles(const std::vector<NzbFile>& files) {
    added_.clear();
    for (const auto& f : files) added_.push_back(render(f));
}

bool NzbWriter::save(std::string& error) {
    const std::string dir = dirOf(path_);
    FolderLock lock(dir);
    // What other jobs saved meanwhile stays; what this writer saved before
    // is replaced by its current list.
    std::string current;
    std::vector<std::string> elements;
    if (readWhole(path_, current) && !current.empty() && !fileElements(current, elements)) {
        error = path_ + " is no longer an NZB file; not overwritten.";
        return false;
    }
    for (const auto& mine : saved_) {
        const auto it = std::find(elements.begin(), elements.end(), mine);
        if (it != elements.end()) elements.erase(it);
    }
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" \"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
        "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n";
    for (const auto& e : elements) text += " " + e + "\n";
    for (const auto& e : added_) text += " " + e + "\n";
    text += "</nzb>\n";
    if (saveHook_) saveHook_();
    // A reader never sees half a file.
    if (!common::replaceFile(path_, text, 0644)) {
        error = "Unable to write the NZB file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    saved_ = added_;
    return true;
}

}  // namespace pelmor
