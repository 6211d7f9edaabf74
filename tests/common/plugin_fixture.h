#pragma once
// The TelmoraLink library loaded by path into the stand-in host (once per test program) and a
// device created through its registration, as the user creates one; test fixtures add the rest.
//
// The plug-in exports only its entry points: tests reach the device through the host, its
// virtual operations and its data members, never by calling the plug-in's own functions.

#include <fbhost/host.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"

namespace telmora::test {

// Loaded on first use and kept for the life of the test program, as the host keeps it.
inline fbhost::PluginLibrary& telmoraLinkLibrary() {
    static fbhost::PluginLibrary library;
    if (!library.isLoaded()) {
        EXPECT_TRUE(library.load(TELMORA_PLUGIN_PATH)) << library.error();
        EXPECT_TRUE(library.callLibraryInit());
        EXPECT_TRUE(library.callEntryPoint(ORSDK2026::kFBDllLoad));
    }
    return library;
}

// A fresh host holding one TelmoraLink device; fails the test if the plug-in let anything
// escape into the host.
class PluginDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(telmoraLinkLibrary().isLoaded());
        host.reset();
        std::string error;
        ORSDK2026::FBDevice* created = host.createDevice("TelmoraLink", "TelmoraLink", &error);
        ASSERT_NE(created, nullptr) << error;
        ASSERT_STREQ(created->ClassName(), "ORDeviceSkeleton");
        // The plug-in's classes are hidden: a static cast after the class-name check.
        device = static_cast<ORDeviceSkeleton*>(created);
    }

    void TearDown() override {
        const std::vector<fbhost::PluginFailure> failures = host.failures();
        EXPECT_TRUE(failures.empty()) << failures.front().call << ": " << failures.front().what;
        host.reset();
    }

    fbhost::Host& host = fbhost::Host::instance();
    ORDeviceSkeleton* device = nullptr;
};

}  // namespace telmora::test
