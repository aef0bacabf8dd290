#include "defaults.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "common/replace_file.h"

namespace pelmor {

std::string defaultsFilePath() {
    if (auto root = common::environment("SystemRoot")) return *root + "/pelmor.ini";
    std::string config;
    if (auto xdg = common::environment("XDG_CONFIG_HOME"); xdg && !xdg->empty()) {
        config = *xdg;
    } else if (auto home = common::environment("HOME"); home && !home->empty()) {
        config = *home + "/.config";
    } else {
        config = ".";
    }
    return config + "/pelmor.ini";
}

void readDefaults(PostJob& job, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string text;
    // Whole lines: a long value (xheaders, a long password) must come back as
    // it was written, not split into bogus entries.
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        const auto tab = text.find('\t');
        std::string key, value;
        if (tab != std::string::npos) {
            key = text.substr(0, tab);
            value = text.substr(tab + 1);
            for (char& c : value)
                if (c == '\t') c = '\n';
        } else {
            std::vector<std::string> words;
            std::istringstream split(text);
            std::string w;
            while (std::getline(split, w, ' '))
                if (!w.empty()) words.push_back(w);
            if (words.size() != 2) continue;
            key = words[0];
            value = words[1];
        }
        if (key == "out") {
            continue;  // written by older versions; never a default
        } else if (key == "encoding") {
            job.encoding = value == "uu" ? kUuencode : kYenc;
        } else if (key == "verbosity") {
            job.verbosity = static_cast<int>(common::readDecimal(value));
        } else {
            job.options[key] = value;
        }
    }
}

void writeDefaultsFile(const PostJob& job, const std::string& path) {
    std::string text;
    for (const auto& [key, value] : job.options) {
        // An NZB file belongs to one job; as a default, every later job
        // would write into it with no way back from the command line.
        if (key == "out") continue;
        std::string v = value;
        for (char& c : v)
            if (c == '\n') c = '\t';
        text += key + "\t" + v + "\n";
    }
    text += std::string("encoding\t") + (job.encoding == kUuencode ? "uu" : "yenc") + "\n";
    text += "verbosity\t" + std::to_string(job.verbosity) + "\n";

    const auto slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0700);
    // Owner-only: the file holds the password. Replaced whole, so a full
    // disk leaves the old defaults rather than an empty file.
    common::replaceFile(path, text, 0600);
}

std::string performanceLogPath(const PostJob& job) {
    const std::string defaults = job.defaultsPath.empty() ? defaultsFilePath() : job.defaultsPath;
    const auto slash = defaults.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : defaults.substr(0, slash)) + "/performance_data";
}

}  // namespace pelmor
