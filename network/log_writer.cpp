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
    using Clock = std::chrono::steady_clock;
    struct Kind {
        Clock::time_point secondStart;
        int written = 0;
        unsigned long long held = 0;
    };
    struct State {
        std::mutex mutex;
        std::unordered_map<std::string, Kind> kinds;
        Clock::time_point secondStart;  // all kinds together
        int written = 0;
    };
    auto state = std::make_shared<State>();
    return [state, out = std::move(out), perSecond, clock = std::move(now)](
               LogStream stream, const std::string& line) {
        const std::string kind = line.substr(0, std::min<std::size_t>(line.find(':'), 48));
        const Clock::time_point now = clock();
        std::string held;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            // Bounded whatever the lines hold: the counts only shape the log.
            if (state->kinds.size() > 256) state->kinds.clear();
            Kind& k = state->kinds[kind];
            if (now - k.secondStart >= std::chrono::seconds(1)) {
                if (k.held > 0)
                    held =
                        "\u2026 " + std::to_string(k.held) + " more like this in the last second\n";
                k.secondStart = now;
                k.written = 0;
                k.held = 0;
            }
            if (now - state->secondStart >= std::chrono::seconds(1)) {
                state->secondStart = now;
                state->written = 0;
            }
            if (k.written >= perSecond || state->written >= kBoundedLinesPerSecond) {
                ++k.held;
                return;
            }
            ++k.written;
            ++state->written;
        }
        if (!held.empty()) writeLine(out, stream, held);
        writeLine(out, stream, line);
    };
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
