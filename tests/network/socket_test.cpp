// The socket layer on real loopback sockets: addresses, whole datagrams, the three receive
// outcomes, and a shutdown that frees a blocked receiver.
#include "network/socket.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/wine.h"
#include "net_test_support.h"

namespace telmora {
namespace {

using test::kDeadline;
using test::loopback;

TEST(Ipv4Text, ParsesAndFormatsDottedDecimal) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> address;
    };
    const Case cases[] = {
        {"127.0.0.1", 0x7F000001u},
        {"0.0.0.0", 0u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"192.168.10.200", 0xC0A80AC8u},
        {"", std::nullopt},
        {"256.0.0.1", std::nullopt},
        {"1.2.3", std::nullopt},
        {"localhost", std::nullopt},
        {"1.2.3.4 ", std::nullopt},
        {"127.0.0.1.127.0.0.1", std::nullopt},  // longer than any address text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseIpv4(c.text), c.address);
        if (c.address) {
            EXPECT_EQ(formatIpv4(*c.address), c.text);
        }
    }
}

class UdpSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(receiver.open(), 0);
        ASSERT_EQ(receiver.bind(Ipv4Endpoint{loopback(1), 0}), 0);
        ASSERT_EQ(receiver.setReceiveTimeout(std::chrono::milliseconds(50)), 0);
        receiverEndpoint = receiver.localEndpoint().value_or(Ipv4Endpoint{});
        ASSERT_NE(receiverEndpoint.port, 0);
        ASSERT_EQ(sender.open(), 0);
        ASSERT_EQ(sender.bind(Ipv4Endpoint{loopback(1), 0}), 0);
        senderEndpoint = sender.localEndpoint().value_or(Ipv4Endpoint{});
    }

    void send(std::size_t size, std::uint8_t fill) {
        const std::vector<std::uint8_t> bytes(size, fill);
        ASSERT_EQ(sender.sendTo(bytes.data(), bytes.size(), receiverEndpoint), 0);
    }

    UdpSocket receiver;
    UdpSocket sender;
    Ipv4Endpoint receiverEndpoint;
    Ipv4Endpoint senderEndpoint;
};

TEST_F(UdpSocketTest, SortsDatagramsBySizeAgainstTheBufferOneAtATimeOrInBatches) {
    // Sent in this order; each either arrives whole with its sender or is dropped, and a drop
    // leaves the socket receiving; a batch sorts each of its datagrams the same way.
    struct Case {
        std::size_t size;
        ReceiveOutcome outcome;
    };
    constexpr std::size_t kCapacity = 64;
    const Case cases[] = {
        {1, ReceiveOutcome::Datagram},   {0, ReceiveOutcome::Datagram},
        {64, ReceiveOutcome::Datagram},  {65, ReceiveOutcome::Dropped},
        {4000, ReceiveOutcome::Dropped}, {63, ReceiveOutcome::Datagram},
    };
    constexpr std::size_t kCount = sizeof cases / sizeof cases[0];
    for (const bool batched : {false, true}) {
        SCOPED_TRACE(batched ? "in batches" : "one at a time");
        std::uint8_t fill = 1;
        for (const Case& c : cases) send(c.size, fill++);

        // Every outcome but NothingYet, with the bytes it brought.
        std::vector<std::pair<ReceiveResult, std::vector<std::uint8_t>>> received;
        std::vector<std::uint8_t> buffers(kCount * kCapacity);
        std::vector<ReceiveResult> results(kCount);
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (received.size() < kCount && std::chrono::steady_clock::now() < deadline) {
            const std::size_t n =
                batched ? receiver.receiveBatch(buffers.data(), kCapacity, results.data(),
                                                kCount - received.size())
                        : (results[0] = receiver.receiveFrom(buffers.data(), kCapacity), 1);
            for (std::size_t i = 0; i < n; ++i) {
                if (results[i].outcome == ReceiveOutcome::NothingYet) continue;
                const std::uint8_t* bytes = buffers.data() + i * kCapacity;
                received.emplace_back(results[i],
                                      std::vector<std::uint8_t>(bytes, bytes + kCapacity));
            }
        }
        ASSERT_EQ(received.size(), kCount);
        fill = 1;
        for (std::size_t k = 0; k < kCount; ++k, ++fill) {
            const Case& c = cases[k];
            const auto& [result, bytes] = received[k];
            SCOPED_TRACE(c.size);
            ASSERT_EQ(result.outcome, c.outcome);
            if (c.outcome != ReceiveOutcome::Datagram) continue;
            EXPECT_EQ(result.size, c.size);
            EXPECT_EQ(result.source, senderEndpoint);
            EXPECT_TRUE(std::all_of(bytes.begin(), bytes.begin() + result.size,
                                    [&](std::uint8_t b) { return b == fill; }));
        }
    }
}

