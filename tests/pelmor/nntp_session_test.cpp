#include "nntp_session.h"

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_nntp_server.h"
#include "job.h"
#include "kelvo_exception.h"
#include "test_support.h"

using namespace pelmor;
using testing::ElementsAre;
using testing::HasSubstr;
using testing_support::JobHarness;
using testing_support::ScriptedNntpServer;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct SessionHarness : JobHarness {
    ScriptedNntpServer server;
    std::unique_ptr<NntpSession> session;
    explicit SessionHarness(int verbosity = 1, SSL_CTX* tls = nullptr, const std::string& host = "127.0.0.1")
        : JobHarness(false), server(tls) {
        job.verbosity = verbosity;
        job.responseTimeoutMs = 300;
        session = std::make_unique<NntpSession>(host, server.port(), job);
    }
    bool post(std::string_view body, const std::string* intro = nullptr, const std::string& subject = "subj",
              const std::string* extra = nullptr) {
        return session->post("alt.test", "Me <me@x.example>", subject, "<id1@h>", "", extra, body, intro);
    }
    std::string failure(std::string_view body = "body") {
        try {
            post(body);
        } catch (const Kelvo_Exception& e) {
            EXPECT_EQ(e.retryable, 1);
            return e.message;
        }
        return "no failure";
    }
};

}  // namespace

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
    {
        SessionHarness h;
        h.session->setCredentials("joe", "pw");
        ASSERT_TRUE(h.post("b"));
        ASSERT_TRUE(h.post("b"));  // logged in once
        EXPECT_THAT(h.server.server().transcript(),
                    ElementsAre("AUTHINFO USER joe", "AUTHINFO PASS pw", "POST", "POST"));
    }
    {
        SessionHarness h;
        h.session->setCredentials("joe", "pw");
        h.server.script->userReplies = {"482 use SASL"};
        EXPECT_EQ(h.failure(), "Bad result while sending auth info:482 use SASL");
        h.server.script->passReplies = {"481 bad password"};
        EXPECT_EQ(h.failure(), "Bad result while sending auth info481 bad password");
    }
}

TEST(NntpSession, RefusalsKeepTheConnectionAndNameTheResponse) {
    SessionHarness h(4);
    h.server.script->greeting = "400 busy";
    h.server.script->postReplies = {"440 posting not allowed"};
    EXPECT_EQ(h.failure(), "Bad result when beginning POST: 440 posting not allowed");
    h.server.script->articleReplies = {"441 435 Duplicate"};
    EXPECT_EQ(h.failure(), "Bad result at end of POST");
    EXPECT_EQ(h.session->lastResponse(), "441 435 Duplicate");
    ASSERT_TRUE(h.post("b"));
    EXPECT_EQ(h.server.server().connections(), 1);
    EXPECT_THAT(h.log.str(), HasSubstr("Connecting to 127.0.0.1:"));
    EXPECT_THAT(h.log.str(), HasSubstr("result:400 busy\nLogged in.\nRequesting begin POST\nresult:440"));
    EXPECT_THAT(h.log.str(), HasSubstr("result:240 article posted\n"));
}

TEST(NntpSession, ConfirmationIsPrintedOnlyAtVerbosityThree) {
    SessionHarness h(3);
    ASSERT_TRUE(h.post(std::string(5000, 'b')));
    EXPECT_THAT(h.log.str(), HasSubstr("Awaiting confirmation of article from server\n240 article posted\n"));
    EXPECT_THAT(h.log.str(), testing::Not(HasSubstr("result:")));
    EXPECT_THAT(h.log.str(), testing::AnyOf(HasSubstr("Posted body at "), HasSubstr("ERROR: Bad time value")));
    // Above 3 the conversation shows it once, as a result line.
    for (int v : {4, 5}) {
        SessionHarness loud(v);
        ASSERT_TRUE(loud.post("b"));
        const std::string log = loud.log.str();
        EXPECT_THAT(log, HasSubstr("Awaiting confirmation of article from server\nresult:240 article posted\n")) << v;
        EXPECT_EQ(log.find("240 article posted"), log.rfind("240 article posted")) << v;
    }
}

