#include "tools/host/session_recording.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#include "tools/host/host_driver.h"
#include "tools/host/session_files.h"

namespace telmora::host {

using namespace ORSDK2026;

void recordLive(const SessionOptions& options, FBDevice* device, FBAnimationNode* hips,
                FBDeviceLayout& layout, const std::filesystem::path& out, SessionReport& report,
                Steps& steps) {
    fbhost::Host& host = fbhost::Host::instance();
    const FBTime period = device->SamplingPeriod.Get();
    const int stepsPerSecond = static_cast<int>(std::lround(1.0 / report.samplingPeriod));
    steps.begin("Watching for 1 s");
    PacedStepper stepper(period);
    int changes = 0;
    double last[3] = {0.0, 0.0, 0.0};
    for (int i = 0; i < stepsPerSecond; ++i) {
        stepper.step();
        double now[3];
        nodeValueFinite(hips, host.localTime(), now);
        if (now[0] != last[0] || now[1] != last[1] || now[2] != last[2]) ++changes;
        std::copy(now, now + 3, last);
    }
    if (changes == 0)
        throw StepFailure{kExitNotHeard, "no frame of '" + options.subject + "' arrived in 1 s"};
    steps.console.line("  the pose changed in " + std::to_string(changes) + " of " +
                       std::to_string(stepsPerSecond) + " evaluations");
    drawPanelPicture(layout, out, report, steps.console);

    steps.begin("Recording " + formatSeconds(options.recordSeconds));
    if (!host.startRecording()) throw StepFailure{kExitFailed, "the host did not start recording"};
    const int recordSteps =
        std::max(1, static_cast<int>(std::lround(options.recordSeconds / report.samplingPeriod)));
    const double recordStart = host.localTime().GetSecondDouble();
    {
        ProgressBar bar(steps.console, "recording");
        int stepsTaken = 0;
        for (int i = 0; i < recordSteps; ++i) {
            stepper.step();
            ++report.inputNotifications;
            ++stepsTaken;
            // The device goes offline through its idle handler when the stream ends.
            if (!device->Online.Get()) {
                report.streamEndedAt = host.localTime().GetSecondDouble();
                break;
            }
            bar.update(static_cast<double>(i + 1) / recordSteps,
                       formatSeconds((i + 1) * report.samplingPeriod) + " of " +
                           formatSeconds(options.recordSeconds));
        }
        bar.finish(report.streamEndedAt
                       ? "the stream ended at take time " + formatSeconds(*report.streamEndedAt)
                       : std::to_string(stepsTaken) + " host steps");
    }
    const double recordEnd = host.localTime().GetSecondDouble();
    report.recordStart = recordStart;
    report.recordEnd = recordEnd;
}

void replayAndRecord(const ReplayPlan& plan, FBDevice* device, FBDeviceLayout& layout,
                     const std::filesystem::path& out, SessionReport& report, Steps& steps) {
    fbhost::Host& host = fbhost::Host::instance();
    const kLongLong start = host.localTime().Get();
    steps.begin("Replaying and recording " + formatSeconds(plan.seconds) +
                (plan.keyEachFrame ? ", a key for each frame" : ""));
    if (!host.startRecording()) throw StepFailure{kExitFailed, "the host did not start recording"};
    report.recordStart = host.localTime().GetSecondDouble();
    ProgressBar bar(steps.console, "replaying");
    bool panelDrawn = false;
    // The panel refreshes at a display's pace, 30 times a second of the wall clock, not at
    // every step of a host that runs far faster than real time.
    const auto uiPeriod = std::chrono::milliseconds(33);
    Clock::time_point nextUiIdle = Clock::now();
    auto stepTo = [&](kLongLong ticks) {
        host.step(FBTime(start + ticks - host.localTime().Get()));
        if (Clock::now() >= nextUiIdle) {
            host.runIdle();
            nextUiIdle = Clock::now() + uiPeriod;
        } else {
            host.runSystemIdle();
        }
        ++report.inputNotifications;
        const double done =
            static_cast<double>(ticks) / static_cast<double>(FBTime::kTicksPerSecond);
        if (!panelDrawn && device->Online.Get() && done >= 1.0) {
            drawPanelPicture(layout, out, report, steps.console);
            panelDrawn = true;
        }
        bar.update(plan.seconds > 0.0 ? done / plan.seconds : 1.0,
                   formatSeconds(done) + " of " + formatSeconds(plan.seconds));
        return device->Online.Get();
    };
    if (plan.keyEachFrame) {
        for (std::size_t i = 0; i < plan.due.size(); ++i) {
            if (i > 0 && plan.due[i] == plan.due[i - 1]) continue;  // handed over together
            if (!stepTo(plan.due[i])) break;
        }
    } else {
        // A second past the last datagram at most: the device ends the stream before.
        const kLongLong period = device->SamplingPeriod.Get().Get();
        const kLongLong last = plan.due.back() + FBTime::kTicksPerSecond;
        for (kLongLong t = 0; t <= last; t += period)
            if (!stepTo(t)) break;
    }
    report.recordEnd = host.localTime().GetSecondDouble();
    bar.finish(std::to_string(report.inputNotifications) + " host steps");
}

}  // namespace telmora::host
