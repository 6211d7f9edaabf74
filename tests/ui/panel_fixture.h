#pragma once
// The settings panel as the user meets it: the plug-in fixture's TelmoraLink device with its
// panel opened through the host.
//
// The panel is seen as the host shows it (tests/common/panel_view.h), the device through the
// host: no test reaches into the plug-in's own classes.

#include <fbhost/host.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/panel_view.h"
#include "common/plugin_fixture.h"
#include "net_test_support.h"
#include "network/announcement.h"
#include "network/socket.h"

namespace telmora::test {

// Generous: these tests share a small machine with compilers.
inline constexpr std::chrono::milliseconds kPanelDeadline{10000};

// The size at which the host shows a device's settings panel in these tests (and the picture):
// only the two outer regions depend on it.
inline constexpr int kPanelWidth = 320;
inline constexpr int kPanelHeight = 348;

class PanelTest : public PluginDeviceTest {
protected:
    void SetUp() override {
        PluginDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        panel = openPanel();
        ASSERT_NE(panel, nullptr);
    }

    std::unique_ptr<PanelView> openPanel() {
        std::string error;
        ORSDK2026::FBDeviceLayout* layout = host.openPanel(device, &error);
        EXPECT_NE(layout, nullptr) << error;
        if (layout == nullptr) return nullptr;
        EXPECT_STREQ(layout->ClassName(), "ORDeviceSkeletonLayout");
        std::unique_ptr<PanelView> view = viewOf(layout, error);
        EXPECT_NE(view, nullptr) << error;
        return view;
    }

    // Runs the host's idle until `holds` is true; false once the deadline has passed.
    template <typename Predicate>
    bool idleUntil(Predicate holds, std::chrono::milliseconds timeout = kPanelDeadline) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            host.runIdle();
            if (holds()) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            // The host has nothing to do until a datagram arrives; let the service's threads run.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Waits, without running the host's idle, until `holds` is true.
    template <typename Predicate>
    static bool waitUntil(Predicate holds, std::chrono::milliseconds timeout = kPanelDeadline) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!holds()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // A server announces `subject` to a port of the device's own; the user picks the server
    // and then the subject in the panel.
    void pickSubjectAnnounced(const std::string& subject) {
        const std::uint16_t port = freeUdpPort();
        connectTo(std::to_string(port));
        UdpSocket socket;
        ASSERT_EQ(socket.open(), 0);
        const std::string text = announcementText("Stage", 5000, {subject});
        ASSERT_TRUE(idleUntil([&] {
            socket.sendTo(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                          {*parseIpv4("127.0.0.1"), port});
            return indexOf(panel->listSources, "Stage") >= 0;
        }));
        host.pick(panel->listSources, indexOf(panel->listSources, "Stage"));
        ASSERT_GE(indexOf(panel->listSubjects, subject), 0);
        host.pick(panel->listSubjects, indexOf(panel->listSubjects, subject));
    }

    // Types `port` into the listening-port field and presses Connect.
    void connectTo(const std::string& portText) {
        host.type(panel->editNetworkPort, portText);
        host.click(panel->buttonConnect);
    }

    std::unique_ptr<PanelView> panel;
};

}  // namespace telmora::test
