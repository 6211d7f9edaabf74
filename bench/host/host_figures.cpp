// Figures of the TelmoraLink plug-in in the headless host, printed:
// - eight devices in one host, each online to its own subject of one sender streaming at 120 Hz,
//   for 10 s of host time paced to the wall clock: frames lost and the host process's CPU share
//   (the in-process sender's own threads left out);
// - the plot of a 60 s take recorded at 60 Hz: the time the device's idle handler takes.
//
//   host_figures [PLUGIN]

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/host_driver.h"
#include "tools/host/panel_user.h"
#include "tools/host/process_figures.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace {

using namespace telmora;
using namespace telmora::host;
using namespace ORSDK2026;
using namespace std::chrono_literals;

constexpr int kDevices = 8;
const FBTime kStep = FBTime(FBTime::kTicksPerSecond / 60);

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "host_figures: %s\n", what.c_str());
    std::exit(1);
}

// As the device publishes it: refreshed at every host idle.
std::uint64_t framesReceived(FBDevice* device) {
    return deviceFigure(device, "FramesReceived").value_or(0);
}

FBDevice* onlineDevice(std::uint16_t port, const std::string& subject, bool bind) {
    fbhost::Host& host = fbhost::Host::instance();
    std::string error;
    FBDevice* device = host.createDevice("TelmoraLink", ("TelmoraLink " + subject).c_str(), &error);
    if (!device) die(error);
    std::optional<PanelControls> panel = findPanelControls(host.openPanel(device, &error), error);
    if (!panel) die(error);
    applyListeningPort(*panel, port);
    if (!waitAndPick(*panel->sources, "Figures Sender", 5000ms) ||
        !waitAndPick(*panel->subjects, subject, 5000ms))
        die("the sender or subject " + subject + " was not announced");
    if (!host.deviceOperation(device, kOpInit)) die("Init failed");
    if (bind) host.bindTemplates(device);
    device->RecordMode = true;
    if (!host.setOnline(device, true)) die("a device did not go online");
    return device;
}

std::vector<int> without(std::vector<int> all, const std::vector<int>& excluded) {
    all.erase(std::remove_if(all.begin(), all.end(),
                             [&](int id) {
                                 return std::find(excluded.begin(), excluded.end(), id) !=
                                        excluded.end();
                             }),
              all.end());
    return all;
}

void eightDevices(const std::string& plugin) {
    fbhost::Host& host = fbhost::Host::instance();
    const std::vector<int> before = processThreadIds();
    SimServerConfig config;
    config.serverName = "Figures Sender";
    config.announcePort = freeUdpPort();
    config.announceInterval = 100ms;
    config.frameRate = 120.0;
    std::vector<SimSubject> subjects;
    for (int i = 1; i <= kDevices; ++i) {
        const std::string name = "subject" + std::to_string(i);
        subjects.push_back(
            {name, std::make_shared<const Performance>(syntheticPerformance(name, 2.0, 120.0))});
    }
    SimServer sender(config, subjects, [](LogStream, const std::string&) {});
    std::string error;
    if (!sender.Start(error)) die(error);
    const std::vector<int> senderThreads = without(processThreadIds(), before);

    fbhost::PluginLibrary library;
    if (!library.load(plugin) || !library.callEntryPoint(0)) die(library.error());
    std::vector<FBDevice*> devices;
    for (int i = 1; i <= kDevices; ++i)
        devices.push_back(onlineDevice(config.announcePort, "subject" + std::to_string(i), true));

    // Ten seconds of host steps at 60 Hz, paced to the wall clock.
    const std::vector<int> hostThreads = without(processThreadIds(), senderThreads);
    const double cpuStart = threadsCpuSeconds(hostThreads);
    const Clock::time_point wallStart = Clock::now();
    PacedStepper stepper(kStep);
    for (int i = 0; i < 600; ++i) stepper.step();
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    const double cpu = threadsCpuSeconds(hostThreads) - cpuStart;

    // Stop the sender, let what is on the way arrive, then compare what was sent and received.
    sender.Stop();
    std::uint64_t received = 0;
    pumpUntil(
        [&] {
            std::uint64_t now = 0;
            for (FBDevice* d : devices) now += framesReceived(d);
            const bool settled = now == received;
            received = now;
            return settled && now > 0;
        },
        2000ms,
        [] {
            fbhost::Host::instance().runIdle();  // the devices refresh their figures
            std::this_thread::sleep_for(50ms);
        });
    const std::uint64_t sent = sender.framesSent();
    std::printf("Eight devices, one sender at 120 Hz, %.1f s paced host time (600 steps)\n", wall);
    std::printf("  frames sent %llu, received %llu, lost %lld (target 0)\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(received),
                static_cast<long long>(sent) - static_cast<long long>(received));
    std::printf("  host process CPU %.2f s over %.2f s wall: %.1f %% of one core (%u cores)\n", cpu,
                wall, 100.0 * cpu / wall, std::thread::hardware_concurrency());
    host.reset();
    library.unload();
}

void plotLongTake(const std::string& plugin) {
    fbhost::Host& host = fbhost::Host::instance();
    SimServerConfig config;
    config.serverName = "Figures Sender";
    config.announcePort = freeUdpPort();
    config.announceInterval = 100ms;
    config.frameRate = 60.0;
    SimServer sender(config,
                     {{"subject1", std::make_shared<const Performance>(
                                       syntheticPerformance("subject1", 2.0, 60.0))}},
                     [](LogStream, const std::string&) {});
    std::string error;
    if (!sender.Start(error)) die(error);
    fbhost::PluginLibrary library;
    if (!library.load(plugin) || !library.callEntryPoint(0)) die(library.error());
    FBDevice* device = onlineDevice(config.announcePort, "subject1", true);
    // 60 s of samples at 60 Hz; the host steps as fast as it can (the recorded values need not
    // change from step to step for the plot's cost).
    host.startRecording();
    for (int i = 0; i < 3600; ++i) host.step(kStep);
    host.stopRecording();
    const Clock::time_point start = Clock::now();
    host.runIdle();  // the device's idle handler plots
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    FBModel* hips = host.findModel("Hips");
    const int keys = hips ? hips->Translation.GetAnimationNode()->KeyCount() : 0;
    std::printf(
        "Plot of a 60 s take at 60 Hz: %.3f s (target < 1 s), %d keys per bone, "
        "65 bones\n",
        seconds, keys);
    host.setOnline(device, false);
    sender.Stop();
    host.reset();
    library.unload();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string plugin = argc > 1 ? argv[1] : TELMORA_PLUGIN_PATH;
    eightDevices(plugin);
    plotLongTake(plugin);
    return 0;
}
