#include "live/stream_health.h"

#include <cmath>

namespace telmora {
namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

double secondsOf(std::int64_t nanoseconds) {
    return static_cast<double>(nanoseconds) / static_cast<double>(kNanosPerSecond);
}

}  // namespace

StreamHealth::StreamHealth() {
    Restart(Clock::now());
}

std::int64_t StreamHealth::ticksOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void StreamHealth::Restart(Clock::time_point now) {
    const std::int64_t t = ticksOf(now);
    sequence_.fetch_add(1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    framesAccepted_.store(0, std::memory_order_relaxed);
    refusedNotAFrame_.store(0, std::memory_order_relaxed);
    refusedUndecodable_.store(0, std::memory_order_relaxed);
    lastFrame_.store(t, std::memory_order_relaxed);
    anyFrame_.store(false, std::memory_order_relaxed);
    windowStart_.store(t, std::memory_order_relaxed);
    windowFrames_.store(0, std::memory_order_relaxed);
    lastWindowRate_.store(0.0, std::memory_order_relaxed);
    gapCount_.store(0, std::memory_order_relaxed);
    longestGap_.store(0, std::memory_order_relaxed);
    totalGap_.store(0, std::memory_order_relaxed);
    lastGap_.store(0, std::memory_order_relaxed);
    sequence_.fetch_add(1, std::memory_order_release);
}

void StreamHealth::SetStaleSeconds(double seconds) {
    if (std::isfinite(seconds) && seconds > 0.0)
        staleSeconds_.store(seconds, std::memory_order_relaxed);
}

void StreamHealth::Record(DatagramVerdict verdict, Clock::time_point now) {
    // One writer: plain read-modify-write of the relaxed fields between the two sequence steps.
    sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    switch (verdict) {
        case DatagramVerdict::kNotAFrame:
            refusedNotAFrame_.store(refusedNotAFrame_.load(std::memory_order_relaxed) + 1,
                                    std::memory_order_relaxed);
            break;
        case DatagramVerdict::kUndecodable:
            refusedUndecodable_.store(refusedUndecodable_.load(std::memory_order_relaxed) + 1,
                                      std::memory_order_relaxed);
            break;
        case DatagramVerdict::kAccepted: {
            const std::int64_t t = ticksOf(now);
            const std::int64_t silence = t - lastFrame_.load(std::memory_order_relaxed);
            const auto stale =
                static_cast<std::int64_t>(staleSeconds_.load(std::memory_order_relaxed) *
                                          static_cast<double>(kNanosPerSecond));
            if (silence > stale) {
                gapCount_.store(gapCount_.load(std::memory_order_relaxed) + 1,
                                std::memory_order_relaxed);
                totalGap_.store(totalGap_.load(std::memory_order_relaxed) + silence,
                                std::memory_order_relaxed);
                if (silence > longestGap_.load(std::memory_order_relaxed))
                    longestGap_.store(silence, std::memory_order_relaxed);
                lastGap_.store(silence, std::memory_order_relaxed);
            }
            lastFrame_.store(t, std::memory_order_relaxed);
            anyFrame_.store(true, std::memory_order_relaxed);
            framesAccepted_.store(framesAccepted_.load(std::memory_order_relaxed) + 1,
                                  std::memory_order_relaxed);
            // The rate of a window of at least a second, taken when the next frame closes it.
            // A window starts at its first frame.
            if (windowFrames_.load(std::memory_order_relaxed) == 0)
                windowStart_.store(t, std::memory_order_relaxed);
            const std::uint64_t inWindow = windowFrames_.load(std::memory_order_relaxed) + 1;
            const std::int64_t windowLength = t - windowStart_.load(std::memory_order_relaxed);
            if (windowLength >= kNanosPerSecond) {
                lastWindowRate_.store(static_cast<double>(inWindow - 1) / secondsOf(windowLength),
                                      std::memory_order_relaxed);
                windowStart_.store(t, std::memory_order_relaxed);
                windowFrames_.store(1, std::memory_order_relaxed);
            } else {
                windowFrames_.store(inWindow, std::memory_order_relaxed);
            }
            break;
        }
    }
    sequence_.store(sequence_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

double StreamHealth::SilenceSeconds(Clock::time_point now) const {
    return secondsOf(ticksOf(now) - lastFrame_.load(std::memory_order_acquire));
}

StreamHealthSnapshot StreamHealth::Snapshot(Clock::time_point now) const {
    StreamHealthSnapshot s;
    std::int64_t lastFrame = 0, windowStart = 0;
    std::uint64_t windowFrames = 0;
    double lastWindowRate = 0.0;
    for (;;) {
        const std::uint64_t before = sequence_.load(std::memory_order_acquire);
        if (before % 2 != 0) continue;  // the writer is in the middle of an update
        s.framesAccepted = framesAccepted_.load(std::memory_order_relaxed);
        s.refusedNotAFrame = refusedNotAFrame_.load(std::memory_order_relaxed);
        s.refusedUndecodable = refusedUndecodable_.load(std::memory_order_relaxed);
        s.anyFrame = anyFrame_.load(std::memory_order_relaxed);
        s.gapCount = gapCount_.load(std::memory_order_relaxed);
        s.longestGapSeconds = secondsOf(longestGap_.load(std::memory_order_relaxed));
        s.totalGapSeconds = secondsOf(totalGap_.load(std::memory_order_relaxed));
        s.lastGapSeconds = secondsOf(lastGap_.load(std::memory_order_relaxed));
        lastFrame = lastFrame_.load(std::memory_order_relaxed);
        windowStart = windowStart_.load(std::memory_order_relaxed);
        windowFrames = windowFrames_.load(std::memory_order_relaxed);
        lastWindowRate = lastWindowRate_.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) == before) break;
    }
    const std::int64_t t = ticksOf(now);
    s.silenceSeconds = secondsOf(t - lastFrame);
    s.stale = s.silenceSeconds > staleSeconds();
    if (!s.anyFrame || s.silenceSeconds >= 1.0) {
        s.rateHz = 0.0;
    } else if (lastWindowRate > 0.0) {
        s.rateHz = lastWindowRate;
    } else {
        // The first second: the intervals between its frames so far over the time they took.
        const double span = secondsOf(lastFrame - windowStart);
        s.rateHz =
            windowFrames >= 2 && span > 0.0 ? static_cast<double>(windowFrames - 1) / span : 0.0;
    }
    return s;
}

}  // namespace telmora
