// telmora-sim-server: a test sender that streams recorded or synthetic performances to
// TelmoraLink clients on the local network.

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
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

// The servers and subjects of a capture, each subject with its longest stream, as recorded
// subjects for one sender per server. Empty, with `error` set, when nothing fits.
std::map<std::string, std::vector<telmora::SimSubject>> capturedServers(const std::string& path,
                                                                        const std::string& server,
                                                                        const std::string& subject,
                                                                        std::string& error) {
    std::map<std::string, std::vector<telmora::SimSubject>> servers;
    const std::optional<telmora::TelmoraCapture> capture = telmora::readTelmoraCapture(path, error);
    if (!capture) return servers;
    std::map<std::pair<std::string, std::string>, const telmora::CapturedStream*> longest;
    for (const telmora::CapturedStream& stream : capture->streams) {
        if (stream.subject.empty()) continue;
        if (!server.empty() && stream.serverName != server) continue;
        if (!subject.empty() && stream.subject != subject) continue;
        const telmora::CapturedStream*& best = longest[{stream.serverName, stream.subject}];
        if (best == nullptr || stream.datagrams.size() > best->datagrams.size()) best = &stream;
    }
    std::string refused;
    for (const auto& [names, stream] : longest) {
        if (!telmora::replayable(*capture, *stream, refused)) {
            std::cerr << "telmora-sim-server: " << refused << "\n";
            continue;
        }
        auto recorded = std::make_shared<telmora::RecordedDatagrams>();
        recorded->offsetMicros = telmora::streamOffsets(*capture, *stream);
        for (std::size_t index : stream->datagrams)
            recorded->datagrams.push_back(capture->file.datagrams[index].bytes);
        std::cout << "Subject '" << telmora::escapeControlCharacters(names.second) << "' of '"
                  << telmora::escapeControlCharacters(names.first)
                  << "': " << recorded->datagrams.size() << " datagrams over "
                  << telmora::streamSeconds(*capture, *stream) << " s\n";
        servers[names.first].push_back({names.second, nullptr, std::move(recorded)});
    }
    if (servers.empty() && !refused.empty())
        error = refused;
    else if (servers.empty())
        error = "the capture has no stream" +
                (server.empty() ? std::string() : " of server '" + server + "'") +
                (subject.empty() ? std::string() : " of subject '" + subject + "'") +
                " with a subject named by its keep-alives; it has:\n" +
                telmora::describeStreams(*capture);
    return servers;
}

// Each sensor frame the senders sent, one line "IP:PORT MICROSECONDS" in sending order, the
// time on the steady clock (the system's monotonic clock, which other processes read too).
bool writeSendTimes(const std::string& path,
                    const std::vector<const telmora::SimServer*>& senders) {
    std::ofstream file(path, std::ios::trunc);
    for (const telmora::SimServer* sender : senders)
        for (const telmora::SentFrame& sent : sender->sentFrames())
            file << telmora::formatIpv4(sent.to.address) << ':' << sent.to.port << ' '
                 << std::chrono::duration_cast<std::chrono::microseconds>(
                        sent.at.time_since_epoch())
                        .count()
                 << '\n';
    file.flush();
    if (!file) std::cerr << "telmora-sim-server: cannot write the send times to " << path << "\n";
    return static_cast<bool>(file);
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
    std::string replayFile, replayServer, replaySubject;
    app.add_option("--replay", replayFile,
                   "Replay a capture (pcap or pcapng) instead: announce its servers and subjects "
                   "and stream each subject's captured datagrams with their original spacing")
        ->excludes("takes")
        ->excludes("--synthetic");
    app.add_option("--speed", config.replaySpeed, "Replay speed (2 plays twice as fast)")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::Range(0.01, 100.0))
        ->capture_default_str();
    app.add_flag("--loop", config.replayLoop, "Start the replay over after its last datagram");
    app.add_option("--server", replayServer, "Replay only this server of the capture");
    app.add_option("--subject", replaySubject, "Replay only this subject of the capture");
    std::string sendTimesFile;
    app.add_option("--send-times", sendTimesFile,
                   "On stopping, write each sensor frame's client and send time (monotonic "
                   "clock, microseconds) to this file, one line each: for latency measurements");
    if (const std::optional<int> status = telmora::parseCommandLine(app, argc, argv)) {
        return *status;
    }

    config.keepSendTimes = !sendTimesFile.empty();
    if (!replayFile.empty()) {
        std::string error;
        auto servers = capturedServers(replayFile, replayServer, replaySubject, error);
        if (servers.empty()) {
            std::cerr << error << "\n";
            return kExitBadInput;
        }
        // One sender per captured server, each on a stream port of its own.
        std::vector<std::unique_ptr<telmora::SimServer>> senders;
        for (auto& [name, subjects] : servers) {
            telmora::SimServerConfig serverConfig = config;
            serverConfig.serverName = name;
            senders.push_back(
                std::make_unique<telmora::SimServer>(serverConfig, std::move(subjects)));
            if (!senders.back()->Start(error)) {
                std::cerr << "Cannot start: " << error << "\n";
                return telmora::kExitCannotServe;
            }
        }
        telmora::waitForStopOrDuration(stopSignals, durationSeconds);
        std::vector<const telmora::SimServer*> stopped;
        for (auto& sender : senders) {
            sender->Stop();
            stopped.push_back(sender.get());
        }
        if (!sendTimesFile.empty() && !writeSendTimes(sendTimesFile, stopped))
            return telmora::kExitCannotServe;
        return telmora::kExitOk;
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
        return telmora::kExitCannotServe;
    }
    telmora::waitForStopOrDuration(stopSignals, durationSeconds);
    server.Stop();
    if (!sendTimesFile.empty() && !writeSendTimes(sendTimesFile, {&server}))
        return telmora::kExitCannotServe;
    return telmora::kExitOk;
}
