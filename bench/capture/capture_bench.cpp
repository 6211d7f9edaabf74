// What a raw capture costs the thread that receives: handing one datagram to the capture
// writer (a copy into its queue under a short lock), with the writer thread writing to a
// temporary file at the same time. The writer drains its queue every tenth of a second, so the
// benchmark hands datagrams over in batches of a stream's second and waits, untimed, for each
// batch to be written.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture_writer.h"

namespace {

using namespace telmora;

void BM_TapOneDatagram(benchmark::State& state) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("telmora-capture-bench-" + std::to_string(::getpid()) + ".pcap");
    CaptureWriter writer([](LogStream, const std::string&) {});
    std::string error;
    if (!writer.Start(file.string(), error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const std::vector<std::uint8_t> frame(static_cast<std::size_t>(state.range(0)), 0x5A);
    const Ipv4Endpoint server{0x7F000001, 5000}, client{0, 60000};
    constexpr int kBatch = 120;  // a second of a 120 Hz stream
    std::uint64_t handed = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            writer.Tap(
                {std::chrono::system_clock::now(), server, client, frame.data(), frame.size()});
        handed += kBatch;
        state.PauseTiming();
        while (writer.Figures().written < handed)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(handed));
    state.counters["dropped"] = static_cast<double>(writer.Figures().dropped);
    writer.Stop();
    std::filesystem::remove(file);
}

// The argument is the datagram's size: a sensor frame, and the largest stream datagram.
// Each iteration waits (untimed) for its batch to be written: a fixed count keeps it short.
BENCHMARK(BM_TapOneDatagram)->Arg(246)->Arg(4096)->Iterations(30)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