namespace {

// Every way a server can go away; the same over plain TCP and over TLS,
// where OpenSSL's own writes used to end the process with SIGPIPE.
void serverGoesAway(SessionHarness& h) {
    h.server.script->greeting = "<DROP>";
    EXPECT_EQ(h.failure(), "Unable to create IP socket");
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
    EXPECT_THAT(h.log.str(), HasSubstr("Timeout reading from socket"));
    ASSERT_TRUE(h.post("finally"));
    EXPECT_EQ(h.server.server().connections(), 6);
    std::vector<std::string> bodies;
    for (const auto& a : h.server.server().articles()) bodies.push_back(a.body());
    EXPECT_THAT(bodies, ElementsAre("after a drop\r\n", "one\r\n", "two\r\n", "body\r\n", "finally\r\n"));
    EXPECT_THAT(h.log.str(), HasSubstr("The server closed the connection; connecting again\nConnecting to "));
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
    const std::string intro = "intro.txt";
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
    const std::string missing = "missing.txt";
    ASSERT_TRUE(h.post("b", &missing));
    EXPECT_EQ(h.server.server().articles().at(0).body(), "b\r\n");
    writeFile("empty.txt", "");
    const std::string empty = "empty.txt";
    ASSERT_TRUE(h.post("b", &empty));
    EXPECT_EQ(h.server.server().articles().at(1).body(), "\r\nb\r\n");
}

// TLS with a throw-away CA, trusted through SSL_CERT_FILE.
class NntpTls : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir(false);
        const std::string d = dir_->path();
        const std::string cmd =
            "cd " + d +
            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=TestCA"
            " 2>/dev/null >/dev/null"
            " && openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=localhost"
            " 2>/dev/null >/dev/null"
            " && printf 'subjectAltName=DNS:localhost\\n' > ext.cnf"
            " && openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2"
            " -extfile ext.cnf 2>/dev/null >/dev/null"
            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2"
            " -subj /CN=Other 2>/dev/null >/dev/null";
        ok_ = std::system(cmd.c_str()) == 0;
        context_ = SSL_CTX_new(TLS_server_method());
        ok_ = ok_ && SSL_CTX_use_certificate_file(context_, (d + "/srv.pem").c_str(), SSL_FILETYPE_PEM) == 1 &&
              SSL_CTX_use_PrivateKey_file(context_, (d + "/srv.key").c_str(), SSL_FILETYPE_PEM) == 1;
    }
    static void TearDownTestSuite() {
        SSL_CTX_free(context_);
        delete dir_;
        unsetenv("SSL_CERT_FILE");
    }
    void SetUp() override {
        if (!ok_) GTEST_SKIP() << "openssl could not make test certificates";
    }
    static inline TempDir* dir_ = nullptr;
    static inline SSL_CTX* context_ = nullptr;
    static inline bool ok_ = false;
};

TEST_F(NntpTls, PostsOverVerifiedTls) {
    setenv("SSL_CERT_FILE", (dir_->path() + "/ca.pem").c_str(), 1);
    SessionHarness h(1, context_, "localhost");
    h.job.options["encrypt"] = "1";
    ASSERT_TRUE(h.post("secret body"));
    EXPECT_EQ(h.server.server().articles().at(0).body(), "secret body\r\n");
}

TEST_F(NntpTls, UntrustedOrMismatchedCertificatesFailWithTheReason) {
    setenv("SSL_CERT_FILE", (dir_->path() + "/other.pem").c_str(), 1);
    {
        SessionHarness h(1, context_, "localhost");
        h.job.options["encrypt"] = "1";
        EXPECT_THAT(h.failure(), testing::AllOf(HasSubstr("TLS connection to localhost:"),
                                                HasSubstr("certificate verification failed")));
    }
    setenv("SSL_CERT_FILE", (dir_->path() + "/ca.pem").c_str(), 1);
    {
        SessionHarness h(1, context_, "127.0.0.1");  // the certificate names localhost only
        h.job.options["encrypt"] = "1";
        EXPECT_THAT(h.failure(), HasSubstr("certificate verification failed"));
    }
}

TEST_F(NntpTls, DroppedConnectionsAreSurvivedAsOverPlainTcp) {
    setenv("SSL_CERT_FILE", (dir_->path() + "/ca.pem").c_str(), 1);
    SessionHarness h(4, context_, "localhost");
    h.job.options["encrypt"] = "1";
    serverGoesAway(h);
}

TEST_F(NntpTls, WritingToAConnectionTheServerClosedFailsWithoutSigpipe) {
    setenv("SSL_CERT_FILE", (dir_->path() + "/ca.pem").c_str(), 1);
    testing_support::FakeNntpServer server({[](testing_support::FakeNntpServer::Conn& c) { c.sendLine("200 bye"); }},
                                           context_);
    JobHarness h;
    ThrottledSocket s(h.job);
    ASSERT_TRUE(s.connect(ServerAddress("localhost", std::to_string(server.port())), true));
    std::string line;
    ASSERT_TRUE(s.readLine(line, 512, 2000));
    // The first write after the server's close still goes out; the reset it
    // earns makes a later one fail with EPIPE, and the close writes too.
    bool failed = false;
    for (int i = 0; i < 200 && !failed; ++i) {
        failed = !s.write("QUIT\r\n", 6);
        usleep(2000);
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(s.closedByPeer());
    EXPECT_TRUE(s.close());
}
