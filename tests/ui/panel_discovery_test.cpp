// The panel with real senders announcing over loopback: the lists follow the announcing
// servers, the user's choice survives every refill, the port field restarts discovery, and a
// panel closed while servers announce is never called afterwards.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/wine.h"
#include "net_test_support.h"
#include "panel_fixture.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace telmora::test {
namespace {

using Items = std::vector<std::string>;

// A silent server leaves the lists after the discovery's time-out (ten seconds), found by its
// sweep (every five).
constexpr std::chrono::milliseconds kServerTimeoutDeadline{25000};

LogWriter quiet() {
    return [](LogStream, const std::string&) {};
}

// A sender announcing `subjects` under `name` from 127.0.0.`last` to the panel's port, ten
// times a second.
std::unique_ptr<SimServer> startSender(const std::string& name, const std::string& bindAddress,
                                       std::uint16_t announcePort,
                                       const std::vector<std::string>& subjects) {
    static const auto performance =
        std::make_shared<const Performance>(syntheticPerformance("synthetic", 1.0, 30.0));
    SimServerConfig config;
    config.serverName = name;
    config.announcePort = announcePort;
    config.announceInterval = std::chrono::milliseconds(100);
    config.bindAddress = bindAddress;
    config.frameRate = 30.0;
    std::vector<SimSubject> offered;
    for (const std::string& subject : subjects) offered.push_back({subject, performance});
    auto sender = std::make_unique<SimServer>(config, offered, quiet());
    std::string error;
    EXPECT_TRUE(sender->Start(error)) << error;
    return sender;
}

bool contains(const Items& items, const std::string& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

class PanelDiscoveryTest : public PanelTest {
protected:
    void SetUp() override {
        PanelTest::SetUp();
        if (HasFatalFailure()) return;
        port = freeUdpPort();
        connectTo(std::to_string(port));
        ASSERT_EQ(textOf(panel->editNetworkPort), std::to_string(port));
    }

    std::uint16_t port = 0;
};

TEST_F(PanelDiscoveryTest, ListsFollowTheAnnouncingServersAndKeepTheUsersChoice) {
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    // Nothing announcing: both lists hold only the placeholder.
    host.runIdle();
    EXPECT_EQ(itemsOf(panel->listSources), Items{"Select"});
    EXPECT_EQ(itemsOf(panel->listSubjects), Items{"Select"});
    EXPECT_EQ(textOf(panel->editNetworkPort), std::to_string(port));

    // A sender appears without user action: the lists change only at the host's idle.
    auto stageA = startSender("Stage A", "127.0.0.2", port, {"Actor", "Extra"});
    ASSERT_TRUE(waitUntil([&] { return stageA->announcementsSent() >= 3; }));
    EXPECT_EQ(itemsOf(panel->listSources), Items{"Select"});
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Stage A"); }));
    EXPECT_EQ(itemsOf(panel->listSources), (Items{"Select", "Stage A"}));

    // Pick it: its subjects fill the subject list. Pick a subject.
    host.pick(panel->listSources, indexOf(panel->listSources, "Stage A"));
    EXPECT_EQ(selectedOf(panel->listSources), "Stage A");
    EXPECT_EQ(itemsOf(panel->listSubjects), (Items{"Select", "Actor", "Extra"}));
    host.pick(panel->listSubjects, indexOf(panel->listSubjects, "Extra"));
    EXPECT_EQ(selectedOf(panel->listSubjects), "Extra");

    // A second server: the refill keeps both choices.
    auto stageB = startSender("Stage B", "127.0.0.3", port, {"Extra", "Other"});
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Stage B"); }));
    EXPECT_EQ(selectedOf(panel->listSources), "Stage A");
    EXPECT_EQ(selectedOf(panel->listSubjects), "Extra");

    // Switch servers and back: the subject is reselected by name wherever it stands.
    host.pick(panel->listSources, indexOf(panel->listSources, "Stage B"));
    EXPECT_EQ(itemsOf(panel->listSubjects), (Items{"Select", "Extra", "Other"}));
    EXPECT_EQ(selectedOf(panel->listSubjects), "Extra");
    host.pick(panel->listSources, indexOf(panel->listSources, "Stage A"));
    EXPECT_EQ(itemsOf(panel->listSubjects), (Items{"Select", "Actor", "Extra"}));
    EXPECT_EQ(selectedOf(panel->listSubjects), "Extra");

    // The other sender stops: it leaves after the time-out (ten seconds, swept every five) and
    // the lists are rebuilt with the choice restored.
    stageB->Stop();
    ASSERT_TRUE(idleUntil([&] { return !contains(itemsOf(panel->listSources), "Stage B"); },
                          kServerTimeoutDeadline));
    EXPECT_EQ(itemsOf(panel->listSources), (Items{"Select", "Stage A"}));
    EXPECT_EQ(selectedOf(panel->listSources), "Stage A");
    EXPECT_EQ(itemsOf(panel->listSubjects), (Items{"Select", "Actor", "Extra"}));
    EXPECT_EQ(selectedOf(panel->listSubjects), "Extra");

    // The chosen sender stops too: only the placeholders are left; the choice is remembered,
    // so the sender is chosen again when it comes back.
    stageA->Stop();
    ASSERT_TRUE(idleUntil([&] { return itemsOf(panel->listSources) == Items{"Select"}; },
                          kServerTimeoutDeadline));
    EXPECT_EQ(itemsOf(panel->listSubjects), Items{"Select"});
    stageA = startSender("Stage A", "127.0.0.2", port, {"Actor", "Extra"});
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Stage A"); }));
    EXPECT_EQ(selectedOf(panel->listSources), "Stage A");
    EXPECT_EQ(selectedOf(panel->listSubjects), "Extra");
}

TEST_F(PanelDiscoveryTest, ConnectRestartsDiscoveryOnlyForANewUsablePort) {
    // A sender on another port is not heard until Connect moves discovery there.
    const std::uint16_t otherPort = freeUdpPort();
    ASSERT_NE(otherPort, port);
    auto sender = startSender("Stage C", "127.0.0.4", otherPort, {"Actor"});
    ASSERT_TRUE(waitUntil([&] { return sender->announcementsSent() >= 3; }));
    host.runIdle();
    EXPECT_EQ(itemsOf(panel->listSources), Items{"Select"});

    // Text that is not a usable port, and the port in use, change nothing; the field shows the
    // port in use again.
    const std::string current = std::to_string(port);
    for (const std::string& text :
         {std::string("70000"), std::string("-1"), std::string("0"), std::string("abc"),
          std::string(""), current, current + "abc", std::to_string(otherPort) + "0000"}) {
        connectTo(text);
        EXPECT_EQ(textOf(panel->editNetworkPort), current) << '"' << text << '"';
    }

    // A new port, typed with trailing text ("%d" reads the number): discovery listens there.
    connectTo(std::to_string(otherPort) + " ");
    EXPECT_EQ(textOf(panel->editNetworkPort), std::to_string(otherPort));
    EXPECT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Stage C"); }));
}

// Reads the size from a PNG's header chunk: 8-byte signature, then IHDR's length and type, then
// width and height big-endian.
bool pngSize(const std::string& path, std::uint32_t& width, std::uint32_t& height) {
    std::ifstream file(path, std::ios::binary);
    unsigned char header[24] = {};
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    if (header[1] != 'P' || header[2] != 'N' || header[3] != 'G') return false;
    auto be32 = [&](int at) {
        return std::uint32_t(header[at]) << 24 | std::uint32_t(header[at + 1]) << 16 |
               std::uint32_t(header[at + 2]) << 8 | std::uint32_t(header[at + 3]);
    };
    width = be32(16);
    height = be32(20);
    return true;
}

TEST_F(PanelDiscoveryTest, PictureShowsTheChosenServerAndSubject) {
    if (!TELMORA_DRAWS_PICTURES) GTEST_SKIP() << "this build draws no panel pictures";
    TELMORA_SKIP_UNDER_WINE(test::kWineLoopbackIdentity);
    auto sender = startSender("Telmora Stage", "127.0.0.6", port, {"Actor", "Extra"});
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Telmora Stage"); }));
    host.pick(panel->listSources, indexOf(panel->listSources, "Telmora Stage"));
    host.pick(panel->listSubjects, indexOf(panel->listSubjects, "Actor"));
    ASSERT_EQ(selectedOf(panel->listSubjects), "Actor");
    // Online, so that the picture shows the stream's health line too.
    ASSERT_TRUE(host.deviceOperation(device, ORSDK2026::kOpInit));
    ASSERT_TRUE(host.setOnline(device, true));
    ASSERT_TRUE(idleUntil([&] {
        const std::string health = panel->labelStreamHealth.Caption.Get().str();
        return health.find(" Hz ") != std::string::npos && health.rfind("0 Hz", 0) != 0;
    }));

    const std::string path = TELMORA_PANEL_PICTURE;
    std::remove(path.c_str());
    std::string error;
    ASSERT_TRUE(host.drawPanel(panel->layout, kPanelWidth, kPanelHeight, path, &error)) << error;
    std::uint32_t width = 0, height = 0;
    ASSERT_TRUE(pngSize(path, width, height));
    EXPECT_EQ(width, static_cast<std::uint32_t>(kPanelWidth));
    EXPECT_EQ(height, static_cast<std::uint32_t>(kPanelHeight));
    host.setOnline(device, false);
}

TEST_F(PanelDiscoveryTest, BoneTableShowsTheLiveChannelValuesWhileOnline) {
    auto sender = startSender("Telmora Stage", "127.0.0.7", port, {"Actor"});
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Telmora Stage"); }));
    host.pick(panel->listSources, indexOf(panel->listSources, "Telmora Stage"));
    host.pick(panel->listSubjects, indexOf(panel->listSubjects, "Actor"));
    ASSERT_TRUE(host.deviceOperation(device, ORSDK2026::kOpInit));
    ASSERT_TRUE(host.setOnline(device, true));
    ASSERT_EQ(panel->boneSpread.GetRowCount(), 65);

    // Frames come, then the sender holds its stream: the pose stands still, and the table shows
    // what the device hands the host for every bone.
    auto health = [&] { return std::string(panel->labelStreamHealth.Caption.Get().str()); };
    ASSERT_TRUE(idleUntil([&] { return health().find("0 Hz") != 0 && !health().empty(); }));
    sender->SetStreaming(false);
    ASSERT_TRUE(idleUntil([&] { return health().rfind("No frames from", 0) == 0; })) << health();
    host.runIdle();
    host.evaluate();
    for (int row = 0; row < panel->boneSpread.GetRowCount(); ++row) {
        const std::string bone = panel->boneSpread.GetRow(row)->Caption.Get().str();
        for (const auto& [suffix, column] : {std::pair<const char*, int>{" T", 0}, {" R", 3}}) {
            ORSDK2026::FBAnimationNode* node = host.findNode(device, bone + suffix);
            ASSERT_NE(node, nullptr) << bone << suffix;
            double value[3];
            node->Evaluate(value, host.localTime());
            for (int axis = 0; axis < 3; ++axis)
                EXPECT_EQ(panel->boneSpread.GetCellDouble(row, column + axis), value[axis])
                    << bone << suffix << " " << axis;
        }
    }
    host.setOnline(device, false);
}

// The line below the subjects follows the stream while online; the line below the port says
// when the port cannot be listened on.
TEST_F(PanelDiscoveryTest, HealthAndPortLinesShowTheStreamAndThePort) {
    auto sender = startSender("Telmora Stage", "127.0.0.8", port, {"Actor"});
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Telmora Stage"); }));
    host.pick(panel->listSources, indexOf(panel->listSources, "Telmora Stage"));
    host.pick(panel->listSubjects, indexOf(panel->listSubjects, "Actor"));
    ASSERT_TRUE(host.deviceOperation(device, ORSDK2026::kOpInit));
    EXPECT_EQ(panel->labelStreamHealth.Caption.Get().str(), "");
    ASSERT_TRUE(host.setOnline(device, true));
    auto health = [&] { return std::string(panel->labelStreamHealth.Caption.Get().str()); };
    ASSERT_TRUE(idleUntil([&] {
        return std::regex_match(health(),
                                std::regex("[0-9]+ Hz \u00b7 last frame [0-9]+ ms ago \u00b7 0 "
                                           "refused \u00b7 [0-9]+ gaps?"));
    })) << health();
    sender->SetStreaming(false);
    ASSERT_TRUE(idleUntil([&] {
        return health().rfind("No frames from 'Telmora Stage' for ", 0) == 0;
    })) << health();
    host.setOnline(device, false);
    host.runIdle();
    EXPECT_EQ(health(), "");

    UdpSocket occupant;
    const std::uint16_t taken = freeUdpPort();
    ASSERT_EQ(occupant.open(), 0);
    ASSERT_EQ(occupant.bind(Ipv4Endpoint{0, taken}), 0);
    connectTo(std::to_string(taken));
    EXPECT_EQ(panel->labelPortState.Caption.Get().str(),
              "Port " + std::to_string(taken) + " is in use");
    connectTo(std::to_string(port));
    EXPECT_EQ(panel->labelPortState.Caption.Get().str(), "");
}

// A sender whose announcement changes every time, so every datagram notifies the panel.
class FlickeringAnnouncer {
public:
    explicit FlickeringAnnouncer(std::uint16_t port)
        : thread([this, port] {
              LoopbackPeer peer(5);
              const Ipv4Endpoint to{loopback(1), port};
              for (std::uint64_t n = 0; !stop.load(); ++n) {
                  peer.send(std::string(R"({"serverName": "Flicker", "streamPort": 5000,)") +
                                (n % 2 == 0 ? R"("subjects": ["A", "B"]})"
                                            : R"("subjects": ["B", "A"]})"),
                            to);
                  sent.store(n + 1);
                  // Pacing, not synchronisation: about five hundred announcements a second.
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~FlickeringAnnouncer() {
        stop.store(true);
        thread.join();
    }
    std::uint64_t announcementsSent() const { return sent.load(); }

private:
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sent{0};
    std::thread thread;
};

TEST_F(PanelDiscoveryTest, PanelClosedWhileServersAnnounceIsNeverCalledAgain) {
    FlickeringAnnouncer announcer(port);
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Flicker"); }));
    host.closePanel(&panel->layout);
    panel.reset();

    // Open and close panels while every announcement notifies: each closed panel has released
    // its registration before it was freed (ASan and TSan watch the notifications that follow).
    for (int round = 0; round < 20; ++round) {
        std::unique_ptr<PanelView> reopened = openPanel();
        ASSERT_NE(reopened, nullptr);
        const std::uint64_t sent = announcer.announcementsSent();
        ASSERT_TRUE(waitUntil([&] { return announcer.announcementsSent() >= sent + 2; }));
        ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(reopened->listSources), "Flicker"); }));
        host.closePanel(&reopened->layout);
    }
    // Announcements go on after the last panel is gone; the device outlives its panels.
    const std::uint64_t sentAtClose = announcer.announcementsSent();
    ASSERT_TRUE(waitUntil([&] { return announcer.announcementsSent() >= sentAtClose + 50; }));
    // A panel opened now lists the server at once.
    panel = openPanel();
    ASSERT_NE(panel, nullptr);
    ASSERT_TRUE(idleUntil([&] { return contains(itemsOf(panel->listSources), "Flicker"); }));
}

}  // namespace
}  // namespace telmora::test
