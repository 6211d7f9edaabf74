// The host's TCP client against a loopback TCP server run by the test on its own thread of
// control (accept and send are done in between the client's calls, no second thread).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <vector>

#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kDeadline{8};

// A listening socket on 127.0.0.1 at a port the system chose.
struct LoopbackServer {
    int listener = -1;
    int port = 0;
    LoopbackServer() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(listener, 1) != 0) {
            return;
        }
        socklen_t length = sizeof(address);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~LoopbackServer() { close(); }
    void close() {
        if (listener >= 0) ::close(listener);
        listener = -1;
    }
};

// Reads until `want` bytes have arrived in total or the deadline passes; the count read.
int readUntil(FBTCPIP& tcp, int socket, std::vector<unsigned char>& into, int want) {
    const auto end = Clock::now() + kDeadline;
    while (static_cast<int>(into.size()) < want && Clock::now() < end) {
        unsigned char buffer[4096];
        int n = -1;
        if (!tcp.Read(socket, buffer, static_cast<int>(sizeof(buffer)), &n)) break;
        into.insert(into.end(), buffer, buffer + n);
    }
    return static_cast<int>(into.size());
}

TEST(SdkTcpip, ARecordSplitAcrossReadsArrivesWhole) {
    LoopbackServer server;
    ASSERT_GT(server.port, 0);
    FBTCPIP tcp;
    int socket = 0;
    ASSERT_TRUE(tcp.CreateSocket(socket, kFBTCPIP_Stream, "ip", true));
    ASSERT_NE(socket, 0);
    ASSERT_TRUE(tcp.Connect(socket, "127.0.0.1", server.port));
    const int peer = ::accept(server.listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    int n = -1;
    unsigned char byte;
    EXPECT_TRUE(tcp.Read(socket, &byte, 1, &n)) << "nothing there yet is no error";
    EXPECT_EQ(n, 0);

    std::vector<unsigned char> record(3136);
    std::iota(record.begin(), record.end(), 0);
    const int firstPart = 1000;
    ASSERT_EQ(::send(peer, record.data(), firstPart, 0), firstPart);
    std::vector<unsigned char> received;
    EXPECT_EQ(readUntil(tcp, socket, received, firstPart), firstPart)
        << "a read returns what is there now";
    ASSERT_EQ(::send(peer, record.data() + firstPart, record.size() - firstPart, 0),
              static_cast<ssize_t>(record.size() - firstPart));
    EXPECT_EQ(readUntil(tcp, socket, received, 3136), 3136);
    EXPECT_EQ(received, record);

    ::close(peer);
    const auto end = Clock::now() + kDeadline;
    bool open = true;
    while (open && Clock::now() < end) open = tcp.Read(socket, &byte, 1, &n);
    EXPECT_FALSE(open) << "a closed peer reads as failure";
    EXPECT_TRUE(tcp.CloseSocket(socket));
    EXPECT_FALSE(tcp.CloseSocket(socket)) << "a closed handle is unknown";
    EXPECT_FALSE(tcp.Read(socket, &byte, 1, &n));
}

TEST(SdkTcpip, ConnectFailsWhereNothingListens) {
    int port = 0;
    {
        LoopbackServer gone;
        port = gone.port;
    }
    FBTCPIP tcp;
    int socket = 0;
    ASSERT_TRUE(tcp.CreateSocket(socket));
    EXPECT_FALSE(tcp.Connect(socket, "127.0.0.1", port));
    EXPECT_FALSE(tcp.Connect(socket, "not an address", 80));
    int datagram = 0;
    EXPECT_FALSE(tcp.CreateSocket(datagram, kFBTCPIP_DGRAM));
    EXPECT_EQ(datagram, 0);
}

}  // namespace
