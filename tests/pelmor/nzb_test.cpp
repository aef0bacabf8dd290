// NZB output, read back with a real XML parser (expat).
#include "post/nzb.h"

#include <expat.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "post/run.h"
#include "fake_nntp_server.h"
#include "posting_run.h"
#include "kelvo_exception.h"
#include "test_support.h"

#include <atomic>
#include <thread>

using namespace pelmor;
using testing_support::Args;
using testing_support::JobHarness;
using testing_support::randomBytes;
using testing_support::readFile;
using testing_support::ScriptedNntpServer;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct ParsedNzb {
    bool wellFormed = false;
    std::string xmlns;
    std::vector<NzbFile> files;
};

ParsedNzb parseNzb(const std::string& text) {
    struct State {
        ParsedNzb nzb;
        std::string chars;
        NzbSegment segment{};
    } st;
    XML_Parser p = XML_ParserCreate("UTF-8");
    XML_SetUserData(p, &st);
    XML_SetElementHandler(
        p,
        [](void* data, const char* name, const char** attrs) {
            auto& s = *static_cast<State*>(data);
            s.chars.clear();
            auto attr = [&](const char* key) -> std::string {
                for (int i = 0; attrs[i]; i += 2)
                    if (std::string(attrs[i]) == key) return attrs[i + 1];
                return {};
            };
            const std::string n = name;
            if (n == "nzb") s.nzb.xmlns = attr("xmlns");
            if (n == "file") s.nzb.files.push_back({attr("poster"), std::stoll(attr("date")), attr("subject"), {}, {}, {}, 0});
            if (n == "segment") s.segment = {"", std::stoull(attr("bytes")), std::stoi(attr("number"))};
        },
        [](void* data, const char* name) {
            auto& s = *static_cast<State*>(data);
            const std::string n = name;
            if (n == "group") s.nzb.files.back().groups.push_back(s.chars);
            if (n == "segment") {
                s.segment.messageId = s.chars;
                s.nzb.files.back().segments.push_back(s.segment);
            }
        });
    XML_SetCharacterDataHandler(p, [](void* data, const char* chars, int len) {
        static_cast<State*>(data)->chars.append(chars, static_cast<std::size_t>(len));
    });
    st.nzb.wellFormed = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(p);
    return st.nzb;
}

struct NzbRun : testing_support::PostingRun {
    NzbRun()
        : PostingRunOn({"-from", "Ann <ann@example.org>", "-subject", "Set", "-newsgroups", "alt.a,alt.b", "-lines", "2",
                        "-out", "posted.nzb"}) {}
};

}  // namespace

TEST(Nzb, EverySegmentMatchesWhatTheServerAccepted) {
    NzbRun h;
    writeFile("a & <b>.jpg", randomBytes(600, 1));
    writeFile("caf\xc3\xa9 \xe9.jpg", "x");  // UTF-8 and a stray Latin-1 byte
    h.server.script->articleReplies = {"240 ok", "441 refused once"};
    h.run({"a & <b>.jpg", "caf\xc3\xa9 \xe9.jpg"});
    const ParsedNzb nzb = parseNzb(readFile("posted.nzb"));
    ASSERT_TRUE(nzb.wellFormed);
    EXPECT_EQ(nzb.xmlns, "http://www.newzbin.com/DTD/2003/nzb");
    ASSERT_EQ(nzb.files.size(), 2u);
    const auto articles = h.server.server().articles();
    ASSERT_EQ(articles.size(), 5u);  // 3 parts, one of them twice, and the second file
    const auto& first = nzb.files[0];
    EXPECT_EQ(first.subject, "Set [1/2] 600 bytes - yEnc \"a & <b>.jpg\" (1/3)");
    EXPECT_EQ(first.poster, "Ann <ann@example.org>");
    EXPECT_THAT(first.groups, testing::ElementsAre("alt.a", "alt.b"));
    ASSERT_EQ(first.segments.size(), 3u);
    // The refused attempt's id is not there; the retried part appears once.
    const std::vector<std::size_t> accepted{0, 2, 3};
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& seg = first.segments[i];
        const auto& art = articles[accepted[i]];
        EXPECT_EQ(seg.number, static_cast<int>(i + 1));
        EXPECT_EQ("<" + seg.messageId + ">", art.header("Message-ID"));
        EXPECT_EQ(seg.bytes, art.text().size());  // the article as handed over, without the end line
    }
    EXPECT_EQ(nzb.files[1].subject, "Set [2/2] 1 bytes - yEnc \"caf\xc3\xa9 \xc3\xa9.jpg\" (1/1)");
}

