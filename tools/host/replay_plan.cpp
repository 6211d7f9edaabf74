#include "tools/host/replay_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "capture/capture_reader.h"
#include "live/stream_replay.h"

namespace telmora::host {

using namespace ORSDK2026;

std::optional<ReplayPlan> planReplay(const std::string& path, const std::string& server,
                                     const std::string& subject, const std::string& rate,
                                     std::string& error) {
    double hz = 0.0;
    if (!rate.empty() && rate != "stream") {
        char* end = nullptr;
        hz = std::strtod(rate.c_str(), &end);
        if (end == rate.c_str() || *end != '\0' || !std::isfinite(hz) || hz < 1.0 || hz > 1000.0) {
            error = "--rate must be 'stream' or a rate from 1 to 1000 Hz, not '" + rate + "'";
            return std::nullopt;
        }
    }
    const std::optional<TelmoraCapture> capture = readTelmoraCapture(path, error);
    if (!capture) return std::nullopt;
    const CapturedStream* stream = pickStream(*capture, server, subject, error);
    if (stream == nullptr) return std::nullopt;
    if (stream->subject.empty()) {
        error = "the capture's stream from " + stream->serverName +
                " carries no keep-alive naming its subject; pick it with --subject";
        return std::nullopt;
    }

    ReplayPlan plan;
    plan.server = stream->serverName;
    plan.subject = stream->subject;
    plan.seconds = streamSeconds(*capture, *stream);
    plan.description = describeStreams(*capture);
    const std::vector<std::int64_t> due =
        replayDueTicks(*capture, *stream, FBTime::kTicksPerSecond);
    plan.due.assign(due.begin(), due.end());
    if (rate == "stream") {
        plan.keyEachFrame = true;
        std::vector<kLongLong> intervals;
        for (std::size_t i = 1; i < plan.due.size(); ++i)
            if (plan.due[i] > plan.due[i - 1]) intervals.push_back(plan.due[i] - plan.due[i - 1]);
        if (intervals.empty()) {
            error = "the capture's stream has a single frame time: it has no rate of its own";
            return std::nullopt;
        }
        std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2,
                         intervals.end());
        // Whole milliseconds' worth of a common rate: 120 Hz stays exactly 120 Hz.
        const double streamHz = std::round(static_cast<double>(FBTime::kTicksPerSecond) /
                                           static_cast<double>(intervals[intervals.size() / 2]));
        plan.period = FBTime(0, 0, 1, 0) / streamHz;
    } else if (hz > 0.0) {
        plan.period = FBTime(0, 0, 1, 0) / hz;
    }
    return plan;
}

}  // namespace telmora::host
