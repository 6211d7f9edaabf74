#include "tools/host/session_steps.h"

namespace telmora::host {

void Steps::close() {
    const auto now = std::chrono::steady_clock::now();
    if (!current_.empty())
        report_.stepSeconds.push_back(
            {current_, std::chrono::duration<double>(now - start_).count()});
    start_ = now;
}

void Steps::begin(const std::string& text) {
    close();
    current_ = text;
    console.line(text);
}

void fail(int status, const std::string& reason) {
    throw StepFailure{status, reason};
}

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f s", seconds);
    return text;
}

}  // namespace telmora::host
