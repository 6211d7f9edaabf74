// The host's panels: a device's settings layout made by its registered factory, and closed.

#include "host_calls.h"
#include "sdk_internal.h"

namespace fbhost {

using namespace ORSDK2026;
using fbsdk_detail::guarded;
using fbsdk_detail::nameOf;
using namespace host_calls;

FBDeviceLayout* Host::openPanel(FBDevice* device, std::string* error) {
    if (!holdsDevice(device)) {
        setError(error, "unknown device");
        return nullptr;
    }
    std::string className;
    guarded([&] { className = device->ClassName(); },
            [&] { return deviceCall("ClassName", device); });
    const Registration* found = findRegistration("UI_Associated_ClassName", className);
    if (!found) {
        setError(error, "no layout registered for class '" + className + "'");
        return nullptr;
    }
    const Registration reg = *found;
    bool threw = false;
    FBComponent* object = callFactory(*mImpl, reg, reg.description.c_str(), device->GetHIObject(),
                                      "layout factory of '" + className + "'", threw);
    if (!object) {
        setError(error, "the layout factory of '" + className + "' gave no object");
        return nullptr;
    }
    bool isLayout = false;
    guarded([&] { isLayout = object->Is(FBDeviceLayout::TypeInfo); },
            [&] { return "type test of '" + nameOf(object) + "'"; });
    if (!isLayout) {
        FBDelete(object);
        setError(error, "the layout factory of '" + className + "' gave no device layout");
        return nullptr;
    }
    auto* layout = static_cast<FBDeviceLayout*>(object);
    mImpl->panels.push_back({layout, device, reg.library});
    return layout;
}

void Host::closePanel(FBDeviceLayout* layout) {
    auto& panels = mImpl->panels;
    auto it = std::find_if(panels.begin(), panels.end(),
                           [&](const Impl::Panel& p) { return p.layout == layout; });
    if (it == panels.end()) return;
    panels.erase(it);
    FBDelete(layout);
}

}  // namespace fbhost
