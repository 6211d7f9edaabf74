#include "tools/monitor/web_server.h"

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include "tools/monitor/page_assets.h"

namespace telmora {
namespace {

using Endpoint = websocketpp::server<websocketpp::config::asio>;
using Connection = Endpoint::connection_ptr;
using Handle = websocketpp::connection_hdl;
namespace status = websocketpp::http::status_code;

constexpr char kCookieName[] = "telmora_token";
constexpr std::size_t kMaxResource = 2048;      // longest request target
constexpr std::size_t kMaxPageMessage = 4096;   // longest message a page may send
constexpr std::size_t kSendBuffer = 64 * 1024;  // the kernel's share of a page's backlog
constexpr long kHandshakeTimeoutMs = 3000;      // a request must arrive within this
constexpr auto kRetryInterval = std::chrono::milliseconds(15);

// Compares without an early exit, so the time taken tells nothing of the token.
bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// The value of `name` in a query string ("a=1&token=x") or a cookie header ("a=1; token=x").
std::string fieldValue(const std::string& text, const std::string& name, char separator) {
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        std::string field = text.substr(start, end - start);
        const std::size_t first = field.find_first_not_of(' ');
        field = first == std::string::npos ? "" : field.substr(first);
        if (field.compare(0, name.size() + 1, name + "=") == 0)
            return field.substr(name.size() + 1);
        start = end + 1;
    }
    return "";
}

void respond(const Connection& con, status::value code, const std::string& text) {
    con->set_status(code);
    con->replace_header("Content-Type", "text/plain; charset=utf-8");
    con->replace_header("Cache-Control", "no-store");
    con->set_body(text + "\n");
}

}  // namespace

bool ipAddress(const std::string& address) {
    asio::error_code ec;
    asio::ip::make_address(address, ec);
    return !ec;
}

bool loopbackAddress(const std::string& address) {
    asio::error_code ec;
    const asio::ip::address parsed = asio::ip::make_address(address, ec);
    return !ec && parsed.is_loopback();
}

struct WebServer::Impl {
    struct Page {
        std::uint64_t sentVersion = 0;  // the publication it was sent last
        std::uint64_t historySeq = 0;   // the last history sample it was sent
    };

    Impl(LogWriter log, MessageHandler onMessage)
        : log(std::move(log)), onMessage(std::move(onMessage)) {}

    bool Authorised(const Connection& con) const;
    void OnHttp(Handle handle);
    bool OnValidate(Handle handle);
    void OnOpen(Handle handle);
    void OnClose(Handle handle);
    void OnMessage(Handle handle, Endpoint::message_ptr message);
    void SendAll();
    bool SendTo(Handle handle, Page& page);
    void ScheduleRetry();

    LogWriter log;
    MessageHandler onMessage;
    WebServerConfig config;
    asio::io_context io;
    Endpoint endpoint;
    asio::steady_timer retry{io};
    bool retryScheduled = false;
    bool stopping = false;
    std::thread thread;
    std::atomic<int> boundPort{0};

    // The server thread's own.
    std::map<Handle, Page, std::owner_less<Handle>> pages;
    std::shared_ptr<const Publication> latest;
    std::uint64_t latestVersion = 0;

    mutable std::mutex figuresMutex;
    WebServerFigures figures;
};

bool WebServer::Impl::Authorised(const Connection& con) const {
    if (config.token.empty()) return true;
    const std::string& resource = con->get_resource();
    const std::size_t question = resource.find('?');
    const std::string query = question == std::string::npos ? "" : resource.substr(question + 1);
    return sameSecret(fieldValue(query, "token", '&'), config.token) ||
           sameSecret(fieldValue(con->get_request_header("Cookie"), kCookieName, ';'),
                      config.token);
}

