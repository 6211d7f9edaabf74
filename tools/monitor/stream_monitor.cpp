#include "tools/monitor/stream_monitor.h"

#include <algorithm>
#include <cmath>
#include <iomanip>

#include "motion/sensor_frame.h"
#include "network/protocol.h"

namespace telmora {
namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    const std::size_t index =
        std::min(values.size() - 1,
                 static_cast<std::size_t>(std::floor(fraction * (values.size() - 1) + 0.5)));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                     values.end());
    return values[index];
}

glm::vec3 translationOf(const ChannelSnapshot& solved, int bone) {
    const ChannelRecord& r = solved.records[bone];
    return glm::vec3(r.translation[0], r.translation[1], r.translation[2]);
}

}  // namespace

StreamMonitor::StreamMonitor(LogWriter log) : client_(std::move(log)) {
    table_.SetupChannels();
    client_.SetPacketCallback(
        [this](const std::vector<std::uint8_t>& packet) { OnPacket(packet); });
}

StreamMonitor::~StreamMonitor() {
    Disconnect();
}

bool StreamMonitor::openCsv(const std::string& path, std::string& error) {
    csv_.open(path, std::ios::out | std::ios::trunc);
    if (!csv_) {
        error = "cannot write " + path;
        return false;
    }
    const Skeleton& skeleton = table_.skeleton();
    csv_ << "frame,seconds";
    for (int b = 0; b < skeleton.boneCount; ++b) {
        const std::string name = skeleton.bones[b].name;
        for (const char* channel : {"tx", "ty", "tz", "rx", "ry", "rz"})
            csv_ << "," << name << "." << channel;
    }
    csv_ << "\n" << std::setprecision(6);
    return true;
}

void StreamMonitor::Connect(const std::string& serverIp, std::uint16_t streamPort,
                            const std::string& subject) {
    // The previous stream's receive thread reads connectedAt_; it must be gone first.
    client_.Disconnect();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connectedAt_ = Clock::now();
        intervalStart_ = connectedAt_;
        intervalDroppedBase_ = table_.framesDropped();
    }
    client_.Connect(serverIp, streamPort, subject);
}

void StreamMonitor::Disconnect() {
    client_.Disconnect();
    if (csv_.is_open()) csv_.close();
}

void StreamMonitor::OnPacket(const std::vector<std::uint8_t>& packet) {
    if (isEndOfStream(packet.data(), packet.size())) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++streamEnds_;
        }
        changed_.notify_all();
        return;
    }
    const bool sensorFrame = !packet.empty() && packet[0] == kSensorFramePacket;
    const std::uint64_t solvedBefore = table_.framesSolved();
    const Clock::time_point start = Clock::now();
    table_.HandlePacket(packet);
    const Clock::time_point end = Clock::now();
    if (!sensorFrame) return;
    ++framesReceived_;
    const bool solved = table_.framesSolved() != solvedBefore;
    const double seconds = std::chrono::duration<double>(end - connectedAt_).count();

    const bool wantCapture = solved && captureRequested_.exchange(false);
    if (solved && (wantCapture || csv_.is_open() || observer_)) {
        const ChannelSnapshot snapshot = table_.snapshot();
        if (csv_.is_open()) WriteCsvRow(snapshot, seconds);
        if (observer_) observer_(packet, snapshot);
        if (wantCapture) {
            CapturedPose pose;
            pose.seconds = seconds;
            pose.boneCount = snapshot.channelCount;
            for (int b = 0; b < snapshot.channelCount; ++b) {
                pose.bonePositions[b] = translationOf(snapshot, b);
                pose.parents[b] = snapshot.records[b].parentIndex;
            }
            pose.targets = targetPoints(packet, snapshot);
            std::lock_guard<std::mutex> lock(mutex_);
            captured_.push_back(pose);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++intervalReceived_;
        if (solved) {
            const double ms = std::chrono::duration<double, std::milli>(end - start).count();
            intervalSolveMs_.push_back(ms);
            allSolveMs_.push_back(ms);
        }
    }
    changed_.notify_all();
}

