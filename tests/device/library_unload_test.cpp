// Unloading the TelmoraLink library really unloads it: its devices (and their threads) go
// first, nothing of it stays mapped, and loading it again registers afresh. A program of its
// own, so that no other test holds the library.

#include <fbhost/host.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if defined(_WIN32)
// A module handle exists exactly while the DLL is loaded in this process.
bool mapped(const std::string& path) {
    return GetModuleHandleA(path.c_str()) != nullptr;
}
#else
bool mapped(const std::string& path) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(path) != std::string::npos) return true;
    }
    return false;
}
#endif

TEST(LibraryUnloadTest, UnloadingUnmapsTheLibraryAndReloadingRegistersAgain) {
    fbhost::Host& host = fbhost::Host::instance();
    fbhost::PluginLibrary library;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(library.load(TELMORA_PLUGIN_PATH)) << library.error();
        ASSERT_TRUE(library.callEntryPoint(ORSDK2026::kFBDllLoad));
        ASSERT_NE(host.findRegistration("Boxes/Devices", "TelmoraLink"), nullptr);
        // A device with its discovery threads running when the library goes.
        ORSDK2026::FBDevice* device = host.createDevice("TelmoraLink", "TelmoraLink");
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(host.deviceOperation(device, ORSDK2026::kOpInit));
        ASSERT_TRUE(mapped(TELMORA_PLUGIN_PATH));
        library.unload();
        EXPECT_FALSE(host.holdsDevice(device));
        EXPECT_EQ(host.findRegistration("Boxes/Devices", "TelmoraLink"), nullptr);
        EXPECT_FALSE(mapped(TELMORA_PLUGIN_PATH)) << "the library stayed mapped after unloading";
    }
    EXPECT_TRUE(host.failures().empty());
}

}  // namespace
