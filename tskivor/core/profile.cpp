#include "profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QStringDecoder>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/replace_file.h"

namespace tskivor {

namespace {

// Field offsets of the record.
enum Offset : std::size_t {
    kVersion = 0,
    kRecordSize = 4,
    kPort = 8,
    kServer = 12,
    kUseAuthentication = 273,
    kUserName = 274,
    kPassword = 535,
    kMaxLines = 796,
    kMaxBandwidth = 800,
    kAuthor = 804,
    kSubject = 1065,
    kNewsgroups = 1326,
    kFilemask = 1587,
    kReference = 1848,
    kSeparator = 2109,
    kUseFormattedSubject = 2370,
    kPadding2371 = 2371,
    kAuthorLogo = 2372,
    kBackgroundImage = 2633,
    kPadding2894 = 2894,
    kFontColour = 2896,
    kBackgroundColour = 2900,
    kUseUuencoding = 2904,
    kScramble = 2905,
    kUuencodeFirstOnly = 2906,
    kNonFolderLike = 2907,
    kContactSheets = 2908,
    kPadding2909 = 2909,
    kPar2Area = 2912,
};

using Record = std::array<std::uint8_t, kProfileSize>;

void putInt(Record& r, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t getInt(const std::uint8_t* b, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
}

void putText(Record& r, std::size_t at, const std::string& text) {
    const std::string fitted = fitTextField(text);
    std::memcpy(r.data() + at, fitted.data(), fitted.size());  // the rest stays NUL
}

std::string getText(const std::uint8_t* b, std::size_t at) {
    const char* p = reinterpret_cast<const char*>(b + at);
    // A field without its NUL is read up to the field's end.
    return fitTextField(std::string(p, strnlen(p, kTextFieldBytes)));
}

template <std::size_t N>
void putBytes(Record& r, std::size_t at, const std::array<std::uint8_t, N>& bytes) {
    std::memcpy(r.data() + at, bytes.data(), N);
}

template <std::size_t N>
std::array<std::uint8_t, N> getBytes(const std::uint8_t* b, std::size_t at) {
    std::array<std::uint8_t, N> out{};
    std::memcpy(out.data(), b + at, N);
    return out;
}

}  // namespace

std::string fitTextField(const std::string& text) {
    const std::size_t nul = text.find('\0');
    std::size_t n = std::min({text.size(), nul, kTextMaxBytes});
    if (n < text.size()) {
        // Step back over continuation bytes so no sequence is cut.
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    return text.substr(0, n);
}

std::size_t fittingLength(const QString& text, std::size_t maxBytes) {
    std::size_t bytes = 0, chars = 0;
    for (auto it = text.cbegin(); it != text.cend();) {
        const char32_t c = it->isHighSurrogate() && it + 1 != text.cend() ? QChar::surrogateToUcs4(*it, *(it + 1))
                                                                         : it->unicode();
        const std::size_t units = c > 0xFFFF ? 2 : 1;
        const std::size_t size = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (bytes + size > maxBytes) break;
        bytes += size;
        chars += units;
        it += static_cast<qsizetype>(units);
    }
    return chars;
}

QString fieldText(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string fieldBytes(const QString& shown, const std::string& original) {
    if (shown == fieldText(original)) return original;
    return fitTextField(shown.toStdString());
}

Par2Settings ProfileData::par2() const {
    const auto& a = par2Area;
    Par2Settings s;
    if (std::all_of(a.begin(), a.end(), [](std::uint8_t b) { return b == 0; })) return s;
    s.on = a[0] == 1;
    s.percent = std::clamp<int>(a[1], 1, 100);
    s.files = a[2] | (a[3] << 8);
    s.equal = a[4] == 1;
    s.blocks = getInt(a.data(), 8);
    s.blockSize = getInt(a.data(), 12) | static_cast<std::uint64_t>(getInt(a.data(), 16)) << 32;
    return s;
}

void ProfileData::setPar2(const Par2Settings& s) {
    par2Area.fill(0);
    if (!s.on) return;  // off: all zero, as an older profile has it
    par2Area[0] = 1;
    par2Area[1] = static_cast<std::uint8_t>(std::clamp(s.percent, 1, 100));
    par2Area[2] = static_cast<std::uint8_t>(s.files);
    par2Area[3] = static_cast<std::uint8_t>(s.files >> 8);
    par2Area[4] = s.equal ? 1 : 0;
    for (int i = 0; i < 4; ++i) par2Area[8 + i] = static_cast<std::uint8_t>(s.blocks >> (8 * i));
    for (int i = 0; i < 8; ++i) par2Area[12 + i] = static_cast<std::uint8_t>(s.blockSize >> (8 * i));
}

namespace {

constexpr char kExtrasMagic[] = "TSKX";

std::string escapeValue(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out;
}

std::string unescapeValue(const std::string& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        const char c = v[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

}  // namespace

std::string ProfileExtras::toBlock() const {
    std::string text;
    const auto put = [&](const char* key, const std::string& value) { text += std::string(key) + "\t" + escapeValue(value) + "\n"; };
    put("terminal", terminal ? "1" : "0");
    put("jobs", std::to_string(jobsAtOnce));
    put("nzb", nzbPath);
    put("backup", backupServer);
    put("backup-user", backupUser);
    put("backup-password", backupPassword);
    put("backup-tls", backupTls ? "1" : "0");
    put("proxy", proxy);
    put("private", privatePosting ? "1" : "0");
    put("nzb-title", nzbTitle);
    put("nzb-password", nzbPassword);
    put("nzb-category", nzbCategory);
    put("archive", archive ? "1" : "0");
    put("archive-password", archivePassword);
    put("volume", std::to_string(volumeMiB));
    put("check-server", checkServer);
    put("check-delay", std::to_string(checkDelay));
    put("domain", domain);
    put("after", afterCommand);
    put("nzb-tags", nzbTags);
    put("each", eachRelease ? "1" : "0");
    std::string block(kExtrasMagic, 4);
    for (int i = 0; i < 4; ++i) block += static_cast<char>((text.size() >> (8 * i)) & 0xFF);
    return block + text;
}

ProfileExtras ProfileExtras::fromBlock(const std::string& bytes) {
    ProfileExtras e;
    if (bytes.size() < 8 || bytes.compare(0, 4, kExtrasMagic) != 0) return e;
    // A profile saved with the block is no old profile: no terminal unless set.
    e.terminal = false;
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<std::size_t>(static_cast<unsigned char>(bytes[4 + i])) << (8 * i);
    std::istringstream lines(bytes.substr(8, length));
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        const std::string key = line.substr(0, tab), value = unescapeValue(line.substr(tab + 1));
        if (key == "terminal") e.terminal = value == "1";
        else if (key == "jobs") e.jobsAtOnce = std::clamp(std::atoi(value.c_str()), 1, 16);
        else if (key == "nzb") e.nzbPath = value;
        else if (key == "backup") e.backupServer = value;
        else if (key == "backup-user") e.backupUser = value;
        else if (key == "backup-password") e.backupPassword = value;
        else if (key == "backup-tls") e.backupTls = value == "1";
        else if (key == "proxy") e.proxy = value;
        else if (key == "private") e.privatePosting = value == "1";
        else if (key == "nzb-title") e.nzbTitle = value;
        else if (key == "nzb-password") e.nzbPassword = value;
        else if (key == "nzb-category") e.nzbCategory = value;
        else if (key == "archive") e.archive = value == "1";
        else if (key == "archive-password") e.archivePassword = value;
        else if (key == "volume") e.volumeMiB = std::clamp(std::atoi(value.c_str()), 1, 1 << 20);
        else if (key == "check-server") e.checkServer = value;
        else if (key == "check-delay") e.checkDelay = std::clamp(std::atoi(value.c_str()), -1, 86400);
        else if (key == "domain") e.domain = value;
        else if (key == "after") e.afterCommand = value;
        else if (key == "nzb-tags") e.nzbTags = value;
        else if (key == "each") e.eachRelease = value == "1";
    }
    return e;
}

ProfileData ProfileData::defaults() {
    ProfileData p;
    p.extras.terminal = false;  // new profiles show their jobs in the main window
    p.version = kProfileVersion;
    p.recordSize = static_cast<std::int32_t>(kProfileSize);
    p.port = 119;
    p.server = "news.example.net";
    p.maxLines = 2500;
    p.author = "Your Name <your.name@example.net>";
    p.subject = "I forgot to set the subject";
    p.newsgroups = "alt.binaries.test,alt.binaries.test.yenc";
    p.filemask = "*.*";
    p.separator = "\\";
    p.fontColour = 0x000000;
    p.backgroundColour = 0xFFFFFF;
    p.nonFolderLikeSubject = true;
    return p;
}

std::array<std::uint8_t, kProfileSize> ProfileData::toBytes() const {
    Record r{};
    putInt(r, kVersion, static_cast<std::uint32_t>(version));
    putInt(r, kRecordSize, static_cast<std::uint32_t>(recordSize));
    putInt(r, kPort, static_cast<std::uint32_t>(port));
    putText(r, kServer, server);
    r[kUseAuthentication] = useAuthentication;
    putText(r, kUserName, userName);
    putText(r, kPassword, password);
    putInt(r, kMaxLines, static_cast<std::uint32_t>(maxLines));
    putInt(r, kMaxBandwidth, static_cast<std::uint32_t>(maxBandwidth));
    putText(r, kAuthor, author);
    putText(r, kSubject, subject);
    putText(r, kNewsgroups, newsgroups);
    putText(r, kFilemask, filemask);
    putText(r, kReference, reference);
    putText(r, kSeparator, separator);
    r[kUseFormattedSubject] = useFormattedSubject;
    r[kPadding2371] = padding2371;
    putText(r, kAuthorLogo, authorLogo);
    putText(r, kBackgroundImage, backgroundImage);
    putBytes(r, kPadding2894, padding2894);
    putInt(r, kFontColour, fontColour);
    putInt(r, kBackgroundColour, backgroundColour);
    r[kUseUuencoding] = useUuencoding;
    r[kScramble] = scramble;
    r[kUuencodeFirstOnly] = uuencodeFirstOnly;
    r[kNonFolderLike] = nonFolderLikeSubject;
    r[kContactSheets] = contactSheets;
    putBytes(r, kPadding2909, padding2909);
    putBytes(r, kPar2Area, par2Area);
    return r;
}

ProfileData ProfileData::fromBytes(const std::uint8_t* b) {
    ProfileData p;
    // A switch is on only when its byte is 1.
    auto on = [b](std::size_t at) { return b[at] == 1; };
    p.version = static_cast<std::int32_t>(getInt(b, kVersion));
    p.recordSize = static_cast<std::int32_t>(getInt(b, kRecordSize));
    p.port = static_cast<std::int32_t>(getInt(b, kPort));
    p.server = getText(b, kServer);
    p.useAuthentication = on(kUseAuthentication);
    p.userName = getText(b, kUserName);
    p.password = getText(b, kPassword);
    p.maxLines = static_cast<std::int32_t>(getInt(b, kMaxLines));
    p.maxBandwidth = static_cast<std::int32_t>(getInt(b, kMaxBandwidth));
    p.author = getText(b, kAuthor);
    p.subject = getText(b, kSubject);
    p.newsgroups = getText(b, kNewsgroups);
    p.filemask = getText(b, kFilemask);
    p.reference = getText(b, kReference);
    p.separator = getText(b, kSeparator);
    p.useFormattedSubject = on(kUseFormattedSubject);
    p.padding2371 = b[kPadding2371];
    p.authorLogo = getText(b, kAuthorLogo);
    p.backgroundImage = getText(b, kBackgroundImage);
    p.padding2894 = getBytes<2>(b, kPadding2894);
    p.fontColour = getInt(b, kFontColour);
    p.backgroundColour = getInt(b, kBackgroundColour);
    p.useUuencoding = on(kUseUuencoding);
    p.scramble = on(kScramble);
    p.uuencodeFirstOnly = on(kUuencodeFirstOnly);
    p.nonFolderLikeSubject = on(kNonFolderLike);
    p.contactSheets = on(kContactSheets);
    p.padding2909 = getBytes<3>(b, kPadding2909);
    p.par2Area = getBytes<20>(b, kPar2Area);
    return p;
}

ProfileLoad readProfileFile(const QString& path, ProfileData& out) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return ProfileLoad::CannotOpen;
    Record r{};
    if (file.read(reinterpret_cast<char*>(r.data()), kProfileSize) != static_cast<qint64>(kProfileSize))
        return ProfileLoad::ReadFailure;
    if (static_cast<std::int32_t>(getInt(r.data(), kVersion)) != kProfileVersion ||
        getInt(r.data(), kRecordSize) != kProfileSize)
        return ProfileLoad::WrongVersion;
    out = ProfileData::fromBytes(r.data());
    const QByteArray rest = file.read(1 << 20);
    out.extras = ProfileExtras::fromBlock(rest.toStdString());
    return ProfileLoad::Loaded;
}

bool saveProfileFile(const QString& path, const ProfileData& profile) {
    // Owner-only: the record holds the server password in clear text, and
    // the format has to stay as it is. Replaced whole, so a full disk leaves
    // the old profile rather than an empty one.
    const Record r = profile.toBytes();
    const std::string bytes =
        std::string(reinterpret_cast<const char*>(r.data()), r.size()) + profile.extras.toBlock();
    return common::replaceFile(QFile::encodeName(path).toStdString(), bytes, 0600);
}

}  // namespace tskivor
