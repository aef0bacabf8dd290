// A log that several threads write to: each line whole, ended and flushed
// at once.
#pragma once

#include <mutex>
#include <ostream>
#include <string_view>

namespace common {

class Log {
public:
    explicit Log(std::ostream& out) : out_(out) {}
    // One line with its line end.
    void line(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        out_ << text << '\n';
        out_.flush();
    }
    // Text without a line end (progress dots).
    void put(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        out_ << text;
        out_.flush();
    }
    std::ostream& stream() { return out_; }

private:
    std::ostream& out_;
    std::mutex mutex_;
};

}  // namespace common
