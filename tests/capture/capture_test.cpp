// Captures written and read back: the packets built around each datagram, the link types
// captures come in, the Telmora traffic found among other traffic, and what a full disk or a
// broken file does.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "capture/capture_reader.h"
#include "capture/capture_writer.h"
#include "capture/ip_packet.h"
#include "common/pcapng_file.h"
#include "network/announcement.h"
#include "network/net_test_support.h"
#include "network/protocol.h"

namespace telmora {
namespace {

namespace fs = std::filesystem;
using test::loopback;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::uint16_t onesComplementSum(const std::uint8_t* data, std::size_t size, std::uint32_t sum) {
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += (data[i] << 8) | data[i + 1];
    if (size % 2) sum += data[size - 1] << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(sum);
}

TEST(IpPacket, BuiltPacketsCarryValidChecksumsAndReadBackInEveryLinkType) {
    const Ipv4Endpoint from{loopback(9), 5000}, to{0xC0A80107, 61234};
    const std::vector<std::uint8_t> payload = bytesOf("mobu:walk");
    std::vector<std::uint8_t> packet;
    buildIpv4Udp(from, to, 7, payload.data(), payload.size(), packet);
    ASSERT_EQ(packet.size(), kIpv4HeaderSize + kUdpHeaderSize + payload.size());
    EXPECT_EQ(onesComplementSum(packet.data(), kIpv4HeaderSize, 0), 0xFFFF);
    // UDP: pseudo-header (addresses, protocol, length) plus the datagram sums to all ones.
    const std::size_t udpLength = kUdpHeaderSize + payload.size();
    EXPECT_EQ(onesComplementSum(packet.data() + kIpv4HeaderSize, udpLength,
                                onesComplementSum(packet.data() + 12, 8, 17 + udpLength)),
              0xFFFF);

    const std::vector<std::uint8_t> ethernet = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x08, 0x00};
    const std::vector<std::uint8_t> vlan = {0, 1,  2,  3,    4,    5,    6,    7,    8,
                                            9, 10, 11, 0x81, 0x00, 0x00, 0x05, 0x08, 0x00};
    std::vector<std::uint8_t> cooked(16, 0), cooked2(20, 0);
    cooked[14] = 0x08;
    cooked2[0] = 0x08;
    const struct {
        const char* name;
        int linkType;
        std::vector<std::uint8_t> header;
    } framings[] = {
        {"ethernet", kLinkEthernet, ethernet},
        {"802.1Q", kLinkEthernet, vlan},
        {"linux cooked", kLinkLinuxCooked, cooked},
        {"linux cooked v2", kLinkLinuxCooked2, cooked2},
        {"raw", kLinkRaw, {}},
        {"raw (DLT 12)", kLinkRawDlt, {}},
        {"ipv4", kLinkIpv4, {}},
        {"bsd loopback", kLinkNull, {2, 0, 0, 0}},
        {"openbsd loopback", kLinkLoop, {0, 0, 0, 2}},
    };
    for (const auto& framing : framings) {
        std::vector<std::uint8_t> frame = framing.header;
        frame.insert(frame.end(), packet.begin(), packet.end());
        frame.resize(frame.size() + 6, 0);  // Ethernet's padding, which the IP length ignores
        UdpView view;
        ASSERT_EQ(parseFrame(framing.linkType, frame.data(), frame.size(), view), PacketKind::kUdp)
            << framing.name;
        EXPECT_EQ(view.from, from) << framing.name;
        EXPECT_EQ(view.to, to) << framing.name;
        EXPECT_EQ(std::vector<std::uint8_t>(view.payload, view.payload + view.payloadSize), payload)
            << framing.name;
    }
}

TEST(IpPacket, FramesThatHoldNoWholeUdpDatagramAreToldApart) {
    std::vector<std::uint8_t> packet;
    const std::vector<std::uint8_t> payload(40, 0xAB);
    buildIpv4Udp({loopback(1), 1}, {loopback(2), 2}, 1, payload.data(), payload.size(), packet);
    const struct {
        const char* name;
        std::function<void(std::vector<std::uint8_t>&)> spoil;
        PacketKind kind;
    } cases[] = {
        {"tcp", [](auto& p) { p[9] = 6; }, PacketKind::kNotUdp},
        {"ipv6", [](auto& p) { p[0] = 0x60; }, PacketKind::kNotUdp},
        {"more fragments", [](auto& p) { p[6] = 0x20; }, PacketKind::kFragment},
        {"later fragment", [](auto& p) { p[7] = 0x10; }, PacketKind::kFragment},
        {"cut by the snapshot length", [](auto& p) { p.resize(30); }, PacketKind::kTruncated},
        {"header length below five words", [](auto& p) { p[0] = 0x44; }, PacketKind::kTruncated},
        {"UDP length beyond the packet", [](auto& p) { p[25] = 0xFF; }, PacketKind::kTruncated},
        {"three bytes", [](auto& p) { p.resize(3); }, PacketKind::kTruncated},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> spoilt = packet;
        c.spoil(spoilt);
        UdpView view;
        EXPECT_EQ(parseIpv4Udp(spoilt.data(), spoilt.size(), view), c.kind) << c.name;
    }
    UdpView view;
    const std::vector<std::uint8_t> arp = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x08, 0x06, 0};
    EXPECT_EQ(parseFrame(kLinkEthernet, arp.data(), arp.size(), view), PacketKind::kNotUdp);
}

class CaptureFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("telmora-capture-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }
    std::string file(const char* name) const { return (folder / name).string(); }

    fs::path folder;
};

// A server's announcement, a client's keep-alives and the frames they bring, as the device's
// taps hand them over.
struct Shoot {
    Ipv4Endpoint server{loopback(1), 41000};
    Ipv4Endpoint announcer{loopback(1), 41001};
    Ipv4Endpoint client{0, 52000};  // this machine, as the stream client reports itself
    std::chrono::system_clock::time_point start = std::chrono::system_clock::now();

    void tapInto(DatagramTap& tap, int frames) const {
        const std::string announcement = announcementText("Stage", server.port, {"walk", "run"});
        tap.Tap({start,
                 announcer,
                 {0, kDefaultListenPort},
                 reinterpret_cast<const std::uint8_t*>(announcement.data()),
                 announcement.size()});
        const std::string keepAlive = "mobu:walk";
        tap.Tap({start, client, server, reinterpret_cast<const std::uint8_t*>(keepAlive.data()),
                 keepAlive.size()});
        for (int i = 0; i < frames; ++i) {
            const std::vector<std::uint8_t> frame(100, static_cast<std::uint8_t>(i));
            tap.Tap({start + std::chrono::microseconds(8333 * (i + 1)), server, client,
                     frame.data(), frame.size()});
        }
    }
};

TEST_F(CaptureFileTest, WrittenDatagramsReadBackAsOneStreamOfTheirSubject) {
    test::CapturedLog log;
    CaptureWriter writer(log.writer());
    std::string error;
    ASSERT_TRUE(writer.Start(file("shoot.pcap"), error)) << error;
    Shoot shoot;
    shoot.tapInto(writer, 240);
    writer.Stop();
    EXPECT_EQ(writer.Figures().written, 242u);

    const std::optional<TelmoraCapture> capture = readTelmoraCapture(file("shoot.pcap"), error);
    ASSERT_TRUE(capture) << error;
    EXPECT_EQ(capture->file.linkType, kLinkRawDlt);
    ASSERT_EQ(capture->servers.size(), 1u);
    EXPECT_EQ(capture->servers[0].name, "Stage");
    EXPECT_EQ(capture->servers[0].subjects, (std::vector<std::string>{"walk", "run"}));
    ASSERT_EQ(capture->streams.size(), 1u);
    const CapturedStream& stream = capture->streams[0];
    EXPECT_EQ(stream.serverName, "Stage");
    EXPECT_EQ(stream.subject, "walk");
    EXPECT_EQ(stream.server, shoot.server);
    // "This machine" facing a loopback server is the loopback.
    EXPECT_EQ(stream.client, (Ipv4Endpoint{loopback(1), 52000}));
    ASSERT_EQ(stream.datagrams.size(), 240u);
    const CapturedDatagram& last = capture->file.datagrams[stream.datagrams.back()];
    EXPECT_EQ(last.bytes, std::vector<std::uint8_t>(100, 239));
    EXPECT_NEAR(streamSeconds(*capture, stream), 239 * 0.008333, 1e-6);
    EXPECT_TRUE(capture->file.cutShort.empty());
}

TEST_F(CaptureFileTest, AFullDiskStopsTheCaptureWithOneLineAndTheReason) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    test::CapturedLog log;
    CaptureWriter writer(log.writer());
    std::string error;
    ASSERT_TRUE(writer.Start("/dev/full", error)) << error;
    Shoot shoot;
    // Enough to fill stdio's buffer, so the write itself fails and not only the flush.
    shoot.tapInto(writer, 200);
    ASSERT_TRUE(log.waitForCount(LogStream::Err, 1));
    const CaptureFigures figures = writer.Figures();
    EXPECT_FALSE(figures.running);
    EXPECT_NE(figures.error.find("No space left on device"), std::string::npos) << figures.error;
    shoot.tapInto(writer, 10);  // taken and dropped without a word
    writer.Stop();
    ASSERT_EQ(log.err().size(), 1u);
    EXPECT_EQ(log.err()[0].rfind("Capture stopped: cannot write to /dev/full", 0), 0u);
}

