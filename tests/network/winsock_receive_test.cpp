// Winsock's own receive outcomes, produced for real, and how the socket layer sorts them.
// Windows only (under Wine in CI). After receiveFrom, WSAGetLastError still holds the code the
// failed recvfrom left, which shows the outcome came from exactly that code.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <gtest/gtest.h>
#include <winsock2.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "net_test_support.h"
#include "network/socket.h"

namespace telmora {
namespace {

using test::kDeadline;
using test::loopback;

class WinsockReceiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(receiver.open(), 0);
        ASSERT_EQ(receiver.bind(Ipv4Endpoint{loopback(1), 0}), 0);
        receiverEndpoint = receiver.localEndpoint().value_or(Ipv4Endpoint{});
        ASSERT_NE(receiverEndpoint.port, 0);
        ASSERT_EQ(sender.open(), 0);
        ASSERT_EQ(sender.bind(Ipv4Endpoint{loopback(1), 0}), 0);
    }

    UdpSocket receiver;
    UdpSocket sender;
    Ipv4Endpoint receiverEndpoint;
};

TEST_F(WinsockReceiveTest, TimeOutIsNothingYet) {
    ASSERT_EQ(receiver.setReceiveTimeout(std::chrono::milliseconds(20)), 0);
    std::uint8_t buffer[16];
    const ReceiveResult result = receiver.receiveFrom(buffer, sizeof buffer);
    EXPECT_EQ(::WSAGetLastError(), WSAETIMEDOUT);  // 10060
    EXPECT_EQ(result.outcome, ReceiveOutcome::NothingYet);
}

TEST_F(WinsockReceiveTest, WouldBlockIsNothingYet) {
    u_long nonBlocking = 1;
    ASSERT_EQ(::ioctlsocket(static_cast<SOCKET>(receiver.nativeHandle()), FIONBIO, &nonBlocking),
              0);
    std::uint8_t buffer[16];
    const ReceiveResult result = receiver.receiveFrom(buffer, sizeof buffer);
    EXPECT_EQ(::WSAGetLastError(), WSAEWOULDBLOCK);  // 10035
    EXPECT_EQ(result.outcome, ReceiveOutcome::NothingYet);
}

TEST_F(WinsockReceiveTest, OversizedDatagramIsDroppedAndTheSocketGoesOn) {
    ASSERT_EQ(receiver.setReceiveTimeout(kDeadline), 0);
    const std::vector<std::uint8_t> big(64, 0xAB);
    const std::vector<std::uint8_t> small(8, 0xCD);
    ASSERT_EQ(sender.sendTo(big.data(), big.size(), receiverEndpoint), 0);
    ASSERT_EQ(sender.sendTo(small.data(), small.size(), receiverEndpoint), 0);

    std::uint8_t buffer[16];
    const ReceiveResult dropped = receiver.receiveFrom(buffer, sizeof buffer);
    EXPECT_EQ(::WSAGetLastError(), WSAEMSGSIZE);  // 10040
    EXPECT_EQ(dropped.outcome, ReceiveOutcome::Dropped);

    const ReceiveResult next = receiver.receiveFrom(buffer, sizeof buffer);
    ASSERT_EQ(next.outcome, ReceiveOutcome::Datagram);
    EXPECT_EQ(next.size, small.size());
}

// A datagram to a port where nothing listens. Windows answers the sender's next receive with
// WSAECONNRESET (10054), which ends a stream; a system that does not pass the port-unreachable
// report on leaves the receive waiting until its time-out. Either is handled; anything else
// (a datagram, a drop, another error) is not.
TEST_F(WinsockReceiveTest, DatagramToAClosedPortIsResetOrNothing) {
    std::uint16_t closedPort = 0;
    {
        UdpSocket gone;
        ASSERT_EQ(gone.open(), 0);
        ASSERT_EQ(gone.bind(Ipv4Endpoint{loopback(1), 0}), 0);
        closedPort = gone.localEndpoint().value_or(Ipv4Endpoint{}).port;
        ASSERT_NE(closedPort, 0);
    }
    ASSERT_EQ(sender.setReceiveTimeout(std::chrono::milliseconds(300)), 0);
    const std::uint8_t keepAlive[4] = {1, 2, 3, 4};
    ASSERT_EQ(sender.sendTo(keepAlive, sizeof keepAlive, Ipv4Endpoint{loopback(1), closedPort}), 0);
    std::uint8_t buffer[16];
    const ReceiveResult result = sender.receiveFrom(buffer, sizeof buffer);
    const int code = ::WSAGetLastError();
    std::printf("Receive after a datagram to a closed port: outcome %d, WSAGetLastError %d\n",
                static_cast<int>(result.outcome), code);
    RecordProperty("closed_port_error", code);
    if (result.outcome == ReceiveOutcome::Fatal) {
        EXPECT_EQ(result.errorCode, WSAECONNRESET);
    } else {
        EXPECT_EQ(result.outcome, ReceiveOutcome::NothingYet);
        EXPECT_EQ(code, WSAETIMEDOUT);
    }
}

}  // namespace
}  // namespace telmora
