// The runner program against a scripted server: every way a job can fail
// or be stopped (the engine's message, the status, no private folder left
// behind), the status line on a terminal, the events for programs.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "archive.h"
#include "fake_nntp_server.h"
#include "socks_proxy.h"
#include "test_support.h"

extern char** environ;

using testing::HasSubstr;
using testing_support::ScriptedNntpServer;
using testing_support::TempDir;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

struct RunnerProcess {
    TempDir dir{false};
    ScriptedNntpServer server;
    std::string out, err;
    int status = -1;
    bool par2 = true;
    std::vector<std::string> moreEnv;  // besides the fixed environment
    std::shared_ptr<void> keep;  // what a case needs while the runner runs
    std::function<void(std::vector<std::string>&)> runArgs;  // changes the command line before it runs
    RunnerProcess() {
        std::filesystem::create_directories(dir / "tree/sub");
        std::filesystem::create_directories(dir / "tmp");
        std::filesystem::create_directories(dir / "config");
        writeFile(dir / "tree/a.bin", testing_support::randomBytes(3000, 1));
        writeFile(dir / "tree/sub/b.bin", testing_support::randomBytes(3000, 2));
        // One attempt an article: every failure ends the job at once.
        writeFile(dir / "config/pelmor.ini", "max_retries\t1\n");
    }
    // Starts tskivo on the tree; `whilst` runs while it does. With
    // `terminal`, its standard output (and error) is a pseudo-terminal.
    // With `queueInput`, "tskivo --queue" reads it as its standard input.
    std::optional<std::string> queueInput;
    std::vector<std::string> commandLine(const std::vector<std::string>& extra, int port = 0) {
        std::vector<std::string> args{TSKIVO_BIN, "Me <me@x.org>", "Trip", dir / "tree", "alt.test", "127.0.0.1", "",
                                      "*.bin", "/port=" + std::to_string(port ? port : server.port()),
                                      "/maxlines=10"};
        if (par2) args.push_back("/par2=10");
        args.insert(args.end(), extra.begin(), extra.end());
        if (runArgs) runArgs(args);
        return args;
    }
    void run(std::vector<std::string> extra, int port = 0, const std::function<void(pid_t)>& whilst = {},
             bool terminal = false) {
        std::vector<std::string> args = commandLine(extra, port);
        if (queueInput) {
            writeFile(dir / "in.txt", *queueInput);
            args = {TSKIVO_BIN, "--queue"};
        }
        std::vector<std::string> env{"TMPDIR=" + (dir / "tmp"), "XDG_CONFIG_HOME=" + (dir / "config"),
                                     "HOME=" + dir.path(), "PATH=/usr/bin:/bin"};
        env.insert(env.end(), moreEnv.begin(), moreEnv.end());
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        if (terminal) {
            int master = -1;
            winsize size{24, 120, 0, 0};
            const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                execve(argv[0], argv.data(), envp.data());
                _exit(127);
            }
            char chunk[4096];
            for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<std::size_t>(n));
            close(master);
            waitpid(pid, &status, 0);
            return;
        }
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        if (queueInput) posix_spawn_file_actions_addopen(&files, 0, (dir / "in.txt").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&files, 2, (dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&files);
        if (whilst) whilst(pid);
        waitpid(pid, &status, 0);
        out = readFile(dir / "out.txt");
        err = readFile(dir / "err.txt");
    }
    int exitStatus() const { return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status); }
    bool privateFoldersGone() const { return std::filesystem::is_empty(dir / "tmp"); }
};

}  // namespace

