#include "restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <vector>

#include "common/text_fields.h"

namespace tskivo {

namespace fs = std::filesystem;

namespace {

struct Entry {
    std::string name;    // as posted: "cover.jpg", or "CD1/cover.jpg" for names shared by folders
    std::string folder;  // below the start: "CD1", "" for the start
};

std::string attribute(const std::string& text, const std::string& key) {
    const std::string lead = " " + key + "=\"";
    const auto at = text.find(lead);
    if (at == std::string::npos) return {};
    const auto from = at + lead.size();
    return text.substr(from, text.find('"', from) - from);
}

// The names and folders this program wrote into its NZB files' comments.
bool readEntries(const std::string& path, std::vector<Entry>& entries) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    for (std::size_t at = all.find("<!-- tskivo "); at != std::string::npos; at = all.find("<!-- tskivo ", at + 1)) {
        const std::string meta = all.substr(at, all.find("-->", at) - at);
        Entry e;
        if (!common::fromHex(attribute(meta, "name"), e.name) || !common::fromHex(attribute(meta, "folder"), e.folder) ||
            e.name.empty())
            continue;
        entries.push_back(std::move(e));
    }
    return all.find("<nzb") != std::string::npos;
}

// A path inside the tree: no "..", no absolute part.
bool safeRelative(const std::string& path) {
    if (path.empty()) return true;
    if (path[0] == '/') return false;
    for (std::size_t at = 0; at <= path.size();) {
        const auto end = std::min(path.find('/', at), path.size());
        if (path.compare(at, end - at, "..") == 0 && end - at == 2) return false;
        at = end + 1;
    }
    return true;
}

// "name.vol003+04.par2": a PAR2 recovery volume.
bool recoveryVolume(const std::string& name) {
    const auto vol = name.rfind(".vol");
    return vol != std::string::npos && name.size() > 5 && name.compare(name.size() - 5, 5, ".par2") == 0 &&
           name.find('+', vol) != std::string::npos;
}

}  // namespace

int restoreTree(const std::string& nzbPath, const std::string& folder, std::ostream& out) {
    std::vector<Entry> entries;
    if (!readEntries(nzbPath, entries)) {
        out << "  Unable to read the NZB file " << nzbPath << ".\n";
        return 255;
    }
    if (entries.empty()) {
        out << "  The NZB file " << nzbPath << " names no folders (it was not written by tskivo 0.36 or later).\n";
        return 255;
    }
    int moved = 0, inPlace = 0, unneeded = 0;
    std::vector<std::string> missing, kept;
    std::set<std::string> taken;
    for (const Entry& e : entries) {
        const auto slash = e.name.find_last_of('/');
        const std::string base = slash == std::string::npos ? e.name : e.name.substr(slash + 1);
        const std::string target = e.folder.empty() ? base : e.folder + "/" + base;
        if (!safeRelative(e.folder) || base.empty() || base == "." || base == "..") {
            kept.push_back(e.name + " (its folder leaves the tree)");
            continue;
        }
        if (!taken.insert(target).second) continue;  // named twice (a file posted again)
        std::string flat = e.name;
        for (char& c : flat)
            if (c == '/') c = '_';
        std::string found;
        for (const std::string& candidate : {flat, base})
            if (found.empty() && fs::is_regular_file(fs::symlink_status(folder + "/" + candidate)))
                found = candidate;
        if (found.empty()) {
            if (fs::is_regular_file(fs::symlink_status(folder + "/" + target))) ++inPlace;
            else if (recoveryVolume(base)) ++unneeded;  // downloaders fetch those only to repair
            else missing.push_back(target);
            continue;
        }
        if (found == target) {
            ++inPlace;
            continue;
        }
        std::error_code ec;
        fs::create_directories(folder + "/" + e.folder, ec);
        // Never over a file that is there: link, then remove the old name.
        if (::link((folder + "/" + found).c_str(), (folder + "/" + target).c_str()) != 0) {
            kept.push_back(found + " (" + target + (errno == EEXIST ? " exists)" : ": " + std::string(std::strerror(errno)) + ")"));
            continue;
        }
        ::unlink((folder + "/" + found).c_str());
        out << "  " << found << " -> " << target << "\n";
        ++moved;
    }
    for (const auto& m : missing) out << "  Not found: " << m << "\n";
    for (const auto& k : kept) out << "  Left where it is: " << k << "\n";
    out << "  Moved " << moved << " file" << (moved == 1 ? "" : "s") << " into the tree";
    if (inPlace) out << "; " << inPlace << " in place already";
    if (unneeded) out << "; " << unneeded << " recovery volume" << (unneeded == 1 ? "" : "s") << " not downloaded (not needed)";
    if (!missing.empty()) out << "; " << missing.size() << " not found";
    if (!kept.empty()) out << "; " << kept.size() << " left where they were";
    out << ".\n";
    out.flush();
    return missing.empty() && kept.empty() ? 0 : 1;
}

}  // namespace tskivo
