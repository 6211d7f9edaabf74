#pragma once
// `telmora-host session`: the user's whole session with a TelmoraLink device, headless. Create
// the device, open its panel, wait for the source, pick source and subject, Init, bind the
// templates to a new model tree, go online, watch one second, record, stop, let the idle handler
// plot, Characterize, go offline; then export the plotted take and what happened.

#include <cstdint>
#include <glm/glm.hpp>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/exit_status.h"
#include "tools/host/console.h"
#include "tools/take_export/take_export.h"

namespace telmora::host {

struct SessionOptions {
    std::string pluginPath;
    std::string source;
    std::string subject;
    double recordSeconds = 10.0;
    std::string outDir;
    // The listening port typed into the panel (the device starts on 22000).
    int port = 22000;
    // How long to wait for the source and then the subject to be announced.
    double waitSeconds = 10.0;
    // A pcap file the device's raw capture of the session is moved to ("" for none).
    std::string captureFile;

    // `replay`: the capture the device streams from instead of the network ("" for a live
    // session), the server to pick in it ("" for the one it has), and the recording rate: ""
    // for the device's own, "stream" for one key per captured frame, or a rate in Hz.
    std::string replayFile;
    std::string rate;
};

// A session ends with kExitOk, kExitNotHeard (no source, subject or frame within the wait),
// kExitBadInput (replay: a capture that cannot be read or has no stream), kExitFailed (a step
// failed) or kExitIncomplete (a take was written, with gaps or cut short by the stream).

// A span of the recording without keys: the stream gave no frames (seconds of take time).
struct StreamGap {
    double start = 0.0;
    double seconds = 0.0;
};

// What a session did, in figures (session.json holds the same).
struct SessionReport {
    int status = kExitOk;
    // The step that failed and why ("" when none did).
    std::string failedStep;
    std::string failure;

    std::uint64_t framesReceived = 0;  // datagrams of sensor frames the device took in
    std::uint64_t framesSolved = 0;    // of those, solved into the channel table
    int inputNotifications = 0;        // host input notifications while recording
    int samplesRecorded = 0;           // keys on the device's "Hips T" node
    int samplesAcknowledged = 0;       // AckOneSampleReceived calls the host counted
    std::map<std::string, int> keysPerNode;
    std::vector<double> recordedTimes;  // the recorded keys' times, seconds
    std::vector<double> plottedTimes;   // the plotted keys' times, seconds
    // Spans of the recording without keys (the stream was stale), and the take time at which
    // the stream ended while recording, if it did.
    std::vector<StreamGap> streamGaps;
    std::optional<double> streamEndedAt;
    // The take time of the first and last recording step (seconds).
    double recordStart = 0.0;
    double recordEnd = 0.0;
    // The server and subject recorded (a replay takes them from its capture).
    std::string server;
    std::string subject;
    double samplingPeriod = 0.0;  // seconds
    std::vector<std::string> statusTexts;
    std::string characterName;
    bool characterized = false;
    int characterLinks = 0;
    std::vector<std::string> filesWritten;
    // Each step as the console names it, with the wall-clock seconds it took.
    std::vector<std::pair<std::string, double>> stepSeconds;

    // The plotted take, and every joint's global position (centimetres) at every plotted key as
    // the host computes it from the plotted models: positions[key][joint].
    Take take;
    std::vector<std::vector<glm::dvec3>> plottedGlobalPositions;
};

// Runs the session, printing one line per step (and progress bars) to `console`. The plug-in's
// own output lines go to DIR/plugin.log when `console` was made to redirect them.
SessionReport runSessionSteps(const SessionOptions& options, Console& console);

// The command: the session with the plug-in's lines sent to DIR/plugin.log. Returns the exit
// status. With a replay file it is `telmora-host replay`: the device streams the capture on
// the host's clock, stepped as fast as it goes, and records it whole.
int runSession(const SessionOptions& options);

}  // namespace telmora::host
