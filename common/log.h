// A log that several threads write to: each line whole, ended and flushed
// at once. A status line drawn on the terminal (an overlay) is taken away
// before a line is written and drawn again after it, so that the log runs
// above it.
#pragma once

#include <mutex>
#include <ostream>
#include <string_view>

namespace common {

class Overlay {
public:
    virtual ~Overlay() = default;
    virtual void hide() = 0;
    virtual void show() = 0;
};

class Log {
public:
    explicit Log(std::ostream& out) : out_(&out) {}
    // One line with its line end.
    void line(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (overlay_) overlay_->hide();
        *out_ << text << '\n';
        out_->flush();
        if (overlay_) overlay_->show();
    }
    // Text without a line end (progress dots).
    void put(std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        *out_ << text;
        out_->flush();
    }
    std::ostream& stream() { return *out_; }
    void setStream(std::ostream& out) {
        std::lock_guard<std::mutex> lock(mutex_);
        out_ = &out;
    }
    void setOverlay(Overlay* overlay) {
        std::lock_guard<std::mutex> lock(mutex_);
        overlay_ = overlay;
    }
    // Runs `draw` with the log held, so that no line comes in between.
    template <typename Draw>
    void drawOverlay(Draw draw) {
        std::lock_guard<std::mutex> lock(mutex_);
        draw();
    }

private:
    std::ostream* out_;
    std::mutex mutex_;
    Overlay* overlay_ = nullptr;
};

}  // namespace common
