#pragma once
// What `telmora-host replay` reads of its capture before the plug-in does: which stream it
// replays, when each of its datagrams is due on the host's clock, and at what rate it records.

#include <fbsdk/fbsdk.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace telmora::host {

struct ReplayPlan {
    std::string server;
    std::string subject;
    // When each datagram of the stream is due, host ticks after the replay's start (as the
    // device reckons them), never decreasing.
    std::vector<ORSDK2026::kLongLong> due;
    // The recording's sampling period: the stream's own (its median frame interval) for
    // `--rate stream`, 1/HZ for a rate, zero for the device's own.
    ORSDK2026::FBTime period;
    bool keyEachFrame = false;  // `--rate stream`
    double seconds = 0.0;       // first to last datagram
    std::string description;    // the capture's streams, one line each
};

// Reads the capture and picks the stream of `server` and `subject` ("" for any; the longest
// where several fit). Nothing, with `error` set, when the file cannot be read, holds no Telmora
// stream or none that fits, or `rate` is neither "", "stream" nor a rate in Hz.
std::optional<ReplayPlan> planReplay(const std::string& path, const std::string& server,
                                     const std::string& subject, const std::string& rate,
                                     std::string& error);

}  // namespace telmora::host
