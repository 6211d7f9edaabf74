#include "tools/monitor/serve.h"

#include <unistd.h>

#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>

#include "network/log_writer.h"
#include "network/worker_threads.h"
#include "tools/common/exit_status.h"
#include "tools/monitor/set_monitor.h"
#include "tools/monitor/web_server.h"

namespace telmora {
namespace {

using Clock = std::chrono::steady_clock;

// Pages are sent at most this many states a second (a screen shows no more); a stream's frame
// wakes the sender at once, and without frames it still sends so the silence shows.
constexpr auto kPublishInterval = std::chrono::microseconds(1000000 / 60);
constexpr auto kQuietPublishInterval = std::chrono::milliseconds(100);

// 128 random bits as 32 hex digits.
std::string newToken() {
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char word[9];
        std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(random()));
        token += word;
    }
    return token;
}

std::string noticeJson(const std::string& text) {
    return nlohmann::json{{"type", "notice"}, {"text", text}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A page's request: {"watch":{"server":S,"ip":A,"subject":T}} or {"unwatch":{...}}. The notice
// to show that page, or nothing.
std::string handlePageMessage(SetMonitor& monitor, const std::string& message) {
    const nlohmann::json request = nlohmann::json::parse(message, nullptr, false);
    for (const char* verb : {"watch", "unwatch"}) {
        if (!request.is_object() || !request.contains(verb)) continue;
        const nlohmann::json& what = request[verb];
        auto text = [&what](const char* field) -> const std::string* {
            return what.is_object() && what.contains(field) && what[field].is_string()
                       ? what[field].get_ptr<const std::string*>()
                       : nullptr;
        };
        if (!text("server") || !text("ip") || !text("subject")) break;
        const WatchKey key{*text("server"), *text("ip"), *text("subject")};
        const std::string named = "'" + escapeControlCharacters(key.subject) + "' of '" +
                                  escapeControlCharacters(key.server) + "' at " + key.ip;
        std::string error;
        if (verb == std::string("unwatch")) {
            monitor.Unwatch(key);
            std::cout << "Stopped watching " << named << "\n" << std::flush;
            return "";
        }
        if (!monitor.Watch(key, error)) return noticeJson("Cannot watch: " + error);
        std::cout << "Watching " << named << "\n" << std::flush;
        return "";
    }
    return noticeJson("The monitor did not understand the page's request.");
}

bool wildcard(const std::string& address) {
    return address == "0.0.0.0" || address == "::";
}

std::string urlHost(const std::string& address) {
    if (wildcard(address)) {
        char name[256] = {};
        if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    }
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

}  // namespace

bool parseServeAddress(const std::string& text, std::string& address, int& port,
                       std::string& error) {
    std::string portText = text;
    address = "127.0.0.1";
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
    }
    const bool digits = !portText.empty() && portText.size() <= 5 &&
                        portText.find_first_not_of("0123456789") == std::string::npos;
    port = digits ? std::stoi(portText) : -1;
    if (address.empty() || port < 0 || port > 65535) {
        error =
            "--serve takes [ADDRESS:]PORT (for example 8080 or 0.0.0.0:8080), not '" + text + "'";
        return false;
    }
    return true;
}

int serveSetMonitor(const ServeOptions& options, StopSignals& stopSignals) {
    WebServerConfig config;
    std::string error;
    if (!parseServeAddress(options.where, config.address, config.port, error)) {
        std::cerr << error << "\n";
        return kExitBadInput;
    }
    if (!ipAddress(config.address)) {
        std::cerr << "--serve: '" << config.address << "' is not an IP address\n";
        return kExitBadInput;
    }
    const bool beyondLoopback = !loopbackAddress(config.address);
    if (beyondLoopback) config.token = options.token.empty() ? newToken() : options.token;

    // Discovery reports every announcement and each stream its keep-alives on standard output;
    // the monitor says what it watches itself, so only the diagnostics pass.
    const LogWriter standard = standardLogWriter();
    SetMonitor monitor(boundedLogWriter([standard](LogStream stream, const std::string& line) {
        if (stream == LogStream::Err) standard(stream, line);
    }));
    WebServer server(standardLogWriter(), [&monitor](const std::string& message) {
        return handlePageMessage(monitor, message);
    });
    if (!server.Start(config, error)) {
        std::cerr << "Cannot serve the set monitor: " << error << "\n";
        return kExitCannotServe;
    }
    monitor.Start(options.listenPort);
    if (!monitor.Listening())
        std::cerr << "Cannot listen for announcements on port " << options.listenPort
                  << "; no server will be listed\n";

    WorkerThreads publisher;
    publisher.Start([&] {
        Clock::time_point last{};
        while (!publisher.Stopping()) {
            monitor.WaitForFrames(Clock::now() + kQuietPublishInterval);
            if (publisher.PauseUntil(last + kPublishInterval)) break;
            last = Clock::now();
            server.Publish(monitor.Publish(last));
        }
    });

    std::cout << "Set monitor at http://" << urlHost(config.address) << ":" << server.port() << "/"
              << (config.token.empty() ? "" : "?token=" + config.token)
              << "  (hearing servers on port " << options.listenPort << "; Ctrl-C to stop)\n"
              << std::flush;
    waitForStopOrDuration(stopSignals, options.durationSeconds);
    publisher.RequestStop();
    monitor.Wake();
    publisher.Stop();
    server.Stop();
    monitor.Stop();
    const WebServerFigures figures = server.Figures();
    std::cout << "Set monitor stopped: " << figures.statesSent << " states sent ("
              << figures.bytesSent << " bytes), " << figures.statesSkipped
              << " skipped for pages still reading, " << figures.requestsRefused
              << " requests refused\n";
    return kExitOk;
}

}  // namespace telmora
