#pragma once
// The set monitor's web server: serves the page's built-in files over HTTP and pushes the
// monitor's state to every open page over a WebSocket. One thread runs every connection
// (websocketpp on asio): a page that stops reading only stops getting states, and when it
// reads again it is sent the newest, never the ones it missed.
//
// Access: with a token, every request must carry it, as `?token=` or the cookie the page gets
// with its first load; otherwise 403. WebSocket handshakes from another origin are refused.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "network/log_writer.h"
#include "tools/monitor/set_monitor.h"

namespace telmora {

struct WebServerConfig {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 address to bind
    int port = 8080;                    // 0 lets the system choose
    std::string token;                  // empty: no token needed
    std::size_t maxPages = 64;          // open WebSocket connections at once
};

struct WebServerFigures {
    std::uint64_t pagesOpen = 0;
    std::uint64_t statesSent = 0;
    std::uint64_t statesSkipped = 0;  // not sent to a page that was still reading an earlier one
    std::uint64_t bytesSent = 0;      // WebSocket payloads
    std::uint64_t requestsRefused = 0;
};

// True for an IPv4 or IPv6 address in text.
bool ipAddress(const std::string& address);
// True for an address only this machine reaches (127.0.0.0/8, ::1); false also for one that is
// no address.
bool loopbackAddress(const std::string& address);

class WebServer {
public:
    // A page's message (a JSON request) in, the text of a notice for that page out (empty:
    // none). Runs on the server's thread.
    using MessageHandler = std::function<std::string(const std::string& message)>;

    WebServer(LogWriter log, MessageHandler onMessage);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds and starts serving. False, with the reason in `error`, when the address cannot be
    // bound.
    bool Start(const WebServerConfig& config, std::string& error);
    // Closes every page and ends the thread. Idempotent.
    void Stop();
    int port() const;

    // The newest state; each page is sent it as soon as it has read the one before. Any thread.
    void Publish(std::shared_ptr<const Publication> publication);
    WebServerFigures Figures() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace telmora
