#include "net/nntp_session.h"

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_nntp_server.h"
#include "job/settings.h"
#include "kelvo_exception.h"
#include "net_support.h"
#include "test_support.h"

using namespace pelmor;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::ScriptedNntpServer;
using testing_support::SessionHarness;
using testing_support::TempDir;
using testing_support::writeFile;

TEST(NntpSession, ArticleOnTheWireAndBytesSent) {
    SessionHarness h;
    const std::string extra = "X-One: 1\nX-Two: 2";
    ASSERT_TRUE(h.session->post("alt.test", "Me <me@x.example>", "S", "<id@h>", "<ref@h>", &extra, "line1\r\nline2",
                                nullptr));
    const auto articles = h.server.server().articles();
    ASSERT_EQ(articles.size(), 1u);
    const std::string headers =
        "From: Me <me@x.example>\r\nSender: Me <me@x.example>\r\nNewsgroups: alt.test\r\nSubject: S\r\n"
        "Message-ID: <id@h>\r\nReferences: <ref@h>\r\nX-Newsposter: Tarvel Skivor pelmor v0.36\r\n"
        "X-One: 1\r\nX-Two: 2\r\n";
    EXPECT_EQ(articles[0].raw, headers + "\r\nline1\r\nline2\r\n");
    EXPECT_EQ(h.session->bytesSent(), headers.size() + 12);
    EXPECT_THAT(h.server.server().transcript(), ElementsAre("POST"));
    // Empty references: no References line; the block still ends with an empty line.
    ASSERT_TRUE(h.session->post("g", "f", "S", "<id2@h>", "", nullptr, "b", nullptr));
    EXPECT_EQ(h.server.server().articles()[1].raw,
              "From: f\r\nSender: f\r\nNewsgroups: g\r\nSubject: S\r\nMessage-ID: <id2@h>\r\n"
              "X-Newsposter: Tarvel Skivor pelmor v0.36\r\n\r\nb\r\n");
    h.session.reset();
    EXPECT_THAT(h.server.server().transcript(), ElementsAre("POST", "POST", "QUIT"));
    EXPECT_EQ(h.server.server().connections(), 1);
}

TEST(NntpSession, LoginOnlyWithAUserIdAndItsRefusals) {
    {
        SessionHarness h;
        h.server.script->greeting = "201 no posting";  // a greeting of 2xx without user id: no AUTHINFO
        ASSERT_TRUE(h.post("b"));
        EXPECT_THAT(h.server.server().transcript(), ElementsAre("POST"));
    }
    const Credentials joe{"joe", "pw"};
    {
        SessionHarness h(1, nullptr, "127.0.0.1", joe);
        ASSERT_TRUE(h.post("b"));
        ASSERT_TRUE(h.post("b"));  // logged in once
        EXPECT_THAT(h.server.server().transcript(),
                    ElementsAre("AUTHINFO USER joe", "AUTHINFO PASS pw", "POST", "POST"));
    }
    // Refused credentials stay refused: the texts name the reply and the
    // log-in, and waiting is not offered (one quick retry, then the job
    // ends); a 481 that speaks of a connection limit may pass.
    const struct {
        const char* userReply;
        const char* passReply;
        const char* message;
        int retryable;
    } refusals[] = {
        {"482 use SASL", nullptr, "Bad result while sending auth info:482 use SASL", kRetryOnce},
        {nullptr, "481 bad password", "Bad result while sending auth info481 bad password", kRetryOnce},
        {nullptr, "481 Too many connections from your host", "Bad result while sending auth info481 Too many",
         kRetryLater},
        {nullptr, "502 later", "Bad result while sending auth info502 later", kRetryLater},
    };
    for (const auto& r : refusals) {
        SessionHarness h(1, nullptr, "127.0.0.1", joe);
        if (r.userReply) h.server.script->userReplies = {r.userReply};
        if (r.passReply) h.server.script->passReplies = {r.passReply};
        int retryable = -1;
        const std::string message = h.failure("b", &retryable);
        EXPECT_THAT(message, testing::StartsWith(r.message));
        EXPECT_THAT(message, HasSubstr("(log-in as joe at 127.0.0.1:"));
        EXPECT_EQ(retryable, r.retryable) << message;
    }
}

