// PAR 2.0 recovery sets of our own making: main, file description, input
// file slice checksum, recovery slice and creator packets, as downloaders'
// PAR2 clients expect them. The set is planned first (names and sizes known
// before any data is read), then built: in as few passes over the input as
// the memory limit allows, each pass's recovery blocks written out as soon
// as it ends.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plan.h"

namespace par2 {

struct Par2Result {
    std::vector<std::string> files;  // index file first, then the volumes
    std::uint64_t blockSize = 0;
    std::uint32_t sourceBlocks = 0;
    std::uint32_t recoveryBlocks = 0;
    std::uint64_t sourceBytes = 0;    // of the files protected
    std::uint64_t recoveryBytes = 0;  // written, all files
    std::uint32_t passes = 0;
    std::vector<std::uint32_t> crcs;  // each file's CRC-32, as `files` (once made)
    std::string error;                // empty when the set was made
};

// Builds a planned set, on the calling thread (run) or in the background
// (start, then wait), reading the source files itself.
class SetBuilder {
public:
    // `progress` (may be empty) gets the share done, 0 to 1, from the
    // building thread.
    SetBuilder(SetPlan plan, std::function<void(double)> progress = {});
    ~SetBuilder();  // a build still running is cancelled
    SetBuilder(const SetBuilder&) = delete;
    SetBuilder& operator=(const SetBuilder&) = delete;

    const SetPlan& plan() const { return plan_; }
    Par2Result run();
    // In the background, the computing threads yielding the CPU to the rest
    // of the process (as they do in run).
    void start();
    Par2Result wait();
    // The background build has ended (wait will not block).
    bool finished() const { return finished_; }
    void cancel() { cancelled_ = true; }
    // Called once the first pass has read an input whole (its path as
    // given), with the CRC-32 of its bytes (what a yEnc trailer carries), so
    // that whoever posts the file need not read it an extra time; from the
    // pass's readers, which may call at once. Set before start.
    std::function<void(const std::string& path, std::uint32_t crc)> onFileCrc;

private:
    Par2Result build();
    SetPlan plan_;
    std::function<void(double)> progress_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
    Par2Result result_;
};

// The result's file list and sizes as the plan has them.
Par2Result plannedResult(const SetPlan& plan);

// Plans and builds "<base>.par2" and "<base>.volXX+YY.par2" in `folder`.
// `progress` (may be empty) gets the share done, 0 to 100.
Par2Result createPar2(const std::vector<Par2Input>& inputs, const std::string& folder, const std::string& base,
                      const Par2Options& options, const std::function<void(int)>& progress = {});

}  // namespace par2