TEST_F(CaptureFileTest, AStudioCaptureWithOtherTrafficYieldsItsStream) {
    // tcpdump on a technician's laptop: the server at .20, this client at .31, another client
    // of another subject at .32, and the network's own chatter.
    const Ipv4Endpoint server{0xC0A8010A + 10, 5000}, announcer{0xC0A8010A + 10, 5001};
    const Ipv4Endpoint client{0xC0A8011F, 60001}, other{0xC0A80120, 60002};
    test::PcapngFile capture;
    const std::uint64_t t0 = 1765290000000000ull;
    capture.udp(t0, announcer, {0xC0A801FF, kDefaultListenPort},
                bytesOf(announcementText("Hall A", 5000, {"walk", "run"})));
    capture.udp(t0 + 5, {0xC0A80101, 53}, client, bytesOf("some DNS answer"));
    capture.packet(t0 + 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 3, 0x08, 0x06});
    capture.udp(t0 + 10, client, server, bytesOf("mobu:walk"));
    capture.udp(t0 + 11, other, server, bytesOf("mobu:run"));
    for (int i = 0; i < 120; ++i) {
        capture.udp(t0 + 1000 + 8333 * i, server, client, std::vector<std::uint8_t>(60, 1));
        if (i % 2 == 0)
            capture.udp(t0 + 1100 + 8333 * i, server, other, std::vector<std::uint8_t>(60, 2));
    }
    capture.write(file("studio.pcapng"));

    std::string error;
    const std::optional<TelmoraCapture> read = readTelmoraCapture(file("studio.pcapng"), error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->file.linkType, kLinkEthernet);
    EXPECT_EQ(read->file.otherFrames, 1u);
    const CapturedStream* walk = pickStream(*read, "", "walk", error);
    ASSERT_NE(walk, nullptr) << error;
    EXPECT_EQ(walk->serverName, "Hall A");
    EXPECT_EQ(walk->client, client);
    EXPECT_EQ(walk->datagrams.size(), 120u);
    // Without a choice, the longest stream.
    EXPECT_EQ(pickStream(*read, "", "", error), walk);
    const CapturedStream* run = pickStream(*read, "Hall A", "run", error);
    ASSERT_NE(run, nullptr) << error;
    EXPECT_EQ(run->datagrams.size(), 60u);
    EXPECT_EQ(pickStream(*read, "Hall B", "", error), nullptr);
    EXPECT_NE(error.find("Hall A / walk: 120 datagrams"), std::string::npos) << error;
}

TEST_F(CaptureFileTest, DamagedTimesAreSkippedAndAStreamSpanningDaysIsNotReplayed) {
    const Ipv4Endpoint server{0xC0A8010A, 5000}, client{0xC0A8011F, 60001};
    test::PcapngFile capture;
    const std::uint64_t t0 = 1765290000000000ull;
    capture.udp(t0, client, server, bytesOf("mobu:walk"));
    capture.udp(t0 + 1000, server, client, std::vector<std::uint8_t>(60, 1));
    // A record whose time is no clock's: its seconds would not fit the microseconds.
    capture.udp(~0ull - 5, server, client, std::vector<std::uint8_t>(60, 2));
    capture.write(file("damaged.pcapng"));
    std::string error;
    std::optional<TelmoraCapture> read = readTelmoraCapture(file("damaged.pcapng"), error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(read->file.truncated, 1u);
    ASSERT_EQ(read->streams.size(), 1u);
    EXPECT_EQ(read->streams[0].datagrams.size(), 1u);
    EXPECT_NE(pickStream(*read, "", "walk", error), nullptr) << error;

    // The same endpoints again three days on: no replay waits out the gap.
    capture.udp(t0 + 3 * 86400000000ull, server, client, std::vector<std::uint8_t>(60, 3));
    capture.write(file("days.pcapng"));
    read = readTelmoraCapture(file("days.pcapng"), error);
    ASSERT_TRUE(read) << error;
    EXPECT_EQ(pickStream(*read, "", "walk", error), nullptr);
    EXPECT_NE(error.find("spans 72 h"), std::string::npos) << error;
}

TEST_F(CaptureFileTest, CapturesWithoutATelmoraStreamAreRefusedWithWhatTheyHold) {
    test::PcapngFile capture;
    capture.udp(1, {0xC0A80101, 53}, {0xC0A8011F, 5353}, bytesOf("mdns"));
    capture.udp(2, {0xC0A8010A, 5001}, {0xC0A801FF, kDefaultListenPort},
                bytesOf(announcementText("Idle", 5000, {"walk"})));
    capture.write(file("quiet.pcapng"));
    std::string error;
    EXPECT_FALSE(readTelmoraCapture(file("quiet.pcapng"), error));
    EXPECT_NE(error.find("holds no Telmora stream (2 UDP datagrams, 1 servers announced"),
              std::string::npos)
        << error;
}

}  // namespace
}  // namespace telmora
