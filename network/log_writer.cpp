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

void writeLine(const LogWriter& writer, LogStream stream, const std::string& line) noexcept {
    if (!writer) return;
    try {
        writer(stream, line);
    } catch (...) {
        // Nowhere left to report it.
    }
}

}  // namespace telmora
