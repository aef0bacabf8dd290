// Shared test helpers: a fake clock, temporary folders, files, argument vectors.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "common/platform.h"

namespace testing_support {

// Time that moves only when the code sleeps or the test says so.
// Safe to share between the connections' threads of a job.
class FakeClock final : public common::Clock {
public:
    std::atomic<std::uint32_t> now{5000000};
    std::vector<std::uint32_t> sleeps;
    std::uint32_t tickMs() override { return now; }
    // Threads that sleep at once wait side by side: each is woken at the
    // time its sleep began plus its length, not after the others' sleeps.
    void sleepMs(std::uint32_t ms) override {
        const std::uint32_t target = now + ms;
        std::lock_guard<std::mutex> lock(mutex_);
        sleeps.push_back(ms);
        if (static_cast<std::int32_t>(target - now) > 0) now = target;
    }

private:
    std::mutex mutex_;
};

// A fresh folder that the test works in; the previous folder comes back after.
class TempDir {
public:
    explicit TempDir(bool enter = true) : previous_(std::filesystem::current_path()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tskivo-test-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
        if (enter) std::filesystem::current_path(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::filesystem::path previous_;
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Deterministic pseudo-random bytes.
inline std::string randomBytes(std::size_t n, std::uint32_t seed = 1) {
    std::string out(n, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return out;
}

// The data of one yEnc article body (between the =ypart and =yend lines).
inline std::string yencDecode(const std::string& body) {
    std::string out;
    std::istringstream in(body);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("=y", 0) == 0) continue;
        for (std::size_t i = 0; i < line.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(line[i]);
            if (c == '=' && i + 1 < line.size()) c = static_cast<unsigned char>(line[++i] - 64);
            out += static_cast<char>(c - 42);
        }
    }
    return out;
}

// An argument vector that outlives the call; element 0 is the program name.
class Args {
public:
    Args(std::initializer_list<std::string> words) : words_(words) { words_.insert(words_.begin(), "pelmor"); build(); }
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) { build(); }
    int argc() const { return static_cast<int>(pointers_.size()); }
    char** argv() { return pointers_.data(); }

private:
    void build() {
        for (auto& w : words_) pointers_.push_back(w.data());
    }
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

}  // namespace testing_support
