#pragma once
// The harness's own console. The plug-in writes its progress and diagnostic lines to the
// process's standard output and error; while the harness runs, those are sent elsewhere (a file,
// or nowhere) so the harness's one line per check or step stays readable, and the harness writes
// to the original standard output.

#include <string>

namespace telmora::host {

class Console {
public:
    // Keeps the current standard output for the harness; then the process's standard output and
    // error (file descriptors 1 and 2) go to `pluginOutputPath` ("" : /dev/null). Nothing is
    // redirected when `redirect` is false.
    explicit Console(bool redirect, const std::string& pluginOutputPath = "");
    // Puts the original standard output and error back.
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Writes `text` as it is (the caller ends lines) to the harness's stream.
    void write(const std::string& text);
    void line(const std::string& text) { write(text + "\n"); }
    // True when the harness's stream is a terminal (progress bars redraw in place there).
    bool isTerminal() const;

private:
    int ownFd_ = 1;
    int savedStdout_ = -1;
    int savedStderr_ = -1;
};

}  // namespace telmora::host
