#include "tools/sim_server/sim_server.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "motion/sensor_frame.h"
#include "network/announcement.h"
#include "tools/performer/performer_model.h"

namespace telmora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveCapacity = 2048;
// How long a receive waits before it looks at the stop flag and sweeps silent clients.
constexpr std::chrono::milliseconds kReceiveWait{50};
// A stream that falls this far behind its schedule (a stalled machine) restarts its schedule
// from now instead of sending the missed frames in one burst.
constexpr std::chrono::milliseconds kMaxLag{250};

std::uint64_t keyOf(const Ipv4Endpoint& endpoint) {
    return (static_cast<std::uint64_t>(endpoint.address) << 16) | endpoint.port;
}

Ipv4Endpoint endpointOf(std::uint64_t key) {
    return {static_cast<std::uint32_t>(key >> 16), static_cast<std::uint16_t>(key & 0xFFFF)};
}

std::string describe(const Ipv4Endpoint& endpoint) {
    return formatIpv4(endpoint.address) + ":" + std::to_string(endpoint.port);
}

}  // namespace

SimServer::SimServer(SimServerConfig config, std::vector<SimSubject> subjects, LogWriter log)
    : config_(std::move(config)), subjects_(std::move(subjects)), log_(std::move(log)) {}

SimServer::~SimServer() {
    Stop();
}

std::string SimServer::announcement() const {
    std::vector<std::string> names;
    for (const SimSubject& subject : subjects_) names.push_back(subject.name);
    return announcementText(config_.serverName, boundStreamPort_, names);
}

bool SimServer::Start(std::string& error) {
    Stop();
    if (!(config_.frameRate >= 1.0 && config_.frameRate <= kMaxFrameRate)) {
        error = "frame rate must lie between 1 and 1000 frames per second";
        return false;
    }
    if (subjects_.empty()) {
        error = "no subject to stream";
        return false;
    }
    const std::optional<std::uint32_t> bindAddress = parseIpv4(config_.bindAddress);
    const std::optional<std::uint32_t> announceAddress = parseIpv4(config_.announceAddress);
    if (!bindAddress || !announceAddress) {
        error =
            "not an IPv4 address: " + (bindAddress ? config_.announceAddress : config_.bindAddress);
        return false;
    }
    announceEndpoint_ = {*announceAddress, config_.announcePort};

    // Every frame is encoded once, up front: streaming is then a send per client and tick.
    const BoneSlotMap& slots = defaultSkeleton().slots;
    datagrams_.clear();
    if (!(config_.replaySpeed > 0.0 && config_.replaySpeed <= 1000.0)) {
        error = "replay speed must lie above 0 and at most 1000";
        return false;
    }
    for (const SimSubject& subject : subjects_) {
        if ((subject.recorded != nullptr) != recorded()) {
            error = "subject '" + subject.name + "' mixes recorded and performed subjects";
            return false;
        }
        if (subject.recorded) {
            if (subject.recorded->datagrams.empty() ||
                subject.recorded->datagrams.size() != subject.recorded->offsetMicros.size()) {
                error = "subject '" + subject.name + "' has no recorded datagrams";
                return false;
            }
            datagrams_.emplace_back();
            continue;
        }
        if (!subject.performance || subject.performance->frames.empty()) {
            error = "subject '" + subject.name + "' has no frames";
            return false;
        }
        std::vector<std::vector<std::uint8_t>> encoded;
        encoded.reserve(subject.performance->frames.size());
        for (const Skeleton& posed : subject.performance->frames)
            encoded.push_back(
                encodeSensorFrame(makePerformerFrame(posed, subject.performance->rest, slots)));
        datagrams_.push_back(std::move(encoded));
    }

    int code = streamSocket_.open();
    if (code == 0) code = streamSocket_.bind({*bindAddress, config_.streamPort});
    if (code == 0) code = streamSocket_.setReceiveTimeout(kReceiveWait);
    if (code != 0) {
        error = "cannot bind the stream socket to " + describe({*bindAddress, config_.streamPort}) +
                " (error " + std::to_string(code) + ")";
        streamSocket_.close();
        return false;
    }
    boundStreamPort_ = streamSocket_.localEndpoint().value_or(Ipv4Endpoint{}).port;
    code = announceSocket_.open();
    if (code == 0) code = announceSocket_.bind({*bindAddress, 0});
    if (code != 0) {
        error = "cannot open the announcement socket (error " + std::to_string(code) + ")";
        streamSocket_.close();
        announceSocket_.close();
        return false;
    }

    running_ = true;
    threads_.Start([this] { AnnounceLoop(); });
    threads_.Start([this] { ReceiveLoop(); });
    threads_.Start([this] { recorded() ? ReplayLoop() : StreamLoop(); });
    writeLine(log_, LogStream::Out,
              "Serving " + std::to_string(subjects_.size()) + " subject(s) on " +
                  describe({*bindAddress, boundStreamPort_}) +
                  (recorded()
                       ? std::string(" as captured")
                       : " at " + std::to_string(static_cast<int>(std::lround(config_.frameRate))) +
                             " Hz") +
                  "; announcing to " + describe(announceEndpoint_) + "\n");
    return true;
}

