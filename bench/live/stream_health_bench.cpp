// What the stream's health figures cost: one datagram recorded on the receive thread, and one
// snapshot read on the host's thread.
#include <benchmark/benchmark.h>

#include "live/stream_health.h"

namespace {

using telmora::DatagramVerdict;
using telmora::StreamHealth;

void BM_RecordAcceptedFrame(benchmark::State& state) {
    StreamHealth health;
    StreamHealth::Clock::time_point t = StreamHealth::Clock::now();
    health.Restart(t);
    for (auto _ : state) {
        t += std::chrono::microseconds(8333);
        health.Record(DatagramVerdict::kAccepted, t);
    }
    benchmark::DoNotOptimize(health.Snapshot(t).framesAccepted);
}
BENCHMARK(BM_RecordAcceptedFrame);

// As the hardware does it: the clock read included.
void BM_RecordWithClock(benchmark::State& state) {
    StreamHealth health;
    for (auto _ : state) health.Record(DatagramVerdict::kAccepted, StreamHealth::Clock::now());
}
BENCHMARK(BM_RecordWithClock);

void BM_Snapshot(benchmark::State& state) {
    StreamHealth health;
    const StreamHealth::Clock::time_point t = StreamHealth::Clock::now();
    health.Record(DatagramVerdict::kAccepted, t);
    for (auto _ : state) benchmark::DoNotOptimize(health.Snapshot(t));
}
BENCHMARK(BM_Snapshot);

}  // namespace

BENCHMARK_MAIN();
