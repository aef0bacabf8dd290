#include "recovery_set.h"

#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/platform.h"
#include "kelvo_exception.h"

namespace pelmor {

RecoverySet::RecoverySet(PostJob& job, const JobSettings& settings) : job_(job), settings_(settings) {
    if (settings.par2.percent <= 0) return;
    std::vector<par2::Par2Input> inputs;
    for (const FileEntry& f : job.files)
        if (f.inPar2Set) inputs.push_back({f.name, postedName(f)});
    if (inputs.empty()) return;
    folder_ = common::makePrivateFolder();
    if (folder_.empty()) throw Kelvo_Exception(0, "PAR2: cannot make a private folder for the recovery files");
    par2::Par2Options o;
    o.percent = settings.par2.percent;
    o.fileCount = settings.par2.fileCount;
    o.equalSizes = settings.par2.equalSizes;
    o.blockCount = settings.par2.blockCount;
    o.blockSize = settings.par2.blockSize;
    o.memoryLimit = settings.par2.memoryLimit;
    par2::SetPlan plan;
    std::string error;
    if (!par2::planSet(inputs, folder_, settings.par2.name.empty() ? "files" : settings.par2.name, o, plan, error))
        throw Kelvo_Exception(0, error);
    firstFile_ = static_cast<int>(job.files.size());
    waitForCrcs_ = plan.sliceBytes != 0;
    const par2::Par2Result planned = par2::plannedResult(plan);
    const std::string folder = job.hasOption("pathnames") ? job.getOption("pathnames") + "/" : "";
    const auto add = [&](const std::string& path, std::uint64_t size) {
        job.files.push_back(FileEntry{path, job.encoding, {}, size, false,
                                      folder.empty() ? "" : folder + path.substr(path.find_last_of('/') + 1)});
    };
    add(plan.indexPath, plan.criticalBytes);
    for (const auto& v : plan.volumes) add(v.path, v.size);
    builder_ = std::make_unique<par2::SetBuilder>(std::move(plan), [this](double share) { progress_ = share; });
    // Posting a file of several yEnc parts needs its CRC first: the first
    // pass reads it anyway.
    builder_->onFileCrc = [this](const std::string& path, std::uint32_t crc) {
        {
            std::lock_guard<std::mutex> lock(crcMutex_);
            crcs_[path] = crc;
        }
        crcKnown_.notify_all();
    };
    started_ = std::chrono::steady_clock::now();
    builder_->start();
}

std::optional<std::uint32_t> RecoverySet::fileCrc(int f) {
    if (!builder_ || f < 0 || f >= static_cast<int>(job_.files.size())) return std::nullopt;
    const std::string& name = job_.files[static_cast<std::size_t>(f)].name;
    std::unique_lock<std::mutex> lock(crcMutex_);
    // The set's own files: known once it is made, as they were written.
    if (holds(f)) {
        const auto it = crcs_.find(name);
        return ready_ && it != crcs_.end() ? std::optional<std::uint32_t>(it->second) : std::nullopt;
    }
    if (!job_.files[static_cast<std::size_t>(f)].inPar2Set) return std::nullopt;
    for (;;) {
        if (const auto it = crcs_.find(name); it != crcs_.end()) return it->second;
        // The first pass ended without it (a file it could not read): the
        // encoder reads the file itself, and says what is wrong.
        if (builder_->finished() || !waitForCrcs_) return std::nullopt;
        if (job_.stopRequested()) throw Interrupted{};
        crcKnown_.wait_for(lock, std::chrono::milliseconds(20));
    }
}

void RecoverySet::ready() {
    if (!builder_ || ready_) return;
    // Waited for a little at a time (real time: the build runs on a real
    // thread), so that a stop cancels the build.
    while (!builder_->finished()) {
        if (job_.stopRequested()) throw Interrupted{};
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const par2::Par2Result r = builder_->wait();
    if (!r.error.empty()) throw Kelvo_Exception(0, r.error);
    {
        std::lock_guard<std::mutex> lock(crcMutex_);
        for (std::size_t i = 0; i < r.files.size() && i < r.crcs.size(); ++i) crcs_[r.files[i]] = r.crcs[i];
        ready_ = true;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    char line[256];
    std::snprintf(line, sizeof line,
                  "  PAR2: %u recovery blocks of %llu bytes (%.1f MB) for %u source blocks in %.1f s, %.1f MB/s",
                  r.recoveryBlocks, static_cast<unsigned long long>(r.blockSize),
                  static_cast<double>(r.recoveryBytes) / 1e6, r.sourceBlocks, seconds,
                  seconds > 0 ? static_cast<double>(r.sourceBytes) / 1e6 / seconds : 0.0);
    job_.line(std::string(settings_.printHeader ? "" : "  ") + line);
}

RecoverySet::~RecoverySet() {
    builder_.reset();  // cancels a build still running and waits for it
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

}  // namespace pelmor
