// The skeleton test server over loopback TCP: whole records to every client, then a clean end.

#include "tools/skeleton_test_server/skeleton_test_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "motion/channel_table.h"

namespace telmora {
namespace {

// A blocking loopback TCP client whose reads give up after a generous time.
class Client {
public:
    explicit Client(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }

    // Exactly `size` bytes, or nothing if the stream ends or stalls first.
    std::optional<std::vector<std::uint8_t>> read(std::size_t size) {
        std::vector<std::uint8_t> bytes(size);
        std::size_t got = 0;
        while (got < size) {
            const ssize_t n = ::recv(fd_, bytes.data() + got, size - got, 0);
            if (n <= 0) return std::nullopt;
            got += static_cast<std::size_t>(n);
        }
        return bytes;
    }
    // True once the server has closed the connection (after whatever was still queued).
    bool endsCleanly() {
        std::uint8_t byte;
        for (;;) {
            const ssize_t n = ::recv(fd_, &byte, 1, 0);
            if (n == 0) return true;
            if (n < 0) return false;
        }
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

template <typename T>
T field(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);  // little-endian host
    return value;
}

TEST(SkeletonTestServerTest, SendsWholeRecordsOfTheTakeToEveryClientUntilStopped) {
    std::string error;
    std::optional<Performance> walk =
        loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
    ASSERT_TRUE(walk.has_value()) << error;
    SkeletonTestServerConfig config;
    config.port = 0;
    config.recordRate = 500.0;
    SkeletonTestServer server(config, channelValuesOf(std::make_shared<const Performance>(*walk)),
                              [](LogStream, const std::string&) {});
    ASSERT_TRUE(server.Start(error)) << error;

    ChannelTable rest;
    rest.SetupChannels();
    const ChannelSnapshot restChannels = rest.snapshot();

    Client first(server.port());
    Client second(server.port());
    ASSERT_TRUE(first.connected());
    ASSERT_TRUE(second.connected());
    for (Client* client : {&first, &second}) {
        constexpr int kRecords = 20;
        std::optional<std::vector<std::uint8_t>> bytes = client->read(kRecords * 3136);
        ASSERT_TRUE(bytes.has_value());
        std::uint64_t previous = 0;
        bool hipsMoved = false;
        for (int r = 0; r < kRecords; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * 3136;
            const std::uint64_t sequence = field<std::uint64_t>(*bytes, at);
            if (r > 0) {
                EXPECT_EQ(sequence, previous + 1);  // whole records, none skipped
            }
            previous = sequence;
            EXPECT_EQ(field<std::int32_t>(*bytes, at + 8), 65);
            for (int v = 0; v < 65 * 6; ++v) {
                ASSERT_TRUE(std::isfinite(field<double>(*bytes, at + 16 + v * 8)));
            }
            const double hipsY = field<double>(*bytes, at + 16 + 8);
            if (std::fabs(hipsY - restChannels.records[0].translation[1]) > 0.5) hipsMoved = true;
        }
        EXPECT_TRUE(hipsMoved) << "the records do not carry the take";
    }
    server.Stop();
    EXPECT_TRUE(first.endsCleanly());
    EXPECT_TRUE(second.endsCleanly());
    EXPECT_GE(server.clientsAccepted(), 2u);
}

}  // namespace
}  // namespace telmora
