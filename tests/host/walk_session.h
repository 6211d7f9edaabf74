#pragma once
// A whole session of the headless host against the test sender streaming the recorded walk on
// loopback, for the suites that look at what a session leaves behind.

#include <chrono>
#include <memory>
#include <string>

#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"
#include "tools/host/session.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace telmora::host {

// The walk at `senderRate`, announced as `serverName`, recorded for `recordSeconds` into
// `outDir` (and captured to `captureFile` unless it is empty). A failure to start the sender
// is reported as a failed session.
inline SessionReport runWalkSession(const std::string& serverName, double senderRate,
                                    double recordSeconds, const std::string& outDir,
                                    const std::string& captureFile = "") {
    std::string error;
    std::optional<Performance> walk =
        loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
    SessionReport failed;
    failed.status = kExitFailed;
    if (!walk) {
        failed.failure = error;
        return failed;
    }
    SimServerConfig config;
    config.serverName = serverName;
    config.announcePort = freeUdpPort();
    config.announceInterval = std::chrono::milliseconds(100);
    config.frameRate = senderRate;
    SimServer sender(config, {{"walk", std::make_shared<const Performance>(std::move(*walk))}},
                     [](LogStream, const std::string&) {});
    if (!sender.Start(error)) {
        failed.failure = "the sender did not start: " + error;
        return failed;
    }
    SessionOptions options;
    options.pluginPath = TELMORA_PLUGIN_PATH;
    options.source = config.serverName;
    options.subject = "walk";
    options.recordSeconds = recordSeconds;
    options.outDir = outDir;
    options.port = config.announcePort;
    options.waitSeconds = 8.0;
    options.captureFile = captureFile;
    Console console(false);
    SessionReport report = runSessionSteps(options, console);
    sender.Stop();
    return report;
}

}  // namespace telmora::host