TEST(NntpSession, ConnectionFailuresSayWhyAndWhetherWaitingHelps) {
    int closedPort = 0;
    ::close(testing_support::listenOnLoopback(1, closedPort));
    testing_support::ScriptedNntpServer plain;  // no TLS, and it wants a log-in to post
    plain.script->postReplies = {"480 authentication required", "480 authentication required"};
    testing_support::NetHarness<> h;
    SessionContext context{h.socket, 1, false, nullptr, 0};
    const auto fails = [&](const std::string& host, int port, bool tls = false) {
        NntpSession session(ServerSettings{host, port, tls, std::nullopt}, context);
        try {
            session.post("g", "f", "s", "<i@h>", "", nullptr, "b", nullptr);
        } catch (const Kelvo_Exception& e) {
            return std::make_pair(e.message, e.retryable);
        }
        return std::make_pair(std::string("posted"), -1);
    };
    // Nothing listens on the port: said so in words, a few quick tries (a
    // server may be restarting), never an hour of them.
    const std::string closed = "127.0.0.1:" + std::to_string(closedPort);
    const auto refused = fails("127.0.0.1", closedPort);
    EXPECT_EQ(refused.first, "Unable to create IP socket (" + closed + ": connect: Connection refused): " + closed +
                                 " refused the connection; check the server name and the port (/port=).");
    EXPECT_EQ(refused.second, kRetryFew);
    // TLS spoken to a plain port, and a log-in wanted but none given: no
    // wait mends either; the job ends at once saying what to change.
    const std::string at = "127.0.0.1:" + std::to_string(plain.port());
    const auto notTls = fails("127.0.0.1", plain.port(), true);
    EXPECT_THAT(notTls.first, testing::StartsWith("The server at " + at + " does not speak TLS; drop /ssl or use port 563"));
    EXPECT_EQ(notTls.second, kFatal);
    const auto login = fails("127.0.0.1", plain.port());
    EXPECT_EQ(login.first, "Bad result when beginning POST: 480 authentication required: the server at " + at +
                               " wants a log-in; give your user name and password (/u= and /p=).");
    EXPECT_EQ(login.second, kFatal);
    // A name that does not exist does not come to exist by waiting.
    const auto unknown = fails("no-such-host.invalid", 119);
    EXPECT_THAT(unknown.first, testing::StartsWith("Unable to create IP socket (no-such-host.invalid:119: cannot resolve"));
    if (ServerAddress("no-such-host.invalid", "119").unknownName()) {
        EXPECT_EQ(unknown.second, kRetryOnce);
    }
}

// STAT (RFC 3977 6.2.4): only 223 with the id asked for confirms, only 430
// and 423 say missing, 480 logs in and asks again, anything else cannot be
// read either way.
TEST(NntpSession, StatRepliesAreReadStrictly) {
    const struct {
        std::vector<std::string> replies;
        StatResult result;
    } cases[] = {
        {{"223 0 <a@b>"}, StatResult::Present},
        {{"223 0 <other@b>"}, StatResult::Unanswerable},
        {{"430 no such article"}, StatResult::Missing},
        {{"423 no such number"}, StatResult::Missing},
        {{"500 what?"}, StatResult::Unanswerable},
        {{"502 no permission"}, StatResult::Unanswerable},
        {{"480 log in first", "223 0 <a@b>"}, StatResult::Present},
        {{"480 log in first", "480 still not"}, StatResult::Unanswerable},
    };
    for (const auto& c : cases) {
        SessionHarness h(1, nullptr, "127.0.0.1", Credentials{"joe", "pw"});
        auto replies = std::make_shared<std::deque<std::string>>(c.replies.begin(), c.replies.end());
        h.server.script->statReply = [replies](const std::string&) {
            std::string r = replies->front();
            replies->pop_front();
            return r;
        };
        EXPECT_EQ(h.session->stat("<a@b>"), c.result) << c.replies.front();
    }
}

TEST(NntpSession, ArticlesWhoseHeadersTheServerRefusesSkipTheFile) {
    SessionHarness h;
    h.server.script->articleReplies = {"441 Subject header too long", "441 435 Duplicate"};
    int retryable = -1;
    EXPECT_EQ(h.failure("b", &retryable), "The server refuses the article's headers: 441 Subject header too long");
    EXPECT_EQ(retryable, kSkipFile);
    EXPECT_EQ(h.failure(), "Bad result at end of POST");  // no header named: tried again as ever
}

