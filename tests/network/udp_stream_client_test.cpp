// The stream client against a stand-in server on loopback: the keep-alive request, who may
// speak to the client, what reaches the callback, and how a stream ends.
#include "network/udp_stream_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "common/wine.h"
#include "net_test_support.h"

namespace telmora {
namespace {

using test::bytesOf;
using test::CapturedLog;
using test::kDeadline;
using test::LoopbackPeer;
using test::Recorder;

using Packet = std::vector<std::uint8_t>;
const Packet kMarker(kEndOfStreamMarker.begin(), kEndOfStreamMarker.end());

std::size_t markersIn(const std::vector<Packet>& packets) {
    return static_cast<std::size_t>(std::count(packets.begin(), packets.end(), kMarker));
}

std::string connectingLine(std::uint16_t port, const std::string& subject) {
    return "Connecting to 127.0.0.1:" + std::to_string(port) + " for subject '" + subject +
           "'...\n";
}

// A client with a recording callback, and a server on 127.0.0.1 for it to stream from.
class StreamClientTest : public ::testing::Test {
protected:
    StreamClientTest() : client(log.writer()) {
        client.SetPacketCallback([this](const Packet& packet) { packets.push(packet); });
    }

    // Connects and waits for the first keep-alive: from then on the server knows the client.
    void connect(const std::string& subject = "Actor1") {
        client.Connect("127.0.0.1", server.port(), subject);
        firstKeepAlive = server.receive();
        ASSERT_TRUE(firstKeepAlive.has_value()) << "no keep-alive reached the server";
        clientEndpoint = firstKeepAlive->source;
    }

    // Sends `bytes` from the server's stream endpoint to the client.
    void serve(const Packet& bytes) { server.send(bytes, clientEndpoint); }

    // Waits until `last` has been delivered.
    bool delivered(const Packet& last) {
        return packets.waitFor([&](const std::vector<Packet>& all) {
            return std::find(all.begin(), all.end(), last) != all.end();
        });
    }

    CapturedLog log;
    LoopbackPeer server{1};
    Recorder<Packet> packets;
    UdpStreamClient client;
    std::optional<test::PeerDatagram> firstKeepAlive;
    Ipv4Endpoint clientEndpoint;
};

TEST_F(StreamClientTest, KeepAliveIsMobuAndTheSubjectWithoutTerminator) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Actor1", "mobu:Actor1"},  // six characters: 11 bytes
        {"", "mobu:"},              // 5 bytes
        {"Jöns Åberg 2", "mobu:Jöns Åberg 2"},
    };
    for (const auto& [subject, expected] : cases) {
        SCOPED_TRACE(subject);
        // A server of its own per case, so nothing of an earlier connection can arrive there.
        LoopbackPeer caseServer{1};
        client.Connect("127.0.0.1", caseServer.port(), subject);
        const auto keepAlive = caseServer.receive();
        ASSERT_TRUE(keepAlive.has_value());
        EXPECT_EQ(keepAlive->bytes, bytesOf(expected));
        EXPECT_EQ(keepAlive->source.address, test::loopback(1));
        client.Disconnect();
    }
}

TEST_F(StreamClientTest, KeepAlivesRepeatEveryTwoSecondsFromOnePort) {
    ASSERT_NO_FATAL_FAILURE(connect("Actor1"));
    std::vector<test::PeerDatagram> keepAlives = {*firstKeepAlive};
    for (int i = 0; i < 2; ++i) {
        auto next = server.receive(kDeadline);
        ASSERT_TRUE(next.has_value());
        keepAlives.push_back(*next);
    }
    for (std::size_t i = 0; i < keepAlives.size(); ++i) {
        EXPECT_EQ(keepAlives[i].bytes, bytesOf("mobu:Actor1"));
        EXPECT_EQ(keepAlives[i].source, clientEndpoint);
        if (i > 0) {
            const auto gap = keepAlives[i].arrival - keepAlives[i - 1].arrival;
            // Tolerant of a loaded machine, but a flood or a stalled loop would fall outside.
            EXPECT_GE(gap, std::chrono::milliseconds(1500));
            EXPECT_LE(gap, std::chrono::milliseconds(5000));
        }
    }
}

