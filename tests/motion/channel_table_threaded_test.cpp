// One writer thread feeding frames through HandlePacket, reader threads taking snapshots: no
// snapshot may mix two frames.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "motion/channel_table.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

// Frames differ only in the hips position, by 1 cm in x per frame number, so every bone of
// frame n sits at its frame-0 position plus (n, 0, 0) cm (host axes: the sender's x). A torn
// snapshot shows up as bones whose shift disagrees with the hips', or with the sequence.
std::vector<std::uint8_t> shiftedFrame(int n) {
    SensorFrame frame = test::standingFrame();
    frame.rootPosition.x = 0.01f * static_cast<float>(n);
    return encodeSensorFrame(frame);
}

TEST(ChannelTableThreads, ReadersNeverSeeATornFrame) {
    ChannelTable table;
    table.SetupChannels();
    table.HandlePacket(shiftedFrame(0));
    const ChannelSnapshot base = table.snapshot();
    const std::uint64_t baseSequence = base.frameSequence;

    constexpr int kFrames = 3000;
    constexpr int kReaders = 3;
    std::atomic<bool> writerDone{false};
    std::atomic<int> torn{0};
    std::atomic<long> checked{0};

    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            while (!writerDone.load(std::memory_order_acquire)) {
                const ChannelSnapshot snap = table.snapshot();
                const double shift =
                    snap.records[0].translation[0] - base.records[0].translation[0];
                // Frame n of each replay pass was published as the (n)th sequence after the
                // base, modulo the pass length.
                const std::uint64_t published = snap.frameSequence - baseSequence;
                const double n =
                    published == 0 ? 0.0 : static_cast<double>((published - 1) % kFrames + 1);
                bool consistent = snap.channelCount == kMaxChannels && std::fabs(shift - n) < 0.05;
                for (int i = 1; i < kMaxChannels && consistent; ++i) {
                    const ChannelRecord& now = snap.records[i];
                    const ChannelRecord& then = base.records[i];
                    consistent =
                        std::fabs(now.translation[0] - then.translation[0] - shift) < 0.05 &&
                        std::fabs(now.translation[1] - then.translation[1]) < 0.05 &&
                        std::fabs(now.translation[2] - then.translation[2]) < 0.05 &&
                        std::fabs(now.rotation[0] - then.rotation[0]) < 0.05 &&
                        std::fabs(now.rotation[1] - then.rotation[1]) < 0.05 &&
                        std::fabs(now.rotation[2] - then.rotation[2]) < 0.05;
                }
                if (!consistent) torn.fetch_add(1);
                checked.fetch_add(1);
            }
        });
    }

    std::vector<std::vector<std::uint8_t>> datagrams;
    for (int n = 1; n <= kFrames; ++n) datagrams.push_back(shiftedFrame(n));
    std::thread writer([&] {
        // Start once every reader is reading, and keep going until they have read a good deal
        // while frames change (bounded: the frames are replayed at most 20 times).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (int pass = 0; pass < 20; ++pass) {
            for (int n = 1; n <= kFrames; ++n) table.HandlePacket(datagrams[n - 1]);
            if (checked.load() > 2000 || std::chrono::steady_clock::now() > deadline) break;
        }
        writerDone.store(true, std::memory_order_release);
    });
    writer.join();
    for (std::thread& t : readers) t.join();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(checked.load(), 0);
    EXPECT_EQ(table.framesDropped(), 0u);
}

}  // namespace
}  // namespace telmora
