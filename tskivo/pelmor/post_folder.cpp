// The engine's one export.
#include <sys/prctl.h>

#include <exception>
#include <iostream>

#include "job/defaults.h"
#include "kelvo_exception.h"
#include "pelmor.h"
#include "post/run.h"

extern "C" PELMOR_EXPORT int postFolder(int argc, char** argv, bool printHeader, bool threadPosts, bool uutease,
                                        bool scramble) {
    using namespace pelmor;
    // The job holds the server password: no core dump of it, anywhere.
    prctl(PR_SET_DUMPABLE, 0);
    int status = -1;
    {
        PostJob job(printHeader, threadPosts, uutease, scramble, common::systemClock(), std::cerr);
        job.defaultsPath = defaultsFilePath();
        readDefaults(job, job.defaultsPath);
        try {
            runJob(job, argc, argv);
        } catch (const Kelvo_Exception& e) {
            job.line(e.message);
            status = 255;
        } catch (const ProcessExit& e) {
            status = e.status;
        } catch (const std::exception& e) {
            job.line(e.what());
            status = 255;
        }
    }
    if (status >= 0) common::exitProcess(status);
    return 0;
}