TEST_F(StreamClientTest, OnlyTheServerStreamEndpointReachesTheCallback) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(connect());
    LoopbackPeer samAddressOtherPort{1};
    LoopbackPeer otherAddressSamePort{2, server.port()};
    samAddressOtherPort.send(Packet{6, 1}, clientEndpoint);
    otherAddressSamePort.send(Packet{6, 2}, clientEndpoint);
    serve(Packet{6, 3});
    ASSERT_TRUE(delivered(Packet{6, 3}));
    EXPECT_EQ(packets.snapshot(), std::vector<Packet>{Packet({6, 3})});
}

TEST_F(StreamClientTest, DatagramsUpTo4096BytesArriveWholeLongerOnesAreDropped) {
    struct Case {
        std::size_t size;
        bool delivered;
    };
    const Case cases[] = {
        {0, false},      // empty: ignored
        {1, true},       //
        {246, true},     // one sensor frame
        {4096, true},    // the largest datagram delivered
        {4097, false},   // one byte too long: dropped, the stream goes on
        {65507, false},  // the largest UDP datagram
        {4095, true},
    };
    ASSERT_NO_FATAL_FAILURE(connect());
    std::vector<Packet> expected;
    std::uint8_t fill = 1;
    for (const Case& c : cases) {
        const Packet packet(c.size, fill++);
        serve(packet);
        if (c.delivered) expected.push_back(packet);
    }
    const Packet sentinel{6, 0xAB};
    serve(sentinel);
    expected.push_back(sentinel);
    ASSERT_TRUE(delivered(sentinel));
    const auto got = packets.snapshot();
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i], expected[i]) << "packet " << i << " of " << got[i].size() << " bytes";
    }
}

TEST_F(StreamClientTest, DisconnectEndsWithOneMarkerStopsBothLoopsAndFreesThePort) {
    ASSERT_NO_FATAL_FAILURE(connect("Actor1"));
    serve(Packet{6, 1});
    serve(Packet{6, 2});
    ASSERT_TRUE(delivered(Packet{6, 2}));

    const auto start = std::chrono::steady_clock::now();
    client.Disconnect();
    // The keep-alive pause is 2 s; a stop that waited it out would show here.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    const auto got = packets.snapshot();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got.back(), kMarker);
    EXPECT_EQ(markersIn(got), 1u);

    const auto out = log.out();
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0], "Client disconnected successfully.\n");
    EXPECT_EQ(out[1], connectingLine(server.port(), "Actor1"));
    EXPECT_EQ(std::set<std::string>(out.begin() + 2, out.begin() + 4),
              (std::set<std::string>{"Keep-alive loop stopped.\n", "Receive loop stopped.\n"}));
    EXPECT_EQ(out[4], "Client disconnected successfully.\n");
    EXPECT_TRUE(log.err().empty());

    // The client's socket is really closed: its port can be bound again.
    UdpSocket reuse;
    ASSERT_EQ(reuse.open(), 0);
    EXPECT_EQ(reuse.bind(Ipv4Endpoint{0, clientEndpoint.port}), 0);

    // Disconnecting again only says so.
    client.Disconnect();
    EXPECT_EQ(packets.size(), 3u);
    EXPECT_EQ(log.out().size(), 6u);
}

TEST_F(StreamClientTest, DisconnectWithoutConnectOnlyLogs) {
    client.Disconnect();
    client.Disconnect();
    EXPECT_EQ(log.out(), std::vector<std::string>(2, "Client disconnected successfully.\n"));
    EXPECT_EQ(packets.size(), 0u);
}

TEST_F(StreamClientTest, ConnectingElsewhereStopsTheOldStreamFirst) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    ASSERT_NO_FATAL_FAILURE(connect("First"));
    LoopbackPeer secondServer{2};
    client.Connect("127.0.0.2", secondServer.port(), "Second");

    // The old stream ended, with its marker, before the new one began.
    EXPECT_EQ(packets.snapshot(), std::vector<Packet>{kMarker});
    const auto out = log.out();
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[1], connectingLine(server.port(), "First"));
    EXPECT_EQ(std::set<std::string>(out.begin() + 2, out.begin() + 4),
              (std::set<std::string>{"Keep-alive loop stopped.\n", "Receive loop stopped.\n"}));
    EXPECT_EQ(out[4], "Client disconnected successfully.\n");
    EXPECT_EQ(out[5], "Connecting to 127.0.0.2:" + std::to_string(secondServer.port()) +
                          " for subject 'Second'...\n");

    const auto keepAlive = secondServer.receive();
    ASSERT_TRUE(keepAlive.has_value());
    EXPECT_EQ(keepAlive->bytes, bytesOf("mobu:Second"));
    // The first server is no longer heard, the second is.
    serve(Packet{6, 1});
    secondServer.send(Packet{6, 2}, keepAlive->source);
    ASSERT_TRUE(delivered(Packet{6, 2}));
    EXPECT_EQ(packets.snapshot(), (std::vector<Packet>{kMarker, Packet{6, 2}}));
}

