// The host's recording: started and stopped on the current take, the keys it made, and the
// samples the devices acknowledged.
#include <algorithm>

#include "host_calls.h"
#include "sdk_internal.h"

namespace fbhost {

using namespace ORSDK2026;
using fbsdk_detail::guarded;
using fbsdk_detail::isLive;
using namespace host_calls;

bool Host::startRecording() {
    Impl& h = *mImpl;
    if (h.recording) return false;
    h.recording = true;
    h.transport = kFBTransportPlay;
    const std::vector<FBDevice*> snapshot = h.devices;
    for (FBDevice* device : snapshot) {
        if (!isLive(device) || !device->Online.Get() || !device->RecordMode.Get()) continue;
        device->impl()->recording = true;
        guarded([&] { device->DeviceTimeNotify(0, h.localTime); },
                [&] { return deviceCall("DeviceTimeNotify", device); });
        if (!isLive(device)) continue;
        FBAnimationNode* node = firstNode(device);
        guarded([&] { device->RecordingInitAnimation(node); },
                [&] { return deviceCall("RecordingInitAnimation", device); });
    }
    return true;
}

bool Host::stopRecording() {
    Impl& h = *mImpl;
    if (!h.recording) return false;
    bool anyKey = false;
    FBTime first, last;
    const std::vector<FBDevice*> snapshot = h.devices;
    for (FBDevice* device : snapshot) {
        if (!h.deviceRecords(device)) continue;
        FBAnimationNode* node = firstNode(device);
        guarded([&] { device->RecordingDoneAnimation(node); },
                [&] { return deviceCall("RecordingDoneAnimation", device); });
        if (!isLive(device)) continue;
        for (FBAnimationNode* n : device->impl()->nodes) {
            const Curve* curve = n->impl()->curve(h.take.get());
            if (!curve || curve->keys.empty()) continue;
            if (!anyKey || curve->keys.front().time < first) first = curve->keys.front().time;
            if (!anyKey || curve->keys.back().time > last) last = curve->keys.back().time;
            anyKey = true;
        }
    }
    if (anyKey) {
        FBTimeSpan span = h.take->LocalTimeSpan.Get();
        const bool empty = span.start == FBTime(0) && span.stop == FBTime(0);
        if (empty) {
            span = FBTimeSpan(first, last);
        } else {
            span = FBTimeSpan(std::min(span.start, first), std::max(span.stop, last));
        }
        h.take->LocalTimeSpan = span;
    }
    h.recording = false;
    h.transport = kFBTransportStop;
    for (FBDevice* device : h.devices) device->impl()->recording = false;
    return true;
}

bool Host::isRecording() const {
    return mImpl->recording;
}
FBTake* Host::currentTake() const {
    return mImpl->take.get();
}

const std::vector<FBKey>& Host::keys(const FBAnimationNode* node) const {
    static const std::vector<FBKey> none;
    if (!isLive(node)) return none;
    const Curve* curve = node->impl()->curve(mImpl->take.get());
    return curve ? curve->keys : none;
}

int Host::samplesAcknowledged(const FBDevice* device) const {
    return holdsDevice(device) ? device->impl()->samplesAcknowledged : 0;
}

}  // namespace fbhost
