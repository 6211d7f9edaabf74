#include "tools/monitor/set_monitor.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "live/device_texts.h"
#include "network/protocol.h"

namespace telmora {
namespace {

using Clock = SetMonitor::Clock;

// One colour per watched subject, in watching order; picked to tell apart on a dark page.
constexpr const char* kPalette[] = {"#4fc3f7", "#ffb74d", "#ba68c8", "#81c784",
                                    "#f06292", "#fff176", "#4db6ac", "#e57373"};

// A frame is late when none came for this many frame intervals (at the current rate), and at
// least kLateFloorSeconds.
constexpr double kLateIntervals = 3.0;
constexpr double kLateFloorSeconds = 0.025;

// A watched stream before its first frame.
constexpr char kWaitingText[] = "waiting for the first frame";

// JSON text of a string from the network: escaped, invalid UTF-8 replaced.
std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendNumber(std::string& out, double value, const char* format = "%.1f") {
    char text[32];
    std::snprintf(text, sizeof text, format, std::isfinite(value) ? value : 0.0);
    out += text;
}

std::int64_t nanosOf(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

std::string noFramesText(double seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "no frames for %.1f s", seconds);
    return text;
}

// One watched subject: its stream client, channel table and health, and the longest frame
// interval since the last history sample.
class WatchedStream {
public:
    WatchedStream(int id, WatchKey key, LogWriter log, std::function<void()> onFrame)
        : id_(id),
          key_(std::move(key)),
          onFrame_(std::move(onFrame)),
          client_(boundedLogWriter(std::move(log))) {
        table_.SetupChannels();
        client_.SetPacketCallback(
            [this](const std::vector<std::uint8_t>& packet) { OnPacket(packet); });
    }
    ~WatchedStream() { client_.Disconnect(); }

    // Streams from the server's `port`, unless it already does.
    void ConnectTo(int port) {
        if (port == port_) return;
        client_.Disconnect();  // the receive thread must be gone before the health restarts
        port_ = port;
        const Clock::time_point now = Clock::now();
        health_.Restart(now);
        lastFrame_ = now;
        client_.Connect(key_.ip, static_cast<std::uint16_t>(port), key_.subject);
    }

    int id() const { return id_; }
    // The state as a JSON object.
    std::string Json(Clock::time_point now) const;
    // [RATE_HZ,INTERVAL_MS] since the last sample: the longest frame interval, or the silence
    // so far when that is longer.
    std::string TakeSample(Clock::time_point now);

private:
    void OnPacket(const std::vector<std::uint8_t>& packet);

