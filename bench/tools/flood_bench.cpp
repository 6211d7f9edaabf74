// A garbage flood at both of a device's sockets while the recorded walk streams at 120 Hz: the
// discovery service on the listening port and a stream client solving every frame into a
// channel table, as the plug-in's hardware has them, on loopback. Reported per flood rate (all
// datagrams a second, half at each socket, random bytes and broken announcements): the CPU
// time of the receiving threads per second of wall time (their thread CPU clocks), and the
// stream's frames lost (sent by the sender, not solved).
//
// Linux only: the thread clocks are read from /proc/self/task/*/schedstat.

#include <benchmark/benchmark.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "motion/channel_table.h"
#include "network/discovery_service.h"
#include "network/socket.h"
#include "network/udp_stream_client.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace {

using namespace telmora;
using Clock = std::chrono::steady_clock;

std::vector<int> threadIds() {
    std::vector<int> ids;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.') ids.push_back(std::atoi(entry->d_name));
        closedir(tasks);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// CPU time of the threads, seconds (the scheduler's nanosecond clock of each).
double cpuSeconds(const std::vector<int>& ids) {
    double total = 0.0;
    for (int id : ids) {
        std::ifstream stat("/proc/self/task/" + std::to_string(id) + "/schedstat");
        double nanos = 0.0;
        if (stat >> nanos) total += nanos / 1e9;
    }
    return total;
}

// Garbage as a misconfigured neighbour sends it: random bytes, and announcements cut short or
// with members of the wrong type.
std::vector<std::vector<std::uint8_t>> garbage(std::mt19937_64& random, bool announcements) {
    std::vector<std::vector<std::uint8_t>> out;
    const std::string real =
        R"({"pluginName":"quorvel","serverName":"Neighbour","streamPort":5000,"subjects":["A"]})";
    const std::vector<std::string> broken = {
        R"({"serverName":1,"streamPort":5000,"subjects":[]})",
        R"({"serverName":"N","streamPort":"5000","subjects":[]})",
        R"({"serverName":"N","streamPort":5000,"subjects":"A"})", R"([1,2,3])"};
    for (int i = 0; i < 256; ++i) {
        std::vector<std::uint8_t> d;
        if (announcements && i % 2 == 0) {
            const std::string text = i % 4 == 0 ? real.substr(0, 1 + random() % (real.size() - 1))
                                                : broken[random() % broken.size()];
            d.assign(text.begin(), text.end());
        } else {
            d.resize(8 + random() % 300);
            for (auto& byte : d) byte = static_cast<std::uint8_t>(random());
        }
        out.push_back(std::move(d));
    }
    return out;
}

void BM_FloodWhileStreaming(benchmark::State& state) {
    const double floodRate = static_cast<double>(state.range(0));
    std::string error;
    const std::optional<Performance> walk =
        loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
    if (!walk) {
        state.SkipWithError(error.c_str());
        return;
    }
    UdpSocket probe;
    probe.open();
    probe.bind({*parseIpv4("127.0.0.1"), 0});
    const std::uint16_t listenPort = probe.localEndpoint()->port;
    probe.close();

    SimServerConfig config;
    config.serverName = "Flood Bench";
    config.announcePort = listenPort;
    config.frameRate = 120.0;
    SimServer sender(config, {{"walk", std::make_shared<const Performance>(*walk)}},
                     [](LogStream, const std::string&) {});
    if (!sender.Start(error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::vector<int> before = threadIds();

    // The device's side: discovery and the stream, every frame solved.
    const LogWriter quiet = boundedLogWriter([](LogStream, const std::string&) {});
    DiscoveryService discovery(quiet);
    discovery.Start(listenPort);
    ChannelTable table;
    table.SetupChannels();
    UdpStreamClient client(quiet);
    client.SetPacketCallback(
        [&](const std::vector<std::uint8_t>& datagram) { table.HandlePacket(datagram); });
    client.Connect("127.0.0.1", sender.streamPort(), "walk");
    while (sender.clients().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Ipv4Endpoint streamEndpoint = sender.clients().front();
    std::vector<int> device;
    for (int id : threadIds())
        if (!std::binary_search(before.begin(), before.end(), id)) device.push_back(id);

    std::mt19937_64 random(20261209);
    const auto stream = garbage(random, false);
    const auto announcements = garbage(random, true);
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        if (floodRate <= 0.0) return;
        UdpSocket socket;
        if (socket.open() != 0 || socket.bind({*parseIpv4("127.0.0.1"), 0}) != 0) return;
        const Ipv4Endpoint listening{*parseIpv4("127.0.0.1"), listenPort};
        const Clock::time_point origin = Clock::now();
        const double pairsPerSecond = floodRate / 2.0;
        for (std::size_t n = 0; !stop.load(); ++n) {
            // Paced in steps of 64 pairs.
            if (n % 64 == 0) {
                const auto due =
                    origin +
                    std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(n) / pairsPerSecond));
                while (Clock::now() < due && !stop.load()) std::this_thread::yield();
            }
            const auto& d = stream[n % stream.size()];
            socket.sendTo(d.data(), d.size(), streamEndpoint);
            const auto& a = announcements[n % announcements.size()];
            socket.sendTo(a.data(), a.size(), listening);
        }
    });

    double cpu = 0.0, wall = 0.0;
    std::uint64_t sent = 0, solved = 0;
    for (auto _ : state) {
        const std::uint64_t sentBefore = sender.framesSent();
        const std::uint64_t solvedBefore = table.framesSolved();
        const double cpuBefore = cpuSeconds(device);
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        wall += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += cpuSeconds(device) - cpuBefore;
        // The frames in flight at the window's end land within a few milliseconds.
        const std::uint64_t sentAfter = sender.framesSent();
        const Clock::time_point settle = Clock::now() + std::chrono::milliseconds(200);
        while (table.framesSolved() - solvedBefore < sentAfter - sentBefore &&
               Clock::now() < settle)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sent += sentAfter - sentBefore;
        solved += std::min(table.framesSolved() - solvedBefore, sentAfter - sentBefore);
    }
    // FLOOD_BENCH_THREADS=1: each receiving thread's CPU time, to see where it goes.
    if (std::getenv("FLOOD_BENCH_THREADS"))
        for (int id : device) std::fprintf(stderr, "thread %d: %.3f s\n", id, cpuSeconds({id}));
    stop.store(true);
    flood.join();
    client.Disconnect();
    discovery.Stop();
    sender.Stop();
    state.counters["cpu_percent"] = 100.0 * cpu / wall;

    state.counters["frames_sent"] = static_cast<double>(sent);
    state.counters["frames_lost"] = static_cast<double>(sent - solved);
    state.counters["servers_listed"] = static_cast<double>(discovery.GetServers().size());
}
BENCHMARK(BM_FloodWhileStreaming)
    ->Arg(0)
    ->Arg(50000)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
