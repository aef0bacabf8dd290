// Packing a folder's files into a password-protected 7z archive (AES-256,
// the names encrypted too) in volumes, with the 7z program of Debian's
// 7zip or p7zip-full package, before they are posted.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "run_options.h"

namespace tskivo {

// Volumes of 50 MiB unless /volume= says otherwise.
inline constexpr std::uint64_t kDefaultVolumeMiB = 50;

// The 7z program: TSKIVO_7Z when set, else 7zz, 7z or 7za on the PATH.
std::optional<std::string> findSevenZip();

// 24 letters and digits from the system's random source.
std::string randomPassword();

// Where one run's volumes are kept: beside nothing of the user's, in the
// temp folder, private to the user, and named after the NZB file when
// there is one, so that a resumed posting finds the volumes it posted.
std::string volumeStore(const std::optional<std::string>& nzbFile, const std::string& privateFolder);

struct PackRequest {
    std::string sevenZip;
    std::vector<std::string> files;  // relative to the current folder, or absolute
    std::string folder;              // the volumes' folder (made; emptied first)
    std::string name;                // the archive's name, without ".7z"
    std::string password;
    std::uint64_t volumeBytes = kDefaultVolumeMiB << 20;
    std::function<void(int percent)> progress;  // as 7z reports it
};

// Packs; empty when done, else why not (nothing is left behind then).
std::string packArchive(const PackRequest& request);

// The volumes in `folder`, in order.
std::vector<std::string> archiveVolumes(const std::string& folder);

// Whether `folder` has room for `bytes` and a margin; else why not.
std::string checkFreeSpace(const std::string& folder, std::uint64_t bytes);

// One run's archives: the password, the store of volumes, and each
// folder's volumes, packed once (a resumed posting posts the volumes it
// packed before) and removed when the posting is complete.
class RunArchives {
public:
    // Empty when ready, else why not (nothing is posted then).
    std::string prepare(const RunOptions& options, const std::string& privateFolder);
    // Packs the files of folder `index` (of the current folder, or
    // absolute) unless packed already; `folder` is where its volumes are.
    std::string pack(std::size_t index, const std::vector<std::string>& files, std::uint64_t bytes,
                     const std::string& name, const std::function<void(int)>& progress, std::string& folder);
    // Removes the volumes, unless the posting is not complete and may be resumed.
    void finish(bool complete);
    const std::string& password() const { return password_; }
    bool generated() const { return generated_; }
    const std::string& store() const { return store_; }

private:
    std::string sevenZip_, store_, password_;
    std::uint64_t volumeBytes_ = kDefaultVolumeMiB << 20;
    bool keep_ = false, generated_ = false, obfuscate_ = false;
};

}  // namespace tskivo
