#include "tools/host/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#if defined(_WIN32)
// Windows: the descriptor is not inherited by child processes (O_CLOEXEC's counterpart); the
// null device is NUL.
constexpr int kNoInherit = O_NOINHERIT | O_BINARY;
constexpr const char* kNullDevice = "NUL";
#else
constexpr int kNoInherit = O_CLOEXEC;
constexpr const char* kNullDevice = "/dev/null";
#endif

namespace telmora::host {

Console::Console(bool redirect, const std::string& pluginOutputPath) {
    if (!redirect) return;
    std::cout.flush();
    std::fflush(stdout);
    std::cerr.flush();
    savedStdout_ = dup(1);
    if (savedStdout_ < 0) return;
    savedStderr_ = dup(2);
    const char* target = pluginOutputPath.empty() ? kNullDevice : pluginOutputPath.c_str();
    const int fd = open(target, O_WRONLY | O_CREAT | O_TRUNC | kNoInherit, 0644);
    if (fd < 0) {
        close(savedStdout_);
        savedStdout_ = -1;
        return;
    }
    dup2(fd, 1);
    if (savedStderr_ >= 0) dup2(fd, 2);
    close(fd);
    ownFd_ = savedStdout_;
}

Console::~Console() {
    if (savedStdout_ < 0) return;
    std::cout.flush();
    std::fflush(stdout);
    std::cerr.flush();
    dup2(savedStdout_, 1);
    close(savedStdout_);
    if (savedStderr_ >= 0) {
        dup2(savedStderr_, 2);
        close(savedStderr_);
    }
}

void Console::write(const std::string& text) {
    if (ownFd_ == 1) {
        std::cout.flush();
        std::fflush(stdout);
    }
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(ownFd_, data, left);
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

bool Console::isTerminal() const {
    return isatty(ownFd_) == 1;
}

}  // namespace telmora::host
