// The per-datagram cost: the solver alone, and one whole sensor datagram through the channel
// table (decode, solve, 65 global transforms, Euler angles, hand-over to readers).

#include <benchmark/benchmark.h>

#include <cmath>

#include "motion/body_solver.h"
#include "motion/channel_table.h"
#include "support/standing_frame.h"

namespace telmora {
namespace {

void BM_Solve(benchmark::State& state) {
    const DefaultSkeleton& device = defaultSkeleton();
    const SensorFrame frame = decodeSensorFrame(encodeSensorFrame(test::standingFrame()));
    Skeleton out;
    for (auto _ : state) {
        BodySolver().solve(frame, device.skeleton, device.slots, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Solve);

// The literal reading, for comparison: every world query walks the node chain with matrices.
void BM_SolveRecursiveNodes(benchmark::State& state) {
    const DefaultSkeleton& device = defaultSkeleton();
    const SensorFrame frame = decodeSensorFrame(encodeSensorFrame(test::standingFrame()));
    Skeleton out;
    for (auto _ : state) {
        BodySolver().solve(frame, device.skeleton, device.slots, out, NodeEvaluation::kRecursive);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_SolveRecursiveNodes);

void BM_ChannelValues(benchmark::State& state) {
    const DefaultSkeleton& device = defaultSkeleton();
    Skeleton solved;
    BodySolver().solve(test::standingFrame(), device.skeleton, device.slots, solved);
    ChannelRecord records[kMaxChannels];
    for (auto _ : state) {
        benchmark::DoNotOptimize(writeChannelValues(solved, kMaxChannels, records));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ChannelValues);

void BM_ChannelValuesByMatrices(benchmark::State& state) {
    const DefaultSkeleton& device = defaultSkeleton();
    Skeleton solved;
    BodySolver().solve(test::standingFrame(), device.skeleton, device.slots, solved);
    ChannelRecord records[kMaxChannels];
    for (auto _ : state) {
        benchmark::DoNotOptimize(writeChannelValuesByMatrices(solved, kMaxChannels, records));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ChannelValuesByMatrices);

void BM_HandleSensorDatagram(benchmark::State& state) {
    ChannelTable table;
    table.SetupChannels();
    const std::vector<std::uint8_t> datagram = encodeSensorFrame(test::standingFrame());
    for (auto _ : state) table.HandlePacket(datagram);
    if (table.framesDropped() != 0) state.SkipWithError("frames were dropped");
}
BENCHMARK(BM_HandleSensorDatagram);

void BM_Snapshot(benchmark::State& state) {
    ChannelTable table;
    table.SetupChannels();
    table.HandlePacket(encodeSensorFrame(test::standingFrame()));
    for (auto _ : state) benchmark::DoNotOptimize(table.snapshot());
}
BENCHMARK(BM_Snapshot);

}  // namespace
}  // namespace telmora

BENCHMARK_MAIN();
