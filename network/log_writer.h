#pragma once
// Where the network layer's progress and diagnostic lines go.
//
// There is no log framework: every line is one plain text with its newline, for standard output
// or standard error. Owners hand a writer to the stream client and the discovery service so a
// test (or a tool) can take the lines itself instead of reading the process's streams.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace telmora {

enum class LogStream { Out, Err };

// Called with one complete line, newline included, from whichever thread writes it (the
// owner's, a receive thread, a sweeper). It must be safe to call from several threads at once
// and should not throw; what it throws is swallowed.
using LogWriter = std::function<void(LogStream stream, const std::string& line)>;

// Calls `writer` with `line`, swallowing anything it throws: a failing log never ends a thread.
void writeLine(const LogWriter& writer, LogStream stream, const std::string& line) noexcept;

// Writes each line whole to std::cout or std::cerr and flushes it.
LogWriter standardLogWriter();

// Passes lines on to `out`, at most `perSecond` of each kind in any one second and at most
// `kBoundedLinesPerSecond` of all kinds together; a kind is the text before the line's first
// ':' ("JSON parse error", "Discovered server"). The lines held back are counted, and the next
// line of that kind after its second is over comes after "… N more like this in the last
// second". A flood of bad datagrams so costs a few lines a second, not one per datagram. Safe
// from several threads at once.
inline constexpr int kBoundedLinesPerSecond = 8;
LogWriter boundedLogWriter(LogWriter out, int perSecond = 3);
// The same with the time taken from `now` (tests).
LogWriter boundedLogWriter(LogWriter out, int perSecond,
                           std::function<std::chrono::steady_clock::time_point()> now);

// The writer boundedLogWriter makes. Held in a LogWriter, it is found again with
// `target<BoundedLogWriter>()`, so writeLineLazily can ask it before a line is made.
class BoundedLogWriter {
public:
    BoundedLogWriter(LogWriter out, int perSecond,
                     std::function<std::chrono::steady_clock::time_point()> now);
    void operator()(LogStream stream, const std::string& line) const;
    // Writes the line `makeLine` makes, of `kind`, calling it only if the line is let through
    // (a line held back is counted, not made).
    template <typename MakeLine>
    void Write(LogStream stream, const std::string& kind, MakeLine&& makeLine) const {
        std::string heldLine;
        if (!Admit(kind, heldLine)) return;
        if (!heldLine.empty()) writeLine(out_, stream, heldLine);
        writeLine(out_, stream, makeLine());
    }
    // A line's kind: its text before the first ':' (at most 48 bytes).
    static std::string kindOf(const std::string& line);

private:
    struct State;
    // Counts a line of `kind`; true if it may be written now, with `heldLine` set when the lines
    // held back in the kind's last second are to be told first.
    bool Admit(const std::string& kind, std::string& heldLine) const;
    std::shared_ptr<State> state_;
    LogWriter out_;
    int perSecond_;
    std::function<std::chrono::steady_clock::time_point()> now_;
};

// Writes the line `makeLine` makes (of `kind`, the text before its first ':'), calling it only
// where the line will be written: a bounded writer that would hold the line back only counts
// it, so a line that costs something to make (a parser's message) costs nothing in a flood.
// Swallows anything the writer or `makeLine` throws.
void writeLineLazily(const LogWriter& writer, LogStream stream, const std::string& kind,
                     const std::function<std::string()>& makeLine) noexcept;

// `text` as it may appear inside a log line: control characters (0x00-0x1F and 0x7F) are
// written as escapes, "\n", "\r" and "\t" by name and the others as "\x" and two lower-case
// hex digits ("\x1b"); every other byte, UTF-8 sequences included, is kept. Names received from
// the network go through this, so a name can neither start a line of its own nor send the
// terminal a control sequence. The name itself is stored and compared unescaped.
std::string escapeControlCharacters(const std::string& text);

}  // namespace telmora