TEST(RunnerFailures, EveryWayAJobFailsEndsWith255AndLeavesNoPrivateFolder) {
    const struct Case {
        const char* name;
        std::function<void(RunnerProcess&, std::vector<std::string>&, int&)> arrange;
        const char* message;
    } cases[] = {
        {"refused log-in",
         [](RunnerProcess& r, std::vector<std::string>& extra, int&) {
             r.server.script->passReplies = {"481 Authentication failed"};
             extra = {"/u=joe", "/p=wrong"};
         },
         "Bad result while sending auth info481 Authentication failed"},
        {"article refused",
         [](RunnerProcess& r, std::vector<std::string>&, int&) { r.server.script->articleReplies = {"441 no"}; },
         "Too many retries, I give up."},
        {"nothing listens",
         [](RunnerProcess&, std::vector<std::string>&, int& port) { port = 1; },
         "Unable to create IP socket (127.0.0.1:1: connect: Connection refused)"},
        {"file vanishes",
         [](RunnerProcess& r, std::vector<std::string>&, int&) {
             const std::string gone = r.dir / "tree/a.bin";
             r.server.script->onArticle = [gone] { std::filesystem::remove(gone); };
         },
         "Unable to encode segment"},
        {"proxy refuses",
         [](RunnerProcess& r, std::vector<std::string>& extra, int&) {
             auto proxy = std::make_shared<testing_support::Socks5Proxy>(r.server.port(), std::nullopt, true);
             extra = {"/proxy=" + proxy->url()};
             r.keep = proxy;
         },
         "could not reach 127.0.0.1:"},
        {"7z missing",
         [](RunnerProcess& r, std::vector<std::string>& extra, int&) {
             r.moreEnv = {"TSKIVO_7Z="};
             extra = {"/archive"};
         },
         "/archive needs the 7z program: install Debian's 7zip or p7zip-full package"},
        {"7z fails (a full disk)",
         [](RunnerProcess& r, std::vector<std::string>& extra, int&) {
             writeFile(r.dir / "fake7z", "#!/bin/sh\necho 'ERROR: No space left on device'\nexit 2\n");
             std::filesystem::permissions(r.dir / "fake7z", std::filesystem::perms::owner_all);
             r.moreEnv = {"TSKIVO_7Z=" + (r.dir / "fake7z")};
             extra = {"/archive", "/nzb=" + (r.dir / "full.nzb")};
         },
         "7z could not pack the folder (exit status 2): ERROR: No space left on device"},
        {"NZB unwritable",
         [](RunnerProcess& r, std::vector<std::string>& extra, int&) {
             std::filesystem::create_directories(r.dir / "taken.nzb");
             extra = {"/nzb=" + (r.dir / "taken.nzb")};
         },
         "is not a regular file"},
    };
    for (const auto& c : cases) {
        RunnerProcess r;
        std::vector<std::string> extra;
        int port = 0;
        c.arrange(r, extra, port);
        r.run(extra, port);
        EXPECT_EQ(r.exitStatus(), 255) << c.name << "\n" << r.out << r.err;
        EXPECT_THAT(r.out + r.err, HasSubstr(c.message)) << c.name;
        EXPECT_TRUE(r.privateFoldersGone()) << c.name;
        if (!extra.empty() && extra[0] == "/archive") {
            EXPECT_EQ(r.server.server().acceptedArticles().size(), 0u) << c.name;
        }
        EXPECT_THAT(r.out, testing::Not(HasSubstr("Handling: " + (r.dir / "tree/sub")))) << "no later folder";
    }
}

TEST(RunnerFailures, AStopRequestSavesTheNzbSaysHowToResumeAndCleansUp) {
    for (int signal : {SIGINT, SIGTERM}) {
        RunnerProcess r;
        std::atomic<int> accepted{0};
        r.server.script->onArticle = [&] {
            ++accepted;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a slow server
        };
        r.run({"/nzb=" + (r.dir / "trip.nzb")}, 0, [&](pid_t pid) {
            while (accepted < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            kill(pid, signal);
        });
        EXPECT_EQ(r.exitStatus(), 130) << r.out << r.err;
        EXPECT_THAT(r.out, HasSubstr("Stopped on request. The NZB file " + (r.dir / "trip.nzb") +
                                     " holds every article the server took; the same command with /resume finishes"));
        EXPECT_TRUE(r.privateFoldersGone());
        EXPECT_THAT(readFile(r.dir / "trip.nzb"), HasSubstr("<segment "));
        const std::string all = r.out + r.err;
        std::size_t said = 0;
        for (auto at = all.find("Stopped on request"); at != std::string::npos; at = all.find("Stopped on request", at + 1))
            ++said;
        EXPECT_EQ(said, 1u) << "said once";
    }
}

// A file the server refuses for a header it names is skipped, the rest
// posted, and the run ends 1.
TEST(RunnerFailures, ASkippedFileEndsTheRunWithOne) {
    RunnerProcess r;
    r.par2 = false;
    r.server.script->articleReplies = {"441 Bad \"Subject\" header"};
    r.run({});
    EXPECT_EQ(r.exitStatus(), 1) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("  Status 1: posted, but some files were skipped (see above).\n"));
    EXPECT_FALSE(r.server.server().acceptedArticles().empty());
}

