// A 10-minute capture of the walk streamed at 120 Hz, replayed by the headless host offline to
// every take file: the whole replay and its parts (reading the capture, replaying and recording,
// plotting, writing the files). Once at the device's 60 Hz, once keying each captured frame.
// The capture and the takes go to a temporary folder, removed afterwards.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include "capture/capture_writer.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"
#include "network/announcement.h"
#include "network/protocol.h"
#include "tools/host/console.h"
#include "tools/host/session.h"
#include "tools/performance/performance.h"
#include "tools/performer/performer_model.h"

namespace {

namespace fs = std::filesystem;
using namespace telmora;

constexpr double kRate = 120.0;
// TELMORA_REPLAY_BENCH_MINUTES overrides the length (for a quick look).
const int kMinutes = std::getenv("TELMORA_REPLAY_BENCH_MINUTES")
                         ? std::atoi(std::getenv("TELMORA_REPLAY_BENCH_MINUTES"))
                         : 10;

const fs::path& folder() {
    static const fs::path path =
        fs::temp_directory_path() / ("telmora-replay-bench-" + std::to_string(::getpid()));
    return path;
}

// The capture a device would have written of the shoot: an announcement, a keep-alive every
// two seconds and the frames.
const std::string& tenMinuteCapture() {
    static const std::string path = [] {
        fs::create_directories(folder());
        const std::string file = (folder() / "shoot.pcap").string();
        std::string error;
        const std::optional<Performance> walk =
            loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
        if (!walk) throw std::runtime_error(error);
        const BoneSlotMap& slots = defaultSkeleton().slots;
        std::vector<std::vector<std::uint8_t>> frames;
        for (const Skeleton& posed : walk->frames)
            frames.push_back(encodeSensorFrame(makePerformerFrame(posed, walk->rest, slots)));

        CaptureWriter writer([](LogStream, const std::string&) {});
        if (!writer.Start(file, error)) throw std::runtime_error(error);
        const Ipv4Endpoint server{0x7F000001, 5000}, client{0x7F000001, 60000};
        const auto start = std::chrono::system_clock::now();
        const std::string announcement = announcementText("Bench Stage", 5000, {"walk"});
        writer.Tap({start,
                    {0x7F000001, 5001},
                    {0x7F000001, kDefaultListenPort},
                    reinterpret_cast<const std::uint8_t*>(announcement.data()),
                    announcement.size()});
        const std::string keepAlive = "mobu:walk";
        const int count = static_cast<int>(kMinutes * 60 * kRate);
        for (int i = 0; i < count; ++i) {
            const auto at =
                start + std::chrono::microseconds(static_cast<std::int64_t>(i * 1e6 / kRate));
            if (i % static_cast<int>(2 * kRate) == 0)
                writer.Tap({at, client, server,
                            reinterpret_cast<const std::uint8_t*>(keepAlive.data()),
                            keepAlive.size()});
            const std::vector<std::uint8_t>& frame =
                frames[static_cast<std::size_t>(i) % frames.size()];
            writer.Tap({at, server, client, frame.data(), frame.size()});
            // The writer drains every tenth of a second; a capture made in a loop waits for it.
            while (writer.Figures().written + CaptureWriter::kQueueLength / 2 <
                   static_cast<std::uint64_t>(i))
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        writer.Stop();
        return file;
    }();
    return path;
}

void BM_ReplayTenMinutes(benchmark::State& state) {
    const bool keyEachFrame = state.range(0) != 0;
    std::string capture;
    try {
        capture = tenMinuteCapture();
    } catch (const std::exception& error) {
        state.SkipWithError(error.what());
        return;
    }
    host::SessionReport report;
    for (auto _ : state) {
        host::SessionOptions options;
        options.pluginPath = TELMORA_PLUGIN_PATH;
        options.replayFile = capture;
        options.rate = keyEachFrame ? "stream" : "";
        options.outDir = (folder() / "take").string();
        host::Console console(false);
        report = host::runSessionSteps(options, console);
        if (report.status != kExitOk) {
            state.SkipWithError((report.failedStep + ": " + report.failure).c_str());
            return;
        }
    }
    // The parts, by the steps the host names.
    double read = 0.0, replay = 0.0, plot = 0.0, files = 0.0;
    for (const auto& [step, seconds] : report.stepSeconds) {
        if (std::getenv("TELMORA_REPLAY_BENCH_STEPS"))
            std::fprintf(stderr, "%8.3f s  %s\n", seconds, step.c_str());
        if (step.rfind("Reading the capture", 0) == 0 ||
            step.rfind("Setting its ReplayFile", 0) == 0)
            read += seconds;
        else if (step.rfind("Replaying", 0) == 0)
            replay += seconds;
        else if (step.rfind("Plotting", 0) == 0)
            plot += seconds;
        else if (step.rfind("Writing", 0) == 0)
            files += seconds;
    }
    state.counters["read_s"] = read;
    state.counters["replay_s"] = replay;
    state.counters["plot_s"] = plot;
    state.counters["export_s"] = files;
    state.counters["keys"] = static_cast<double>(report.samplesRecorded);
}

// 0: the device's 60 Hz; 1: a key for each captured frame (120 Hz).
BENCHMARK(BM_ReplayTenMinutes)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(folder());
    return 0;
}
