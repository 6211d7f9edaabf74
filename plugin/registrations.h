#pragma once
// The library's registrations with the host's object registry, in the order the attach routine
// makes them: the device in the device list and as a storable class, then its settings panel
// as the layout associated with that class. The library entry registers exactly these; the
// tests and the validator check the host's registry against the same rows.

#include <array>

#include "live/device_texts.h"

namespace telmora {

struct Registration {
    const char* group;        // the registry folder
    const char* entry;        // the name within it
    const char* description;  // what the host shows
    const char* icon;         // the icon file the host looks up beside the plug-in
};

inline constexpr Registration kDeviceListRegistration = {"Boxes/Devices", "TelmoraLink",
                                                         "TelmoraLink", "quorvelicon.png"};
inline constexpr Registration kDeviceClassRegistration = {"FbxStorable/Device", kDeviceClassName,
                                                          "TelmoraLink", "quorvelicon.png"};
inline constexpr Registration kLayoutRegistration = {"UI_Associated_ClassName", kDeviceClassName,
                                                     "ORDeviceSkeleton Device Layout",
                                                     "openreality_noicon.png"};

// The only symbols the library exports: the host's library hook and the plug-in's entry point.
inline constexpr char kLibraryInitSymbol[] = "LIBRARY_INIT";
inline constexpr char kEntryPointSymbol[] = "EntryPointordeviceskeleton";

inline constexpr std::array<Registration, 3> kRegistrations = {
    kDeviceListRegistration, kDeviceClassRegistration, kLayoutRegistration};

}  // namespace telmora