// A run that posted nothing says so, in its words and its status.
TEST(RunnerFailures, NothingPostedIsNoSuccess) {
    RunnerProcess refusing;  // every file's header refused: each skipped
    refusing.par2 = false;
    refusing.server.script->articleReplies.assign(10, "441 Bad \"Newsgroups\" header");
    refusing.run({"/nzb=" + (refusing.dir / "x.nzb")});
    EXPECT_EQ(refusing.exitStatus(), 255) << refusing.out << refusing.err;
    EXPECT_THAT(refusing.out, HasSubstr("  Status 255: nothing was posted (see above).\n"));

    RunnerProcess none;  // the mask matches nothing
    none.par2 = false;
    std::filesystem::remove(none.dir / "tree/a.bin");
    std::filesystem::remove(none.dir / "tree/sub/b.bin");
    none.run({"/nzb=" + (none.dir / "x.nzb")});
    EXPECT_EQ(none.exitStatus(), 0) << none.out << none.err;
    EXPECT_THAT(none.out, HasSubstr("  No file matched *.bin here or in the folders below; nothing was posted and no "
                                    "NZB file written.\n"));
    EXPECT_THAT(none.out, testing::Not(HasSubstr("NZB file: ")));
}

TEST(RunnerProgram, StatusLineOnATerminalAndTodaysTextElsewhere) {
    RunnerProcess plain;
    plain.par2 = false;
    plain.run({"/nzb=" + (plain.dir / "x.nzb")});
    EXPECT_EQ(plain.exitStatus(), 0) << plain.out << plain.err;
    EXPECT_EQ(plain.out.find('\r'), std::string::npos) << "no status line";
    EXPECT_THAT(plain.out, HasSubstr("  NZB file: " + (plain.dir / "x.nzb") + "\n  Status 0: everything was posted.\n"));
    EXPECT_THAT(plain.err, HasSubstr("    Trip .\\ 3000 bytes - yEnc \"a.bin\" (*/3) ...\n"));  // dots and all

    RunnerProcess tty;
    tty.par2 = false;
    tty.server.script->onArticle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); };
    tty.run({"/nzb=" + (tty.dir / "x.nzb")}, 0, {}, true);
    EXPECT_EQ(tty.exitStatus(), 0) << tty.out;
    EXPECT_THAT(tty.out, HasSubstr("\r\033[K  [folder 1/2] a.bin  "));
    EXPECT_THAT(tty.out, testing::ContainsRegex("[0-9]+% of [0-9.]+ kB  [0-9.]+ [k]?B/s  [0-9:-]+ left  1 conn"));
    EXPECT_THAT(tty.out, HasSubstr("  NZB file: " + (tty.dir / "x.nzb")));
    EXPECT_THAT(tty.out, HasSubstr("  Status 0: everything was posted."));
    EXPECT_THAT(tty.out, testing::ContainsRegex("Posted [0-9.]+ kB in [0-9]+ articles in"));
}

