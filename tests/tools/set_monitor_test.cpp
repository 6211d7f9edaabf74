// The set monitor's model against the test sender, and its web server against WebSocket clients
// of our own on loopback: one that reads, and one that stops reading with a small receive
// buffer, as a tablet that went to sleep.

#include "tools/monitor/set_monitor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "network/net_test_support.h"
#include "tools/monitor/serve.h"
#include "tools/monitor/web_server.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace telmora {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using std::chrono::milliseconds;

using test::eventually;

// A page's state as the page parses it (the head closed without samples).
json stateOf(const Publication& publication) {
    return json::parse(publication.head + "}");
}

// A WebSocket client on a plain socket: it reads only when asked to.
class RawWebSocket {
public:
    RawWebSocket(int port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return;
        const std::string request =
            "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), 0) < 0) return;
        while (buffer_.find("\r\n\r\n") == std::string::npos)
            if (!Fill(milliseconds(5000))) return;
        const std::size_t end = buffer_.find("\r\n\r\n") + 4;
        status_ = std::atoi(buffer_.substr(9, 3).c_str());
        buffer_.erase(0, end);
    }
    ~RawWebSocket() { ::close(fd_); }

    int status() const { return status_; }

    // The next text message, or nothing within `timeout`.
    std::optional<std::string> Next(milliseconds timeout = milliseconds(5000)) {
        for (;;) {
            if (buffer_.size() >= 2) {
                std::size_t length = static_cast<std::uint8_t>(buffer_[1]) & 0x7f, offset = 2;
                if (length == 126 && buffer_.size() >= 4) {
                    length = static_cast<std::uint8_t>(buffer_[2]) << 8 |
                             static_cast<std::uint8_t>(buffer_[3]);
                    offset = 4;
                } else if (length == 127) {
                    return std::nullopt;  // the monitor's states are never that long
                }
                if (length != 126 && buffer_.size() >= offset + length) {
                    std::string message = buffer_.substr(offset, length);
                    buffer_.erase(0, offset + length);
                    return message;
                }
            }
            if (!Fill(timeout)) return std::nullopt;
        }
    }

private:
    bool Fill(milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    int fd_ = -1;
    int status_ = 0;
    std::string buffer_;
};

TEST(SetMonitor, WatchedSubjectShowsItsPoseAndHealthAndGoesRedWhileTheSenderStalls) {
    std::string error;
    auto walk =
        loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
    ASSERT_TRUE(walk) << error;
    SimServerConfig config;
    config.serverName = "Stage A";
    config.announcePort = test::freeUdpPort();
    config.announceInterval = milliseconds(100);
    config.frameRate = 120.0;
    SimServer sender(config, {{"walk", std::make_shared<const Performance>(*walk)}},
                     test::quietLog());
    ASSERT_TRUE(sender.Start(error)) << error;

    SetMonitor monitor(test::quietLog());
    monitor.Start(config.announcePort);
    const WatchKey walkKey{"Stage A", "127.0.0.1", "walk"};
    EXPECT_FALSE(monitor.Watch({"Stage A", "127.0.0.1", "run"}, error));
    EXPECT_EQ(error, "no server 'Stage A' at 127.0.0.1 offering subject 'run' is heard");
    // Heard, but holding its stream: never green before a frame, red after the stale time.
    sender.SetStreaming(false);
    ASSERT_TRUE(eventually([&] { return monitor.Watch(walkKey, error); }));
    json stream = stateOf(*monitor.Publish(Clock::now()))["streams"][0];
    EXPECT_EQ(stream["light"], "amber");
    EXPECT_EQ(stream["text"], "waiting for the first frame");
    auto streamWhere = [&](const std::string& light, int leastFrames) {
        const json state = stateOf(*monitor.Publish(Clock::now()));
        if (state["streams"].size() != 1) return false;
        stream = state["streams"][0];
        return stream["light"] == light && stream["frames"].get<int>() >= leastFrames;
    };
    ASSERT_TRUE(eventually([&] { return streamWhere("red", 0); }));
    EXPECT_EQ(stream["parents"].size(), 0u);  // no pose before a frame
    sender.SetStreaming(true);
    ASSERT_TRUE(eventually([&] { return streamWhere("green", 1); }));
    EXPECT_EQ(stream["subject"], "walk");
    EXPECT_EQ(stream["bones"].size(), 3 * stream["parents"].size());
    EXPECT_EQ(stream["parents"].size(), 65u);
    const double hipsHeight = stream["bones"][1];  // cm, y up
    EXPECT_GT(hipsHeight, 50.0);
    EXPECT_LT(hipsHeight, 150.0);

    sender.SetStreaming(false);
    ASSERT_TRUE(eventually([&] { return streamWhere("red", 1); }));
    EXPECT_EQ(stream["text"].get<std::string>().rfind("no frames for ", 0), 0u);
    sender.SetStreaming(true);
    ASSERT_TRUE(eventually([&] { return streamWhere("green", 1); }));
    EXPECT_EQ(stream["gaps"], 2);  // the wait for the first frame, and the stall

    // A minute of samples at most, each naming the watched stream.
    const auto history = monitor.Publish(Clock::now())->history;
    ASSERT_FALSE(history->empty());
    EXPECT_TRUE(json::parse(history->back().json)["streams"].contains("1"));
    monitor.Unwatch(walkKey);
    EXPECT_TRUE(stateOf(*monitor.Publish(Clock::now()))["streams"].empty());
}

// Publications with a counter, a body of `size` bytes and one new history sample each.
class Publisher {
public:
    std::shared_ptr<const Publication> Next(std::size_t size = 3000) {
        ++count_;
        auto history = std::make_shared<std::deque<HistorySample>>(*history_);
        history->push_back({count_, "{\"seq\":" + std::to_string(count_) + "}"});
        history_ = history;
        auto p = std::make_shared<Publication>();
        p->head =
            "{\"count\":" + std::to_string(count_) + ",\"body\":\"" + std::string(size, 'x') + "\"";
        p->history = history_;
        return p;
    }
    std::uint64_t count() const { return count_; }

private:
    std::uint64_t count_ = 0;
    std::shared_ptr<const std::deque<HistorySample>> history_ =
        std::make_shared<std::deque<HistorySample>>();
};

TEST(SetMonitorWebServer, APageThatStopsReadingIsSentOnlyTheNewestWhenItReadsAgain) {
    WebServer server(test::quietLog(), nullptr);
    std::string error;
    WebServerConfig config;
    config.port = 0;
    ASSERT_TRUE(server.Start(config, error)) << error;
    Publisher publisher;
    server.Publish(publisher.Next());
    server.Publish(publisher.Next());

    RawWebSocket awake(server.port());
    RawWebSocket asleep(server.port(), 4096);
    ASSERT_EQ(awake.status(), 101);
    ASSERT_EQ(asleep.status(), 101);
    // The first state carries every sample so far; the next only the new one.
    const std::optional<std::string> first = awake.Next();
    ASSERT_TRUE(first);
    EXPECT_EQ(json::parse(*first)["history"].size(), 2u);
    server.Publish(publisher.Next());
    EXPECT_EQ(json::parse(*awake.Next())["history"].size(), 1u);

    // 400 states while one page sleeps: the awake one reads them as they come.
    std::uint64_t awakeLast = 0;
    for (int i = 0; i < 400; ++i) {
        server.Publish(publisher.Next());
        std::optional<std::string> message;
        while ((message = awake.Next(milliseconds(0)))) awakeLast = json::parse(*message)["count"];
        std::this_thread::sleep_for(milliseconds(2));  // the pace of a fast stream
    }
    ASSERT_TRUE(eventually([&] {
        std::optional<std::string> message = awake.Next(milliseconds(50));
        if (message) awakeLast = json::parse(*message)["count"];
        return awakeLast == publisher.count();
    }));
    // Waking, the sleeper reads what the socket buffers held, then the newest state.
    int read = 0;
    std::uint64_t last = 0;
    while (last != publisher.count()) {
        std::optional<std::string> message = asleep.Next();
        ASSERT_TRUE(message) << "after " << read << " states, the last " << last;
        last = json::parse(*message)["count"];
        ++read;
    }
    EXPECT_LT(read, 60);
    EXPECT_GT(server.Figures().statesSkipped, 300u);
    server.Stop();
}

TEST(SetMonitorWebServer, ServesOnlyItsOwnFilesAndOnlyWithTheTokenWhenItHasOne) {
    WebServer server(test::quietLog(), nullptr);
    std::string error;
    WebServerConfig config;
    config.port = 0;
    config.token = "0123456789abcdef0123456789abcdef";
    ASSERT_TRUE(server.Start(config, error)) << error;
    EXPECT_EQ(RawWebSocket(server.port()).status(), 403);
    EXPECT_EQ(server.Figures().requestsRefused, 1u);
    server.Stop();
    server.Stop();  // idempotent
}

TEST(SetMonitorServe, ReadsAddressAndPort) {
    struct Case {
        const char* text;
        bool ok;
        const char* address;
        int port;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", 8080},
        {"0.0.0.0:9000", true, "0.0.0.0", 9000},
        {"[::1]:8080", true, "::1", 8080},
        {"192.168.1.5:0", true, "192.168.1.5", 0},
        {"", false, "", 0},
        {"host:", false, "", 0},
        {":8080", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:80a", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
    };
    for (const Case& c : cases) {
        std::string address, error;
        int port = -1;
        EXPECT_EQ(parseServeAddress(c.text, address, port, error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_NE(error.find("--serve takes [ADDRESS:]PORT"), std::string::npos) << c.text;
            continue;
        }
        EXPECT_EQ(address, c.address) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    EXPECT_TRUE(loopbackAddress("127.0.0.1"));
    EXPECT_TRUE(loopbackAddress("::1"));
    EXPECT_FALSE(loopbackAddress("0.0.0.0"));
    EXPECT_FALSE(loopbackAddress("192.168.1.5"));
    EXPECT_FALSE(loopbackAddress("not an address"));
}

}  // namespace
}  // namespace telmora
