#pragma once
// The stream monitor: receives one subject exactly as the plug-in does (stream client, channel
// table) and keeps what a person needs to judge the stream: counts, frame rate, solve times,
// a few captured poses with the points each frame asked for, and optionally every frame's
// channel values as CSV.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "motion/channel_table.h"
#include "network/log_writer.h"
#include "network/udp_stream_client.h"

namespace telmora {

// Points a sensor frame asks for, in the solved skeleton's frame (cm, y up, left +x): the root
// position and the ends of the arm, leg and neck-and-head chains, each chain target placed from
// its solved chain root as a fraction of the solved chain's reach, as the solver uses it.
enum TargetPoint : int {
    kHipsPoint,
    kLeftHandPoint,
    kRightHandPoint,
    kLeftFootPoint,
    kRightFootPoint,
    kHeadPoint,
    kTargetPointCount
};

// One solved frame kept for the picture.
struct CapturedPose {
    double seconds = 0.0;  // since the monitor connected
    int boneCount = 0;
    std::array<glm::vec3, kMaxChannels> bonePositions{};  // global translations, cm
    std::array<int, kMaxChannels> parents{};
    std::array<glm::vec3, kTargetPointCount> targets{};
};

// Figures of one reporting interval.
struct IntervalStats {
    double seconds = 0.0;              // length of the interval
    std::uint64_t framesReceived = 0;  // sensor-frame datagrams (type 6)
    std::uint64_t framesDropped = 0;   // of those, dropped as malformed by the channel table
    double frameRate = 0.0;            // received frames per second
    double solveMedianMs = 0.0;        // handling time of one solved frame
    double solveP99Ms = 0.0;
    bool hasPose = false;                                // a frame has been solved so far
    glm::dvec3 hips{0.0}, leftHand{0.0}, leftFoot{0.0};  // global translations, cm
};

class StreamMonitor {
public:
    // Stream client lines ("Connecting to ...", "Receive loop stopped.") go to `log`.
    explicit StreamMonitor(LogWriter log = standardLogWriter());
    ~StreamMonitor();
    StreamMonitor(const StreamMonitor&) = delete;
    StreamMonitor& operator=(const StreamMonitor&) = delete;

    // Writes every solved frame's channel values to `path` from now on. False with the reason
    // in `error` when the file cannot be created. Call before Connect.
    bool openCsv(const std::string& path, std::string& error);

    void Connect(const std::string& serverIp, std::uint16_t streamPort, const std::string& subject);
    // Stops the stream client (which delivers its own end marker) and closes the CSV.
    void Disconnect();

    // Figures since the previous call (or since Connect).
    IntervalStats takeIntervalStats();
    // Totals since Connect.
    std::uint64_t framesReceived() const { return framesReceived_.load(); }
    std::uint64_t framesDropped() const { return table_.framesDropped(); }
    std::uint64_t framesSolved() const { return table_.framesSolved(); }
    // Stream-end markers seen (from the server, and the client's own when it stops).
    std::uint64_t streamEnds() const { return streamEnds_.load(); }
    // Median and 99th percentile handling time of every solved frame so far, milliseconds.
    void solveTimes(double& medianMs, double& p99Ms) const;

    // Wait, at most `timeout`, for the stream end / for `count` received frames.
    bool waitForStreamEnd(std::chrono::milliseconds timeout);
    bool waitForFrames(std::uint64_t count, std::chrono::milliseconds timeout);

    // Keeps the next solved frame for the picture.
    void capturePose();
    std::vector<CapturedPose> capturedPoses() const;

    // Called on the receive thread after every solved frame with its datagram and the table as
    // that frame left it. Must be quick and must not call back into the monitor. Set before
    // Connect.
    using FrameObserver = std::function<void(const std::vector<std::uint8_t>& datagram,
                                             const ChannelSnapshot& solved)>;
    void setFrameObserver(FrameObserver observer) { observer_ = std::move(observer); }
    // Shows `tap` every datagram of the stream socket (raw capture); null: none.
    void setTap(std::shared_ptr<DatagramTap> tap) { client_.SetTap(std::move(tap)); }

    // The points a solved frame asked for (see TargetPoint), from its datagram and the table it
    // produced.
    static std::array<glm::vec3, kTargetPointCount> targetPoints(
        const std::vector<std::uint8_t>& datagram, const ChannelSnapshot& solved);

    const ChannelTable& table() const { return table_; }

private:
    void OnPacket(const std::vector<std::uint8_t>& packet);
    void WriteCsvRow(const ChannelSnapshot& snapshot, double seconds);

    // Declared before the client: the client's receive thread uses them until it is joined.
    ChannelTable table_;
    std::atomic<std::uint64_t> framesReceived_{0};
    std::atomic<std::uint64_t> streamEnds_{0};
    std::atomic<bool> captureRequested_{false};
    std::chrono::steady_clock::time_point connectedAt_;

    mutable std::mutex mutex_;  // guards everything below; held briefly by both sides
    std::condition_variable changed_;
    std::vector<double> intervalSolveMs_;
    std::vector<double> allSolveMs_;
    std::uint64_t intervalReceived_ = 0;
    std::uint64_t intervalDroppedBase_ = 0;
    std::chrono::steady_clock::time_point intervalStart_;
    std::vector<CapturedPose> captured_;

    // Used only on the receive thread while connected.
    std::ofstream csv_;
    std::uint64_t csvRows_ = 0;
    FrameObserver observer_;

    UdpStreamClient client_;
};

}  // namespace telmora
