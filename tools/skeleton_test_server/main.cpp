// telmora-skeleton-test-server: the local TCP peer whose records pace a TelmoraLink device's
// recorded samples when "Use skeleton test server" is on.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>

#include "tools/common/command_line.h"
#include "tools/common/stop_signals.h"
#include "tools/performance/performance.h"
#include "tools/skeleton_test_server/skeleton_test_server.h"

int main(int argc, char** argv) {
    telmora::StopSignals stopSignals;

    CLI::App app{
        "Skeleton test server for TelmoraLink: listens on TCP and sends every client whole "
        "3136-byte records (16-byte header, 65 entries of six doubles) at a fixed rate: the "
        "channel values of a streamed take, or zeros.",
        "telmora-skeleton-test-server"};
    telmora::SkeletonTestServerConfig config;
    std::string take = TELMORA_DEFAULT_WALK;
    bool zeros = false;
    double durationSeconds = 0.0;
    app.add_option("--bind", config.bindAddress, "IPv4 address to listen on")
        ->capture_default_str();
    app.add_option("--port", config.port,
                   "TCP port (the device's listening port); 0 lets the system choose")
        ->capture_default_str();
    app.add_option("--rate", config.recordRate, "Records per second sent to each client")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::Range(1.0, telmora::SkeletonTestServer::kMaxRecordRate))
        ->capture_default_str();
    app.add_option("--take", take, "Take whose channel values the records carry")
        ->capture_default_str();
    app.add_flag("--zeros", zeros, "Send records of zeros instead of a take");
    app.add_option("--duration", durationSeconds,
                   "Stop after this many seconds; 0 runs until Ctrl-C or SIGTERM")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    if (const std::optional<int> status = telmora::parseCommandLine(app, argc, argv)) {
        return *status;
    }

    telmora::SkeletonTestServer::ValueSource values;
    if (!zeros) {
        std::string error;
        std::optional<telmora::Performance> performance =
            telmora::loadPerformance(take, "take", error);
        if (!performance) {
            std::cerr << error << "\n";
            return telmora::kExitBadInput;
        }
        std::cout << "Take: " << performance->frames.size() << " frames at "
                  << performance->frameRate << " Hz from " << take << "\n";
        values = telmora::channelValuesOf(
            std::make_shared<const telmora::Performance>(std::move(*performance)));
    }

    telmora::SkeletonTestServer server(config, std::move(values));
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "Cannot start: " << error << "\n";
        return 1;
    }
    telmora::waitForStopOrDuration(stopSignals, durationSeconds);
    server.Stop();
    std::cout << "Records sent: " << server.recordsSent() << "\n";
    return 0;
}
