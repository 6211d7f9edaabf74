#include "network/log_writer.h"

#include <iostream>

namespace telmora {

LogWriter standardLogWriter() {
    return [](LogStream stream, const std::string& line) {
        std::ostream& out = stream == LogStream::Out ? std::cout : std::cerr;
        // One insertion per line keeps lines from different threads whole.
        out << line << std::flush;
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
