#pragma once
// The TelmoraLink device of the plug-in fixture, initialised, its settings panel open and listening
// on a free port, and the real test sender announcing to that port over loopback.
//
// The plug-in exports only its entry points: the test reaches the device and its panel through
// the host, their virtual operations and their data members, never by calling the plug-in's own
// functions.

#include <fbhost/host.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/panel_view.h"
#include "common/plugin_fixture.h"
#include "network/net_test_support.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace telmora::test {

using ORSDK2026::FBTime;

inline constexpr std::chrono::milliseconds kSessionDeadline{20000};
// One host step: a 60 Hz frame.
inline const FBTime kStep = FBTime(FBTime::kTicksPerSecond / 60);

// The recorded walk, loaded once. A build that reads no take files (no Assimp: the Windows
// build) streams the synthetic walk under the same subject name instead.
inline std::shared_ptr<const Performance> recordedWalk() {
    static const std::shared_ptr<const Performance> walk = [] {
        if (!TELMORA_READS_TAKE_FILES)
            return std::make_shared<const Performance>(syntheticPerformance("walk"));
        std::string error;
        std::optional<Performance> p =
            loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
        EXPECT_TRUE(p.has_value()) << error;
        return std::make_shared<const Performance>(p ? std::move(*p) : Performance{});
    }();
    return walk;
}

// Polls `condition` (running the host's idle between tries) until it holds or time runs out.
template <typename Condition>
bool eventually(fbhost::Host& host, Condition condition,
                std::chrono::milliseconds deadline = kSessionDeadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        host.runIdle();
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // poll interval
    }
}

class DeviceSessionTest : public PluginDeviceTest {
protected:
    static constexpr const char* kServerName = "Session Sim";
    static constexpr const char* kSubject = "walk";

    void SetUp() override {
        PluginDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        std::string error;
        ASSERT_TRUE(host.deviceOperation(device, ORSDK2026::kOpInit));
        ORSDK2026::FBDeviceLayout* layout = host.openPanel(device, &error);
        ASSERT_NE(layout, nullptr) << error;
        ASSERT_STREQ(layout->ClassName(), "ORDeviceSkeletonLayout");
        panel = viewOf(layout, error);
        ASSERT_NE(panel, nullptr) << error;
        // A port of our own, so that other processes' senders and listeners stay apart.
        port = freeUdpPort();
        host.type(panel->editNetworkPort, std::to_string(port));
        host.click(panel->buttonConnect);
        ASSERT_EQ(textOf(panel->editNetworkPort), std::to_string(port));
    }

    void TearDown() override {
        PluginDeviceTest::TearDown();
        if (sender) sender->Stop();
    }

    // Starts the test sender announcing to the device's port.
    void startSender(double frameRate = 60.0) {
        SimServerConfig config;
        config.serverName = kServerName;
        config.announcePort = static_cast<std::uint16_t>(port);
        config.announceInterval = std::chrono::milliseconds(100);
        config.frameRate = frameRate;
        sender =
            std::make_unique<SimServer>(config, std::vector<SimSubject>{{kSubject, recordedWalk()}},
                                        [](LogStream, const std::string&) {});
        std::string error;
        ASSERT_TRUE(sender->Start(error)) << error;
    }

    // The user picks the sender and its subject in the panel once they are listed.
    void selectSenderInPanel() {
        ASSERT_TRUE(eventually(host, [&] {
            return panel->listSources.Items.Find(kServerName) >= 0;
        })) << "the sender was never listed";
        host.pick(panel->listSources, panel->listSources.Items.Find(kServerName));
        const int subject = panel->listSubjects.Items.Find(kSubject);
        ASSERT_GE(subject, 0);
        host.pick(panel->listSubjects, subject);
        ASSERT_EQ(selectedOf(panel->listSources), kServerName);
        ASSERT_EQ(selectedOf(panel->listSubjects), kSubject);
    }

    std::vector<std::string> statusTexts() const { return host.statusTexts(device); }
    // A node's value as the host evaluates it now.
    std::vector<double> liveValue(ORSDK2026::FBAnimationNode* node) {
        host.evaluate();
        double value[3];
        node->Evaluate(value, host.localTime());
        return std::vector<double>(value, value + 3);
    }
    std::string lastStatus() const {
        const auto texts = statusTexts();
        return texts.empty() ? std::string() : texts.back();
    }

    std::unique_ptr<PanelView> panel;
    int port = 0;
    std::unique_ptr<SimServer> sender;
};

}  // namespace telmora::test
