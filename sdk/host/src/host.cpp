// The host's registry and devices: what the plug-ins registered, the devices made from it,
// their operations and online state, and what the host recorded of their calls.
#include <algorithm>
#include <cstdio>

#include "host_calls.h"
#include "sdk_internal.h"

namespace fbhost {

using namespace ORSDK2026;
using fbsdk_detail::guarded;
using fbsdk_detail::isLive;
using fbsdk_detail::nameOf;
using namespace host_calls;

Host::Impl::Impl() : take(std::make_unique<FBTake>("Take 001")) {}

bool Host::Impl::deviceRecords(const FBDevice* device) const {
    return recording && device && isLive(device) && device->impl()->recording;
}

Host& Host::instance() {
    // Never destroyed: plug-in libraries may still be mapped, or already gone, at exit.
    static Host* host = new Host;
    return *host;
}

Host::Host() : mImpl(std::make_unique<Impl>()) {}
Host::~Host() = default;

void Host::reset() {
    Impl& h = *mImpl;
    h.recording = false;
    h.transport = kFBTransportStop;
    for (FBDevice* device : h.devices) device->impl()->recording = false;
    const std::vector<Impl::Panel> panels = h.panels;
    for (const Impl::Panel& panel : panels) closePanel(panel.layout);
    const std::vector<FBDevice*> devices = h.devices;
    for (FBDevice* device : devices) {
        if (!isLive(device)) continue;
        if (device->impl()->madeByFactory) {
            destroyDevice(device);
        } else if (device->Online.Get()) {
            setOnline(device, false);
        }
    }
    const std::vector<FBModel*> models = h.hostModels;
    for (FBModel* model : models) {
        if (isLive(model)) delete model;
    }
    h.hostModels.clear();
    const std::vector<FBCharacter*> characters = h.characters;
    for (FBCharacter* character : characters) {
        if (h.heapCharacters.count(character)) delete character;
    }
    for (FBAnimationNode* node : h.nodes) {
        node->impl()->curves.clear();
        node->impl()->valueTimed = false;
    }
    h.take->LocalTimeSpan = FBTimeSpan();
    h.localTime = FBTime();
    h.systemTime = FBTime();
    h.pauseCount = 0;
    h.progress.clear();
    h.failures.clear();
}

std::vector<Registration> Host::registrations() const {
    return mImpl->registrations;
}

const Registration* Host::findRegistration(const std::string& group,
                                           const std::string& entry) const {
    for (const Registration& r : mImpl->registrations) {
        if (r.group == group && r.entry == entry) return &r;
    }
    return nullptr;
}

namespace host_calls {

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

FBComponent* callFactory(Host::Impl& host, const Registration& reg, const char* name, HIObject data,
                         const std::string& call, bool& threw) {
    CurrentLibraryScope scope(host, reg.library);
    HIObject handle = nullptr;
    threw = !guarded([&] { handle = reg.creator(nullptr, name, data); }, [&] { return call; });
    return threw ? nullptr : FBGetFBObject(handle);
}

}  // namespace host_calls

FBDevice* Host::createDevice(const std::string& entry, const std::string& name,
                             std::string* error) {
    const Registration* found = findRegistration("Boxes/Devices", entry);
    if (!found) {
        setError(error, "no device registered as '" + entry + "'");
        return nullptr;
    }
    const Registration reg = *found;  // the factory may register more (the list may move)
    bool threw = false;
    FBComponent* object =
        callFactory(*mImpl, reg, name.c_str(), nullptr, "device factory '" + entry + "'", threw);
    if (threw) {
        setError(error, "the device factory '" + entry + "' threw");
        return nullptr;
    }
    if (!object) {
        setError(error, "the device factory '" + entry + "' gave no object");
        return nullptr;
    }
    bool isDevice = false;
    guarded([&] { isDevice = object->Is(FBDevice::TypeInfo); },
            [&] { return "type test of '" + nameOf(object) + "'"; });
    if (!isDevice) {
        FBDelete(object);
        setError(error, "the device factory '" + entry + "' gave an object that is no device");
        return nullptr;
    }
    FBDevice* device = static_cast<FBDevice*>(object);
    device->impl()->madeByFactory = true;
    device->impl()->library = reg.library;
    return device;
}

bool Host::destroyDevice(FBDevice* device) {
    if (!holdsDevice(device)) return false;
    fbsdk_detail::ComponentAccess::setStatus(*device, kFBStatusDestroying, true);
    if (device->Online.Get()) setOnline(device, false);
    deviceOperation(device, kOpDone);
    const std::vector<Impl::Panel> panels = mImpl->panels;
    for (const Impl::Panel& panel : panels) {
        if (panel.device == device) closePanel(panel.layout);
    }
    unbindTemplates(device);
    device->impl()->recording = false;
    guarded([&] { device->FBDelete(); }, [&] { return deviceCall("FBDelete", device); });
    return true;
}

std::vector<FBDevice*> Host::devices() const {
    return mImpl->devices;
}

bool Host::holdsDevice(const FBDevice* device) const {
    return device && isLive(device) &&
           std::find(mImpl->devices.begin(), mImpl->devices.end(), device) != mImpl->devices.end();
}

bool Host::deviceOperation(FBDevice* device, int operation) {
    if (!holdsDevice(device)) return false;
    bool result = false;
    guarded([&] { result = device->DeviceOperation(static_cast<kDeviceOperations>(operation)); },
            [&] {
                return deviceCall(("DeviceOperation(" + std::to_string(operation) + ")").c_str(),
                                  device);
            });
    return result;
}

bool Host::setOnline(FBDevice* device, bool online) {
    if (!holdsDevice(device)) return false;
    if (online) {
        const bool started = deviceOperation(device, kOpStart);
        if (isLive(device)) {
            device->Online = started;
            device->Live = started;
        }
        return started;
    }
    deviceOperation(device, kOpStop);
    if (isLive(device)) {
        device->Online = false;
        device->Live = false;
    }
    return false;
}

std::vector<FBCharacter*> Host::characters() const {
    return mImpl->characters;
}

std::vector<std::pair<std::string, std::vector<FBModel*>>> Host::characterLinks(
    FBCharacter* character) const {
    std::vector<std::pair<std::string, std::vector<FBModel*>>> links;
    if (!isLive(character)) return links;
    for (int i = 0; i < character->PropertyList.GetCount(); ++i) {
        FBProperty* p = character->PropertyList[i];
        if (!p->IsList()) continue;
        auto* slot = static_cast<FBPropertyListModel*>(p);
        if (slot->GetCount() == 0) continue;
        std::vector<FBModel*> models;
        for (int k = 0; k < slot->GetCount(); ++k) models.push_back((*slot)[k]);
        links.emplace_back(p->GetName(), std::move(models));
    }
    return links;
}

std::vector<FBComponent*> Host::components() const {
    return fbsdk_detail::liveComponents();
}

std::vector<ProgressRecord> Host::progressShown() const {
    std::vector<ProgressRecord> records;
    for (const auto& r : mImpl->progress) records.push_back(*r);
    return records;
}

std::vector<std::string> Host::statusTexts(const FBDevice* device) const {
    return holdsDevice(device) ? device->impl()->statusTexts : std::vector<std::string>();
}

std::vector<PluginFailure> Host::failures() const {
    return mImpl->failures;
}
void Host::clearFailures() {
    mImpl->failures.clear();
}

void Host::reportPluginFailure(const std::string& call, const std::string& what) {
    std::fprintf(stderr, "plug-in failure in %s: %s\n", call.c_str(), what.c_str());
    mImpl->failures.push_back({call, what});
}

}  // namespace fbhost
