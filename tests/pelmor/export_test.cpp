// The shared library as its callers see it: one export, process exit statuses.
#include <dlfcn.h>

#include <cstdio>
#include <memory>

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

TEST(Export, PostFolderIsTheOnlyExportedSymbol) {
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
    EXPECT_THAT(symbols, testing::ElementsAre("postFolder"));
}

TEST(ExportDeathTest, FailedJobEndsTheProcessWith255AfterItsMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const PostFolderFn postFolder = loadPostFolder();
    ASSERT_NE(postFolder, nullptr);
    TempDir dir;
    setenv("SystemRoot", dir.path().c_str(), 1);
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
}
