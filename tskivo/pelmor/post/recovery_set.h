// The job's PAR2 recovery set ("-par2"): planned before posting starts (its
// files' names and sizes follow from the parameters, so their subjects are
// known), built in the background over the files named after "-par2" while
// those are posted, and posted after them. Its files live in a private
// folder that goes when the job ends, however it ends.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "job/settings.h"
#include "par2/par2_create.h"

namespace pelmor {

class RecoverySet {
public:
    // Plans the set when the job asks for one, adds its files to the job's
    // files and starts building it; fails the job when it cannot be made.
    RecoverySet(PostJob& job, const JobSettings& settings);
    ~RecoverySet();
    RecoverySet(const RecoverySet&) = delete;
    RecoverySet& operator=(const RecoverySet&) = delete;

    // Whether file f of the job is one of the set's.
    bool holds(int f) const { return firstFile_ >= 0 && f >= firstFile_; }
    // Waits until the set is built (once); fails the job when it could not be.
    void ready();
    // File f's CRC-32 as the set's first pass read it: one read of the file
    // fewer. A set made in slices (past its memory limit, where reads count
    // most, and the set is the slower side: it is posted after the files)
    // is waited for; a set made in one pass only when it has the CRC
    // already (its first file's pass is the whole computation: waiting for
    // it would hold the posting's start). The set's own files' once it is
    // ready. None when the set does not cover the file or could not read
    // it. Throws Interrupted when the job is to stop.
    std::optional<std::uint32_t> fileCrc(int f);
    // The share of the set built so far, 0 to 1; negative without a set.
    double progress() const { return builder_ ? progress_.load() : -1.0; }

private:
    PostJob& job_;
    const JobSettings& settings_;
    std::string folder_;
    int firstFile_ = -1;
    std::unique_ptr<par2::SetBuilder> builder_;
    std::atomic<double> progress_{0};
    bool ready_ = false;
    std::mutex crcMutex_;
    std::condition_variable crcKnown_;
    bool waitForCrcs_ = false;
    std::map<std::string, std::uint32_t> crcs_;  // by the path the job reads the file by
    std::chrono::steady_clock::time_point started_;
};

}  // namespace pelmor
