#pragma once
// Telling a flood from traffic: a receive loop counts the datagrams it did not want, and while
// more than kFloodPerSecond came in the last window it pauses kPause before each receive, so
// that a flood's datagrams gather in the socket and one wake-up takes a batch of them instead
// of one each. Without a flood nothing changes: no pause, no delay. Receive thread only.

#include <chrono>
#include <cstdint>

namespace telmora {

class FloodWatch {
public:
    using Clock = std::chrono::steady_clock;
    // Unwanted datagrams a second above which a socket counts as flooded: far above any
    // server's announcements (one a second each) or a stray sender.
    static constexpr std::uint32_t kFloodPerSecond = 2000;
    static constexpr std::chrono::microseconds kPause{500};
    static constexpr std::chrono::milliseconds kWindow{100};

    // One unwanted datagram at `now`.
    void count(Clock::time_point now) {
        if (now - windowStart_ >= kWindow) {
            flooded_ = counted_ > kFloodPerSecond * kWindow.count() / 1000;
            windowStart_ = now;
            counted_ = 0;
        }
        ++counted_;
    }
    // Whether the last whole window was a flood. A flood that ends is forgotten within a window
    // of quiet: the loop then looks at the clock itself.
    bool flooded() {
        if (flooded_ && Clock::now() - windowStart_ >= 2 * kWindow) flooded_ = false;
        return flooded_;
    }

private:
    Clock::time_point windowStart_{};
    std::uint32_t counted_ = 0;
    bool flooded_ = false;
};

}  // namespace telmora
