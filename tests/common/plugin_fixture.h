#pragma once
// The TelmoraLink library loaded by path into the stand-in host (once per test program) and a
// device created through its registration, as the user creates one; test fixtures add the rest.
//
// The plug-in exports only its entry points and keeps its classes hidden: tests see the device
// as the host does, through the SDK's device type, its properties, its nodes and templates, and
// the host's controls, never through the plug-in's own classes.

#include <fbhost/host.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

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
        device = created;
    }

    void TearDown() override {
        const std::vector<fbhost::PluginFailure> failures = host.failures();
        EXPECT_TRUE(failures.empty()) << failures.front().call << ": " << failures.front().what;
        host.reset();
    }

    // A property of the device by the name the host's property view shows, of the SDK type
    // `Property`; fails the test when there is none.
    template <class Property>
    Property& property(const char* name) {
        ORSDK2026::FBProperty* found = device->PropertyList.Find(name);
        EXPECT_NE(found, nullptr) << "the device has no property '" << name << "'";
        if (found == nullptr) throw std::runtime_error(std::string("no property ") + name);
        return *static_cast<Property*>(found);
    }

    fbhost::Host& host = fbhost::Host::instance();
    ORSDK2026::FBDevice* device = nullptr;
};

}  // namespace telmora::test
