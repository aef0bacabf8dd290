// The posting profile: one fixed-size record of 2932 bytes, little-endian,
// written to ".tprf" files field by field at fixed offsets.
#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tskivor {

inline constexpr std::int32_t kProfileVersion = 36;
inline constexpr std::size_t kProfileSize = 2932;
// A text field is 261 bytes: at most 260 bytes of UTF-8 and a NUL.
inline constexpr std::size_t kTextFieldBytes = 261;
inline constexpr std::size_t kTextMaxBytes = kTextFieldBytes - 1;

// The PAR2 page's values, kept in the record's 20-byte PAR2 area
// (little-endian): on (byte 0), percentage (1), recovery file count (2-3),
// equal sizes (4), block count (8-11), block size (12-19). All zero, as in
// profiles of the original layout, means off.
struct Par2Settings {
    bool on = false;
    int percent = 15;
    int files = 0;
    bool equal = false;
    std::uint32_t blocks = 0;
    std::uint64_t blockSize = 0;
    bool operator==(const Par2Settings&) const = default;
};

// What a profile keeps beyond the record: a block after its 2932 bytes
// ("TSKX", a 4-byte little-endian length, then "key<TAB>value" lines), which
// older versions, reading the record alone, pass over. A profile without it
// has the old behaviour: a terminal window per job.
struct ProfileExtras {
    bool terminal = true;      // "Run each job in a terminal window"
    int jobsAtOnce = 1;        // runners at once
    std::string nzbPath;       // empty: one NZB per job in the data folder
    std::string backupServer;  // host[:port]
    std::string backupUser, backupPassword;
    bool backupTls = false;
    std::string proxy;         // socks5://[user:password@]host:port
    bool privatePosting = false;
    std::string nzbTitle, nzbPassword, nzbCategory;
    bool archive = false;         // "Pack into a password-protected archive"
    std::string archivePassword;  // empty: a random one for each posting
    int volumeMiB = 50;
    std::string checkServer;   // host[:port] that /check asks; empty: the server posted on
    int checkDelay = -1;       // seconds before the check asks; -1: the runner's own
    std::string domain;        // of the Message-IDs; empty: the runner's own
    std::string afterCommand;  // run once a job's NZB file is written
    std::string nzbTags;       // comma-separated, each an NZB tag
    bool eachRelease = false;  // "/each": every subfolder a release with its own NZB file
    bool operator==(const ProfileExtras&) const = default;

    std::string toBlock() const;
    // From the bytes after the record; defaults for what is not there.
    static ProfileExtras fromBlock(const std::string& bytes);
};

struct ProfileData {
    std::int32_t version = 0;
    std::int32_t recordSize = 0;
    // Server settings.
    std::int32_t port = 0;
    std::string server;
    bool useAuthentication = false;
    std::string userName;
    std::string password;
    std::int32_t maxLines = 0;
    // Post fields.
    std::int32_t maxBandwidth = 0;
    std::string author;
    std::string subject;
    std::string newsgroups;
    std::string filemask;
    std::string reference;
    std::string separator;
    bool useFormattedSubject = false;
    std::uint8_t padding2371 = 0;
    // Contact-sheet settings.
    std::string authorLogo;
    std::string backgroundImage;
    std::array<std::uint8_t, 2> padding2894{};
    std::uint32_t fontColour = 0;        // 0xRRGGBB
    std::uint32_t backgroundColour = 0;  // 0xRRGGBB
    // Posting-style switches.
    bool useUuencoding = false;
    bool scramble = false;
    bool uuencodeFirstOnly = false;
    bool nonFolderLikeSubject = false;
    bool contactSheets = false;
    // These three bytes are our TLS, post-check and resume switches (1 =
    // on); a profile of the original layout has 0 there.
    std::array<std::uint8_t, 3> padding2909{};
    std::array<std::uint8_t, 20> par2Area{};
    ProfileExtras extras;

    // Connections at once, in the byte after the formatted-subject switch;
    // a profile of the original layout has 0 there, which means 1.
    int connections() const { return padding2371 == 0 ? 1 : padding2371; }
    void setConnections(int n) { padding2371 = static_cast<std::uint8_t>(n <= 1 ? 0 : n > 64 ? 64 : n); }

    // The PAR2 page's values; the page's defaults when the area is all zero.
    Par2Settings par2() const;
    void setPar2(const Par2Settings& settings);

    bool useTls() const { return padding2909[0] == 1; }
    void setUseTls(bool on) { padding2909[0] = on ? 1 : 0; }
    bool checkPosts() const { return padding2909[1] == 1; }
    void setCheckPosts(bool on) { padding2909[1] = on ? 1 : 0; }
    bool resume() const { return padding2909[2] == 1; }
    void setResume(bool on) { padding2909[2] = on ? 1 : 0; }

    // What the main window starts with when no profile was loaded.
    static ProfileData defaults();

    std::array<std::uint8_t, kProfileSize> toBytes() const;
    // `bytes` holds at least kProfileSize bytes.
    static ProfileData fromBytes(const std::uint8_t* bytes);

    bool operator==(const ProfileData&) const = default;
};

// The longest prefix of `text` that fits a text field without cutting a
// UTF-8 sequence.
std::string fitTextField(const std::string& text);
std::size_t fittingLength(const QString& text, std::size_t maxBytes = kTextMaxBytes);

// A record field as shown: UTF-8, or Latin-1 where the bytes are not UTF-8
// (profiles written under an 8-bit code page).
QString fieldText(const std::string& bytes);
// What to store for a field shown as `shown`: the record's own bytes while
// the text is as they showed, so a load and save keeps every byte; else
// UTF-8 that fits the field.
std::string fieldBytes(const QString& shown, const std::string& original);

enum class ProfileLoad { Loaded, CannotOpen, ReadFailure, WrongVersion };

// Reads a profile file; `out` changes only when the result is Loaded.
ProfileLoad readProfileFile(const QString& path, ProfileData& out);
// Writes the record to a new file that then replaces `path`, owner-only
// (the record holds the server password); false when it could not.
bool saveProfileFile(const QString& path, const ProfileData& profile);

}  // namespace tskivor