void SimServer::Kill() {
    Shutdown(false);
}

void SimServer::Shutdown(bool sayGoodbye) {
    if (!running_) return;
    threads_.Stop();

    // The marker must come from the stream port: clients accept nothing from elsewhere.
    std::map<ClientKey, Client> served;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        served.swap(clients_);
    }
    for (const auto& entry : served) {
        if (!sayGoodbye) break;
        if (streamSocket_.sendTo(kEndOfStreamMarker.data(), kEndOfStreamMarker.size(),
                                 endpointOf(entry.first)) == 0)
            ++endMarkersSent_;
    }
    streamSocket_.close();
    announceSocket_.close();
    running_ = false;
    writeLine(log_, LogStream::Out,
              "Stopped after " + std::to_string(framesSent_.load()) +
                  " frames; stream end sent to " + std::to_string(sayGoodbye ? served.size() : 0) +
                  " client(s)\n");
}

std::vector<Ipv4Endpoint> SimServer::clients() const {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    std::vector<Ipv4Endpoint> out;
    for (const auto& entry : clients_) out.push_back(endpointOf(entry.first));
    return out;
}

void SimServer::AnnounceLoop() {
    const std::string text = announcement();
    Clock::time_point next = Clock::now();
    while (!threads_.Stopping()) {
        if (announceSocket_.sendTo(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                                   announceEndpoint_) == 0)
            ++announcementsSent_;
        next += config_.announceInterval;
        if (threads_.PauseUntil(next)) break;
    }
}

void SimServer::ReceiveLoop() {
    std::vector<std::uint8_t> buffer(kReceiveCapacity);
    while (!threads_.Stopping()) {
        const ReceiveResult result = streamSocket_.receiveFrom(buffer.data(), buffer.size());
        if (result.outcome == ReceiveOutcome::Datagram)
            HandleKeepAlive(buffer.data(), result.size, result.source);
        else if (result.outcome == ReceiveOutcome::Fatal) {
            // Linux reports an earlier send to a closed client port here; the socket itself
            // still works, so only a stop ends the loop.
            if (threads_.PauseUntil(Clock::now() + kReceiveWait)) break;
        }
        DropSilentClients(Clock::now());
    }
}

void SimServer::HandleKeepAlive(const std::uint8_t* data, std::size_t size,
                                const Ipv4Endpoint& from) {
    const std::size_t prefixSize = kKeepAlivePrefixLength;
    if (!isKeepAlive(data, size)) {
        writeLine(log_, LogStream::Err,
                  "Ignoring a datagram that is no keep-alive from " + describe(from) + "\n");
        return;
    }
    const std::string wanted(reinterpret_cast<const char*>(data) + prefixSize, size - prefixSize);
    const auto found = std::find_if(subjects_.begin(), subjects_.end(),
                                    [&](const SimSubject& s) { return s.name == wanted; });
    if (found == subjects_.end()) {
        writeLine(log_, LogStream::Err,
                  "Unknown subject '" + escapeControlCharacters(wanted) + "' requested by " +
                      describe(from) + "\n");
        return;
    }
    const int subject = static_cast<int>(found - subjects_.begin());
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        auto entry = clients_.find(keyOf(from));
        if (entry == clients_.end() || entry->second.subject != subject) {
            // A new client, or one that changed subject: its performance starts from the top.
            Client client;
            client.subject = subject;
            client.firstTick = streamTick_;
            client.lastHeard = client.replayStart = Clock::now();
            clients_[keyOf(from)] = client;
            started = true;
        } else {
            entry->second.lastHeard = Clock::now();
        }
    }
    if (started)
        writeLine(
            log_, LogStream::Out,
            "Streaming '" + escapeControlCharacters(wanted) + "' to " + describe(from) + "\n");
}

