// Discovery and logging as a busy studio network has them: two servers behind one address, a
// listening port someone else holds, and a flood of garbage at both of the device's ports.

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "live/device_texts.h"
#include "network/socket.h"
#include "network/worker_threads.h"
#include "tools/host/console.h"
#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"
#include "tools/host/validate/check_context.h"
#include "tools/host/validate/fake_server.h"
#include "tools/host/validate/random_datagrams.h"
#include "tools/host/validate/scene.h"

namespace telmora::host {

using namespace ORSDK2026;
using namespace std::chrono_literals;

namespace {

void checkTwoServersOneAddress(CheckContext& ctx) {
    ensureLoaded(ctx);
    const std::uint16_t port = freeUdpPort();
    SimServerConfig one = senderConfig(port);
    one.serverName = "Validator One";
    SimServerConfig two = senderConfig(port);
    two.serverName = "Validator Two";
    std::unique_ptr<SimServer> first = startSender(ctx, one);
    std::unique_ptr<SimServer> second = startSender(ctx, two);
    DeviceUnderTest dut = openDevice(ctx, port);
    ctx.step("wait for both to be listed");
    const bool both = pumpUntil(
        [&] {
            return listIndexOf(*dut.panel.sources, one.serverName) >= 0 &&
                   listIndexOf(*dut.panel.sources, two.serverName) >= 0;
        },
        3000ms, [] { fbhost::Host::instance().runIdle(); }, 2ms);
    ctx.require(both, "two servers on 127.0.0.1 are not both listed (listed: " +
                          joined(listItems(*dut.panel.sources)) + ")");
    ctx.step("a third server takes the name 'Validator One' on the same address");
    std::unique_ptr<SimServer> twin = startSender(ctx, one);
    for (int i = 0; i < 50; ++i) fbhost::Host::instance().runIdle();
    std::vector<std::string> items = listItems(*dut.panel.sources);
    ctx.require(std::count(items.begin(), items.end(), one.serverName) == 1,
                "the shared name is listed other than once (" + joined(items) + ")");
    pickSenderInPanel(ctx, dut, two.serverName, kSenderSubject);
    goLive(ctx, dut);
    FBAnimationNode* hips = fbhost::Host::instance().findNode(dut.device, "Hips T");
    ctx.require(hips != nullptr && nodeMoves(hips, 3000ms),
                "no frame from 'Validator Two' beside 'Validator One'");
    fbhost::Host::instance().setOnline(dut.device, false);
    requireNoPluginFailure(ctx);
    ctx.summary =
        "two names from 127.0.0.1 both listed and streamed from; a second server of one "
        "name listed once";
}

void checkPortInUse(CheckContext& ctx) {
    ensureLoaded(ctx);
    const std::uint16_t port = freeUdpPort();
    auto occupant = std::make_unique<UdpSocket>();
    ctx.require(occupant->open() == 0 && occupant->bind({0, port}) == 0,
                "cannot occupy port " + std::to_string(port));
    ctx.step("port " + std::to_string(port) + " held by another socket");
    DeviceUnderTest dut = openDevice(ctx, port);
    const std::string inUse = portInUseText(port);
    ctx.require(dut.panel.portState->Caption.Get().str() == inUse,
                "the panel shows '" + std::string(dut.panel.portState->Caption.Get().str()) +
                    "' beside the port, not '" + inUse + "'");
    ctx.step("free the port, click Connect again");
    occupant.reset();
    applyListeningPort(dut.panel, port);
    ctx.require(std::string(dut.panel.portState->Caption.Get().str()).empty(),
                "the port message stayed after the port was freed");
    std::unique_ptr<SimServer> sender = startSender(ctx, port);
    pickSenderInPanel(ctx, dut, kSenderName, kSenderSubject);
    sender->Stop();
    requireNoPluginFailure(ctx);
    ctx.summary = "'" + inUse + "' at once; gone, and the sender heard, once the port was free";
}

// Lines in a file that `write` appends to.
std::size_t lineCount(const std::string& path) {
    std::ifstream file(path);
    std::size_t lines = 0;
    for (std::string line; std::getline(file, line);) ++lines;
    return lines;
}

// 50,000 garbage datagrams a second to a device's stream endpoint and as many to its listening
// port, from a thread of its own until stopped.
class GarbageFlood {
public:
    GarbageFlood(std::uint64_t seed, Ipv4Endpoint stream, Ipv4Endpoint listening)
        : streamEndpoint_(stream), listening_(listening) {
        std::mt19937_64 random(seed);
        RandomDatagrams garbage(random, {});
        for (int i = 0; i < 256; ++i) {
            stream_.push_back(garbage.streamDatagram().bytes);
            announcements_.push_back(garbage.announcement());
        }
        threads_.Start([this] { Run(); });
    }
    ~GarbageFlood() { threads_.Stop(); }
    GarbageFlood(const GarbageFlood&) = delete;
    GarbageFlood& operator=(const GarbageFlood&) = delete;

