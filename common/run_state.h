// The file a folder runner and the engine share for one run: the runner
// writes where the run stands before each job (folder n of m, bytes so far),
// the engine writes the job's outcome (status, totals, message) when it
// ends. Lines of key=value; values without line breaks.
#pragma once

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "replace_file.h"

namespace common {

using RunState = std::map<std::string, std::string>;

inline RunState readRunState(const std::string& path) {
    RunState state;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) state[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return state;
}

inline bool writeRunState(const std::string& path, const RunState& state) {
    std::string text;
    for (const auto& [key, value] : state) {
        std::string v = value;
        for (char& c : v)
            if (c == '\n' || c == '\r') c = ' ';
        text += key + "=" + v + "\n";
    }
    return replaceFile(path, text, 0600);
}

inline long long runStateNumber(const RunState& state, const std::string& key) {
    const auto it = state.find(key);
    return it == state.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
}

}  // namespace common
