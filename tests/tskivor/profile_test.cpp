#include "profile.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QSettings>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "intro_text.h"
#include "last_used.h"
#include "test_support.h"

using namespace tskivor;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

ProfileData everyFieldSet() {
    ProfileData p;
    p.version = 36;
    p.recordSize = 2932;
    p.port = 563;
    p.server = "news.example.org";
    p.useAuthentication = true;
    p.userName = "user";
    p.password = "sécret";
    p.maxLines = 3000;
    p.maxBandwidth = 64;
    p.author = "Me <me@example.org>";
    p.subject = "Oaks $F";
    p.newsgroups = "alt.binaries.test";
    p.filemask = "*.jpg";
    p.reference = "<ref@example.org>";
    p.separator = " - ";
    p.useFormattedSubject = true;
    p.padding2371 = 0x71;
    p.authorLogo = "/logo.png";
    p.backgroundImage = "/bg.jpg";
    p.padding2894 = {0xA1, 0xA2};
    p.fontColour = 0xFF8000;
    p.backgroundColour = 0x123456;
    p.useUuencoding = true;
    p.scramble = true;
    p.uuencodeFirstOnly = true;
    p.nonFolderLikeSubject = true;
    p.contactSheets = true;
    p.padding2909 = {1, 0xB2, 0xB3};
    for (int i = 0; i < 20; ++i) p.par2Area[i] = static_cast<std::uint8_t>(0xC0 + i);
    p.extras = {false, 3, "/nzb/a b.nzb", "backup:563", "ann", "t\tab\nnew\\line", true, "socks5://p:1", true,
                "Title", "pw", "Cat", true, "arch pw", 20, "check:119", 7, "pix.example.net", "./up.sh", "a,b", true};
    return p;
}

void putLe(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void putStr(std::vector<std::uint8_t>& b, std::size_t at, const char* s) { std::memcpy(&b[at], s, std::strlen(s)); }

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& b) {
    writeFile(path, std::string(b.begin(), b.end()));
}

}  // namespace

