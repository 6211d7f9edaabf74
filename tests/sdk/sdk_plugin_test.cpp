// A plug-in library loaded by path and driven through the host-control interface: registered,
// created, bound, online, recorded, plotted, its panel drawn, unloaded.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fbhost/host.h"
#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;
using fbhost::Host;
using fbhost::PluginLibrary;

constexpr const char* kEntryPoint = "EntryPointtestprobe";

class SdkPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        Host::instance().reset();
        ASSERT_TRUE(library.load(TELMORA_TEST_PLUGIN)) << library.error();
        ASSERT_TRUE(library.callLibraryInit());
        ASSERT_TRUE(library.callEntryPoint(kFBDllLoad, kEntryPoint)) << library.error();
    }
    void TearDown() override {
        library.unload();
        Host::instance().reset();
    }
    PluginLibrary library;
};

TEST_F(SdkPlugin, LibrariesThatDoNotLoadOrLackAnEntryPointAreNamed) {
    PluginLibrary missing;
    EXPECT_FALSE(missing.load("/nonexistent/libnothing.so"));
    EXPECT_NE(missing.error().find("/nonexistent/libnothing.so"), std::string::npos);
    EXPECT_FALSE(library.callEntryPoint(kFBDllLoad, "EntryPointnothing"));
    EXPECT_NE(library.error().find("EntryPointnothing"), std::string::npos);
    EXPECT_NE(library.error().find(TELMORA_TEST_PLUGIN), std::string::npos);
    EXPECT_TRUE(library.hasSymbol(kEntryPoint));
}

TEST_F(SdkPlugin, RegistrationsBelongToTheLibrary) {
    Host& host = Host::instance();
    ASSERT_TRUE(library.callEntryPoint(kFBDllLoad, kEntryPoint));  // again: refused, no duplicates
    int count = 0;
    for (const auto& r : host.registrations()) count += (r.library == &library);
    EXPECT_EQ(count, 2);
    FBDevice* device = host.createDevice("TestProbe", "probe");
    ASSERT_NE(device, nullptr);
    library.unload();
    EXPECT_FALSE(host.holdsDevice(device)) << "unloading destroys the library's devices";
    EXPECT_EQ(host.findRegistration("Boxes/Devices", "TestProbe"), nullptr);
    ASSERT_TRUE(library.load(TELMORA_TEST_PLUGIN));
    ASSERT_TRUE(library.callEntryPoint(kFBDllLoad, kEntryPoint));
    EXPECT_NE(host.findRegistration("Boxes/Devices", "TestProbe"), nullptr)
        << "reload registers afresh";
}

TEST_F(SdkPlugin, ExceptionsStopAtTheHostBoundary) {
    Host& host = Host::instance();
    FBDevice* device = host.createDevice("TestProbe", "probe");
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(host.deviceOperation(device, kOpDetect));
    ASSERT_EQ(host.failures().size(), 1u);
    EXPECT_NE(host.failures()[0].call.find("DeviceOperation(6)"), std::string::npos);
    EXPECT_EQ(host.failures()[0].what, "probe cannot detect");
    std::string error;
    EXPECT_EQ(host.createDevice("NoSuchDevice", "x", &error), nullptr);
    EXPECT_NE(error.find("NoSuchDevice"), std::string::npos);
}

// The whole road: create, init, bind, online, record 2 s at 60 Hz, plot, draw the panel.
TEST_F(SdkPlugin, DeviceRecordsAndPlotsThroughTheHost) {
    Host& host = Host::instance();
    FBDevice* device = host.createDevice("TestProbe", "probe");
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(host.deviceOperation(device, kOpInit));
    ASSERT_EQ(host.deviceNodes(device).size(), 2u);
    FBModel* model = host.bindTemplates(device);
    ASSERT_NE(model, nullptr);
    EXPECT_STREQ(model->Name.Get(), "Probe");

    ASSERT_TRUE(host.setOnline(device, true));
    EXPECT_EQ(host.statusTexts(device).back(), "Online");
    const FBTime frame = FBTime(0, 0, 1) / 60.0;
    host.step(frame);
    EXPECT_NEAR(static_cast<FBVector3d>(model->Translation)[0], 10.0 / 60.0, 1e-9)
        << "the bound model follows the live device";

    ASSERT_TRUE(host.startRecording());
    for (int i = 0; i < 120; ++i) host.step(frame);
    ASSERT_TRUE(host.stopRecording());
    EXPECT_EQ(host.samplesAcknowledged(device), 120);
    EXPECT_EQ(host.keys(host.findNode(device, "Probe T")).size(), 120u);
    const FBTimeSpan span = host.currentTake()->LocalTimeSpan.Get();
    EXPECT_EQ(span.start, frame * 2.0);
    EXPECT_EQ(span.stop, frame * 121.0);

    host.setOnline(device, false);
    model->Selected = true;
    ASSERT_TRUE(host.currentTake()->PlotTakeOnSelected(frame));
    EXPECT_EQ(host.keys(model->Translation.GetAnimationNode()).size(), 120u);
    const FBTime mid = frame * 61.0;
    EXPECT_NEAR(host.modelTranslation(model, mid)[0], 10.0 * mid.GetSecondDouble(), 1e-9);
    EXPECT_NEAR(host.modelRotation(model, mid)[1], 30.0 * mid.GetSecondDouble(), 1e-9);

    FBDeviceLayout* panel = host.openPanel(device);
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->Device.Get(), device);
    if (TELMORA_DRAWS_PICTURES) {
        const std::string png =
            (std::filesystem::temp_directory_path() / "fbsdk_test_probe_panel.png").string();
        std::remove(png.c_str());
        std::string error;
        ASSERT_TRUE(host.drawPanel(*panel, 300, 80, png, &error)) << error;
        std::ifstream file(png, std::ios::binary);
        char signature[8] = {};
        file.read(signature, 8);
        EXPECT_EQ(std::string(signature + 1, 3), "PNG");
    }
    EXPECT_TRUE(host.destroyDevice(device));
    EXPECT_TRUE(host.failures().empty());
}

}  // namespace
