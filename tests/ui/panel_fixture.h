#pragma once
// The settings panel as the user meets it: the plug-in fixture's TelmoraLink device with its
// panel opened through the host.
//
// The plug-in exports only its entry points, so the test reaches the device and the panel
// through their class layouts (header-only members and host-side virtual calls), never by
// calling the plug-in's own functions.

#include <fbhost/host.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/plugin_fixture.h"
#include "device/device.h"
#include "ui/device_layout.h"

namespace telmora::test {

// Generous: these tests share a small machine with compilers.
inline constexpr std::chrono::milliseconds kPanelDeadline{10000};

// The size at which the host shows a device's settings panel in these tests (and the picture):
// only the two outer regions depend on it.
inline constexpr int kPanelWidth = 320;
inline constexpr int kPanelHeight = 348;

inline std::vector<std::string> itemsOf(const ORSDK2026::FBList& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Items.GetCount(); ++i) items.emplace_back(list.Items[i]);
    return items;
}

inline std::string selectedOf(const ORSDK2026::FBList& list) {
    const int index = list.ItemIndex;
    return index >= 0 && index < list.Items.GetCount() ? list.Items[index] : "<none>";
}

inline int indexOf(const ORSDK2026::FBList& list, const std::string& item) {
    return list.Items.Find(item.c_str());
}

inline std::string textOf(const ORSDK2026::FBEdit& edit) {
    return edit.Text.Get().str();
}

class PanelTest : public PluginDeviceTest {
protected:
    void SetUp() override {
        PluginDeviceTest::SetUp();
        if (HasFatalFailure()) return;
        panel = openPanel();
        ASSERT_NE(panel, nullptr);
    }

    ORDeviceSkeletonLayout* openPanel() {
        std::string error;
        ORSDK2026::FBDeviceLayout* layout = host.openPanel(device, &error);
        EXPECT_NE(layout, nullptr) << error;
        if (layout == nullptr) return nullptr;
        EXPECT_STREQ(layout->ClassName(), "ORDeviceSkeletonLayout");
        return static_cast<ORDeviceSkeletonLayout*>(layout);
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

    // Types `port` into the listening-port field and presses Connect.
    void connectTo(const std::string& portText) {
        host.type(panel->editNetworkPort, portText);
        host.click(panel->buttonConnect);
    }

    ORDeviceSkeletonLayout* panel = nullptr;
};

}  // namespace telmora::test