TEST(Nzb, EveryWayOutRecordsWhatWasAccepted) {
    // The file vanishes after its first part: the job ends, the part stays in the NZB.
    NzbRun h;
    writeFile("gone.jpg", randomBytes(900, 2));
    h.server.script->onArticle = [] { std::filesystem::remove("gone.jpg"); };
    EXPECT_THROW(h.run({"gone.jpg"}), ProcessExit);
    ParsedNzb nzb = parseNzb(readFile("posted.nzb"));
    ASSERT_TRUE(nzb.wellFormed);
    ASSERT_EQ(nzb.files.size(), 1u);
    EXPECT_EQ(nzb.files[0].segments.size(), 1u);

    // A save that fails after posting makes the job fail, not exit 0.
    NzbRun late;
    writeFile("a.jpg", "a");
    late.server.script->onArticle = [&late] { std::filesystem::create_directory(late.dir / "posted.nzb"); };
    try {
        late.run({"a.jpg"});
        ADD_FAILURE() << "the job passed";
    } catch (const Kelvo_Exception& e) {
        EXPECT_THAT(e.message, testing::HasSubstr("could not be saved"));
    }
    EXPECT_THAT(late.log.str(), testing::HasSubstr("Unable to write the NZB file posted.nzb"));
}

TEST(Nzb, UnsafeTargetsAreRefusedBeforePosting) {
    TempDir dir;
    ASSERT_EQ(mkfifo("fifo.nzb", 0600), 0);
    std::filesystem::create_symlink("/dev/zero", "zero.nzb");
    std::filesystem::create_directory("folder.nzb");
    NzbWriter w;
    std::string error;
    for (const char* bad : {"fifo.nzb", "zero.nzb", "folder.nzb"}) {
        EXPECT_FALSE(w.open(bad, error)) << bad;
        EXPECT_THAT(error, testing::HasSubstr("is not a regular file")) << bad;
    }
    EXPECT_FALSE(w.open("no/such/folder/x.nzb", error));
    EXPECT_THAT(error, testing::HasSubstr("Unable to write the NZB file no/such/folder/x.nzb"));
    // The job refuses it before anything is posted.
    NzbRun h;
    std::filesystem::create_directory("posted.nzb");
    writeFile("a.jpg", "a");
    EXPECT_THROW(h.run({"a.jpg"}), Kelvo_Exception);
    EXPECT_TRUE(h.server.server().articles().empty());
}

TEST(Nzb, StrictUtf8AndTabsKeepTheFileWellFormed) {
    TempDir dir;
    NzbWriter w;
    std::string error;
    ASSERT_TRUE(w.open("x.nzb", error));
    // Surrogate, U+FFFE, overlong "/", beyond U+10FFFF, DEL, a TAB.
    const std::string hostile = "a\xED\xA0\x80" "b\xEF\xBF\xBE" "c\xC0\xAF" "d\xF4\x90\x80\x80" "e\x7F\tf \xE2\x82\xAC";
    w.add(NzbFile{hostile, 1, hostile, {"alt.test"}, {{"id@x", 10, 1}}, "name", 5});
    ASSERT_TRUE(w.save(error)) << error;
    const ParsedNzb nzb = parseNzb(readFile("x.nzb"));
    ASSERT_TRUE(nzb.wellFormed);
    ASSERT_EQ(nzb.files.size(), 1u);
    EXPECT_THAT(nzb.files[0].subject, testing::HasSubstr("?\tf \xE2\x82\xAC"));  // TAB kept, euro sign kept
    EXPECT_EQ(nzb.files[0].subject.find("\xED\xA0"), std::string::npos);
}

