#pragma once
// How the connected stream is doing: frames accepted, datagrams refused by cause, the frame rate
// over the last second, the age of the last accepted frame, and the gaps (spans without frames
// longer than the stale time). Written by the stream's receive thread, one datagram at a time;
// read on any thread as one consistent snapshot. No host SDK, no sockets: the hardware tells
// it what became of each datagram.

#include <atomic>
#include <chrono>
#include <cstdint>

#include "motion/channel_table.h"

namespace telmora {

// What became of one stream datagram.
enum class DatagramVerdict {
    kAccepted,     // a sensor frame, solved and published
    kNotAFrame,    // of another packet type
    kUndecodable,  // a sensor frame that is cut short or carries values that cannot be used
};

// The verdict on a datagram the channel table has handled.
inline DatagramVerdict verdictOf(ChannelTable::PacketResult result) {
    switch (result) {
        case ChannelTable::PacketResult::kPublished:
            return DatagramVerdict::kAccepted;
        case ChannelTable::PacketResult::kNotAFrame:
            return DatagramVerdict::kNotAFrame;
        case ChannelTable::PacketResult::kDropped:
            break;
    }
    return DatagramVerdict::kUndecodable;
}

struct StreamHealthSnapshot {
    std::uint64_t framesAccepted = 0;
    std::uint64_t refusedNotAFrame = 0;
    std::uint64_t refusedUndecodable = 0;
    // From another endpoint than the server's (counted by the stream client, filled in by the
    // owner).
    std::uint64_t refusedWrongSource = 0;
    std::uint64_t refused() const {
        return refusedNotAFrame + refusedUndecodable + refusedWrongSource;
    }
    // Accepted frames per second over the last second (0 once a second has passed without one).
    double rateHz = 0.0;
    // Seconds since the last accepted frame, or since the stream was (re)started before the
    // first one.
    double silenceSeconds = 0.0;
    bool anyFrame = false;  // a frame has been accepted since the last start
    bool stale = false;     // silent for longer than the stale time
    // Spans between two accepted frames (or from the start to the first) longer than the stale
    // time: how many, the longest, all together (seconds), and the last one.
    std::uint64_t gapCount = 0;
    double longestGapSeconds = 0.0;
    double totalGapSeconds = 0.0;
    double lastGapSeconds = 0.0;
};

class StreamHealth {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kDefaultStaleSeconds = 0.25;

    StreamHealth();

    // Everything back to zero: a stream (re)started at `now`. Call while no datagram is being
    // recorded (the receive thread is not running).
    void Restart(Clock::time_point now);
    // The stale time: a span without frames longer than this is a gap. Any thread; a value
    // that is not a positive finite number keeps the one before.
    void SetStaleSeconds(double seconds);
    double staleSeconds() const { return staleSeconds_.load(std::memory_order_relaxed); }

    // The receive thread: what became of one datagram at `now`.
    void Record(DatagramVerdict verdict, Clock::time_point now);

    // Any thread: the figures as of `now`, all from the same moment of the writer.
    StreamHealthSnapshot Snapshot(Clock::time_point now) const;
    // Any thread, cheaper than a snapshot: seconds since the last frame (or the start).
    double SilenceSeconds(Clock::time_point now) const;
    // Any thread: silent for longer than the stale time.
    bool Stale(Clock::time_point now) const { return SilenceSeconds(now) > staleSeconds(); }

private:
    static std::int64_t ticksOf(Clock::time_point t);

    // Sequence lock: odd while the receive thread changes the fields below.
    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<std::uint64_t> framesAccepted_{0};
    std::atomic<std::uint64_t> refusedNotAFrame_{0};
    std::atomic<std::uint64_t> refusedUndecodable_{0};
    std::atomic<std::int64_t> lastFrame_{0};  // steady-clock nanoseconds: last frame or start
    std::atomic<bool> anyFrame_{false};
    // The rate: frames in the current window, its start, and the rate of the last whole window.
    std::atomic<std::int64_t> windowStart_{0};
    std::atomic<std::uint64_t> windowFrames_{0};
    std::atomic<double> lastWindowRate_{0.0};
    std::atomic<std::uint64_t> gapCount_{0};
    std::atomic<std::int64_t> longestGap_{0};  // nanoseconds
    std::atomic<std::int64_t> totalGap_{0};
    std::atomic<std::int64_t> lastGap_{0};
    std::atomic<double> staleSeconds_{kDefaultStaleSeconds};
};

}  // namespace telmora