    const int id_;
    const WatchKey key_;
    int port_ = 0;
    std::function<void()> onFrame_;
    ChannelTable table_;
    StreamHealth health_;
    // The receive thread's own: the last accepted frame.
    Clock::time_point lastFrame_;
    std::atomic<std::int64_t> windowMaxNanos_{0};
    std::atomic<std::int64_t> lastFrameNanos_{0};
    UdpStreamClient client_;  // last: its receive thread uses everything above
};

void WatchedStream::OnPacket(const std::vector<std::uint8_t>& packet) {
    if (isEndOfStream(packet.data(), packet.size())) return;
    const DatagramVerdict verdict = verdictOf(table_.HandlePacket(packet));
    const Clock::time_point now = Clock::now();
    health_.Record(verdict, now);
    if (verdict != DatagramVerdict::kAccepted) return;
    const std::int64_t interval = (now - lastFrame_).count();
    lastFrame_ = now;
    std::int64_t seen = windowMaxNanos_.load(std::memory_order_relaxed);
    while (interval > seen &&
           !windowMaxNanos_.compare_exchange_weak(seen, interval, std::memory_order_relaxed)) {
    }
    lastFrameNanos_.store(nanosOf(now), std::memory_order_relaxed);
    onFrame_();
}

std::string WatchedStream::TakeSample(Clock::time_point now) {
    const double silenceMs = std::max(0.0, health_.SilenceSeconds(now)) * 1000.0;
    const double longestMs = windowMaxNanos_.exchange(0, std::memory_order_relaxed) / 1e6;
    std::string out = "[";
    appendNumber(out, health_.Snapshot(now).rateHz);
    out += ',';
    appendNumber(out, std::max(longestMs, silenceMs));
    return out + "]";
}

std::string WatchedStream::Json(Clock::time_point now) const {
    StreamHealthSnapshot health = health_.Snapshot(now);
    // A frame stamped after `now` was taken (another thread) is one just received.
    health.silenceSeconds = std::max(0.0, health.silenceSeconds);
    health.refusedWrongSource = client_.WrongSourceDatagrams();
    const double lateSeconds =
        std::max(kLateFloorSeconds, health.rateHz > 0.0 ? kLateIntervals / health.rateHz : 0.0);
    // Green only while frames flow: a stream that has had none yet is amber until it is stale.
    const StreamLight light = health.stale ? StreamLight::kRed
                              : !health.anyFrame || health.silenceSeconds > lateSeconds
                                  ? StreamLight::kAmber
                                  : StreamLight::kGreen;
    const std::string text = light == StreamLight::kRed ? noFramesText(health.silenceSeconds)
                             : !health.anyFrame
                                 ? std::string(kWaitingText)
                                 : streamHealthLine(health.rateHz, health.silenceSeconds,
                                                    health.refused(), health.gapCount);
    static constexpr const char* kLights[] = {"green", "amber", "red"};

    std::string out = "{\"id\":" + std::to_string(id_) + ",\"server\":" + quoted(key_.server) +
                      ",\"subject\":" + quoted(key_.subject) + ",\"ip\":\"" + key_.ip +
                      "\",\"port\":" + std::to_string(port_) + ",\"colour\":\"" +
                      kPalette[(id_ - 1) % std::size(kPalette)] + "\",\"light\":\"" +
                      kLights[static_cast<int>(light)] + "\",\"text\":" + quoted(text) +
                      ",\"rate\":";
    appendNumber(out, health.rateHz);
    out += ",\"ageMs\":";
    appendNumber(out, health.silenceSeconds * 1000.0);
    out += ",\"refused\":" + std::to_string(health.refused()) +
           ",\"gaps\":" + std::to_string(health.gapCount) +
           ",\"frames\":" + std::to_string(health.framesAccepted) + ",\"lastFrameMicros\":" +
           std::to_string(lastFrameNanos_.load(std::memory_order_relaxed) / 1000);

    // The solved pose: each bone's parent and global position (cm, y up).
    const ChannelSnapshot pose = table_.snapshot();
    std::string parents = ",\"parents\":[", bones = ",\"bones\":[";
    if (health.anyFrame) {
        for (int b = 0; b < pose.channelCount; ++b) {
            const ChannelRecord& r = pose.records[b];
            if (b > 0) parents += ',', bones += ',';
            parents += std::to_string(r.parentIndex);
            for (int axis = 0; axis < 3; ++axis) {
                if (axis > 0) bones += ',';
                appendNumber(bones, r.translation[axis]);
            }
        }
    }
    return out + parents + "]" + bones + "]}";
}

SetMonitor::SetMonitor(LogWriter log)
    : log_(std::move(log)),
      discovery_(boundedLogWriter(log_)),
      started_(Clock::now()),
      history_(std::make_shared<const std::deque<HistorySample>>()),
      nextSample_(started_) {}

SetMonitor::~SetMonitor() {
    Stop();
}

void SetMonitor::Start(int listenPort) {
    discovery_.Start(listenPort);
}

void SetMonitor::Stop() {
    std::map<WatchKey, std::unique_ptr<WatchedStream>> watched;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watched.swap(watched_);
    }
    watched.clear();  // joins each stream's threads, outside the lock
    discovery_.Stop();
    Wake();
}

bool SetMonitor::Watch(const WatchKey& key, std::string& error) {
    const ServerMap servers = discovery_.GetServers();
    const auto server = servers.find(serverKey(key.ip, key.server));
    if (server == servers.end() ||
        std::find(server->second.subjects.begin(), server->second.subjects.end(), key.subject) ==
            server->second.subjects.end()) {
        error = "no server '" + key.server + "' at " + key.ip + " offering subject '" +
                key.subject + "' is heard";
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (watched_.count(key) != 0) return true;
    if (watched_.size() >= kMaxWatched) {
        error = "already watching " + std::to_string(kMaxWatched) + " subjects";
        return false;
    }
    auto stream = std::make_unique<WatchedStream>(nextId_++, key, log_, [this] { OnFrame(); });
    stream->ConnectTo(server->second.streamPort);
    watched_.emplace(key, std::move(stream));
    return true;
}

void SetMonitor::Unwatch(const WatchKey& key) {
    std::unique_ptr<WatchedStream> stream;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = watched_.find(key);
        if (found == watched_.end()) return;
        stream = std::move(found->second);
        watched_.erase(found);
    }
    stream.reset();  // joins its threads, outside the lock
}

void SetMonitor::OnFrame() {
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        framesPending_ = true;
    }
    frameArrived_.notify_one();
}