void SimServer::DropSilentClients(Clock::time_point now) {
    std::vector<ClientKey> dropped;
    {
        std::lock_guard<std::mutex> lock(clientsMutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (now - it->second.lastHeard > config_.clientTimeout) {
                dropped.push_back(it->first);
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (ClientKey key : dropped)
        writeLine(log_, LogStream::Out,
                  "Dropping silent client " + describe(endpointOf(key)) + "\n");
}

void SimServer::SendFrames(const std::vector<Send>& sends) {
    for (const Send& send : sends) {
        if (streamSocket_.sendTo(send.datagram->data(), send.datagram->size(), send.to) != 0)
            continue;
        ++framesSent_;
        if (config_.keepSendTimes) {
            const Clock::time_point at = Clock::now();
            std::lock_guard<std::mutex> lock(sentMutex_);
            sent_.push_back({send.to, at});
        }
    }
}

std::vector<SentFrame> SimServer::sentFrames() const {
    std::lock_guard<std::mutex> lock(sentMutex_);
    return sent_;
}

void SimServer::StreamLoop() {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config_.frameRate));
    // Ticks are scheduled at fixed offsets from one origin, so waking late never shifts the
    // ones after it.
    Clock::time_point origin = Clock::now();
    std::uint64_t scheduledTick = 0;
    std::vector<Send> sends;
    while (!threads_.Stopping()) {
        const Clock::time_point due = origin + period * scheduledTick;
        if (threads_.PauseUntil(due)) break;
        if (Clock::now() - due > kMaxLag) {
            origin = Clock::now();
            scheduledTick = 0;
        }
        ++scheduledTick;

        sends.clear();
        if (!streaming_.load()) continue;
        {
            std::lock_guard<std::mutex> lock(clientsMutex_);
            const std::uint64_t tick = streamTick_++;
            for (const auto& entry : clients_) {
                const Client& client = entry.second;
                const Performance& performance = *subjects_[client.subject].performance;
                const double seconds =
                    static_cast<double>(tick - client.firstTick) / config_.frameRate;
                const auto& frames = datagrams_[client.subject];
                const auto index =
                    static_cast<std::size_t>(std::floor(seconds * performance.frameRate)) %
                    frames.size();
                sends.push_back({endpointOf(entry.first), &frames[index]});
            }
        }
        SendFrames(sends);
    }
}

void SimServer::ReplayLoop() {
    const double speed = config_.replaySpeed;
    auto offsetOf = [speed](std::int64_t micros) {
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::micro>(static_cast<double>(micros) / speed));
    };
    std::vector<Send> sends;
    while (!threads_.Stopping()) {
        const Clock::time_point now = Clock::now();
        // Nothing due: look again at the stop flag and for new clients now and then.
        Clock::time_point next = now + kReceiveWait;
        sends.clear();
        if (streaming_.load()) {
            std::lock_guard<std::mutex> lock(clientsMutex_);
            for (auto& entry : clients_) {
                Client& client = entry.second;
                const RecordedDatagrams& recorded = *subjects_[client.subject].recorded;
                const std::size_t count = recorded.datagrams.size();
                while (!client.done) {
                    if (client.nextRecorded == count) {
                        if (!config_.replayLoop) {
                            client.done = true;
                            break;
                        }
                        // The next round starts one frame interval after the last datagram.
                        const std::int64_t last = recorded.offsetMicros.back();
                        const std::int64_t interval =
                            count > 1 ? last - recorded.offsetMicros[count - 2] : 0;
                        client.replayStart += offsetOf(last + interval);
                        client.nextRecorded = 0;
                    }
                    const Clock::time_point due =
                        client.replayStart + offsetOf(recorded.offsetMicros[client.nextRecorded]);
                    if (due > now) {
                        next = std::min(next, due);
                        break;
                    }
                    // After a stall (a paused process, a held stream) the replay goes on from
                    // where it was instead of sending the missed span at once.
                    if (now - due > kMaxLag) {
                        client.replayStart += now - due;
                        continue;
                    }
                    sends.push_back(
                        {endpointOf(entry.first), &recorded.datagrams[client.nextRecorded]});
                    ++client.nextRecorded;
                }
            }
        }
        SendFrames(sends);
        if (threads_.PauseUntil(next)) break;
    }
}

}  // namespace telmora