// Writers of one NZB merge instead of dropping each other, one after the
// other and at the very same time: the second, started while the first is
// between reading and replacing the file, waits for it and then keeps what
// it wrote.
TEST(Nzb, WritersOfTheSameFileMergeAndTakeTurns) {
    TempDir dir;
    NzbWriter one, two;
    std::string error;
    ASSERT_TRUE(one.open("shared.nzb", error));
    ASSERT_TRUE(two.open("shared.nzb", error));
    const auto file = [](const char* subject) { return NzbFile{"p", 1, subject, {"g"}, {{subject, 1, 1}}, subject, 1}; };
    const auto subjects = [] {
        std::vector<std::string> out;
        for (const auto& f : parseNzb(readFile("shared.nzb")).files) out.push_back(f.subject);
        return out;
    };
    one.add(file("A"));
    ASSERT_TRUE(one.save(error));
    two.add(file("B"));
    ASSERT_TRUE(two.save(error));
    one.add(file("C"));
    ASSERT_TRUE(one.save(error));
    EXPECT_THAT(subjects(), testing::ElementsAre("B", "A", "C"));

    NzbWriter three, four;
    ASSERT_TRUE(three.open("shared.nzb", error));
    ASSERT_TRUE(four.open("shared.nzb", error));
    three.add(file("D"));
    four.add(file("E"));
    std::atomic<bool> secondDone{false};
    std::thread second;
    three.setSaveHook([&] {
        second = std::thread([&] {
            std::string e;
            EXPECT_TRUE(four.save(e)) << e;
            secondDone = true;
        });
        // Without a lock it would be done long before this.
        for (int i = 0; i < 50 && !secondDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(secondDone) << "the second save went ahead inside the first";
    });
    ASSERT_TRUE(three.save(error)) << error;
    second.join();
    EXPECT_THAT(subjects(), testing::UnorderedElementsAre("B", "A", "C", "D", "E"));
}

// Everything outside the <file> elements stays as it was: the head an
// indexer wrote (title, password, category) and comments; meta entries a
// writer adds go into that head once.
TEST(Nzb, TheHeadAndAllOutsideTheFilesIsKept) {
    TempDir dir;
    const std::string head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- made by hand -->\n<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">\n"
        " <head>\n  <meta type=\"title\">Holiday</meta>\n  <meta type=\"password\">s3cret</meta>\n </head>\n";
    writeFile("x.nzb", head + " <file poster=\"p\" date=\"1\" subject=\"old\">\n  <groups><group>g</group></groups>\n"
                               "  <segments><segment bytes=\"1\" number=\"1\">o@x</segment></segments>\n </file>\n</nzb>\n");
    NzbWriter w;
    std::string error;
    ASSERT_TRUE(w.open("x.nzb", error)) << error;
    w.add(NzbFile{"p", 1, "new", {"g"}, {{"n@x", 1, 1}}, "n", 1});
    w.setMeta({{"title", "Holiday"}, {"category", "Pictures"}});
    ASSERT_TRUE(w.save(error)) << error;
    const std::string text = readFile("x.nzb");
    EXPECT_THAT(text, testing::StartsWith(head.substr(0, head.find("</head>"))));
    EXPECT_THAT(text, testing::HasSubstr("<!-- made by hand -->"));
    EXPECT_EQ(text.find("type=\"title\""), text.rfind("type=\"title\"")) << "not twice";
    EXPECT_THAT(text, testing::HasSubstr("<meta type=\"category\">Pictures</meta>"));
    EXPECT_LT(text.find("type=\"category\""), text.find("</head>")) << "inside the head";
    const ParsedNzb nzb = parseNzb(text);
    ASSERT_TRUE(nzb.wellFormed);
    ASSERT_EQ(nzb.files.size(), 2u);
    // A new file gets the head too.
    NzbWriter fresh;
    ASSERT_TRUE(fresh.open("y.nzb", error));
    fresh.setMeta({{"title", "A & B"}});
    fresh.add(NzbFile{"p", 1, "s", {"g"}, {{"i@x", 1, 1}}, "n", 1});
    ASSERT_TRUE(fresh.save(error));
    EXPECT_THAT(readFile("y.nzb"), testing::HasSubstr("<head>\n  <meta type=\"title\">A &amp; B</meta>\n </head>"));
    EXPECT_TRUE(parseNzb(readFile("y.nzb")).wellFormed);
}

// Files named like a journal that are no regular file of ours are never
// read (a FIFO hung the run; a link or a file others may write could steer
// a resume), only named, and left as they are.
TEST(Nzb, OnlyOurOwnJournalsAreRead) {
    TempDir dir;
    writeFile("elsewhere.txt", "J2\tzz\n");
    ASSERT_EQ(mkfifo("j.nzb.journal.999999.1", 0600), 0);
    ASSERT_EQ(symlink("elsewhere.txt", "j.nzb.journal.999999.2"), 0);
    writeFile("j.nzb.journal.999999.3", "");
    chmod("j.nzb.journal.999999.3", 0666);
    NzbWriter w;
    std::string error;
    ASSERT_TRUE(w.open("j.nzb", error)) << error;
    ASSERT_EQ(w.notes().size(), 3u);
    for (const auto& note : w.notes()) EXPECT_THAT(note, testing::HasSubstr("is no regular file of yours"));
    for (const char* left : {"j.nzb.journal.999999.1", "j.nzb.journal.999999.2", "j.nzb.journal.999999.3"})
        EXPECT_TRUE(std::filesystem::symlink_status(left).type() != std::filesystem::file_type::not_found) << left;
}

// The file's mode: a new one's from the umask, an existing one's kept (a
// resume kept 0600 no longer), never more than the owner's with a password.
TEST(Nzb, TheModeFollowsTheUmaskAndTheFileAndAPasswordKeepsItPrivate) {
    TempDir dir;
    const struct {
        mode_t umask;
        int existing;  // -1: no file yet
        bool password;
        mode_t mode;
    } cases[] = {{022, -1, false, 0644}, {077, -1, false, 0600}, {022, 0600, false, 0600},
                 {022, 0640, false, 0640}, {022, -1, true, 0600}, {002, 0664, true, 0600}};
    for (const auto& c : cases) {
        std::filesystem::remove("m.nzb");
        if (c.existing >= 0) {
            writeFile("m.nzb", "");
            chmod("m.nzb", static_cast<mode_t>(c.existing));
        }
        const mode_t was = umask(c.umask);
        NzbWriter w;
        std::string error;
        ASSERT_TRUE(w.open("m.nzb", error)) << error;
        if (c.password) w.setMeta({{"password", "pw"}});
        w.add(NzbFile{"p", 1, "s", {"g"}, {{"i@x", 1, 1}}, "n", 1});
        ASSERT_TRUE(w.save(error)) << error;
        umask(was);
        struct stat st {};
        ASSERT_EQ(stat("m.nzb", &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << std::oct << c.umask << " " << c.existing << " " << c.password;
    }
}

TEST(Nzb, LaterJobsAddToAnExistingNzbButNeverOverwriteOtherFiles) {
    NzbRun h;
    writeFile("a.jpg", "a");
    h.run({"a.jpg"});
    writeFile("b.jpg", "b");
    h.runAgain({"-from", "f", "-subject", "Two", "-newsgroups", "g", "b.jpg"});
    const ParsedNzb nzb = parseNzb(readFile("posted.nzb"));
    ASSERT_TRUE(nzb.wellFormed);
    ASSERT_EQ(nzb.files.size(), 2u);
    EXPECT_THAT(nzb.files[1].subject, testing::StartsWith("Two "));

    writeFile("notes.txt", "my notes");
    NzbWriter w2;
    std::string error;
    EXPECT_FALSE(w2.open("notes.txt", error));
    EXPECT_THAT(error, testing::HasSubstr("is not an NZB file"));
    EXPECT_EQ(readFile("notes.txt"), "my notes");
}
