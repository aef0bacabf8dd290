#include "watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/name_order.h"
#include "common/platform.h"
#include "common/replace_file.h"
#include "common/text_fields.h"

namespace tskivo {

namespace fs = std::filesystem;

std::string folderSignature(const std::string& folder) {
    std::vector<std::string> lines;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (lstat(it->path().c_str(), &st) != 0) continue;
        lines.push_back(it->path().string() + "\t" + std::to_string(st.st_size) + "\t" +
                        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

std::vector<std::string> FolderWatch::ready(const std::map<std::string, std::string>& seen, std::int64_t now,
                                            const std::set<std::string>& done) {
    std::vector<std::string> out;
    for (auto it = last_.begin(); it != last_.end();) it = seen.count(it->first) ? std::next(it) : last_.erase(it);
    for (const auto& [name, signature] : seen) {
        auto& [was, since] = last_[name];
        if (was != signature || since == 0) {
            was = signature;
            since = now;  // changed: the quiet time starts again
            if (quiet_ > 0) continue;
        }
        if (!done.count(name) && now - since >= quiet_) out.push_back(name);
    }
    std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) { return common::sortsBefore(a, b); });
    return out;
}

bool WatchRecord::load(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char chunk[65536];
    for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    close(fd);
    const auto j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_object()) return false;
    if (j.contains("posted") && j["posted"].is_object())
        for (const auto& [name, status] : j["posted"].items())
            if (status.is_number_integer()) posted[name] = status.get<int>();
    if (j.contains("current") && j["current"].is_string()) current = j["current"].get<std::string>();
    return true;
}

bool WatchRecord::save(const std::string& path) const {
    nlohmann::json j{{"posted", posted}, {"current", current}};
    return common::replaceFile(path, j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", 0600);
}

std::string watchRecordPath(const std::string& start, const std::string* nzbDir) {
    char name[48];
    std::snprintf(name, sizeof name, "watch-%016llx.json", static_cast<unsigned long long>(common::fnv1a(start)));
    std::string dir;
    if (nzbDir) {
        dir = *nzbDir;
    } else {
        const auto state = common::environment("XDG_STATE_HOME");
        dir = (state && !state->empty() ? *state : common::environment("HOME").value_or("/tmp") + "/.local/state") +
              "/tarvel-skivor";
        std::error_code ec;
        fs::create_directories(dir, ec);
        fs::permissions(dir, fs::perms::owner_all, ec);
    }
    return dir + "/" + name;
}

}  // namespace tskivo
