// telmora-monitor: lists the Telmora servers it hears, or receives one subject exactly as the
// plug-in does and reports what arrives, with an optional picture and CSV of the solved poses.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>

#include "capture/capture_writer.h"
#include "network/discovery_service.h"
#include "network/protocol.h"
#include "tools/common/command_line.h"
#include "tools/common/stop_signals.h"
#include "tools/monitor/pose_picture.h"
#include "tools/monitor/serve.h"
#include "tools/monitor/stream_monitor.h"

namespace {

using telmora::kExitBadInput;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using telmora::escapeControlCharacters;

// Server and subject names come from the network: printed with their control characters
// escaped, so a name cannot forge a line of its own.
std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ", ") + escapeControlCharacters(item);
    return out;
}

std::string describe(const telmora::ServerInfo& server) {
    return "'" + escapeControlCharacters(server.serverName) + "' at " + server.ip + ":" +
           std::to_string(server.streamPort) + ", subjects: " + joined(server.subjects);
}

// Discovery reports every announcement on standard output; the monitor prints its own list, so
// only the diagnostics on standard error pass.
telmora::LogWriter errorsOnly() {
    telmora::LogWriter standard = telmora::standardLogWriter();
    return [standard](telmora::LogStream stream, const std::string& line) {
        if (stream == telmora::LogStream::Err) standard(stream, line);
    };
}

std::string formatPoint(const glm::dvec3& p) {
    char text[64];
    std::snprintf(text, sizeof text, "(%.1f, %.1f, %.1f)", p.x, p.y, p.z);
    return text;
}

struct Options {
    std::string source;
    std::string subject;
    int listenPort = telmora::kDefaultListenPort;
    double waitSeconds = 5.0;
    double durationSeconds = 0.0;
    std::string picture;
    std::string csv;
    std::string capture;
    int moments = 6;
};

// The raw capture asked for with --capture, started; null when none was asked for. Exits the
// program with status 2 when the file cannot be written.
std::shared_ptr<telmora::CaptureWriter> startCapture(const Options& options) {
    if (options.capture.empty()) return nullptr;
    auto capture = std::make_shared<telmora::CaptureWriter>(errorsOnly());
    std::string error;
    if (!capture->Start(options.capture, error)) {
        std::cerr << "Cannot capture: " << error << "\n";
        std::exit(kExitBadInput);
    }
    return capture;
}

void reportCapture(const std::shared_ptr<telmora::CaptureWriter>& capture) {
    if (!capture) return;
    capture->Stop();
    const telmora::CaptureFigures figures = capture->Figures();
    std::cout << "Captured " << figures.written << " datagrams to " << figures.path
              << (figures.dropped > 0 ? " (" + std::to_string(figures.dropped) + " dropped)" : "")
              << (figures.error.empty() ? "" : "; the capture stopped: " + figures.error) << "\n";
}

bool deadlinePassed(Clock::time_point start, double seconds) {
    return seconds > 0.0 && Clock::now() - start >= std::chrono::duration<double>(seconds);
}

int listServers(const Options& options, telmora::StopSignals& stopSignals) {
    const std::shared_ptr<telmora::CaptureWriter> capture = startCapture(options);
    telmora::DiscoveryService discovery(errorsOnly());
    discovery.SetTap(capture);
    discovery.Start(options.listenPort);
    std::cout << "Listening for servers on port " << options.listenPort << " (Ctrl-C to stop)\n"
              << std::flush;
    std::map<std::string, telmora::ServerInfo> known;
    bool heardAny = false;
    const Clock::time_point start = Clock::now();
    while (!stopSignals.waitFor(milliseconds(100)) &&
           !deadlinePassed(start, options.durationSeconds)) {
        const telmora::ServerMap servers = discovery.GetServers();
        for (const auto& entry : servers) {
            auto found = known.find(entry.first);
            const telmora::ServerInfo& s = entry.second;
            if (found == known.end() || found->second.serverName != s.serverName ||
                found->second.streamPort != s.streamPort || found->second.subjects != s.subjects) {
                std::cout << "+ server " << describe(s) << "\n" << std::flush;
                known[entry.first] = s;
                heardAny = true;
            }
        }
        for (auto it = known.begin(); it != known.end();) {
            if (servers.count(it->first) == 0) {
                std::cout << "- server '" << escapeControlCharacters(it->second.serverName)
                          << "' at " << it->second.ip << " is gone\n"
                          << std::flush;
                it = known.erase(it);
            } else {
                ++it;
            }
        }
        if (!heardAny && deadlinePassed(start, options.waitSeconds)) {
            std::cerr << "No Telmora server heard on port " << options.listenPort << " within "
                      << options.waitSeconds << " s\n";
            discovery.Stop();
            reportCapture(capture);
            return telmora::kExitNotHeard;
        }
    }
    discovery.Stop();
    reportCapture(capture);
    return 0;
}

