// The runner program against a scripted server, for every way a job can
// fail or be stopped: the engine's message, the status, and no private
// folder left behind.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_nntp_server.h"
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
    RunnerProcess() {
        std::filesystem::create_directories(dir / "tree/sub");
        std::filesystem::create_directories(dir / "tmp");
        std::filesystem::create_directories(dir / "config");
        writeFile(dir / "tree/a.bin", testing_support::randomBytes(3000, 1));
        writeFile(dir / "tree/sub/b.bin", testing_support::randomBytes(3000, 2));
        // One attempt an article: every failure ends the job at once.
        writeFile(dir / "config/pelmor.ini", "max_retries\t1\n");
    }
    // Starts tskivo on the tree; `whilst` runs while it does.
    void run(std::vector<std::string> extra, int port = 0, const std::function<void(pid_t)>& whilst = {}) {
        std::vector<std::string> args{TSKIVO_BIN, "Me <me@x.org>", "Trip", dir / "tree", "alt.test", "127.0.0.1", "",
                                      "*.bin", "/port=" + std::to_string(port ? port : server.port()),
                                      "/maxlines=10", "/par2=10"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<std::string> env{"TMPDIR=" + (dir / "tmp"), "XDG_CONFIG_HOME=" + (dir / "config"),
                                     "HOME=" + dir.path(), "PATH=/usr/bin:/bin"};
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
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
    }
}
