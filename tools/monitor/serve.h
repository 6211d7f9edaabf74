#pragma once
// telmora-monitor --serve: the set monitor as a web page. Hears every server, streams the
// subjects the pages ask for, and pushes the state to every page until Ctrl-C or SIGTERM.

#include <string>

#include "tools/common/stop_signals.h"

namespace telmora {

struct ServeOptions {
    std::string where = "127.0.0.1:8080";  // [ADDRESS:]PORT the page is served on
    int listenPort = 0;                    // announcements
    std::string token;                     // beyond loopback; empty: a new random one
    double durationSeconds = 0.0;          // 0: until a stop signal
};

// Splits "[ADDRESS:]PORT" ("8080", "0.0.0.0:8080", "[::]:8080"); the address defaults to
// 127.0.0.1. False, with the reason in `error`, when it is not of that form.
bool parseServeAddress(const std::string& text, std::string& address, int& port,
                       std::string& error);

// Runs the set monitor until a stop signal; returns the program's exit status.
int serveSetMonitor(const ServeOptions& options, StopSignals& stopSignals);

}  // namespace telmora
