// The per-datagram cost: the solver alone, and one whole sensor datagram through the channel
// table (decode, solve, 65 global transforms, Euler angles, hand-over to readers).

#include <benchmark/benchmark.h>

#include <cmath>

#include "motion/body_solver.h"
#include "motion/channel_table.h"

namespace telmora {
namespace {

// A standing performer with bent limbs and fingers, every stage doing real work.
SensorFrame benchFrame() {
    SensorFrame f;
    f.formatVersion = 2;
    f.hipsHeight = 0.97f;
    f.rootPosition = glm::vec3(0.1f, 0.97f, 0.2f);
    f.targets[kLeftArmTarget] = {{0.35f, -0.25f, 0.15f}, {0.0f, 0.3f, -0.9f}, 0.5f};
    f.targets[kRightArmTarget] = {{-0.35f, -0.25f, 0.15f}, {0.0f, 0.3f, -0.9f}, 0.5f};
    f.targets[kLeftLegTarget] = {{0.02f, -0.74f, 0.08f}, {0.0f, 0.0f, 1.0f}, 0.78f};
    f.targets[kRightLegTarget] = {{-0.02f, -0.74f, 0.08f}, {0.0f, 0.0f, 1.0f}, 0.78f};
    f.targets[kSpineTarget] = {{0.01f, 0.18f, 0.03f}, {0.0f, 0.0f, -1.0f}, 0.2f};
    f.targets[kHeadTarget] = {{0.01f, 0.06f, 0.02f}, {0.0f, 0.0f, -1.0f}, 0.065f};
    for (int t = kLeftThumbTarget; t <= kRightPinkyTarget; ++t) {
        const float side = (t % 2 == 0) ? 1.0f : -1.0f;
        f.targets[t] = {{side * 0.07f, -0.02f, 0.03f}, {0.0f, 0.0f, 0.0f}, 0.09f};
    }
    f.auxValues[6] = 0.19f;
    f.auxValues[7] = 0.52f;
    f.auxValues[9] = -0.19f;
    f.auxValues[10] = 0.52f;
    f.hipsRotation = glm::angleAxis(0.3f, glm::vec3(0.0f, 1.0f, 0.0f));
    f.leftHandRotation = glm::angleAxis(0.4f, glm::normalize(glm::vec3(1.0f, 0.2f, 0.0f)));
    f.rightHandRotation = glm::angleAxis(-0.4f, glm::normalize(glm::vec3(1.0f, -0.2f, 0.0f)));
    f.leftShoulderRotation = glm::angleAxis(0.1f, glm::vec3(0.0f, 0.0f, 1.0f));
    f.rightShoulderRotation = glm::angleAxis(-0.1f, glm::vec3(0.0f, 0.0f, 1.0f));
    return f;
}

// The device's default skeleton and slot map.
struct DefaultDevice {
    Skeleton skeleton;
    BoneSlotMap slots = emptySlotMap();
    DefaultDevice() { buildDefaultSkeleton(skeleton, slots); }
};

void BM_Solve(benchmark::State& state) {
    const DefaultDevice device;
    const SensorFrame frame = decodeSensorFrame(encodeSensorFrame(benchFrame()));
    Skeleton out;
    for (auto _ : state) {
        BodySolver().solve(frame, device.skeleton, device.slots, out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_Solve);

// The literal reading, for comparison: every world query walks the node chain with matrices.
void BM_SolveRecursiveNodes(benchmark::State& state) {
    const DefaultDevice device;
    const SensorFrame frame = decodeSensorFrame(encodeSensorFrame(benchFrame()));
    Skeleton out;
    for (auto _ : state) {
        BodySolver().solve(frame, device.skeleton, device.slots, out, NodeEvaluation::kRecursive);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_SolveRecursiveNodes);

void BM_ChannelValues(benchmark::State& state) {
    const DefaultDevice device;
    Skeleton solved;
    BodySolver().solve(benchFrame(), device.skeleton, device.slots, solved);
    ChannelRecord records[kMaxChannels];
    for (auto _ : state) {
        benchmark::DoNotOptimize(writeChannelValues(solved, kMaxChannels, records));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ChannelValues);

void BM_ChannelValuesByMatrices(benchmark::State& state) {
    const DefaultDevice device;
    Skeleton solved;
    BodySolver().solve(benchFrame(), device.skeleton, device.slots, solved);
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
    const std::vector<std::uint8_t> datagram = encodeSensorFrame(benchFrame());
    for (auto _ : state) table.HandlePacket(datagram);
    if (table.framesDropped() != 0) state.SkipWithError("frames were dropped");
}
BENCHMARK(BM_HandleSensorDatagram);

void BM_Snapshot(benchmark::State& state) {
    ChannelTable table;
    table.SetupChannels();
    table.HandlePacket(encodeSensorFrame(benchFrame()));
    for (auto _ : state) benchmark::DoNotOptimize(table.snapshot());
}
BENCHMARK(BM_Snapshot);

}  // namespace
}  // namespace telmora

BENCHMARK_MAIN();
