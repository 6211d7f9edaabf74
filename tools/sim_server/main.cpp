// telmora-sim-server: a test sender that streams recorded or synthetic performances to
// TelmoraLink clients on the local network.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/installed_file.h"
#include "tools/common/stop_signals.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace {

using telmora::kExitBadInput;

// "NAME=FILE" or "FILE" (the subject is then the file's name without its extension).
void splitTake(const std::string& arg, std::string& name, std::string& path) {
    const std::size_t eq = arg.find('=');
    if (eq != std::string::npos && eq > 0) {
        name = arg.substr(0, eq);
        path = arg.substr(eq + 1);
    } else {
        path = arg;
        name = std::filesystem::path(arg).stem().string();
    }
}

}  // namespace

int main(int argc, char** argv) {
    telmora::StopSignals stopSignals;

    CLI::App app{
        "Test sender for TelmoraLink: announces itself like a Telmora server and streams "
        "performances (BVH or other takes Assimp reads, retargeted onto the default skeleton) "
        "as sensor frames to every client that asks with a keep-alive.",
        "telmora-sim-server"};
    telmora::SimServerConfig config;
    std::vector<std::string> takes;
    bool synthetic = false;
    double durationSeconds = 0.0;
    app.add_option(
        "takes", takes,
        "Performances to offer, each FILE or NAME=FILE; the subject name defaults to the "
        "file name. Default: the walk, subject 'walk' (" TELMORA_DEFAULT_WALK ")");
    app.add_flag("--synthetic", synthetic,
                 "Offer the built-in synthetic walk as subject 'synthetic'");
    app.add_option("--name", config.serverName, "Server name announced")->capture_default_str();
    app.add_option("--announce-address", config.announceAddress, "IPv4 address announcements go to")
        ->capture_default_str();
    app.add_option("--announce-port", config.announcePort, "Port announcements go to")
        ->capture_default_str();
    app.add_option("--bind", config.bindAddress, "IPv4 address of the stream socket")
        ->capture_default_str();
    app.add_option("--stream-port", config.streamPort,
                   "Stream port (keep-alives in, frames out); 0 lets the system choose")
        ->capture_default_str();
    app.add_option("--rate", config.frameRate, "Frames per second sent to each client")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::Range(1.0, telmora::SimServer::kMaxFrameRate))
        ->capture_default_str();
    app.add_option("--duration", durationSeconds,
                   "Stop after this many seconds; 0 runs until Ctrl-C or SIGTERM")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    if (const std::optional<int> status = telmora::parseCommandLine(app, argc, argv)) {
        return *status;
    }

    std::vector<telmora::SimSubject> subjects;
    if (takes.empty() && !synthetic) {
        // An installed sender has the walk in its share folder.
        takes.push_back("walk=" +
                        telmora::installedOrBuilt("share/telmoralink/mocap/cmu_02_01_walk.bvh",
                                                  TELMORA_DEFAULT_WALK));
    }
    for (const std::string& take : takes) {
        std::string name, path, error;
        splitTake(take, name, path);
        std::optional<telmora::Performance> performance =
            telmora::loadPerformance(path, name, error);
        if (!performance) {
            std::cerr << error << "\n";
            return kExitBadInput;
        }
        std::cout << "Subject '" << name << "': " << performance->frames.size() << " frames at "
                  << performance->frameRate << " Hz from " << path << "\n";
        subjects.push_back(
            {name, std::make_shared<const telmora::Performance>(std::move(*performance))});
    }
    if (synthetic)
        subjects.push_back({"synthetic", std::make_shared<const telmora::Performance>(
                                             telmora::syntheticPerformance("synthetic"))});

    telmora::SimServer server(config, std::move(subjects));
    std::string error;
    if (!server.Start(error)) {
        std::cerr << "Cannot start: " << error << "\n";
        return 1;
    }
    telmora::waitForStopOrDuration(stopSignals, durationSeconds);
    server.Stop();
    return 0;
}