TEST(RunnerProgram, JsonEventsParseInOrderAndAddUp) {
    RunnerProcess r;
    // Names and paths that are not UTF-8: every event stays valid JSON.
    writeFile(r.dir / "tree/Latin1 \xe9t\xe9.bin", "not UTF-8 in its name");
    // Contact sheets too: their library's lines go to the log, never among
    // the events of the folder posted meanwhile.
    r.run({"/json", "/ics", "/nzb=" + (r.dir / "x\xe9.nzb")});
    EXPECT_EQ(r.exitStatus(), 0) << r.out << r.err;
    std::vector<nlohmann::json> events;
    std::size_t start = 0;
    for (std::size_t eol; (eol = r.out.find('\n', start)) != std::string::npos; start = eol + 1)
        events.push_back(nlohmann::json::parse(r.out.substr(start, eol - start)));  // every line is one object
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front()["type"], "started");
    EXPECT_EQ(events.front()["folders"], 2);
    EXPECT_EQ(events.back()["type"], "finished");
    EXPECT_EQ(events.back()["status"], 0);
    std::uint64_t bytes = 0, articles = 0, fileDone = 0, jobs = 0, files = 0;
    for (const auto& e : events) {
        if (e["type"] == "job_started") files += e["files"].size();
        if (e["type"] == "job_finished") {
            bytes += e["bytes"].get<std::uint64_t>();
            articles += e["articles"].get<std::uint64_t>();
            ++jobs;
        }
        if (e["type"] == "file_done") ++fileDone;
    }
    EXPECT_EQ(jobs, 2u);
    EXPECT_EQ(events.back()["bytes"], bytes);
    EXPECT_EQ(events.back()["articles"], articles);
    EXPECT_EQ(articles, r.server.server().acceptedArticles().size());
    EXPECT_EQ(fileDone, files) << "every file the jobs named, the recovery sets' included";
    EXPECT_GT(files, 2u);
    EXPECT_EQ(events.back()["nzb"], r.dir / "x\xef\xbf\xbd.nzb");  // U+FFFD for the byte

    // A job that fails: an error event, then the end with its status.
    RunnerProcess failing;
    failing.server.script->articleReplies = {"441 no"};
    failing.run({"/json"});
    EXPECT_EQ(failing.exitStatus(), 255);
    const auto last = failing.out.rfind('{');
    const auto error = failing.out.rfind("\"type\":\"error\"");
    ASSERT_NE(error, std::string::npos) << failing.out;
    EXPECT_EQ(nlohmann::json::parse(failing.out.substr(last))["status"], 255);
}

TEST(RunnerProgram, TheAfterCommandGetsThePostingAndItsFailureIsOnlyReported) {
    RunnerProcess r;
    r.par2 = false;
    r.moreEnv = {"TSKIVO_PASSWORD=secret", "TSKIVO_BACKUP_PASSWORD=secret2"};
    r.run({"/nzb=" + (r.dir / "x.nzb"), "/after=env | grep ^TSKIVO_ | sort > " + (r.dir / "hook.txt") + "; pwd > " +
                                            (r.dir / "pwd.txt") + "; exit 3"});
    EXPECT_EQ(r.exitStatus(), 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("\" failed with status 3; the posting itself is not affected.\n"));
    const std::string env = readFile(r.dir / "hook.txt");
    // Run where the runner was started, without the secrets it was given.
    EXPECT_EQ(readFile(r.dir / "pwd.txt"), std::filesystem::current_path().string() + "\n");
    EXPECT_THAT(env, testing::Not(HasSubstr("secret")));
    for (const std::string& line :
         {"TSKIVO_NZB=" + (r.dir / "x.nzb"), "TSKIVO_FOLDER=" + (r.dir / "tree"), std::string("TSKIVO_STATUS=0"),
          "TSKIVO_ARTICLES=" + std::to_string(r.server.server().acceptedArticles().size())})
        EXPECT_THAT(env, HasSubstr(line + "\n"));
    // Without an NZB file: once a folder.
    RunnerProcess each;
    each.par2 = false;
    each.run({"/after=echo \"$TSKIVO_FOLDER $TSKIVO_STATUS\" >> " + (each.dir / "hook.txt")});
    EXPECT_EQ(readFile(each.dir / "hook.txt"), (each.dir / "tree") + " 0\n" + (each.dir / "tree/sub") + " 0\n");
}