TEST(Profile, RoundTripOfEveryFieldThroughAFile) {
    TempDir dir;
    const ProfileData p = everyFieldSet();
    const QString path = QString::fromStdString(dir.path() + "/job.tprf");
    ASSERT_TRUE(saveProfileFile(path, p));
    // The record first, as older versions read it; the extras after it.
    const std::string bytes = readFile(dir.path() + "/job.tprf");
    const auto record = p.toBytes();
    EXPECT_EQ(bytes.substr(0, kProfileSize), std::string(record.begin(), record.end()));
    EXPECT_EQ(bytes.substr(kProfileSize, 4), "TSKX");
    struct stat st{};
    ASSERT_EQ(stat((dir.path() + "/job.tprf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the profile holds the password";

    ProfileData back;
    ASSERT_EQ(readProfileFile(path, back), ProfileLoad::Loaded);
    EXPECT_EQ(back, p);
    EXPECT_TRUE(back.useTls());
    // A profile of the record alone (an older version's) keeps its
    // terminal windows; a new one shows its jobs in the window.
    writeFile(dir.path() + "/old.tprf", bytes.substr(0, kProfileSize));
    ASSERT_EQ(readProfileFile(QString::fromStdString(dir.path() + "/old.tprf"), back), ProfileLoad::Loaded);
    EXPECT_EQ(back.extras, ProfileExtras{});
    EXPECT_TRUE(back.extras.terminal);
    EXPECT_FALSE(ProfileData::defaults().extras.terminal);

    // A save that cannot finish leaves what was there and no stray file.
    std::filesystem::create_directory(dir.path() + "/taken.tprf");
    EXPECT_FALSE(saveProfileFile(QString::fromStdString(dir.path() + "/taken.tprf"), p));
    EXPECT_FALSE(saveProfileFile(QString::fromStdString(dir.path() + "/no/dir.tprf"), p));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
}

TEST(Profile, ARecordWrittenByteByByteLoadsWithTheRightValues) {
    // Laid out by hand, independent of the serialiser.
    const struct {
        std::size_t at;
        const char* text;
        std::string ProfileData::*field;
    } texts[] = {{12, "news.example.net", &ProfileData::server}, {274, "joe", &ProfileData::userName},
                 {535, "pw", &ProfileData::password}, {804, "Joe <joe@example.net>", &ProfileData::author},
                 {1065, "Subject", &ProfileData::subject}, {1326, "alt.binaries.test", &ProfileData::newsgroups},
                 {1587, "*.*", &ProfileData::filemask}, {1848, "<r@x>", &ProfileData::reference},
                 {2109, "\\", &ProfileData::separator}, {2372, "logo.png", &ProfileData::authorLogo},
                 {2633, "bg.png", &ProfileData::backgroundImage}};
    const struct {
        std::size_t at;
        std::int32_t value;
        std::int32_t ProfileData::*field;
    } numbers[] = {
        {8, 8119, &ProfileData::port}, {796, 2500, &ProfileData::maxLines}, {800, 7, &ProfileData::maxBandwidth}};
    // Switch bytes: only 1 means on.
    const struct {
        std::size_t at;
        std::uint8_t value;
        bool ProfileData::*field;
    } switches[] = {{273, 1, &ProfileData::useAuthentication}, {2370, 1, &ProfileData::useFormattedSubject},
                    {2904, 0, &ProfileData::useUuencoding},     {2905, 2, &ProfileData::scramble},
                    {2906, 1, &ProfileData::uuencodeFirstOnly}, {2907, 1, &ProfileData::nonFolderLikeSubject},
                    {2908, 1, &ProfileData::contactSheets}};
    std::vector<std::uint8_t> b(kProfileSize, 0);
    putLe(b, 0, 36);
    putLe(b, 4, 2932);
    for (const auto& t : texts) putStr(b, t.at, t.text);
    for (const auto& n : numbers) putLe(b, n.at, static_cast<std::uint32_t>(n.value));
    for (const auto& s : switches) b[s.at] = s.value;
    putLe(b, 2896, 0x000000);
    putLe(b, 2900, 0xFFFFFF);
    b[2912] = 0xEE;
    b[2931] = 0xEF;
    TempDir dir;
    writeBytes(dir.path() + "/hand.tprf", b);
    ProfileData p;
    ASSERT_EQ(readProfileFile(QString::fromStdString(dir.path() + "/hand.tprf"), p), ProfileLoad::Loaded);
    for (const auto& t : texts) EXPECT_EQ(p.*(t.field), t.text) << t.at;
    for (const auto& n : numbers) EXPECT_EQ(p.*(n.field), n.value) << n.at;
    for (const auto& s : switches) EXPECT_EQ(p.*(s.field), s.value == 1) << s.at;
    EXPECT_EQ(p.fontColour, 0u);
    EXPECT_EQ(p.backgroundColour, 0xFFFFFFu);
    EXPECT_FALSE(p.useTls()) << "the original layout has 0 there";
    // Par2Area comes back byte for byte when written again.
    const auto again = p.toBytes();
    EXPECT_EQ(again[2912], 0xEE);
    EXPECT_EQ(again[2931], 0xEF);
}

TEST(Profile, EachSwitchLivesInItsOwnByte) {
    // One switch on at a time, all others off (their default): a switch read
    // or written one byte off shows up as the wrong field or byte.
    const struct {
        std::size_t offset;
        bool ProfileData::*field;
    } switches[] = {
        {273, &ProfileData::useAuthentication}, {2370, &ProfileData::useFormattedSubject},
        {2904, &ProfileData::useUuencoding},    {2905, &ProfileData::scramble},
        {2906, &ProfileData::uuencodeFirstOnly}, {2907, &ProfileData::nonFolderLikeSubject},
        {2908, &ProfileData::contactSheets},
    };
    for (const auto& on : switches) {
        std::array<std::uint8_t, kProfileSize> bytes{};
        bytes[on.offset] = 1;
        const ProfileData p = ProfileData::fromBytes(bytes.data());
        for (const auto& other : switches) EXPECT_EQ(p.*(other.field), &other == &on) << on.offset << " " << other.offset;
        EXPECT_FALSE(p.useTls()) << on.offset;
        EXPECT_EQ(p.toBytes(), bytes) << on.offset;
    }
    // Our own switches, one byte each after the TLS one; zeros in older profiles.
    for (std::size_t at : {2909u, 2910u, 2911u}) {
        std::array<std::uint8_t, kProfileSize> one{};
        one[at] = 1;
        const ProfileData p = ProfileData::fromBytes(one.data());
        EXPECT_EQ(std::vector<bool>({p.useTls(), p.checkPosts(), p.resume()}),
                  std::vector<bool>({at == 2909, at == 2910, at == 2911}));
    }
    // The PAR2 area: zeros are off with the page's defaults; values round trip.
    EXPECT_EQ(ProfileData{}.par2(), Par2Settings{});
    ProfileData withPar2;
    const Par2Settings set{true, 12, 300, true, 32768, (1ull << 33) + 4};
    withPar2.setPar2(set);
    EXPECT_EQ(ProfileData::fromBytes(withPar2.toBytes().data()).par2(), set);
    withPar2.setPar2(Par2Settings{});
    EXPECT_TRUE(std::all_of(withPar2.par2Area.begin(), withPar2.par2Area.end(), [](auto b) { return b == 0; }));
    std::array<std::uint8_t, kProfileSize> tls{};
    tls[2909] = 1;
    // Connections in byte 2371: 0 (an older profile) reads as 1.
    EXPECT_EQ(ProfileData::fromBytes(tls.data()).connections(), 1);
    ProfileData eight = ProfileData::fromBytes(tls.data());
    eight.setConnections(8);
    EXPECT_EQ(eight.toBytes()[2371], 8);
    eight.setConnections(1);
    EXPECT_EQ(eight.toBytes()[2371], 0) << "one connection keeps the original layout";
}

TEST(Profile, SizesVersionsAndTruncationAtEveryLength) {
    TempDir dir;
    const auto full = everyFieldSet().toBytes();
    const std::string path = dir.path() + "/p.tprf";
    const QString qpath = QString::fromStdString(path);
    ProfileData p = ProfileData::defaults();
    const ProfileData before = p;
    // Every shorter file is a read failure and changes nothing.
    for (std::size_t n = 0; n < kProfileSize; ++n) {
        writeBytes(path, std::vector<std::uint8_t>(full.begin(), full.begin() + static_cast<long>(n)));
        ASSERT_EQ(readProfileFile(qpath, p), ProfileLoad::ReadFailure) << n;
    }
    EXPECT_EQ(p, before);
    std::vector<std::uint8_t> longer(full.begin(), full.end());
    longer.push_back(0x55);
    writeBytes(path, longer);
    EXPECT_EQ(readProfileFile(qpath, p), ProfileLoad::Loaded);
    ProfileData recordOnly = everyFieldSet();
    recordOnly.extras = {};  // bytes after the record that are no extras block are passed over
    EXPECT_EQ(p, recordOnly);

    p = before;
    std::vector<std::uint8_t> old(full.begin(), full.end());
    old[0] = 35;
    writeBytes(path, old);
    EXPECT_EQ(readProfileFile(qpath, p), ProfileLoad::WrongVersion);
    old[0] = 36;
    old[4] = 0;
    writeBytes(path, old);
    EXPECT_EQ(readProfileFile(qpath, p), ProfileLoad::WrongVersion);
    EXPECT_EQ(p, before);
    EXPECT_EQ(readProfileFile(QString::fromStdString(dir.path() + "/missing.tprf"), p), ProfileLoad::CannotOpen);
}

TEST(Profile, TextFieldsHoldAtMost260BytesWithoutCuttingCharacters) {
    ProfileData p;
    p.subject = std::string(259, 'a') + "é";  // 261 bytes: the "é" does not fit
    p.author = std::string(300, 'b');
    const auto bytes = p.toBytes();
    const ProfileData back = ProfileData::fromBytes(bytes.data());
    EXPECT_EQ(back.subject, std::string(259, 'a'));
    EXPECT_EQ(back.author, std::string(260, 'b'));
    EXPECT_EQ(bytes[804 + 260], 0) << "the terminator stays in its field";
    EXPECT_EQ(fittingLength(QString(300, 'x')), 260u);
    EXPECT_EQ(fittingLength(QString::fromUtf8("ééé"), 5), 2u);
}

TEST(IntroText, LineEndsCompanionsAndSaveNames) {
    TempDir dir;
    const QString path = QString::fromStdString(dir.path() + "/job.ttxt");
    ASSERT_TRUE(writeIntroFile(path, QStringLiteral("one\ntwo\n")));
    EXPECT_EQ(readFile(dir.path() + "/job.ttxt"), "one\r\ntwo\r\n");
    QString text = QStringLiteral("old");
    EXPECT_EQ(readIntroFile(path, text), IntroRead::Read);
    EXPECT_EQ(text, QStringLiteral("one\ntwo\n"));

    writeFile(dir.path() + "/empty.ttxt", "");
    EXPECT_EQ(readIntroFile(QString::fromStdString(dir.path() + "/empty.ttxt"), text), IntroRead::Read);
    EXPECT_EQ(text, QStringLiteral("one\ntwo\n")) << "an empty file keeps the current text";
    EXPECT_EQ(readIntroFile(QString::fromStdString(dir.path() + "/none.ttxt"), text), IntroRead::CannotOpen);

    EXPECT_EQ(companionTextPath(QStringLiteral("/a/job.tprf")), QStringLiteral("/a/job.ttxt"));
    EXPECT_EQ(companionTextPath(QStringLiteral("/a.tprf/job.tprf")), QStringLiteral("/a.ttxt"));
    EXPECT_FALSE(companionTextPath(QStringLiteral("/a/job.TPRF")));
    EXPECT_FALSE(companionTextPath(QStringLiteral("/a/job.prf")));

    using P = std::pair<QString, QString>;
    EXPECT_EQ(saveNames(QStringLiteral("job")), P("job.tprf", "job.ttxt"));
    EXPECT_EQ(saveNames(QStringLiteral("job.TPRF")), P("job.TPRF", "job.ttxt"));
    EXPECT_EQ(saveNames(QStringLiteral(".tprf")), P(".tprf.tprf", ".tprf.ttxt"));
}

TEST(LastUsed, DefaultsOnceAndDeletedValuesStayDeleted) {
    TempDir dir;
    const QString file = QString::fromStdString(dir.path() + "/store.ini");
    auto store = openLastUsedStore(file);
    EXPECT_FALSE(lastUsedStoreExists(*store));
    // Nothing exists yet: remembering writes nothing.
    rememberLastUsed(*store, QStringLiteral("/x.tprf"), QStringLiteral("/x.ttxt"));
    EXPECT_FALSE(lastUsedValue(*store, kLastUsedProfile));

    writeDefaultLastUsed(*store, QStringLiteral("/home/u"));
    EXPECT_TRUE(lastUsedStoreExists(*store));
    EXPECT_EQ(lastUsedValue(*store, kLastUsedProfile), QStringLiteral("/home/u/default.tprf"));
    EXPECT_EQ(lastUsedValue(*store, kLastUsedIntroText), QStringLiteral("/home/u/default.ttxt"));

    store->remove(kLastUsedIntroText);
    rememberLastUsed(*store, QStringLiteral("/a/b.tprf"), QStringLiteral("/a/b.ttxt"));
    EXPECT_EQ(lastUsedValue(*store, kLastUsedProfile), QStringLiteral("/a/b.tprf"));
    EXPECT_FALSE(lastUsedValue(*store, kLastUsedIntroText));

    // A value longer than a stored path may be is neither read nor replaced.
    const QString longPath = QString(300, 'p');
    store->setValue(kLastUsedProfile, longPath);
    EXPECT_FALSE(lastUsedValue(*store, kLastUsedProfile));
    rememberLastUsed(*store, QStringLiteral("/c.tprf"), QStringLiteral("/c.ttxt"));
    EXPECT_EQ(store->value(kLastUsedProfile).toString(), longPath);

    // The user's own store is named after the organisation.
    EXPECT_TRUE(openLastUsedStore()->fileName().endsWith(QStringLiteral("/Ferrow Works.ini")))
        << openLastUsedStore()->fileName().toStdString();
}