    void Stop() { threads_.Stop(); }
    std::uint64_t sent() const { return sent_.load(); }

private:
    void Run() {
        UdpSocket socket;
        if (socket.open() != 0 || socket.bind({*parseIpv4("127.0.0.1"), 0}) != 0) return;
        // 50,000 a second at each port: 50 each millisecond.
        const Clock::time_point origin = Clock::now();
        for (std::size_t n = 0; !threads_.Stopping(); ++n) {
            if (n % 50 == 0) {
                const auto due = origin + std::chrono::milliseconds(n / 50);
                while (Clock::now() < due && !threads_.Stopping()) std::this_thread::yield();
            }
            const auto& d = stream_[n % stream_.size()];
            socket.sendTo(d.data(), d.size(), streamEndpoint_);
            const auto& a = announcements_[n % announcements_.size()];
            socket.sendTo(a.data(), a.size(), listening_);
            sent_.fetch_add(2, std::memory_order_relaxed);
        }
    }

    const Ipv4Endpoint streamEndpoint_, listening_;
    std::vector<std::vector<std::uint8_t>> stream_, announcements_;
    std::atomic<std::uint64_t> sent_{0};
    WorkerThreads threads_;
};

// What the device did while flooded: its lines, its threads' CPU, the frames it solved.
struct FloodFigures {
    double seconds = 0.0;
    double pluginCpu = 0.0;
    double datagramsSent = 0.0;
    double framesSent = 0.0;
    double framesSolved = 0.0;
};

FloodFigures floodTheDevice(CheckContext& ctx, DeviceUnderTest& dut, SimServer& sender,
                            std::uint16_t port, std::chrono::milliseconds duration) {
    const std::vector<int> before = processThreadIds();
    GarbageFlood flood(ctx.seed, sender.clients().front(), {*parseIpv4("127.0.0.1"), port});
    const std::vector<int> threads = processThreadIds();
    std::vector<int> plugin;  // the threads that were there before the flood's own
    for (int id : before)
        if (id != threads.front()) plugin.push_back(id);
    const std::uint64_t solvedBefore = deviceFigure(dut.device, "FramesSolved").value_or(0);
    const std::uint64_t sentBefore = sender.framesSent();
    const double cpuBefore = threadsCpuSeconds(plugin);
    const Clock::time_point start = Clock::now();
    PacedStepper stepper(kStep);
    while (Clock::now() - start < duration) stepper.step();
    FloodFigures figures;
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    figures.pluginCpu = threadsCpuSeconds(plugin) - cpuBefore;
    flood.Stop();
    figures.datagramsSent = static_cast<double>(flood.sent());
    fbhost::Host::instance().runIdle();
    figures.framesSolved =
        static_cast<double>(deviceFigure(dut.device, "FramesSolved").value_or(0) - solvedBefore);
    figures.framesSent = static_cast<double>(sender.framesSent() - sentBefore);
    return figures;
}

void checkFloodBounded(CheckContext& ctx) {
    ensureLoaded(ctx);
    ctx.seeded = true;
    const std::uint16_t port = freeUdpPort();
    std::unique_ptr<SimServer> sender = startSender(ctx, port);
    DeviceUnderTest dut;
    startStreaming(ctx, dut, port);
    ctx.require(pumpUntil([&] { return sender->clients().size() == 1; }, 3000ms, nullptr),
                "the sender has no client");

    // The plug-in's lines of the flood go to a file of their own, to be counted.
    const std::string path = ctx.options.pluginPath + ".flood-" + std::to_string(ctx.seed) + ".log";
    // Two seconds at least: a rate of lines needs more than one of the log's seconds.
    const auto duration = ctx.options.quick ? 2000ms : 3000ms;
    FloodFigures figures;
    {
        Console capture(true, path);
        ctx.step("for " + std::to_string(duration.count()) +
                 " ms: 50,000 garbage datagrams a second to the stream endpoint and as many to the "
                 "listening port");
        figures = floodTheDevice(ctx, dut, *sender, port, duration);
    }
    const std::size_t lines = lineCount(path);
    std::remove(path.c_str());
    fbhost::Host::instance().setOnline(dut.device, false);
    sender->Stop();
    requireNoPluginFailure(ctx);
    const double linesPerSecond = static_cast<double>(lines) / figures.seconds;
    char summary[240];
    std::snprintf(summary, sizeof summary,
                  "%.0f garbage datagrams/s: %.1f plug-in lines/s, the device's and sender's "
                  "threads %.0f %% of a core, %.0f of %.0f stream frames solved",
                  figures.datagramsSent / figures.seconds, linesPerSecond,
                  figures.pluginCpu / figures.seconds * 100.0, figures.framesSolved,
                  figures.framesSent);
    ctx.summary = summary;
    ctx.require(linesPerSecond <= 20.0, std::string("the log ran at ") + summary);
}

}  // namespace

std::vector<Check> discoveryChecks() {
    return {
        {{"discovery.two-servers-one-address",
          "two servers on one machine are both listed and streamed from; a second server "
          "taking one of their names is listed once"},
         checkTwoServersOneAddress},
        {{"discovery.port-in-use",
          "a listening port held by another socket is shown beside the port field at once, "
          "and listening works once it is free"},
         checkPortInUse},
        {{"log.flood-bounded",
          "50,000 garbage datagrams a second at the stream endpoint and at the listening port: "
          "the plug-in logs at most 20 lines a second, and the real stream goes on"},
         checkFloodBounded},
    };
}

}  // namespace telmora::host
