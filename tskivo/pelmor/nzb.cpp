#include "nzb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace pelmor {

namespace {

// Valid UTF-8 is kept; any other byte is taken as Latin-1, so the file is
// always well-formed UTF-8. Control characters XML cannot hold become "?".
std::string toUtf8(const std::string& in) {
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    const std::size_t n = in.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            out += (c < 0x20 && c != '\t') ? '?' : static_cast<char>(c);
            ++i;
            continue;
        }
        const int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        bool valid = len > 0 && i + len <= n && c >= 0xC2 && c <= 0xF4;
        for (int k = 1; valid && k < len; ++k) valid = (s[i + k] & 0xC0) == 0x80;
        if (valid) {
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
            default: out += c;
        }
    }
    return out;
}

bool NzbWriter::open(const std::string& path, std::string& error) {
    path_ = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) return true;  // a new file
    std::ostringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    const auto root = text.find("<nzb");
    const auto end = text.rfind("</nzb>");
    if (text.empty()) return true;
    if (root == std::string::npos || end == std::string::npos || end < root) {
        error = path + " exists and is not an NZB file; choose another name for the NZB output.";
        return false;
    }
    const auto first = text.find("<file", root);
    if (first != std::string::npos && first < end) {
        const auto last = text.rfind("</file>", end);
        if (last != std::string::npos && last > first) kept_ = text.substr(first, last + 7 - first) + "\n";
    }
    return true;
}

void NzbWriter::add(const NzbFile& file) {
    std::string x = " <file poster=\"" + xmlEscape(file.poster) + "\" date=\"" + std::to_string(file.date) +
                    "\" subject=\"" + xmlEscape(file.subject) + "\">\n  <groups>\n";
    for (const auto& g : file.groups) x += "   <group>" + xmlEscape(g) + "</group>\n";
    x += "  </groups>\n  <segments>\n";
    for (const auto& s : file.segments)
        x += "   <segment bytes=\"" + std::to_string(s.bytes) + "\" number=\"" + std::to_string(s.number) + "\">" +
             xmlEscape(s.messageId) + "</segment>\n";
    x += "  </segments>\n </file>\n";
    added_ += x;
}

bool NzbWriter::save(std::string& error) const {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE nzb PUBLIC \"-//newzBin//DTD NZB 1.1//EN\" \"http://www.newzbin.com/DTD/nzb/nzb-1.1.dtd\">\n"
        "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n" +
        kept_ + added_ + "</nzb>\n";
    // A temporary file beside the target, then rename: a reader never sees half a file.
    const auto slash = path_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash);
    std::string tmp = dir + "/.nzb-XXXXXX";
    const int fd = mkstemp(tmp.data());
    if (fd < 0) {
        error = "Unable to write the NZB file " + path_ + ": " + std::strerror(errno);
        return false;
    }
    fchmod(fd, 0644);
    const char* p = text.data();
    std::size_t left = text.size();
    bool ok = true;
    while (left > 0 && ok) {
        const ssize_t n = write(fd, p, left);
        ok = n > 0;
        if (ok) {
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path_.c_str()) != 0) {
        error = "Unable to write the NZB file " + path_ + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

}  // namespace pelmor
