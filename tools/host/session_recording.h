#pragma once
// Recording a session: live, for the options' length at the host's sampling rate, or a replayed
// capture whole, as fast as the host steps.

#include <fbsdk/fbsdk.h>

#include <filesystem>

#include "tools/host/replay_plan.h"
#include "tools/host/session.h"
#include "tools/host/session_steps.h"

namespace telmora::host {

// Watches the live stream for a second, then records it for the options' length at the host's
// sampling rate, each step at its wall-clock moment.
void recordLive(const SessionOptions& options, ORSDK2026::FBDevice* device,
                ORSDK2026::FBAnimationNode* hips, ORSDK2026::FBDeviceLayout& layout,
                const std::filesystem::path& out, SessionReport& report, Steps& steps);

// Records the replayed stream whole: from the moment the device went online, the host steps
// without waiting, either at the sampling rate until the stream is over or, keying each frame,
// to each datagram's due time. The device ends the stream (and goes offline) after its last
// datagram; that is the take's normal end.
void replayAndRecord(const ReplayPlan& plan, ORSDK2026::FBDevice* device,
                     ORSDK2026::FBDeviceLayout& layout, const std::filesystem::path& out,
                     SessionReport& report, Steps& steps);

}  // namespace telmora::host
