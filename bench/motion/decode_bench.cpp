// Decoding one sensor datagram: the receive thread does this for every frame.
#include <benchmark/benchmark.h>

#include <random>

#include "motion/sensor_frame.h"

namespace {

std::vector<std::uint8_t> sampleDatagram() {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> d(telmora::kSensorFrameMinSize);
    for (auto& b : d) b = static_cast<std::uint8_t>(rng());
    d[0] = telmora::kSensorFramePacket;
    d[1] = 2;
    return d;
}

void BM_DecodeSensorFrame(benchmark::State& state) {
    const std::vector<std::uint8_t> datagram = sampleDatagram();
    for (auto _ : state) {
        telmora::SensorFrame frame = telmora::decodeSensorFrame(datagram);
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(BM_DecodeSensorFrame)->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