int monitorStream(const Options& options, telmora::StopSignals& stopSignals) {
    telmora::StreamMonitor monitor;
    std::string error;
    if (!options.csv.empty() && !monitor.openCsv(options.csv, error)) {
        std::cerr << error << "\n";
        return kExitBadInput;
    }

    // The capture holds the announcements heard and the whole stream, keep-alives included.
    const std::shared_ptr<telmora::CaptureWriter> capture = startCapture(options);
    monitor.setTap(capture);
    // Find the server as the plug-in does: by name (or address) in the discovery list.
    telmora::DiscoveryService discovery(errorsOnly());
    discovery.SetTap(capture);
    discovery.Start(options.listenPort);
    telmora::ServerInfo chosen;
    std::string subject = options.subject;
    bool found = false;
    std::string lastSeen;
    const Clock::time_point waitStart = Clock::now();
    while (!found && !stopSignals.waitFor(milliseconds(50))) {
        for (const auto& entry : discovery.GetServers()) {
            const telmora::ServerInfo& s = entry.second;
            if (s.serverName != options.source && s.ip != options.source) continue;
            lastSeen = describe(s);
            if (subject.empty() && !s.subjects.empty()) subject = s.subjects.front();
            for (const std::string& offered : s.subjects) found = found || offered == subject;
            if (found) {
                chosen = s;
                break;
            }
        }
        if (!found && deadlinePassed(waitStart, options.waitSeconds)) break;
    }
    discovery.Stop();
    if (!found) {
        reportCapture(capture);
        if (stopSignals.received()) return 0;
        if (lastSeen.empty())
            std::cerr << "No Telmora server '" << options.source << "' heard on port "
                      << options.listenPort << " within " << options.waitSeconds << " s\n";
        else
            std::cerr << "Server " << lastSeen << " does not offer subject '"
                      << escapeControlCharacters(subject) << "'\n";
        return telmora::kExitNotHeard;
    }
    std::cout << "Found server " << describe(chosen) << "\n" << std::flush;

    monitor.Connect(chosen.ip, static_cast<std::uint16_t>(chosen.streamPort), subject);
    const Clock::time_point start = Clock::now();
    Clock::time_point nextReport = start + std::chrono::seconds(1);
    Clock::time_point nextCapture = start + milliseconds(250);
    bool streamEnded = false;
    while (!stopSignals.waitFor(milliseconds(20))) {
        if (deadlinePassed(start, options.durationSeconds)) break;
        const Clock::time_point now = Clock::now();
        if (now >= nextCapture) {
            monitor.capturePose();
            nextCapture += milliseconds(500);
        }
        if (now >= nextReport) {
            nextReport += std::chrono::seconds(1);
            const telmora::IntervalStats s = monitor.takeIntervalStats();
            char line[200];
            std::snprintf(
                line, sizeof line,
                "%5.1f s  frames %5llu  dropped %3llu  %7.1f Hz  solve median %.3f ms  p99 %.3f ms",
                std::chrono::duration<double>(now - start).count(),
                static_cast<unsigned long long>(s.framesReceived),
                static_cast<unsigned long long>(s.framesDropped), s.frameRate, s.solveMedianMs,
                s.solveP99Ms);
            std::cout << line;
            if (s.hasPose)
                std::cout << "  hips " << formatPoint(s.hips) << "  left hand "
                          << formatPoint(s.leftHand) << "  left foot " << formatPoint(s.leftFoot);
            std::cout << "\n" << std::flush;
        }
        if (monitor.streamEnds() > 0) {
            streamEnded = true;
            std::cout << "Stream ended by the server\n" << std::flush;
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    monitor.Disconnect();
    reportCapture(capture);

    double median = 0.0, p99 = 0.0;
    monitor.solveTimes(median, p99);
    char summary[300];
    std::snprintf(summary, sizeof summary,
                  "Summary: %llu frames received, %llu solved, %llu dropped as malformed in %.1f s "
                  "(%.1f Hz); solve median %.3f ms, p99 %.3f ms; stream end %s",
                  static_cast<unsigned long long>(monitor.framesReceived()),
                  static_cast<unsigned long long>(monitor.framesSolved()),
                  static_cast<unsigned long long>(monitor.framesDropped()), seconds,
                  seconds > 0.0 ? monitor.framesReceived() / seconds : 0.0, median, p99,
                  streamEnded ? "seen" : "not seen");
    std::cout << summary << "\n";
    if (!options.picture.empty()) {
        const std::string title =
            "TelmoraLink monitor: '" + subject + "' from '" + chosen.serverName +
            "'. Blue left, red right, green rings: points the frame asked for";
        if (writePosePicture(options.picture, monitor.capturedPoses(), title, error,
                             options.moments))
            std::cout << "Picture: " << options.picture << "\n";
        else
            std::cerr << "No picture: " << error << "\n";
    }
    if (!options.csv.empty()) std::cout << "CSV: " << options.csv << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    telmora::StopSignals stopSignals;

    CLI::App app{
        "Stream monitor for TelmoraLink. Without a source it lists the Telmora servers it hears as "
        "they come and go. With a source (server name or address) and a subject it receives the "
        "stream exactly as the plug-in does, solves every frame and reports once a second.",
        "telmora-monitor"};
    Options options;
    app.add_option("source", options.source, "Server name (or IPv4 address) to receive from");
    app.add_option("subject", options.subject, "Subject to receive; default: the server's first");
    app.add_option("--port", options.listenPort, "Port announcements arrive on")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    app.add_option("--wait", options.waitSeconds, "Seconds to wait for the server to be heard")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--duration", options.durationSeconds,
                   "Stop after this many seconds; 0 runs until Ctrl-C or the stream ends")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::NonNegativeNumber)
        ->capture_default_str();
    app.add_option("--picture", options.picture,
                   "Write a PNG of the solved poses at several moments (front and side views)");
    app.add_option("--moments", options.moments, "Moments shown in the picture")
        ->check(CLI::Range(1, 12))
        ->capture_default_str();
    app.add_option("--csv", options.csv, "Write every frame's channel values, one row per frame");
    app.add_option("--capture", options.capture,
                   "Write every datagram heard (announcements, the stream and its keep-alives) to "
                   "this pcap file");
    std::string serve;
    app.add_option("--serve", serve,
                   "Serve the set monitor page on [ADDRESS:]PORT (e.g. 8080, 0.0.0.0:8080): every "
                   "server heard, the health and live skeleton of each subject the page watches. "
                   "Loopback unless an address is given; beyond it, the printed URL carries an "
                   "access token")
        ->expected(0, 1)
        ->default_str("127.0.0.1:8080")
        ->excludes("source");
    if (const std::optional<int> status = telmora::parseCommandLine(app, argc, argv)) {
        return *status;
    }
    if (app.count("--serve") > 0) {
        telmora::ServeOptions serveOptions;
        if (!serve.empty()) serveOptions.where = serve;
        serveOptions.listenPort = options.listenPort;
        serveOptions.durationSeconds = options.durationSeconds;
        return telmora::serveSetMonitor(serveOptions, stopSignals);
    }
    if (options.source.empty()) {
        if (!options.picture.empty() || !options.csv.empty()) {
            std::cerr << "--picture and --csv need a source to receive from\n" << app.help();
            return kExitBadInput;
        }
        return listServers(options, stopSignals);
    }
    return monitorStream(options, stopSignals);
}
