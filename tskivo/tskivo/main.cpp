// tskivo: posts a directory tree, one engine job per folder.
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <cstring>
#include <string>
#include <vector>

#include "folder_runner.h"
#include "restore.h"

namespace {

// In the program's private library folder (bin/ and lib/tarvel-skivor/), in
// lib/ beside bin/ (the build tree) or next to it, then by name through the
// program's RUNPATH.
void* loadLibrary(const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.find_last_of('/'));
        for (const std::string& candidate :
             {dir + "/../lib/tarvel-skivor/" + name, dir + "/../lib/" + name, dir + "/" + name})
            if (void* h = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    }
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || strcasecmp(argv[1], "/version") == 0)) {
        std::cout << "tskivo (Tarvel Skivor) 0.36" << std::endl;
        return 0;
    }
    // A flat download back into its tree: needs no library.
    if (argc >= 2 && std::strcmp(argv[1], "--restore") == 0) {
        if (argc != 4) {
            std::cerr << "  Usage: tskivo --restore <NZB file> <download folder>\n";
            return 255;
        }
        return tskivo::restoreTree(argv[2], argv[3], std::cout);
    }
    // Jobs read from standard input, one a line (the front end's queue).
    const bool queue = argc == 2 && std::strcmp(argv[1], "--queue") == 0;
    // The saved options after the typed ones.
    std::string note;
    const std::vector<std::string> args = tskivo::withSavedOptions(std::vector<std::string>(argv, argv + argc), note);
    // Programs that read the events get nothing else on standard output.
    bool json = queue;
    for (std::size_t i = 1; i < args.size(); ++i) json = json || strncasecmp(args[i].c_str(), "/json", 5) == 0;
    if (!json) std::cout << tskivo::kBanner << std::endl;
    // Loaded at run time, so that a missing library gets our own message;
    // nothing can be posted without them, which the status says too.
    void* engine = loadLibrary("libpelmor.so");
    void* sheets = loadLibrary("libtplat.so");
    if (!engine) std::cerr << "  Unable to load required DLL library: libpelmor.so, aborting.\n";
    if (!sheets) std::cerr << "  Unable to load required DLL library: libtplat.so, aborting.\n";
    if (!engine || !sheets) return 255;
    const auto postFolder = reinterpret_cast<tskivo::PostFolderFn>(dlsym(engine, "postFolder"));
    const auto createContactSheets =
        reinterpret_cast<tskivo::CreateContactSheetsFn>(dlsym(sheets, "createContactSheets"));
    if (!postFolder) {
        std::cerr << "  Unable to load required DLL library: libpelmor.so, aborting.\n";
        return 255;
    }
    if (!createContactSheets) {
        std::cerr << "  Unable to load required DLL library: libtplat.so, aborting.\n";
        return 255;
    }
    tskivo::jobsHandedOut = reinterpret_cast<tskivo::HandedOutFn>(dlsym(engine, "postFolderJobsHandedOut"));
    if (!note.empty()) std::cerr << "  " << note << "\n";
    const int status = queue ? tskivo::runQueue(std::cin, argv[0], postFolder, createContactSheets, std::cout)
                             : tskivo::runRunner(args, postFolder, createContactSheets, std::cout);
    std::cout.flush();
    dlclose(engine);
    return status;
}
