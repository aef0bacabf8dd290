// The shared library as its callers see it: one export, process exit statuses.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

using testing_support::Args;
using testing_support::TempDir;

namespace {

using PostFolderFn = int (*)(int, char**, bool, bool, bool, bool);

PostFolderFn loadPostFolder() {
    void* handle = dlopen(PELMOR_SO, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return nullptr;
    return reinterpret_cast<PostFolderFn>(dlsym(handle, "postFolder"));
}

}  // namespace

TEST(Export, PostFolderAndTheHandedOutCountAreTheOnlyExportedSymbols) {
    std::unique_ptr<FILE, int (*)(FILE*)> nm(popen("nm -D --defined-only " PELMOR_SO, "r"), pclose);
    ASSERT_TRUE(nm);
    char line[512];
    std::vector<std::string> symbols;
    while (fgets(line, sizeof line, nm.get())) {
        std::string s(line);
        // "address type name"; weak and version-definition symbols are the toolchain's.
        const auto parts = s.find(' ');
        const char type = s.size() > parts + 1 ? s[parts + 1] : '?';
        if (type == 'w' || type == 'W' || type == 'V' || type == 'A') continue;
        symbols.push_back(s.substr(parts + 3, s.size() - parts - 4));
    }
    EXPECT_THAT(symbols, testing::UnorderedElementsAre("postFolder", "postFolderJobsHandedOut"));
}

TEST(ExportDeathTest, FailedJobEndsTheProcessWith255AfterItsMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const PostFolderFn postFolder = loadPostFolder();
    ASSERT_NE(postFolder, nullptr);
    // Each death test's child runs this body again up to its statement and
    // ends there: it takes the parent's folder from the environment instead
    // of making one that nobody would remove.
    std::optional<TempDir> dir;
    if (!getenv("TSKIVO_TEST_SYSTEMROOT")) {
        dir.emplace();
        setenv("TSKIVO_TEST_SYSTEMROOT", dir->path().c_str(), 1);
    }
    setenv("SystemRoot", getenv("TSKIVO_TEST_SYSTEMROOT"), 1);
    Args nothing{};
    EXPECT_EXIT(postFolder(nothing.argc(), nothing.argv(), false, true, false, false), testing::ExitedWithCode(255),
                "You must provide a from parameter.\nYou must provide a subject parameter.\n"
                "You must provide a newsgroups parameter.\nYou must provide a hostname parameter.");
    Args help{"-?"};
    EXPECT_EXIT(postFolder(help.argc(), help.argv(), false, true, false, false), testing::ExitedWithCode(0),
                "Usage: pelmor");
    // All required options and no files: the summary, then a normal return.
    Args noFiles{"-from", "f", "-subject", "s", "-newsgroups", "g", "-hostname", "127.0.0.1"};
    EXPECT_EQ(postFolder(noFiles.argc(), noFiles.argv(), false, true, false, false), 0);
    unsetenv("SystemRoot");
    unsetenv("TSKIVO_TEST_SYSTEMROOT");
}
