// tskivo: posts a directory tree, one engine job per folder.
#include <dlfcn.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "folder_runner.h"

int main(int argc, char** argv) {
    std::cout << tskivo::kBanner << std::endl;
    // Loaded by name, so that a missing library gets our own message.
    void* engine = dlopen("libpelmor.so", RTLD_NOW | RTLD_LOCAL);
    void* sheets = dlopen("libtplat.so", RTLD_NOW | RTLD_LOCAL);
    if (!engine) std::cerr << "  Unable to load required DLL library: libpelmor.so, aborting.\n";
    if (!sheets) std::cerr << "  Unable to load required DLL library: libtplat.so, aborting.\n";
    if (!engine || !sheets) return 0;
    const auto postFolder = reinterpret_cast<tskivo::PostFolderFn>(dlsym(engine, "postFolder"));
    const auto createContactSheets =
        reinterpret_cast<tskivo::CreateContactSheetsFn>(dlsym(sheets, "createContactSheets"));
    if (!postFolder) {
        std::cerr << "  Unable to load required DLL library: libpelmor.so, aborting.\n";
        return 0;
    }
    if (!createContactSheets) {
        std::cerr << "  Unable to load required DLL library: libtplat.so, aborting.\n";
        return 0;
    }
    const int status = tskivo::runRunner(std::vector<std::string>(argv, argv + argc), postFolder,
                                         createContactSheets, std::cout);
    std::cout.flush();
    dlclose(engine);
    return status;
}