TEST(NntpSession, RefusalsKeepTheConnectionAndNameTheResponse) {
    SessionHarness h(4);
    const auto& log = h.out;
    h.server.script->greeting = "400 busy";
    h.server.script->postReplies = {"440 posting not allowed"};
    EXPECT_EQ(h.failure(), "Bad result when beginning POST: 440 posting not allowed");
    h.server.script->articleReplies = {"441 435 Duplicate"};
    EXPECT_EQ(h.failure(), "Bad result at end of POST");
    EXPECT_EQ(h.session->lastResponse(), "441 435 Duplicate");
    ASSERT_TRUE(h.post("b"));
    EXPECT_EQ(h.server.server().connections(), 1);
    EXPECT_THAT(log.str(), HasSubstr("Connecting to 127.0.0.1:"));
    EXPECT_THAT(log.str(), HasSubstr("result:400 busy\nLogged in.\nRequesting begin POST\nresult:440"));
    EXPECT_THAT(log.str(), HasSubstr("result:240 article posted\n"));
}

TEST(NntpSession, ConfirmationIsPrintedOnlyAtVerbosityThree) {
    SessionHarness h(3);
    ASSERT_TRUE(h.post(std::string(5000, 'b')));
    EXPECT_THAT(h.logText(), HasSubstr("Awaiting confirmation of article from server\n240 article posted\n"));
    EXPECT_THAT(h.logText(), testing::Not(HasSubstr("result:")));
    EXPECT_THAT(h.logText(), testing::AnyOf(HasSubstr("Posted body at "), HasSubstr("ERROR: Bad time value")));
    // Above 3 the conversation shows it once, as a result line.
    for (int v : {4, 5}) {
        SessionHarness loud(v);
        ASSERT_TRUE(loud.post("b"));
        const std::string log = loud.logText();
        EXPECT_THAT(log, HasSubstr("Awaiting confirmation of article from server\nresult:240 article posted\n")) << v;
        EXPECT_EQ(log.find("240 article posted"), log.rfind("240 article posted")) << v;
    }
}

namespace {

// Every way a server can go away; the same over plain TCP and over TLS,
// where OpenSSL's own writes used to end the process with SIGPIPE.
void serverGoesAway(SessionHarness& h) {
    h.server.script->greeting = "<DROP>";
    EXPECT_THAT(h.failure(), testing::StartsWith("Unable to create IP socket ("));
    h.server.script->greeting = "200 back";
    // Closed before the article was sent (after POST, or while idle after an
    // accepted article): a new connection at once, and no failed attempt.
    h.server.script->postReplies = {"<DROP>"};
    EXPECT_TRUE(h.post("after a drop"));
    h.server.script->articleReplies = {"<CLOSE>240 posted, bye"};
    EXPECT_TRUE(h.post("one"));
    EXPECT_TRUE(h.post("two"));
    // Mid-article the attempt fails; nothing kills the process.
    h.server.script->dropInBodyAfter = 3000;
    EXPECT_EQ(h.failure(std::string(4 << 20, 'x')), "Bad result at end of POST");
    h.server.script->articleReplies = {"<HANG>"};
    EXPECT_EQ(h.failure(), "Bad result at end of POST");
    EXPECT_THAT(h.logText(), HasSubstr("Timeout reading from socket"));
    ASSERT_TRUE(h.post("finally"));
    EXPECT_EQ(h.server.server().connections(), 6);
    std::vector<std::string> bodies;
    for (const auto& a : h.server.server().articles()) bodies.push_back(a.body());
    EXPECT_THAT(bodies, ElementsAre("after a drop\r\n", "one\r\n", "two\r\n", "body\r\n", "finally\r\n"));
    EXPECT_THAT(h.logText(), HasSubstr("The server closed the connection; connecting again\nConnecting to "));
}

}  // namespace

TEST(NntpSession, DroppedOrSilentConnectionsAreOpenedAnew) {
    SessionHarness h(4);
    serverGoesAway(h);
}

TEST(NntpSession, ResponseWithoutLineEndIsTakenButTheConnectionIsRenewed) {
    SessionHarness h;
    h.server.script->articleReplies = {"<NOLF>240 posted"};
    ASSERT_TRUE(h.post("one"));
    ASSERT_TRUE(h.post("two"));
    EXPECT_EQ(h.server.server().connections(), 2);
}