bool SetMonitor::WaitForFrames(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(frameMutex_);
    frameArrived_.wait_until(lock, deadline, [this] { return framesPending_ || woken_; });
    const bool arrived = framesPending_;
    framesPending_ = false;
    woken_ = false;
    return arrived;
}

void SetMonitor::Wake() {
    {
        std::lock_guard<std::mutex> lock(frameMutex_);
        woken_ = true;
    }
    frameArrived_.notify_all();
}

void SetMonitor::ReconnectMoved(const ServerMap& servers) {
    for (const auto& entry : servers) {
        const ServerInfo& info = entry.second;
        for (const std::string& subject : info.subjects) {
            auto found = watched_.find(WatchKey{info.serverName, info.ip, subject});
            if (found != watched_.end()) found->second->ConnectTo(info.streamPort);
        }
    }
}

std::string SetMonitor::ServersJson(const ServerMap& servers) const {
    // Sorted by name, then address, so every page lists them alike.
    std::vector<const ServerInfo*> sorted;
    for (const auto& entry : servers) sorted.push_back(&entry.second);
    std::sort(sorted.begin(), sorted.end(), [](const ServerInfo* a, const ServerInfo* b) {
        return std::tie(a->serverName, a->ip) < std::tie(b->serverName, b->ip);
    });
    std::string out = "[";
    for (const ServerInfo* info : sorted) {
        if (out.size() > 1) out += ',';
        out += "{\"name\":" + quoted(info->serverName) + ",\"ip\":\"" + info->ip +
               "\",\"port\":" + std::to_string(info->streamPort) + ",\"subjects\":[";
        for (std::size_t s = 0; s < info->subjects.size(); ++s)
            out += (s > 0 ? "," : "") + quoted(info->subjects[s]);
        out += "]}";
    }
    return out + "]";
}

void SetMonitor::TakeSample(Clock::time_point now) {
    HistorySample sample;
    sample.seq = nextSeq_++;
    sample.json = "{\"seq\":" + std::to_string(sample.seq) + ",\"t\":";
    appendNumber(sample.json, std::chrono::duration<double>(now - started_).count(), "%.2f");
    sample.json += ",\"streams\":{";
    bool first = true;
    for (auto& entry : watched_) {
        if (!first) sample.json += ',';
        first = false;
        sample.json +=
            "\"" + std::to_string(entry.second->id()) + "\":" + entry.second->TakeSample(now);
    }
    sample.json += "}}";
    // A new deque each time: pages being sent the previous one keep it intact.
    auto history = std::make_shared<std::deque<HistorySample>>(*history_);
    history->push_back(std::move(sample));
    const std::size_t kept = kHistorySpan / kSampleInterval;
    while (history->size() > kept) history->pop_front();
    history_ = std::move(history);
}

std::shared_ptr<const Publication> SetMonitor::Publish(Clock::time_point now) {
    const ServerMap servers = discovery_.GetServers();
    auto publication = std::make_shared<Publication>();
    std::lock_guard<std::mutex> lock(mutex_);
    ReconnectMoved(servers);
    if (now >= nextSample_) {
        TakeSample(now);
        nextSample_ = std::max(nextSample_ + kSampleInterval, now);
    }
    std::string& head = publication->head;
    head = "{\"type\":\"state\",\"t\":";
    appendNumber(head, std::chrono::duration<double>(now - started_).count(), "%.3f");
    head += ",\"staleMs\":";
    appendNumber(head, StreamHealth::kDefaultStaleSeconds * 1000.0, "%.0f");
    head += ",\"servers\":" + ServersJson(servers) + ",\"streams\":[";
    bool first = true;
    for (const auto& entry : watched_) {
        if (!first) head += ',';
        first = false;
        head += entry.second->Json(now);
    }
    head += "]";
    publication->history = history_;
    return publication;
}

}  // namespace telmora
