#include "net_test_support.h"

#include <gtest/gtest.h>

namespace telmora::test {

LoopbackPeer::LoopbackPeer(std::uint8_t last, std::uint16_t port) {
    EXPECT_EQ(socket.open(), 0);
    EXPECT_EQ(socket.bind(Ipv4Endpoint{loopback(last), port}), 0);
    EXPECT_EQ(socket.setReceiveTimeout(std::chrono::milliseconds(50)), 0);
    local = socket.localEndpoint().value_or(Ipv4Endpoint{});
}

void LoopbackPeer::send(const std::vector<std::uint8_t>& bytes, const Ipv4Endpoint& to) const {
    EXPECT_EQ(socket.sendTo(bytes.data(), bytes.size(), to), 0);
}

void LoopbackPeer::send(const std::string& text, const Ipv4Endpoint& to) const {
    send(bytesOf(text), to);
}

std::optional<PeerDatagram> LoopbackPeer::receive(std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::uint8_t> buffer(65536);
    do {
        const ReceiveResult result = socket.receiveFrom(buffer.data(), buffer.size());
        if (result.outcome == ReceiveOutcome::Datagram) {
            return PeerDatagram{
                std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + result.size),
                result.source, std::chrono::steady_clock::now()};
        }
        if (result.outcome == ReceiveOutcome::Fatal) break;
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

std::uint16_t freeUdpPort() {
    UdpSocket probe;
    EXPECT_EQ(probe.open(), 0);
    EXPECT_EQ(probe.bind(Ipv4Endpoint{0, 0}), 0);
    return probe.localEndpoint().value_or(Ipv4Endpoint{}).port;
}

}  // namespace telmora::test
