// The stream's health figures from the verdicts the receive thread records.

#include "live/stream_health.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

namespace telmora {
namespace {

using Clock = StreamHealth::Clock;
using std::chrono::milliseconds;

TEST(StreamHealth, CountsRateSilenceAndGaps) {
    StreamHealth health;
    const Clock::time_point start = Clock::now();
    health.Restart(start);
    Clock::time_point t = start;
    // 1.5 s at 120 Hz, a refusal of each kind on the way.
    for (int i = 0; i < 180; ++i) {
        t = start + std::chrono::microseconds(8333 * i);
        health.Record(DatagramVerdict::kAccepted, t);
    }
    health.Record(DatagramVerdict::kNotAFrame, t);
    health.Record(DatagramVerdict::kUndecodable, t);
    StreamHealthSnapshot s = health.Snapshot(t + milliseconds(8));
    EXPECT_EQ(s.framesAccepted, 180u);
    EXPECT_EQ(s.refusedNotAFrame, 1u);
    EXPECT_EQ(s.refusedUndecodable, 1u);
    EXPECT_NEAR(s.rateHz, 120.0, 0.5);
    EXPECT_NEAR(s.silenceSeconds, 0.008, 1e-6);
    EXPECT_EQ(s.gapCount, 0u);

    // Silent for 0.5 s: stale while it lasts, a gap once a frame ends it; a silence of the
    // stale time itself is none.
    const Clock::time_point quiet = t;
    EXPECT_NEAR(health.SilenceSeconds(quiet + milliseconds(400)), 0.4, 1e-6);
    t = quiet + milliseconds(500);
    health.Record(DatagramVerdict::kAccepted, t);
    t += milliseconds(250);
    health.Record(DatagramVerdict::kAccepted, t);
    s = health.Snapshot(t);
    EXPECT_EQ(s.gapCount, 1u);
    EXPECT_NEAR(s.longestGapSeconds, 0.5, 1e-9);
    EXPECT_NEAR(s.totalGapSeconds, 0.5, 1e-9);
    EXPECT_NEAR(s.lastGapSeconds, 0.5, 1e-9);
    // No frame for a second: no rate.
    EXPECT_EQ(health.Snapshot(t + milliseconds(1000)).rateHz, 0.0);

    // A restart forgets everything; the silence runs from it.
    health.Restart(t);
    s = health.Snapshot(t + milliseconds(100));
    EXPECT_EQ(s.framesAccepted, 0u);
    EXPECT_EQ(s.gapCount, 0u);
    EXPECT_FALSE(s.anyFrame);
    EXPECT_NEAR(s.silenceSeconds, 0.1, 1e-6);
}

TEST(StreamHealth, StaleTimeRefusesWhatIsNoDuration) {
    StreamHealth health;
    for (double bad : {0.0, -1.0, std::nan(""), 1.0 / 0.0}) {
        health.SetStaleSeconds(bad);
        EXPECT_EQ(health.staleSeconds(), StreamHealth::kDefaultStaleSeconds) << bad;
    }
    health.SetStaleSeconds(2.0);
    EXPECT_EQ(health.staleSeconds(), 2.0);
}

// Every frame the writer records ends a gap of exactly one second: a snapshot that mixed two
// moments of the writer would show counts and totals that disagree.
TEST(StreamHealth, SnapshotsAreOneMomentOfTheWriter) {
    StreamHealth health;
    const Clock::time_point start = Clock::now();
    health.Restart(start);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; i <= 20000; ++i)
            health.Record(DatagramVerdict::kAccepted, start + std::chrono::seconds(i));
        done.store(true);
    });
    int torn = 0;
    std::uint64_t seen = 0;
    while (!done.load()) {
        const StreamHealthSnapshot s = health.Snapshot(start);
        if (s.gapCount != s.framesAccepted || s.totalGapSeconds != static_cast<double>(s.gapCount))
            ++torn;
        seen = s.framesAccepted;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_LE(seen, 20000u);
    EXPECT_EQ(health.Snapshot(start).gapCount, 20000u);
}

}  // namespace
}  // namespace telmora
