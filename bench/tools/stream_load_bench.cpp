// Load run: the test sender streams the recorded walk at 1000 frames per second for 10 seconds
// into the stream monitor, which solves every frame as the plug-in would. Reports frames sent,
// solved and lost, and the monitor's CPU share.
//
// The sender runs in a child process so that the monitor's process time is its own.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "network/socket.h"
#include "tools/monitor/stream_monitor.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr double kRate = 1000.0;
constexpr double kStreamSeconds = 10.0;

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec * 1e-6;
}

std::uint16_t freePort() {
    telmora::UdpSocket probe;
    probe.open();
    probe.bind({0x7F000001u, 0});
    const std::uint16_t port = probe.localEndpoint().value_or(telmora::Ipv4Endpoint{}).port;
    probe.close();
    return port;
}

// The sender's side, in the child: serve the walk on `streamPort`, say "ready", stream for
// kStreamSeconds from the first client on, stop (end marker), report frames sent.
[[noreturn]] void runSender(std::uint16_t streamPort, std::uint16_t announcePort, int reportFd) {
    std::string error;
    std::optional<telmora::Performance> walk = telmora::loadPerformance(
        std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
    if (!walk) _exit(3);
    telmora::SimServerConfig config;
    config.serverName = "Load Sim";
    config.streamPort = streamPort;
    config.announcePort = announcePort;
    config.frameRate = kRate;
    telmora::SimServer server(config,
                              {{"walk", std::make_shared<const telmora::Performance>(*walk)}},
                              [](telmora::LogStream, const std::string&) {});
    if (!server.Start(error)) _exit(4);
    const char ready = 'r';
    if (write(reportFd, &ready, 1) != 1) _exit(5);
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
    while (server.clients().empty() && Clock::now() < giveUp)
        std::this_thread::sleep_for(milliseconds(1));
    std::this_thread::sleep_for(
        std::chrono::duration<double>(kStreamSeconds));  // the load's length
    server.Stop();
    const std::uint64_t sent = server.framesSent();
    if (write(reportFd, &sent, sizeof sent) != sizeof sent) _exit(6);
    _exit(0);
}

void BM_StreamWalkAt1000Hz(benchmark::State& state) {
    for (auto _ : state) {
        const std::uint16_t streamPort = freePort();
        const std::uint16_t announcePort = freePort();
        int fds[2];
        if (pipe(fds) != 0) {
            state.SkipWithError("pipe failed");
            return;
        }
        const pid_t child = fork();
        if (child < 0) {
            state.SkipWithError("fork failed");
            return;
        }
        if (child == 0) {
            close(fds[0]);
            runSender(streamPort, announcePort, fds[1]);
        }
        close(fds[1]);
        char ready = 0;
        if (read(fds[0], &ready, 1) != 1) {
            state.SkipWithError("sender did not start");
            waitpid(child, nullptr, 0);
            return;
        }

        telmora::StreamMonitor monitor([](telmora::LogStream, const std::string&) {});
        const double cpuBefore = processCpuSeconds();
        const Clock::time_point start = Clock::now();
        monitor.Connect("127.0.0.1", streamPort, "walk");
        const bool ended = monitor.waitForStreamEnd(std::chrono::seconds(60));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = processCpuSeconds() - cpuBefore;
        monitor.Disconnect();

        std::uint64_t sent = 0;
        const bool reported = read(fds[0], &sent, sizeof sent) == sizeof sent;
        close(fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        if (!ended || !reported) {
            state.SkipWithError("the stream did not end properly");
            return;
        }
        double median = 0.0, p99 = 0.0;
        monitor.solveTimes(median, p99);
        const double received = static_cast<double>(monitor.framesReceived());
        state.counters["frames_sent"] = static_cast<double>(sent);
        state.counters["frames_received"] = received;
        state.counters["frames_solved"] = static_cast<double>(monitor.framesSolved());
        state.counters["frames_lost"] = static_cast<double>(sent) - received;
        state.counters["frames_dropped_malformed"] = static_cast<double>(monitor.framesDropped());
        state.counters["monitor_cpu_percent"] = 100.0 * cpu / wall;
        state.counters["solve_median_ms"] = median;
        state.counters["solve_p99_ms"] = p99;
        std::printf(
            "sent %llu, received %.0f, solved %llu, lost %.0f, monitor CPU %.1f %% of one core "
            "over %.1f s; solve median %.3f ms, p99 %.3f ms\n",
            static_cast<unsigned long long>(sent), received,
            static_cast<unsigned long long>(monitor.framesSolved()),
            static_cast<double>(sent) - received, 100.0 * cpu / wall, wall, median, p99);
    }
}
BENCHMARK(BM_StreamWalkAt1000Hz)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