TEST_F(StreamClientTest, AThrowingCallbackCostsOnlyItsPacket) {
    client.SetPacketCallback([this](const Packet& packet) {
        if (packet == Packet{6, 1}) throw std::runtime_error("cannot decode");
        packets.push(packet);
    });
    ASSERT_NO_FATAL_FAILURE(connect());
    serve(Packet{6, 1});
    serve(Packet{6, 2});
    ASSERT_TRUE(delivered(Packet{6, 2}));
    EXPECT_EQ(log.err(), std::vector<std::string>{"Packet callback failed: cannot decode\n"});
}

TEST_F(StreamClientTest, ReplacedCallbackGetsTheFollowingPackets) {
    ASSERT_NO_FATAL_FAILURE(connect());
    serve(Packet{6, 1});
    ASSERT_TRUE(delivered(Packet{6, 1}));
    Recorder<Packet> replacement;
    client.SetPacketCallback([&](const Packet& packet) { replacement.push(packet); });
    serve(Packet{6, 2});
    ASSERT_TRUE(replacement.waitForSize(1));
    client.Disconnect();
    EXPECT_EQ(replacement.snapshot(), (std::vector<Packet>{Packet{6, 2}, kMarker}));
    EXPECT_EQ(packets.snapshot(), std::vector<Packet>{Packet({6, 1})});
}

TEST_F(StreamClientTest, DisconnectFromTheCallbackEndsTheStreamWithoutDeadlock) {
    client.SetPacketCallback([this](const Packet& packet) {
        packets.push(packet);
        client.Disconnect();  // what a consumer might do on a stream it cannot use
    });
    ASSERT_NO_FATAL_FAILURE(connect());
    serve(Packet{6, 1});
    ASSERT_TRUE(log.waitForLine(LogStream::Out, "Receive loop stopped.\n"));
    ASSERT_TRUE(log.waitForLine(LogStream::Out, "Keep-alive loop stopped.\n"));
    EXPECT_EQ(packets.snapshot(), (std::vector<Packet>{Packet{6, 1}, kMarker}));
    // The owner's Disconnect completes the stop.
    client.Disconnect();
    EXPECT_EQ(log.count(LogStream::Out, "Client disconnected successfully.\n"), 2u);
    EXPECT_EQ(markersIn(packets.snapshot()), 1u);
}

TEST_F(StreamClientTest, ConnectAndDisconnectFromTwoThreadsKeepOneMarkerPerStream) {
    // The host may open the device on one thread and close it from another.
    auto churn = [this](bool connects) {
        for (int i = 0; i < 15; ++i) {
            if (connects) {
                client.Connect("127.0.0.1", server.port(), "Actor" + std::to_string(i));
            } else {
                client.Disconnect();
            }
        }
    };
    std::thread connector(churn, true);
    std::thread disconnector(churn, false);
    connector.join();
    disconnector.join();
    client.Disconnect();

    // Every receive loop that ran ended with exactly one marker and one line, and no stream
    // was left running.
    const auto received = packets.snapshot();
    EXPECT_EQ(markersIn(received), received.size());
    EXPECT_EQ(log.count(LogStream::Out, "Receive loop stopped.\n"), received.size());
    EXPECT_EQ(log.count(LogStream::Out, "Keep-alive loop stopped.\n"), received.size());
    EXPECT_EQ(received.size(), 15u);
    EXPECT_TRUE(log.err().empty());
}

TEST(StreamClientLifetime, DestroyingAStreamingClientStopsIt) {
    CapturedLog log;
    LoopbackPeer server{1};
    Recorder<Packet> packets;
    {
        UdpStreamClient client(log.writer());
        client.SetPacketCallback([&](const Packet& packet) { packets.push(packet); });
        client.Connect("127.0.0.1", server.port(), "Actor1");
        ASSERT_TRUE(server.receive().has_value());
    }
    EXPECT_EQ(packets.snapshot(), std::vector<Packet>{kMarker});
    EXPECT_EQ(log.out().back(), "Client disconnected successfully.\n");
}

}  // namespace
}  // namespace telmora
