#include "subject.h"

#include <cstdio>

#include "codec/encoder.h"

namespace pelmor {

namespace {

int digitCount(long long v) { return static_cast<int>(std::to_string(v).size()); }

std::string padded(long long v, int width) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%0*lld", width, v);
    return buf;
}

std::string megabytes(std::uint64_t S) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%0.1f", static_cast<double>(S) / 1048576.0);
    return buf;
}

std::string partCounter(int p, int P) {
    const int m = digitCount(P);
    return "(" + padded(p, m) + "/" + padded(P, m) + ")";
}

}  // namespace

SubjectLines formatPlainSubject(const std::string& subjectText, const FileEntry& file, int p, int P, int f,
                                int F, std::uint64_t S) {
    const std::string name = postedName(file);
    const std::string yenc = file.encoding == kYenc ? "yEnc " : "";
    SubjectLines out;
    if (S == 0) {
        out.subject = subjectText + " - " + yenc + "\"" + name + "\" (" + padded(p, 2) + "/" + padded(P, 2) + ")";
        return out;
    }
    std::string counter;
    if (file.encoding != kText && F > 1) {
        const int n = digitCount(F);
        counter = "[" + padded(f, n) + "/" + padded(F, n) + "] ";
    }
    std::string size;
    if (S <= 524288)
        size = std::to_string(S) + " bytes ";
    else if (S <= 1048576)
        size = std::to_string(S / 1024) + " kb ";
    else
        size = megabytes(S) + " mb ";
    const std::string stem = subjectText + " " + counter + size + "- " + yenc + "\"" + name + "\" ";
    out.subject = stem + partCounter(p, P);
    out.display = P > 1 ? stem + "(*/" + std::to_string(P) + ")" : out.subject;
    return out;
}

SubjectLines formatSubject(const std::string& format, const FileEntry& file, const std::string& folder, int p,
                           int P, int f, int F, std::uint64_t S) {
    std::string out;
    std::size_t i = 0;
    while (i < format.size()) {
        const auto dollar = format.find('$', i);
        if (dollar == std::string::npos || dollar + 1 >= format.size()) break;
        out.append(format, i, dollar - i);
        const char code = format[dollar + 1];
        switch (code) {
            case '$': out += '$'; break;
            case '1': out += padded(f, digitCount(F)); break;
            case '2': out += std::to_string(F); break;
            case 'B': out += std::to_string(S); break;
            case 'D': out += folder; break;
            case 'F':
                out += file.encoding == kYenc ? "yEnc \"" + postedName(file) + "\""
                                              : postedName(file);
                break;
            case 'K': out += std::to_string(S / 1024); break;
            case 'M': out += megabytes(S); break;
            default:  // not a code: keep both characters
                out += '$';
                out += code;
                break;
        }
        i = dollar + 2;
    }
    out.append(format, i, std::string::npos);
    SubjectLines lines;
    lines.subject = out + " " + partCounter(p, P);
    lines.display = P > 1 ? out + " (*/" + std::to_string(P) + ")" : out + " (1/1)";
    return lines;
}

}  // namespace pelmor