TEST(NntpSession, DotsAtLineStartsAreDoubledAndComeBackWhole) {
    TempDir dir;
    SessionHarness h;
    writeFile("intro.txt", ".intro\nsecond\r\n.\n");
    const std::string intro = *readIntroText("intro.txt");
    const std::string body = ".\r\nbegin 644 x\n.leading\n..two\nmid.dle\n.";
    ASSERT_TRUE(h.post(body, &intro));
    const auto a = h.server.server().articles().at(0);
    EXPECT_EQ(a.body(), ".intro\r\nsecond\r\n.\r\n\r\n" + body + "\r\n");
    EXPECT_THAT(a.raw, HasSubstr("\r\n\r\n..intro\r\nsecond\r\n..\r\n\r\n..\r\nbegin 644 x\n..leading\n...two\n"
                                 "mid.dle\n..\r\n"));
    EXPECT_EQ(h.session->bytesSent(), a.text().find("\r\n\r\n") + 2 + 19 + body.size());
}

TEST(DotStuffer, StateCarriesAcrossPieces) {
    DotStuffer s;
    std::string scratch, out;
    for (std::string_view piece : {"a\r", "\n", ".b", "\n", "", ".", ".c\n", "x.y"})
        out += std::string(s.filter(piece, scratch));
    EXPECT_EQ(out, "a\r\n..b\n...c\nx.y");
    s.reset();
    EXPECT_EQ(std::string(s.filter(".start", scratch)), "..start");
}

TEST(NntpSession, HeaderValuesCannotInjectHeaders) {
    SessionHarness h;
    ASSERT_TRUE(h.post("b", nullptr, "evil\r\nX-Injected: yes"));
    const auto a = h.server.server().articles().at(0);
    EXPECT_EQ(a.header("Subject"), "evil  X-Injected: yes");
    EXPECT_EQ(a.header("X-Injected"), "");
}

TEST(NntpSession, IntroTextMissingOrEmpty) {
    TempDir dir;
    SessionHarness h;
    EXPECT_FALSE(readIntroText("missing.txt"));  // sends nothing
    ASSERT_TRUE(h.post("b", nullptr));
    EXPECT_EQ(h.server.server().articles().at(0).body(), "b\r\n");
    writeFile("empty.txt", "");
    const std::string empty = *readIntroText("empty.txt");
    ASSERT_TRUE(h.post("b", &empty));
    EXPECT_EQ(h.server.server().articles().at(1).body(), "\r\nb\r\n");
    // Lines end in CR LF; a line of 4095 characters or more ends the text.
    writeFile("long.txt", "one\ntwo\r\n" + std::string(4094, 'x') + "\n" + std::string(4095, 'y') + "\nlost\n");
    EXPECT_EQ(*readIntroText("long.txt"), "one\r\ntwo\r\n" + std::string(4094, 'x') + "\r\n");
}

class NntpTls : public testing::Test {
protected:
    void SetUp() override {
        if (!certificates().ok()) GTEST_SKIP() << "openssl could not make test certificates";
    }
    void TearDown() override { unsetenv("SSL_CERT_FILE"); }
    static testing_support::TestCertificates& certificates() { return testing_support::TestCertificates::get(); }
};

TEST_F(NntpTls, PostsOverVerifiedTls) {
    certificates().trustOurCa();
    SessionHarness h(1, certificates().server(), "localhost");
    ASSERT_TRUE(h.post("secret body"));
    EXPECT_EQ(h.server.server().articles().at(0).body(), "secret body\r\n");
}

TEST_F(NntpTls, UntrustedOrMismatchedCertificatesFailWithTheReason) {
    // A refused certificate stays refused: one quick retry, not an hour of them.
    certificates().trustAnother();
    {
        SessionHarness h(1, certificates().server(), "localhost");
        int retryable = -1;
        EXPECT_THAT(h.failure("b", &retryable), testing::AllOf(HasSubstr("TLS connection to localhost:"),
                                                               HasSubstr("certificate verification failed")));
        EXPECT_EQ(retryable, kRetryOnce);
    }
    certificates().trustOurCa();
    {
        SessionHarness h(1, certificates().server(), "127.0.0.1");  // the certificate names localhost only
        int retryable = -1;
        EXPECT_THAT(h.failure("b", &retryable), HasSubstr("certificate verification failed"));
        EXPECT_EQ(retryable, kRetryOnce);
    }
}

TEST_F(NntpTls, DroppedConnectionsAreSurvivedAsOverPlainTcp) {
    certificates().trustOurCa();
    SessionHarness h(4, certificates().server(), "localhost");
    serverGoesAway(h);
}
