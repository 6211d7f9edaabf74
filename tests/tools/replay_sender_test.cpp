// The test sender replaying recorded datagrams: to a client that asks by keep-alive, each
// datagram exactly as captured and in its order, starting over when it loops.

#include <gtest/gtest.h>

#include <memory>

#include "network/net_test_support.h"
#include "tools/sim_server/sim_server.h"

namespace telmora {
namespace {

using test::LoopbackPeer;

TEST(ReplaySender, SendsTheRecordedDatagramsInOrderToWhoeverAsks) {
    auto recorded = std::make_shared<RecordedDatagrams>();
    for (int i = 0; i < 4; ++i) {
        recorded->offsetMicros.push_back(20000 * i);
        recorded->datagrams.push_back(
            std::vector<std::uint8_t>(50 + i, static_cast<std::uint8_t>(i)));
    }
    SimServerConfig config;
    config.serverName = "Replayed";
    config.announcePort = test::freeUdpPort();
    config.replayLoop = true;
    config.replaySpeed = 4.0;
    config.keepSendTimes = true;
    SimServer sender(config, {{"take", nullptr, recorded}}, [](LogStream, const std::string&) {});
    std::string error;
    ASSERT_TRUE(sender.Start(error)) << error;
    EXPECT_NE(sender.announcement().find("\"subjects\":[\"take\"]"), std::string::npos);

    LoopbackPeer client;
    client.send(test::bytesOf("mobu:take"), {0x7F000001, sender.streamPort()});
    // Two rounds: the loop starts over from the first datagram.
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 4; ++i) {
            const std::optional<test::PeerDatagram> datagram = client.receive();
            ASSERT_TRUE(datagram) << "round " << round << ", datagram " << i;
            EXPECT_EQ(datagram->bytes, recorded->datagrams[static_cast<std::size_t>(i)]);
        }
    }
    sender.Stop();
    // Every frame sent is on the record, to its client, in sending order.
    const std::vector<SentFrame> sent = sender.sentFrames();
    ASSERT_EQ(sent.size(), sender.framesSent());
    ASSERT_GE(sent.size(), 8u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].to, client.endpoint());
        if (i > 0) {
            EXPECT_GE(sent[i].at, sent[i - 1].at);
        }
    }
}

TEST(ReplaySender, RefusesSubjectsWithoutDatagramsOrOfBothKinds) {
    auto empty = std::make_shared<RecordedDatagrams>();
    SimServerConfig config;
    config.announcePort = test::freeUdpPort();
    std::string error;
    SimServer none(config, {{"take", nullptr, empty}}, [](LogStream, const std::string&) {});
    EXPECT_FALSE(none.Start(error));
    EXPECT_NE(error.find("no recorded datagrams"), std::string::npos) << error;
}

}  // namespace
}  // namespace telmora
