// A posting job run in-process against a scripted news server on 127.0.0.1:
// the options a test file uses for all its jobs, then each test's own words.
#pragma once

#include "fake_nntp_server.h"
#include <gtest/gtest.h>

#include "job/post_job.h"
#include "kelvo_exception.h"
#include "post/run.h"
#include "test_support.h"

namespace testing_support {

// A job with a fake clock and a captured log.
struct JobHarness {
    FakeClock clock;
    std::ostringstream log;
    pelmor::PostJob job;
    explicit JobHarness(bool printHeader = true, bool threadPosts = true, bool uutease = false, bool scramble = false)
        : job(printHeader, threadPosts, uutease, scramble, clock, log) {}
};

template <typename Server>
struct PostingRunOn : JobHarness {
    TempDir dir;
    Server server;
    std::vector<std::string> options;  // after the program name, before the server

    explicit PostingRunOn(std::vector<std::string> options_, bool printHeader = false, bool threadPosts = true,
                          bool uutease = false, bool scramble = false)
        : JobHarness(printHeader, threadPosts, uutease, scramble), options(std::move(options_)) {
        job.responseTimeoutMs = 5000;
    }
    std::vector<std::string> words(const std::vector<std::string>& extra) const {
        std::vector<std::string> w{"pelmor"};
        w.insert(w.end(), options.begin(), options.end());
        for (const std::string& s : {std::string("-hostname"), std::string("127.0.0.1"), std::string("-port"),
                                     std::to_string(server.port())})
            w.push_back(s);
        w.insert(w.end(), extra.begin(), extra.end());
        return w;
    }
    void run(const std::vector<std::string>& extra) {
        Args a(words(extra));
        pelmor::runJob(job, a.argc(), a.argv());
    }
    // A later job in the same folder against the same server; its log.
    // With `failure`, a job that fails is expected: its message lands there.
    std::string runAgain(const std::vector<std::string>& extra, std::string* failure = nullptr) {
        JobHarness again(false);
        again.job.responseTimeoutMs = job.responseTimeoutMs;
        Args a(words(extra));
        try {
            pelmor::runJob(again.job, a.argc(), a.argv());
            if (failure) ADD_FAILURE() << "the job passed";
        } catch (const Kelvo_Exception& e) {
            if (!failure) throw;
            *failure = e.message;
        }
        return again.log.str();
    }
};

using PostingRun = PostingRunOn<ScriptedNntpServer>;

}  // namespace testing_support