TEST_F(UdpSocketTest, EmptyQueueIsNothingYetAndAClosedSocketIsFatal) {
    std::uint8_t buffer[16];
    EXPECT_EQ(receiver.receiveFrom(buffer, sizeof buffer).outcome, ReceiveOutcome::NothingYet);
    receiver.close();
    EXPECT_FALSE(receiver.isOpen());
    EXPECT_EQ(receiver.receiveFrom(buffer, sizeof buffer).outcome, ReceiveOutcome::Fatal);
    EXPECT_NE(receiver.sendTo(buffer, 1, senderEndpoint), 0);
}

TEST_F(UdpSocketTest, PortHeldByAnotherSocketCannotBeBoundUntilClosed) {
    UdpSocket second;
    ASSERT_EQ(second.open(), 0);
    EXPECT_NE(second.bind(receiverEndpoint), 0);
    receiver.close();
    ASSERT_EQ(second.open(), 0);
    EXPECT_EQ(second.bind(receiverEndpoint), 0);
}

TEST_F(UdpSocketTest, MovedSocketKeepsItsPort) {
    UdpSocket moved = std::move(receiver);
    EXPECT_FALSE(receiver.isOpen());
    ASSERT_TRUE(moved.isOpen());
    EXPECT_EQ(moved.localEndpoint(), receiverEndpoint);
    send(5, 7);
    std::uint8_t buffer[16];
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    ReceiveResult result;
    do {
        result = moved.receiveFrom(buffer, sizeof buffer);
    } while (result.outcome == ReceiveOutcome::NothingYet &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(result.outcome, ReceiveOutcome::Datagram);
    EXPECT_EQ(result.size, 5u);
}

TEST_F(UdpSocketTest, ShutdownEndsAReceiverWaitingInAnotherThread) {
    TELMORA_SKIP_UNDER_WINE(test::kWineShutdownWake);
    // A receive wait far longer than the test's deadline: only the shutdown can end it.
    ASSERT_EQ(receiver.setReceiveTimeout(std::chrono::minutes(5)), 0);
    test::Recorder<ReceiveOutcome> outcomes;
    std::thread waiter([&] {
        std::uint8_t buffer[16];
        for (;;) {
            const ReceiveOutcome outcome = receiver.receiveFrom(buffer, sizeof buffer).outcome;
            outcomes.push(outcome);
            if (outcome != ReceiveOutcome::Datagram) break;
        }
    });
    send(3, 1);
    ASSERT_TRUE(outcomes.waitForSize(1));
    // The waiter is in, or about to enter, its next receive.
    receiver.shutdown();
    const bool ended = outcomes.waitForSize(2);
    if (!ended) {
        // Do not leave the thread blocked: free it the slow way before failing.
        receiver.setReceiveTimeout(std::chrono::milliseconds(1));
        send(0, 0);
    }
    waiter.join();
    EXPECT_TRUE(ended);
    const auto seen = outcomes.snapshot();
    EXPECT_EQ(seen.front(), ReceiveOutcome::Datagram);
    EXPECT_NE(seen.back(), ReceiveOutcome::Datagram);
}

}  // namespace
}  // namespace telmora
