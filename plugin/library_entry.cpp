// What the host sees of the library before any device exists: the library object, the two
// classes' type numbers, the registrations with the host's object registry and the exported
// entry points.
//
// Load order (all in this file, so the language fixes it): the library object, the device's
// type number, the layout's type number, then the attach routine, which registers the device
// and its panel. Registration happens once per process however often it is asked for, so the
// host's later call of the entry point changes nothing.

#include <fbsdk/fbsdk.h>

#include <mutex>

#include "device/device.h"
#include "plugin/registrations.h"
#include "ui/device_layout.h"

#if defined(_WIN32)
#include <windows.h>
#define TELMORA_EXPORT extern "C" __declspec(dllexport)
#else
#define TELMORA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace ORSDK2026;

namespace {

// The library object the host's SDK expects each plug-in to hold; every lifecycle step succeeds.
class FBLibrary : public FBLibraryBase {
public:
    bool LibInit() override { return true; }
    bool LibOpen() override { return true; }
    bool LibReady() override { return true; }
    bool LibClose() override { return true; }
    bool LibRelease() override { return true; }
};

FBLibrary library;

}  // namespace

// Drawn in this order: the device's number, then the layout's.
int ORDeviceSkeleton::classTypeId = FBPlug::mGlobalTypeInfo++;
int ORDeviceSkeletonLayout::classTypeId = FBPlug::mGlobalTypeInfo++;

namespace {

HIObject ORDeviceSkeletonCreate(HIObject /*owner*/, const char* name, void* /*data*/) {
    ORDeviceSkeleton* device = nullptr;
    try {
        device = new ORDeviceSkeleton(name != nullptr ? name : "");
        device->mAllocated = true;
        device->mClassName = telmora::kDeviceClassName;
        if (device->FBCreate()) return device->GetHIObject();
        device->FBDelete();
    } catch (...) {
        // A half-made device is not handed to the host; its destructor has already run if
        // its construction threw.
        if (device != nullptr) {
            try {
                device->FBDelete();
            } catch (...) {
            }
        }
    }
    return nullptr;
}

HIObject ORDeviceSkeletonLayoutFactory(HIObject owner, const char* name, void* data) {
    try {
        return ORDeviceSkeletonLayoutCreate(owner, name, data);
    } catch (...) {
        return nullptr;
    }
}

// What FBObject_Register answered for each registration; computed once per process.
bool deviceListRegistered = false;
bool deviceClassRegistered = false;
bool layoutRegistered = false;
std::once_flag deviceRegistration;
std::once_flag layoutRegistration;

bool registerWith(const telmora::Registration& row, FBObjectCreationFunction creator) {
    return FBObject_Register(row.group, row.entry, row.description, creator, true, row.icon);
}

void registerDevice() {
    std::call_once(deviceRegistration, [] {
        deviceListRegistered =
            registerWith(telmora::kDeviceListRegistration, ORDeviceSkeletonCreate);
        deviceClassRegistered =
            registerWith(telmora::kDeviceClassRegistration, ORDeviceSkeletonCreate);
    });
}

void registerLayout() {
    std::call_once(layoutRegistration, [] {
        layoutRegistered =
            registerWith(telmora::kLayoutRegistration, ORDeviceSkeletonLayoutFactory);
    });
}

void registerAll() noexcept {
    try {
        registerDevice();
        registerLayout();
    } catch (...) {
        // std::call_once reports a failure to start as an exception; the host goes on without
        // the registration.
    }
}

}  // namespace

TELMORA_EXPORT bool LIBRARY_INIT() {
    return true;
}

TELMORA_EXPORT void EntryPointordeviceskeleton(kFBDllOperation operation) {
    if (operation == kFBDllLoad) registerAll();
}

#if defined(_WIN32)
BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) registerAll();
    return TRUE;
}
#else
namespace {
// The attach routine on ELF systems: a load-time constructor defined after the library object
// and the type numbers, so it runs after them (a constructor function attribute would run
// before this file's static objects).
struct LibraryAttach {
    LibraryAttach() { registerAll(); }
} const libraryAttach;
}  // namespace
#endif
