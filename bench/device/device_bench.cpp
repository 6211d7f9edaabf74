// The TelmoraLink library in the stand-in host: what one live evaluation of its 65 channels
// costs, and how long a sensor frame takes from the sender's sendto to the value the next host
// evaluation writes.
#include <benchmark/benchmark.h>
#include <fbhost/host.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "motion/channel_table.h"
#include "motion/sensor_frame.h"
#include "network/socket.h"
#include "tests/common/panel_view.h"
#include "tools/performance/performance.h"
#include "tools/performer/performer_model.h"

namespace {

using namespace ORSDK2026;
using Clock = std::chrono::steady_clock;

fbhost::PluginLibrary& library() {
    static fbhost::PluginLibrary lib;
    if (!lib.isLoaded()) {
        if (!lib.load(TELMORA_PLUGIN_PATH) || !lib.callEntryPoint(kFBDllLoad)) {
            std::fprintf(stderr, "%s\n", lib.error().c_str());
            std::abort();
        }
    }
    return lib;
}

// A fresh, initialised TelmoraLink device in the host.
FBDevice* newDevice() {
    library();
    fbhost::Host& host = fbhost::Host::instance();
    host.reset();
    FBDevice* device = host.createDevice("TelmoraLink", "TelmoraLink");
    if (device == nullptr || !host.deviceOperation(device, kOpInit)) std::abort();
    return device;
}

// One AnimationNodeNotify: 65 translations and 65 rotations written as global values, with and
// without a model bound to "Reference".
void BM_AnimationNodeNotify(benchmark::State& state) {
    fbhost::Host& host = fbhost::Host::instance();
    FBDevice* device = newDevice();
    if (state.range(0) != 0) {
        FBModel* reference = host.bindTemplates(device);
        reference->Translation = FBVector3d(10.0, 0.0, 5.0);
        reference->Rotation = FBVector3d(0.0, 30.0, 0.0);
    }
    FBAnimationNode* first = host.findNode(device, "Hips T");
    first->Live = true;
    FBEvaluateInfo info(FBTime(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(device->AnimationNodeNotify(first, &info));
    }
    state.SetLabel(state.range(0) != 0 ? "reference model bound" : "no reference model");
    host.reset();
}
BENCHMARK(BM_AnimationNodeNotify)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Sender -> device latency. A stand-in server announces itself to the device, which then asks
// for a subject; frames of the synthetic walk go out at the given rate, and after each sendto
// the host evaluates flat out until the hips node holds that frame's value. The host's own
// evaluation period (a frame of its display) adds to this in a real host.
void BM_SendToEvaluationLatency(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    fbhost::Host& host = fbhost::Host::instance();
    FBDevice* device = newDevice();

    telmora::UdpSocket server;
    server.open();
    server.bind(telmora::Ipv4Endpoint{0x7F000001u, 0});
    server.setReceiveTimeout(std::chrono::milliseconds(20));
    const std::uint16_t streamPort = server.localEndpoint().value_or(telmora::Ipv4Endpoint{}).port;
    // The device listens for announcements on 22000 unless its panel says otherwise; a free
    // port of our own keeps other processes apart.
    telmora::UdpSocket probe;
    probe.open();
    probe.bind(telmora::Ipv4Endpoint{0x7F000001u, 0});
    const std::uint16_t discoveryPort =
        probe.localEndpoint().value_or(telmora::Ipv4Endpoint{}).port;
    probe.close();
    // The user types the port into the panel, then picks the server and its subject once
    // they are listed.
    std::string error;
    const std::unique_ptr<telmora::test::PanelView> panel =
        telmora::test::viewOf(host.openPanel(device), error);
    if (!panel) {
        state.SkipWithError(error.c_str());
        host.reset();
        return;
    }
    host.type(panel->editNetworkPort, std::to_string(discoveryPort));
    host.click(panel->buttonConnect);

    const std::string announcement =
        "{\"serverName\": \"Bench\", \"streamPort\": " + std::to_string(streamPort) +
        ", \"subjects\": [\"walk\"]}";
    telmora::UdpSocket announcer;
    announcer.open();
    bool selected = false;
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!selected && Clock::now() < giveUp) {
        announcer.sendTo(reinterpret_cast<const std::uint8_t*>(announcement.data()),
                         announcement.size(), telmora::Ipv4Endpoint{0x7F000001u, discoveryPort});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        host.runIdle();
        const int source = telmora::test::indexOf(panel->listSources, "Bench");
        if (source < 0) continue;
        host.pick(panel->listSources, source);
        host.pick(panel->listSubjects, telmora::test::indexOf(panel->listSubjects, "walk"));
        selected = host.setOnline(device, true);
    }
    // The client's first keep-alive tells the server where to send.
    telmora::Ipv4Endpoint client{};
    std::uint8_t buffer[256];
    bool introduced = false;
    while (selected && !introduced && Clock::now() < giveUp) {
        const auto received = server.receiveFrom(buffer, sizeof buffer);
        if (received.outcome == telmora::ReceiveOutcome::Datagram) {
            client = received.source;
            introduced = true;
        }
    }
    if (!introduced) {
        state.SkipWithError("the device did not connect");
        host.reset();
        return;
    }

    // The frames and the hips translation each one leads to, worked out beforehand.
    const telmora::Performance walk = telmora::syntheticPerformance("walk");
    telmora::ChannelTable expected;
    expected.SetupChannels();
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<telmora::ChannelRecord> hips;
    for (const telmora::Skeleton& pose : walk.frames) {
        frames.push_back(telmora::encodeSensorFrame(
            telmora::makePerformerFrame(pose, walk.rest, expected.boneSlotMap())));
        expected.HandlePacket(frames.back());
        hips.push_back(expected.snapshot().records[0]);
    }
    FBAnimationNode* hipsT = host.findNode(device, "Hips T");

    std::vector<double> latenciesUs;
    std::size_t missed = 0;
    std::size_t next = 0;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    auto due = Clock::now();
    for (auto _ : state) {
        const std::size_t f = next++ % frames.size();
        while (Clock::now() < due) {
        }
        const auto sent = Clock::now();
        server.sendTo(frames[f].data(), frames[f].size(), client);
        due = sent + period;
        bool seen = false;
        while (!seen && Clock::now() < due + period) {
            host.evaluate();
            double value[3];
            hipsT->Evaluate(value, host.localTime());
            seen = std::fabs(value[0] - hips[f].translation[0]) < 1e-9 &&
                   std::fabs(value[1] - hips[f].translation[1]) < 1e-9 &&
                   std::fabs(value[2] - hips[f].translation[2]) < 1e-9;
        }
        if (seen) {
            latenciesUs.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        } else {
            ++missed;
        }
    }
    if (!latenciesUs.empty()) {
        std::sort(latenciesUs.begin(), latenciesUs.end());
        state.counters["median_us"] = latenciesUs[latenciesUs.size() / 2];
        state.counters["p99_us"] = latenciesUs[(latenciesUs.size() * 99) / 100];
    }
    state.counters["missed"] = static_cast<double>(missed);
    host.reset();
}
BENCHMARK(BM_SendToEvaluationLatency)
    ->Arg(60)
    ->Arg(1000)
    ->Iterations(600)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