void WebServer::Impl::OnHttp(Handle handle) {
    const Connection con = endpoint.get_con_from_hdl(handle);
    const std::string& resource = con->get_resource();
    const std::string path = resource.substr(0, resource.find('?'));
    auto refuse = [&](status::value code, const std::string& text) {
        respond(con, code, text);
        std::lock_guard<std::mutex> lock(figuresMutex);
        ++figures.requestsRefused;
    };
    if (con->get_request().get_method() != "GET") {
        con->replace_header("Allow", "GET");
        return refuse(status::method_not_allowed, "Only GET is served here.");
    }
    if (resource.size() > kMaxResource)
        return refuse(status::request_uri_too_long, "Request too long.");
    if (!Authorised(con))
        return refuse(status::forbidden,
                      "This monitor needs its access token: open the URL it printed.");
    const PageAsset* asset = findPageAsset(path);
    if (asset == nullptr) return refuse(status::not_found, "Not found.");

    con->set_status(status::ok);
    con->replace_header("Content-Type", asset->contentType);
    con->replace_header("X-Content-Type-Options", "nosniff");
    con->replace_header("Cache-Control", asset->versioned ? "max-age=86400" : "no-store");
    con->replace_header("Content-Security-Policy",
                        "default-src 'self'; script-src 'self' 'unsafe-inline'; "
                        "style-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                        "frame-ancestors 'none'");
    if (!config.token.empty() && path == "/")
        con->replace_header("Set-Cookie", std::string(kCookieName) + "=" + config.token +
                                              "; Path=/; HttpOnly; SameSite=Strict");
    con->set_body(std::string(asset->data, asset->size));
}

bool WebServer::Impl::OnValidate(Handle handle) {
    const Connection con = endpoint.get_con_from_hdl(handle);
    const std::string& resource = con->get_resource();
    auto refuse = [&](status::value code) {
        con->set_status(code);
        std::lock_guard<std::mutex> lock(figuresMutex);
        ++figures.requestsRefused;
        return false;
    };
    if (resource.substr(0, resource.find('?')) != "/ws") return refuse(status::not_found);
    if (!Authorised(con)) return refuse(status::forbidden);
    // A page of another site must not read the state with this page's cookie.
    const std::string origin = con->get_request_header("Origin");
    if (!origin.empty() && origin != "http://" + con->get_request_header("Host"))
        return refuse(status::forbidden);
    if (pages.size() >= config.maxPages) return refuse(status::service_unavailable);
    con->set_max_message_size(kMaxPageMessage);
    return true;
}

void WebServer::Impl::OnOpen(Handle handle) {
    Page& page = pages[handle];
    {
        std::lock_guard<std::mutex> lock(figuresMutex);
        figures.pagesOpen = pages.size();
    }
    if (latest) SendTo(handle, page);
}

void WebServer::Impl::OnClose(Handle handle) {
    pages.erase(handle);
    if (stopping && pages.empty()) io.stop();
    std::lock_guard<std::mutex> lock(figuresMutex);
    figures.pagesOpen = pages.size();
}

void WebServer::Impl::OnMessage(Handle handle, Endpoint::message_ptr message) {
    const std::string notice = onMessage ? onMessage(message->get_payload()) : "";
    if (notice.empty()) return;
    websocketpp::lib::error_code ec;
    endpoint.send(handle, notice, websocketpp::frame::opcode::text, ec);
}

// Sends the newest publication unless the page is still reading an earlier one (its messages
// wait in the send queue). True when the page is up to date afterwards.
bool WebServer::Impl::SendTo(Handle handle, Page& page) {
    if (page.sentVersion == latestVersion) return true;
    websocketpp::lib::error_code ec;
    const Connection con = endpoint.get_con_from_hdl(handle, ec);
    if (ec || con->get_state() != websocketpp::session::state::open) return true;
    if (con->get_buffered_amount() > 0) return false;

    const std::deque<HistorySample>& history = *latest->history;
    std::string message = latest->head;
    message += ",\"history\":[";
    bool first = true;
    for (const HistorySample& sample : history) {
        if (sample.seq <= page.historySeq) continue;
        if (!first) message += ',';
        first = false;
        message += sample.json;
    }
    message += "]}";
    if (!history.empty()) page.historySeq = history.back().seq;
    const std::uint64_t skipped = page.sentVersion == 0 ? 0 : latestVersion - page.sentVersion - 1;
    page.sentVersion = latestVersion;
    endpoint.send(handle, message, websocketpp::frame::opcode::text, ec);
    std::lock_guard<std::mutex> lock(figuresMutex);
    if (ec) return true;
    ++figures.statesSent;
    figures.statesSkipped += skipped;
    figures.bytesSent += message.size();
    return true;
}

void WebServer::Impl::SendAll() {
    bool behind = false;
    for (auto& entry : pages) behind = !SendTo(entry.first, entry.second) || behind;
    if (behind) ScheduleRetry();
}

void WebServer::Impl::ScheduleRetry() {
    if (retryScheduled) return;
    retryScheduled = true;
    retry.expires_after(kRetryInterval);
    retry.async_wait([this](const asio::error_code& ec) {
        retryScheduled = false;
        if (!ec) SendAll();
    });
}

WebServer::WebServer(LogWriter log, MessageHandler onMessage)
    : impl_(std::make_unique<Impl>(std::move(log), std::move(onMessage))) {}

WebServer::~WebServer() {
    Stop();
}

bool WebServer::Start(const WebServerConfig& config, std::string& error) {
    Impl& s = *impl_;
    s.config = config;
    Endpoint& e = s.endpoint;
    e.clear_access_channels(websocketpp::log::alevel::all);
    e.clear_error_channels(websocketpp::log::elevel::all);
    websocketpp::lib::error_code ec;
    e.init_asio(&s.io, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    e.set_reuse_addr(true);
    e.set_open_handshake_timeout(kHandshakeTimeoutMs);
    e.set_close_handshake_timeout(500);
    e.set_max_http_body_size(0);
    e.set_max_message_size(kMaxPageMessage);
    // Once accepted: small messages go at once, and the kernel holds little of a page's
    // backlog, so a page that stops reading soon shows as one.
    e.set_tcp_post_init_handler([&s](Handle h) {
        websocketpp::lib::error_code ec;
        const Connection con = s.endpoint.get_con_from_hdl(h, ec);
        if (ec) return;
        asio::error_code ignored;
        con->get_raw_socket().set_option(asio::ip::tcp::no_delay(true), ignored);
        con->get_raw_socket().set_option(
            asio::socket_base::send_buffer_size(static_cast<int>(kSendBuffer)), ignored);
    });
    e.set_http_handler([&s](Handle h) { s.OnHttp(h); });
    e.set_validate_handler([&s](Handle h) { return s.OnValidate(h); });
    e.set_open_handler([&s](Handle h) { s.OnOpen(h); });
    e.set_close_handler([&s](Handle h) { s.OnClose(h); });
    e.set_fail_handler([&s](Handle h) { s.OnClose(h); });
    e.set_message_handler(
        [&s](Handle h, Endpoint::message_ptr message) { s.OnMessage(h, std::move(message)); });

    asio::error_code aec;
    const asio::ip::address address = asio::ip::make_address(config.address, aec);
    if (aec) {
        error = "'" + config.address + "' is not an IP address";
        return false;
    }
    e.listen(asio::ip::tcp::endpoint(address, static_cast<unsigned short>(config.port)), ec);
    if (!ec) e.start_accept(ec);
    if (ec) {
        error = "cannot listen on " + config.address + ":" + std::to_string(config.port) + ": " +
                ec.message();
        return false;
    }
    s.boundPort = e.get_local_endpoint(aec).port();
    s.thread = std::thread([&s] { s.io.run(); });
    return true;
}

void WebServer::Stop() {
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    asio::post(s.io, [&s] {
        websocketpp::lib::error_code ec;
        s.endpoint.stop_listening(ec);
        s.retry.cancel();
        s.stopping = true;
        if (s.pages.empty()) return s.io.stop();
        for (auto& entry : s.pages)
            s.endpoint.close(entry.first, websocketpp::close::status::going_away,
                             "monitor stopping", ec);
        // The close handshakes get a moment; then the loop ends whatever is still open.
        auto deadline = std::make_shared<asio::steady_timer>(s.io, std::chrono::seconds(1));
        deadline->async_wait([&s, deadline](const asio::error_code&) { s.io.stop(); });
    });
    s.thread.join();
}

int WebServer::port() const {
    return impl_->boundPort.load();
}

void WebServer::Publish(std::shared_ptr<const Publication> publication) {
    Impl& s = *impl_;
    asio::post(s.io, [&s, publication = std::move(publication)]() mutable {
        s.latest = std::move(publication);
        ++s.latestVersion;
        s.SendAll();
    });
}

WebServerFigures WebServer::Figures() const {
    std::lock_guard<std::mutex> lock(impl_->figuresMutex);
    return impl_->figures;
}

}  // namespace telmora