// An archive: packed once, posted as volumes with its password in the NZB
// file and the finished event; a posting cut short keeps its volumes, and
// its /resume posts those same volumes, then removes them.
TEST(RunnerProgram, AnArchiveIsPackedOncePostedAsVolumesAndRemovedWhenComplete) {
    const char* sevenZip = access("/usr/bin/7zz", X_OK) == 0 ? "/usr/bin/7zz" : "/usr/bin/7z";
    RunnerProcess r;
    r.par2 = false;
    writeFile(r.dir / "tree/c.bin", testing_support::randomBytes(30000, 3));
    writeFile(r.dir / "count7z", std::string("#!/bin/sh\necho x >> ") + (r.dir / "calls") + "\nexec " + sevenZip + " \"$@\"\n");
    std::filesystem::permissions(r.dir / "count7z", std::filesystem::perms::owner_all);
    r.moreEnv = {"TSKIVO_7Z=" + (r.dir / "count7z")};
    const std::string nzb = r.dir / "album.nzb";
    r.server.script->articleReplies = {"240 ok", "240 ok", "441 no"};
    r.run({"/archive", "/nzb=" + nzb});
    EXPECT_EQ(r.exitStatus(), 255) << r.out;
    EXPECT_THAT(r.out, HasSubstr("for /resume."));
    const auto posted = r.server.server().acceptedArticles().size();
    ASSERT_EQ(posted, 2u);

    r.server.script->articleReplies.clear();
    r.run({"/archive", "/nzb=" + nzb, "/resume", "/json"});
    EXPECT_EQ(r.exitStatus(), 0) << r.out << r.err;
    EXPECT_EQ(readFile(r.dir / "calls"), "x\nx\n") << "each folder packed once";
    const auto finished = nlohmann::json::parse(r.out.substr(r.out.rfind('{')));
    const std::string password = finished.value("password", "");
    EXPECT_EQ(password.size(), 24u) << r.out;
    const std::string text = readFile(nzb);
    EXPECT_THAT(text, HasSubstr("<meta type=\"password\">" + password + "</meta>"));
    EXPECT_THAT(text, HasSubstr(".7z.001"));
    EXPECT_THAT(text, testing::Not(HasSubstr("a.bin")));
    for (const auto& a : r.server.server().acceptedArticles()) EXPECT_THAT(a.body(), testing::Not(HasSubstr("c.bin")));
    EXPECT_TRUE(r.privateFoldersGone()) << "the volumes go once the posting is complete";
    // What was posted opens with the password and holds the files.
    EXPECT_EQ(std::filesystem::status(nzb).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::none) << "an NZB file with a password is the user's alone";
}

