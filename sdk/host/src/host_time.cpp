// The host's clock: local and system time, a step (input notification, evaluation, idle) and
// the idle handlers.

#include "host_calls.h"
#include "sdk_internal.h"

namespace fbhost {

using namespace ORSDK2026;
using fbsdk_detail::guarded;
using fbsdk_detail::isLive;
using namespace host_calls;

void Host::setLocalTime(FBTime time) {
    mImpl->localTime = time;
}
FBTime Host::localTime() const {
    return mImpl->localTime;
}
FBTime Host::systemTime() const {
    return mImpl->systemTime;
}

void Host::step(FBTime dt) {
    Impl& h = *mImpl;
    h.localTime += dt;
    h.systemTime += dt;
    const kDeviceIOs action = h.recording ? kIOPlayModeWrite : kIOStopModeRead;
    const std::vector<FBDevice*> snapshot = h.devices;
    for (FBDevice* device : snapshot) {
        if (!isLive(device) || !device->Online.Get()) continue;
        FBDeviceNotifyInfo info(h.localTime, h.systemTime);
        guarded([&] { device->DeviceIONotify(action, info); },
                [&] { return deviceCall("DeviceIONotify", device); });
    }
    evaluate();
}

void Host::evaluate() {
    if (mImpl->pauseCount > 0) return;
    mImpl->evaluateScene();
}

void Host::runIdle() {
    FBSystem& system = FBSystem::TheOne();
    mImpl->onIdle.Fire(&system);
    mImpl->onUIIdle.Fire(&system);
}

void Host::runSystemIdle() {
    mImpl->onIdle.Fire(&FBSystem::TheOne());
}

}  // namespace fbhost
