#include "network/log_writer.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace telmora {

LogWriter standardLogWriter() {
    return [](LogStream stream, const std::string& line) {
        std::ostream& out = stream == LogStream::Out ? std::cout : std::cerr;
        // One insertion per line keeps lines from different threads whole.
        out << line << std::flush;
    };
}

LogWriter boundedLogWriter(LogWriter out, int perSecond) {
    return boundedLogWriter(std::move(out), perSecond,
                            [] { return std::chrono::steady_clock::now(); });
}

LogWriter boundedLogWriter(LogWriter out, int perSecond,
                           std::function<std::chrono::steady_clock::time_point()> now) {
    return BoundedLogWriter(std::move(out), perSecond, std::move(now));
}

struct BoundedLogWriter::State {
    using Clock = std::chrono::steady_clock;
    struct Kind {
        Clock::time_point secondStart;
        int written = 0;
        unsigned long long held = 0;
    };
    std::mutex mutex;
    std::unordered_map<std::string, Kind> kinds;
    Clock::time_point secondStart;  // all kinds together
    int written = 0;
};

BoundedLogWriter::BoundedLogWriter(LogWriter out, int perSecond,
                                   std::function<std::chrono::steady_clock::time_point()> now)
    : state_(std::make_shared<State>()),
      out_(std::move(out)),
      perSecond_(perSecond),
      now_(std::move(now)) {}

void BoundedLogWriter::operator()(LogStream stream, const std::string& line) const {
    Write(stream, kindOf(line), [&] { return line; });
}

std::string BoundedLogWriter::kindOf(const std::string& line) {
    return line.substr(0, std::min<std::size_t>(line.find(':'), 48));
}

bool BoundedLogWriter::Admit(const std::string& kind, std::string& heldLine) const {
    using Clock = State::Clock;
    const Clock::time_point now = now_();
    std::lock_guard<std::mutex> lock(state_->mutex);
    // Bounded whatever the lines hold: the counts only shape the log.
    if (state_->kinds.size() > 256) state_->kinds.clear();
    State::Kind& k = state_->kinds[kind];
    if (now - k.secondStart >= std::chrono::seconds(1)) {
        if (k.held > 0)
            heldLine = "\u2026 " + std::to_string(k.held) + " more like this in the last second\n";
        k.secondStart = now;
        k.written = 0;
        k.held = 0;
    }
    if (now - state_->secondStart >= std::chrono::seconds(1)) {
        state_->secondStart = now;
        state_->written = 0;
    }
    if (k.written >= perSecond_ || state_->written >= kBoundedLinesPerSecond) {
        ++k.held;
        return false;
    }
    ++k.written;
    ++state_->written;
    return true;
}

void writeLineLazily(const LogWriter& writer, LogStream stream, const std::string& kind,
                     const std::function<std::string()>& makeLine) noexcept {
    if (!writer) return;
    try {
        if (const BoundedLogWriter* bounded = writer.target<BoundedLogWriter>()) {
            bounded->Write(stream, kind, makeLine);
            return;
        }
        writer(stream, makeLine());
    } catch (...) {
        // Nowhere left to report it.
    }
}

std::string escapeControlCharacters(const std::string& text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHexDigits[byte >> 4];
            out += kHexDigits[byte & 0x0F];
        }
    }
    return out;
}

void writeLine(const LogWriter& writer, LogStream stream, const std::string& line) noexcept {
    if (!writer) return;
    try {
        writer(stream, line);
    } catch (...) {
        // Nowhere left to report it.
    }
}

}  // namespace telmora
