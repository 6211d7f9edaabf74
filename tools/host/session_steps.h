#pragma once
// The steps of a session as the console shows them: one line each, timed, and a progress bar
// for the long ones; a step that fails ends the session with its exit status.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

#include "tools/host/console.h"
#include "tools/host/session.h"

namespace telmora::host {

// A session step failed: why, and the exit status it ends with.
struct StepFailure {
    int status;
    std::string reason;
};

// The steps taken so far: each begun with its line, its wall-clock seconds kept in the report.
class Steps {
public:
    Steps(Console& console, SessionReport& report) : console(console), report_(report) {}

    // Ends the step before (timing it) and prints this one's line.
    void begin(const std::string& text);
    // Ends the current step's timing.
    void close();
    // The step under way ("" before the first).
    const std::string& current() const { return current_; }

    Console& console;

private:
    SessionReport& report_;
    std::string current_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Ends the session's steps: throws StepFailure{status, reason}.
[[noreturn]] void fail(int status, const std::string& reason);

// A bar redrawn in place on a terminal; elsewhere only its last state is written, as one line.
class ProgressBar {
public:
    ProgressBar(Console& console, std::string label)
        : console_(console), label_(std::move(label)), terminal_(console.isTerminal()) {}
    void update(double fraction, const std::string& detail) {
        fraction = std::clamp(fraction, 0.0, 1.0);
        const int percent = static_cast<int>(fraction * 100.0);
        if (percent == lastPercent_ && detail == lastDetail_) return;
        lastPercent_ = percent;
        lastDetail_ = detail;
        if (terminal_) console_.write("\r" + text(fraction, detail) + "\033[K");
    }
    void finish(const std::string& detail) {
        if (terminal_) {
            console_.write("\r" + text(1.0, detail) + "\033[K\n");
        } else {
            console_.line(text(1.0, detail));
        }
    }

private:
    std::string text(double fraction, const std::string& detail) const {
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(fraction * kWidth);
        char percent[8];
        std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(fraction * 100.0));
        return "  " + label_ + " [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + percent + "  " +
               detail;
    }
    Console& console_;
    std::string label_;
    bool terminal_;
    int lastPercent_ = -1;
    std::string lastDetail_;
};

// Seconds as "1.5 s".
std::string formatSeconds(double seconds);

}  // namespace telmora::host
