#pragma once
// Support of the take writers: numbers as BVH and CSV hold them, text files written so that
// either the file holds all of the text or the path holds nothing afterwards, and the guard that
// keeps exceptions inside.

#include <cstdio>
#include <exception>
#include <string>

namespace telmora {

// Appends `value` with six decimals ("-12.345678"): 1e-6 cm and 1e-6 degrees, far below what
// a re-import can tell apart. Locale-independent.
void appendFixed6(std::string& text, double value);

// A text file written while it is made, a megabyte at a time, so a long take needs neither its
// whole text in memory nor a wait for it: the writer appends to `text` and calls flushIfFull
// between lines, then finish. A file not finished (a failure, an exception) is removed.
class ChunkedTextFile {
public:
    static constexpr std::size_t kChunkBytes = 1 << 20;

    ChunkedTextFile() { text.reserve(kChunkBytes + 4096); }
    ~ChunkedTextFile();
    ChunkedTextFile(const ChunkedTextFile&) = delete;
    ChunkedTextFile& operator=(const ChunkedTextFile&) = delete;

    bool open(const std::string& path, std::string& error);
    bool flushIfFull(std::string& error) { return text.size() < kChunkBytes || flush(error); }
    // Writes the rest and closes the file.
    bool finish(std::string& error);

    std::string text;

private:
    bool flush(std::string& error);
    void abandon();

    std::string path_;
    std::FILE* file_ = nullptr;
};

// Runs a writer's body and returns its result; anything it throws (allocation failure, the
// exporter) becomes false with "cannot write <what>: <reason>" in `error`.
template <typename Body>
bool writeWithoutThrowing(const char* what, std::string& error, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        error = std::string("cannot write ") + what + ": " + e.what();
    } catch (...) {
        error = std::string("cannot write ") + what;
    }
    return false;
}

}  // namespace telmora