// /each: a release per subfolder, each with its own NZB file listing only
// its files and the subfolder's name as its subject; a history line each.
TEST(RunnerProgram, EachSubfolderIsAReleaseOfItsOwn) {
    RunnerProcess r;
    r.par2 = false;
    std::filesystem::create_directories(r.dir / "tree/other/deeper");
    writeFile(r.dir / "tree/other/deeper/c.bin", testing_support::randomBytes(2000, 3));
    std::filesystem::create_directories(r.dir / "nzbs");
    r.run({"/each", "/nzbdir=" + (r.dir / "nzbs"), "/history=" + (r.dir / "history.jsonl")});
    EXPECT_EQ(r.exitStatus(), 0) << r.out << r.err;
    const std::string other = readFile(r.dir / "nzbs/other.nzb"), sub = readFile(r.dir / "nzbs/sub.nzb");
    EXPECT_THAT(other, HasSubstr("c.bin"));
    EXPECT_THAT(other, testing::Not(HasSubstr("b.bin")));
    EXPECT_THAT(sub, HasSubstr("b.bin"));
    EXPECT_THAT(sub, testing::Not(HasSubstr("c.bin")));
    EXPECT_THAT(sub + other, testing::Not(HasSubstr("a.bin"))) << "the start folder's own files are in no release";
    EXPECT_EQ(r.server.server().connections(), 1) << "the second release goes on the first one's connection";
    for (const auto& a : r.server.server().acceptedArticles())
        EXPECT_THAT(a.header("Subject"), testing::StartsWith("Trip ")) << "a subject given stays";
    const std::string history = readFile(r.dir / "history.jsonl");
    std::vector<nlohmann::json> lines;
    for (std::size_t at = 0, eol; (eol = history.find('\n', at)) != std::string::npos; at = eol + 1)
        lines.push_back(nlohmann::json::parse(history.substr(at, eol - at)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["nzb"], r.dir / "nzbs/other.nzb");
    EXPECT_EQ(lines[1]["status"], 0);
    EXPECT_GT(lines[1]["articles"].get<int>(), 0);
    EXPECT_EQ(std::filesystem::status(r.dir / "history.jsonl").permissions() & std::filesystem::perms::group_all,
              std::filesystem::perms::none);
    // No subject given: each release is named after its subfolder.
    RunnerProcess unnamed;
    unnamed.par2 = false;
    unnamed.runArgs = [](std::vector<std::string>& args) { args[2] = ""; };
    unnamed.run({"/each", "/nzbdir=" + (unnamed.dir / "tmp")});
    EXPECT_EQ(unnamed.exitStatus(), 0) << unnamed.out;
    ASSERT_FALSE(unnamed.server.server().acceptedArticles().empty());
    EXPECT_THAT(unnamed.server.server().acceptedArticles()[0].header("Subject"), testing::StartsWith("sub "));
}

// The front end's queue: jobs one after another in one runner, the
// connection of one posting the next; each job's secrets its own.
TEST(RunnerProgram, QueuedJobsShareTheirConnectionAndBringTheirOwnSecrets) {
    RunnerProcess r;
    testing_support::ConcurrentNntpServer server;
    r.par2 = false;
    r.moreEnv = {"TSKIVO_PASSWORD=stale"};
    const auto job = [&](const std::vector<std::string>& extra, const nlohmann::json& environment) {
        std::vector<std::string> args = r.commandLine(extra, server.port());
        args.erase(args.begin());
        return nlohmann::json{{"arguments", args}, {"environment", environment}}.dump() + "\n";
    };
    const nlohmann::json secret{{"TSKIVO_PASSWORD", "s1"}};
    r.queueInput = job({"/u=me", "/nzb=" + (r.dir / "1.nzb")}, secret) + job({"/u=me", "/nzb=" + (r.dir / "2.nzb")}, secret) +
                   job({"/u=me", "/nzb=" + (r.dir / "3.nzb")}, nlohmann::json::object()) +
                   R"({"arguments": "x", "environment": {"TSKIVO_PASSWORD": "leak"}})" "\n" +
                   job({"/nzb=" + (r.dir / "4.nzb")}, secret);
    r.run({});
    EXPECT_EQ(r.exitStatus(), 255) << r.out << r.err;
    std::vector<int> ended;
    for (std::size_t at = 0, eol; (eol = r.out.find('\n', at)) != std::string::npos; at = eol + 1) {
        const auto e = nlohmann::json::parse(r.out.substr(at, eol - at), nullptr, false);
        if (e.is_object() && e.value("type", "") == "ended") ended.push_back(e["status"]);
    }
    EXPECT_EQ(ended, (std::vector<int>{0, 0, 0, 255})) << "the line that is no job ends the queue";
    // Standard error says each end too: its lines before it are the job's.
    std::size_t endsOnStderr = 0;
    for (auto at = r.err.find("\"type\":\"ended\""); at != std::string::npos; at = r.err.find("\"type\":\"ended\"", at + 1))
        ++endsOnStderr;
    EXPECT_EQ(endsOnStderr, 4u) << r.err;
    EXPECT_THAT(r.out, testing::Not(HasSubstr("leak"))) << "nor is it repeated";
    EXPECT_TRUE(std::filesystem::exists(r.dir / "3.nzb"));
    EXPECT_FALSE(std::filesystem::exists(r.dir / "4.nzb"));
    std::vector<std::string> logIns;
    for (const auto& line : server.server().transcript())
        if (line.rfind("AUTHINFO", 0) == 0) logIns.push_back(line);
    // The second job took the first's connection; the third, without the
    // password, one of its own, and never the runner's own environment's.
    EXPECT_EQ(logIns, (std::vector<std::string>{"AUTHINFO USER me", "AUTHINFO PASS s1"}));
    EXPECT_EQ(server.server().connections(), 2);
}

// /watch: releases posted as they come, each once, across a restart; a
// release stopped half-way is resumed by the next start.
TEST(RunnerProgram, AWatchedFolderPostsEachNewFolderOnceAcrossRestarts) {
    RunnerProcess r;
    r.par2 = false;
    const std::string history = r.dir / "history.jsonl";
    const auto lines = [&] {
        const std::string text = testing_support::readFile(history);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    };
    const auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 300 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return done();
    };
    const std::vector<std::string> watch{"/watch=1", "/nzbdir=" + (r.dir / "tmp"), "/history=" + history};
    r.moreEnv = {"XDG_STATE_HOME=" + (r.dir / "state")};
    r.run(watch, 0, [&](pid_t pid) {
        EXPECT_TRUE(waitFor([&] { return lines() == 1; })) << "the one subfolder there";
        std::filesystem::create_directories(r.dir / "tree/later");
        writeFile(r.dir / "tree/later/c.bin", testing_support::randomBytes(3000, 3));
        EXPECT_TRUE(waitFor([&] { return lines() == 2; })) << "a folder dropped in";
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.exitStatus(), 0) << r.out;
    const auto posted = r.server.server().acceptedArticles().size();
    // Started again: nothing is posted twice.
    r.run(watch, 0, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.exitStatus(), 0) << r.out;
    EXPECT_EQ(r.server.server().acceptedArticles().size(), posted);
    EXPECT_EQ(lines(), 2);

    // Stopped during a release: the next start resumes it, and its NZB
    // file names every part once.
    r.server.script->beforeAccepting = [](const std::string&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    };
    std::filesystem::create_directories(r.dir / "tree/slow");
    writeFile(r.dir / "tree/slow/d.bin", testing_support::randomBytes(40000, 4));  // 32 articles
    r.run(watch, 0, [&](pid_t pid) {
        EXPECT_TRUE(waitFor([&] { return r.server.server().acceptedArticles().size() >= posted + 3; }));
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.exitStatus(), 130) << r.out;
    r.server.script->beforeAccepting = nullptr;
    r.run(watch, 0, [&](pid_t pid) {
        EXPECT_TRUE(waitFor([&] { return lines() == 4; })) << "the stop and the end, a line each";
        kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.exitStatus(), 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Release: slow (resumed)")) << r.out;
    const std::string nzb = testing_support::readFile(r.dir / "tmp/slow.nzb");
    std::set<std::string> numbers;
    for (std::size_t at = nzb.find("number=\""); at != std::string::npos; at = nzb.find("number=\"", at + 1))
        EXPECT_TRUE(numbers.insert(nzb.substr(at, nzb.find('"', at + 8) - at)).second);
    EXPECT_EQ(numbers.size(), 32u);
}

// Saved options: read after the typed ones, which win; a password in a
// file others can read is pointed out.
TEST(RunnerProgram, SavedOptionsFollowTheCommandLine) {
    RunnerProcess r;
    r.par2 = false;
    std::filesystem::create_directories(r.dir / "config/tarvel-skivor");
    writeFile(r.dir / "config/tarvel-skivor/tskivo.conf",
              "# my usual\n  /nzb=" + (r.dir / "saved.nzb") + "\n\n/maxlines=20\r\n/u=joe\n/p=s3cret\n");
    std::filesystem::permissions(r.dir / "config/tarvel-skivor/tskivo.conf", std::filesystem::perms::owner_read |
                                 std::filesystem::perms::owner_write | std::filesystem::perms::others_read);
    r.run({});
    EXPECT_EQ(r.exitStatus(), 0) << r.out << r.err;
    EXPECT_TRUE(std::filesystem::exists(r.dir / "saved.nzb"));
    EXPECT_EQ(r.server.server().acceptedArticles().size(), 6u) << "/maxlines=10 as typed, not the saved 20";
    EXPECT_THAT(r.server.server().transcript(), testing::Contains("AUTHINFO PASS s3cret"));
    EXPECT_THAT(r.err, HasSubstr("hold a password and others can read them"));
    // TSKIVO_CONFIG names another file; empty, none.
    RunnerProcess none;
    none.par2 = false;
    std::filesystem::create_directories(none.dir / "config/tarvel-skivor");
    writeFile(none.dir / "config/tarvel-skivor/tskivo.conf", "/nzb=" + (none.dir / "saved.nzb") + "\n");
    none.moreEnv = {"TSKIVO_CONFIG="};
    none.run({});
    EXPECT_EQ(none.exitStatus(), 0);
    EXPECT_FALSE(std::filesystem::exists(none.dir / "saved.nzb"));
}

// The volumes' folder has a name anyone can guess: one that is not the
// user's private folder is refused, and nothing is posted.
TEST(RunnerFailures, AVolumeStoreThatIsNotPrivateIsRefused) {
    RunnerProcess r;
    const std::string nzb = r.dir / "album.nzb";
    setenv("TMPDIR", (r.dir / "tmp").c_str(), 1);
    const std::string store = tskivo::volumeStore(nzb, "");
    unsetenv("TMPDIR");
    std::filesystem::create_directories(store);
    std::filesystem::permissions(store, std::filesystem::perms::owner_all | std::filesystem::perms::others_all);
    r.run({"/archive", "/nzb=" + nzb});
    EXPECT_EQ(r.exitStatus(), 255);
    EXPECT_THAT(r.out, HasSubstr(store + " is not a private folder of this user; remove it"));
    EXPECT_TRUE(r.server.server().acceptedArticles().empty());
}