void StreamMonitor::WriteCsvRow(const ChannelSnapshot& snapshot, double seconds) {
    csv_ << csvRows_++ << "," << seconds;
    for (int b = 0; b < snapshot.channelCount; ++b) {
        const ChannelRecord& r = snapshot.records[b];
        csv_ << "," << r.translation[0] << "," << r.translation[1] << "," << r.translation[2] << ","
             << r.rotation[0] << "," << r.rotation[1] << "," << r.rotation[2];
    }
    csv_ << "\n";
}

std::array<glm::vec3, kTargetPointCount> StreamMonitor::targetPoints(
    const std::vector<std::uint8_t>& datagram, const ChannelSnapshot& solved) {
    std::array<glm::vec3, kTargetPointCount> points{};
    const SensorFrame frame = decodeSensorFrame(datagram);
    // The solver places the hips at the root position in centimetres. The sender's axes are the
    // solved skeleton's global axes (its mirror and forward kinematics' mirror cancel).
    points[kHipsPoint] = frame.rootPosition * 100.0f;
    // Default bone indices (the table's skeleton is the default one).
    struct Chain {
        TargetPoint point;
        int target;
        int root, middle, end;  // bones; middle -1 for a one-bone chain
    };
    const Chain chains[] = {
        {kLeftHandPoint, kLeftArmTarget, 8, 9, 10},
        {kRightHandPoint, kRightArmTarget, 12, 13, 14},
        {kLeftFootPoint, kLeftLegTarget, 15, 16, 17},
        {kRightFootPoint, kRightLegTarget, 20, 21, 22},
        {kHeadPoint, kHeadTarget, 4, -1, 5},
    };
    for (const Chain& chain : chains) {
        const ChainTarget& target = frame.targets[chain.target];
        const glm::vec3 root = translationOf(solved, chain.root);
        const glm::vec3 end = translationOf(solved, chain.end);
        float reach = glm::length(end - root);
        if (chain.middle >= 0) {
            const glm::vec3 middle = translationOf(solved, chain.middle);
            reach = glm::length(middle - root) + glm::length(end - middle);
        }
        // A target is a fraction of the chain's reach in a direction.
        const float fraction = target.length > 1e-6f ? reach / target.length : 0.0f;
        points[chain.point] = root + target.position * fraction;
    }
    return points;
}

IntervalStats StreamMonitor::takeIntervalStats() {
    IntervalStats stats;
    std::vector<double> solveMs;
    const Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats.seconds = std::chrono::duration<double>(now - intervalStart_).count();
        stats.framesReceived = intervalReceived_;
        intervalReceived_ = 0;
        intervalStart_ = now;
        solveMs.swap(intervalSolveMs_);
        const std::uint64_t dropped = table_.framesDropped();
        stats.framesDropped = dropped - intervalDroppedBase_;
        intervalDroppedBase_ = dropped;
    }
    stats.frameRate = stats.seconds > 0.0 ? stats.framesReceived / stats.seconds : 0.0;
    stats.solveMedianMs = percentile(solveMs, 0.5);
    stats.solveP99Ms = percentile(solveMs, 0.99);
    stats.hasPose = table_.framesSolved() > 0;
    if (stats.hasPose) {
        const ChannelSnapshot snapshot = table_.snapshot();
        stats.hips = translationOf(snapshot, 0);
        stats.leftHand = translationOf(snapshot, 10);
        stats.leftFoot = translationOf(snapshot, 17);
    }
    return stats;
}

void StreamMonitor::solveTimes(double& medianMs, double& p99Ms) const {
    std::vector<double> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all = allSolveMs_;
    }
    medianMs = percentile(all, 0.5);
    p99Ms = percentile(all, 0.99);
}

bool StreamMonitor::waitForStreamEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return streamEnds_.load() > 0; });
}

bool StreamMonitor::waitForFrames(std::uint64_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return framesReceived_.load() >= count; });
}

void StreamMonitor::capturePose() {
    captureRequested_ = true;
}

std::vector<CapturedPose> StreamMonitor::capturedPoses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return captured_;
}

}  // namespace telmora
