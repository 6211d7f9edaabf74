// Datagrams from a loopback sender through UdpStreamClient to its packet callback:
// how many get through at the server's pace and flat out, and how long each takes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "network/udp_stream_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using telmora::Ipv4Endpoint;

constexpr std::size_t kFrameSize = 246;  // one sensor frame

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A server socket on 127.0.0.1 and a client streaming from it, connected and introduced.
class StreamRig {
public:
    StreamRig() : client([](telmora::LogStream, const std::string&) {}) {
        server.open();
        server.bind(Ipv4Endpoint{0x7F000001u, 0});
        server.setReceiveTimeout(std::chrono::milliseconds(50));
        const std::uint16_t port = server.localEndpoint().value_or(Ipv4Endpoint{}).port;

        client.SetPacketCallback([this](const std::vector<std::uint8_t>& packet) {
            if (packet.size() != kFrameSize) return;  // the end-of-stream marker
            std::int64_t sentNs = 0;
            std::memcpy(&sentNs, packet.data() + 8, sizeof sentNs);
            if (recordLatency.load(std::memory_order_relaxed)) {
                latenciesNs.push_back(nowNs() - sentNs);
            }
            lastDeliveryNs.store(nowNs(), std::memory_order_relaxed);
            delivered.fetch_add(1, std::memory_order_release);
        });
        client.Connect("127.0.0.1", port, "Bench");

        std::uint8_t buffer[64];
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            const auto received = server.receiveFrom(buffer, sizeof buffer);
            if (received.outcome == telmora::ReceiveOutcome::Datagram) {
                clientEndpoint = received.source;
                ready = true;
                break;
            }
        }
        frame.assign(kFrameSize, 0);
        frame[0] = 6;
        frame[1] = 2;
    }

    ~StreamRig() { client.Disconnect(); }

    void send(std::uint64_t sequence) {
        std::memcpy(frame.data() + 16, &sequence, sizeof sequence);
        const std::int64_t sentNs = nowNs();
        std::memcpy(frame.data() + 8, &sentNs, sizeof sentNs);
        server.sendTo(frame.data(), frame.size(), clientEndpoint);
    }

    // Waits until `count` datagrams have arrived, or until none has for `quiet`.
    std::uint64_t settle(std::uint64_t count, std::chrono::milliseconds quiet) {
        std::uint64_t seen = delivered.load(std::memory_order_acquire);
        auto lastChange = Clock::now();
        while (seen < count && Clock::now() - lastChange < quiet) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::uint64_t now = delivered.load(std::memory_order_acquire);
            if (now != seen) {
                seen = now;
                lastChange = Clock::now();
            }
        }
        return seen;
    }

    telmora::UdpSocket server;
    telmora::UdpStreamClient client;
    Ipv4Endpoint clientEndpoint;
    bool ready = false;
    std::vector<std::uint8_t> frame;
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::int64_t> lastDeliveryNs{0};
    std::atomic<bool> recordLatency{false};
    std::vector<std::int64_t> latenciesNs;  // written by the receive thread only while recording
};

// The server's pace: 10,000 frames a second for 5 seconds. Target: none lost.
void BM_PacedStream(benchmark::State& state) {
    const int rate = 10000;
    const int seconds = 5;
    const std::uint64_t total = static_cast<std::uint64_t>(rate) * seconds;
    for (auto _ : state) {
        StreamRig rig;
        if (!rig.ready) {
            state.SkipWithError("no keep-alive from the client");
            return;
        }
        const auto start = Clock::now();
        const auto interval = std::chrono::nanoseconds(1000000000 / rate);
        for (std::uint64_t i = 0; i < total; ++i) {
            const auto due = start + interval * static_cast<std::int64_t>(i);
            // Sleep the long gaps, spin the last stretch: sleeps overshoot by tens of µs.
            while (Clock::now() < due) {
                if (due - Clock::now() > std::chrono::microseconds(200)) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                } else {
                    std::this_thread::yield();
                }
            }
            rig.send(i);
        }
        const std::uint64_t got = rig.settle(total, std::chrono::milliseconds(500));
        state.counters["sent"] = static_cast<double>(total);
        state.counters["delivered"] = static_cast<double>(got);
        state.counters["lost"] = static_cast<double>(total - got);
        state.counters["send_seconds"] =
            std::chrono::duration<double>(Clock::now() - start).count();
    }
}
BENCHMARK(BM_PacedStream)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Flat out: the sender never waits. Reports the rate the callback sees and what was lost.
void BM_UnpacedStream(benchmark::State& state) {
    const std::uint64_t total = 200000;
    for (auto _ : state) {
        StreamRig rig;
        if (!rig.ready) {
            state.SkipWithError("no keep-alive from the client");
            return;
        }
        const std::int64_t startNs = nowNs();
        for (std::uint64_t i = 0; i < total; ++i) rig.send(i);
        const std::int64_t sentNs = nowNs();
        const std::uint64_t got = rig.settle(total, std::chrono::milliseconds(300));
        const double spanSeconds = static_cast<double>(rig.lastDeliveryNs.load() - startNs) / 1e9;
        state.counters["sent_per_second"] =
            static_cast<double>(total) / (static_cast<double>(sentNs - startNs) / 1e9);
        state.counters["delivered_per_second"] =
            spanSeconds > 0 ? static_cast<double>(got) / spanSeconds : 0;
        state.counters["delivered"] = static_cast<double>(got);
        state.counters["lost"] = static_cast<double>(total - got);
    }
}
BENCHMARK(BM_UnpacedStream)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One datagram at a time: from just before sendto to the callback. Target: p99 under 100 µs.
void BM_DeliveryLatency(benchmark::State& state) {
    StreamRig rig;
    if (!rig.ready) {
        state.SkipWithError("no keep-alive from the client");
        return;
    }
    rig.latenciesNs.reserve(static_cast<std::size_t>(state.max_iterations) + 16);
    rig.recordLatency.store(true);
    std::uint64_t sequence = 0;
    std::uint64_t lost = 0;
    for (auto _ : state) {
        const std::uint64_t before = rig.delivered.load(std::memory_order_acquire);
        rig.send(sequence++);
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (rig.delivered.load(std::memory_order_acquire) == before) {
            if (Clock::now() > deadline) {
                ++lost;
                break;
            }
            std::this_thread::yield();
        }
    }
    // Joining the receive thread makes every sample it wrote visible here.
    rig.client.Disconnect();
    std::vector<std::int64_t> samples = rig.latenciesNs;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        if (samples.empty()) return 0.0;
        const auto index = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
        return static_cast<double>(samples[index]) / 1000.0;
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = at(1.0);
    state.counters["lost"] = static_cast<double>(lost);
}
BENCHMARK(BM_DeliveryLatency)->Iterations(20000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
