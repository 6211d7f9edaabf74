#include "device/device_hardware.h"

#include <algorithm>
#include <utility>

#include "network/announcement.h"
#include "network/protocol.h"

using namespace ORSDK2026;

ORDeviceSkeletonHardware::ORDeviceSkeletonHardware() {
    discovery.Start(port_);
    streamClient_.SetPacketCallback(
        [this](const std::vector<std::uint8_t>& datagram) { HandlePacket(datagram); });
}

ORDeviceSkeletonHardware::~ORDeviceSkeletonHardware() {
    StopCapture();
    discovery.Stop();
    SetStreamEndHandler(nullptr);
    streamClient_.Disconnect();
    streamClient_.SetPacketCallback(nullptr);
}

namespace {

// A port the stream client can send its keep-alives to.
bool hasStreamPort(const telmora::ServerInfo& server) {
    return server.streamPort > 0 && server.streamPort <= 65535;
}

}  // namespace

bool ORDeviceSkeletonHardware::ConnectStream() {
    if (replay_.loaded()) {
        if (streaming_) DisconnectStream();
        replayStartTicks_ = system_.LocalTime.Get().Get();
        std::string error;
        if (!replay_.Start(sourceName_, subjectName_, replayStartTicks_, error)) return false;
        health_.Restart(ReplayTime(replayStartTicks_));
        replaySampleTaken_ = false;
        replayEnded_ = false;
        streaming_ = true;
        return true;
    }
    const telmora::ServerMap servers = discovery.GetServers();
    for (const auto& entry : servers) {
        const telmora::ServerInfo& server = entry.second;
        // Names compare as C strings: a name with an embedded NUL ends there.
        if (std::string(server.serverName.c_str()) != sourceName_.c_str()) continue;
        for (const std::string& subject : server.subjects) {
            if (subject != subjectName_) continue;
            if (!hasStreamPort(server)) return false;
            Connect(server);
            return true;
        }
        return false;  // only the first server of that name is examined
    }
    return false;
}

void ORDeviceSkeletonHardware::Connect(const telmora::ServerInfo& server) {
    // The receive thread is the health's only writer: a running stream stops first (a stream
    // that is not running has no receive thread left, even one that ended by itself).
    if (streaming_) {
        // The old stream's end marker arrives while it is joined: a reconnect is no end.
        setReconnecting(true);
        streamClient_.Disconnect();
        setReconnecting(false);
    }
    health_.Restart(telmora::StreamHealth::Clock::now());
    streamClient_.Connect(server.ip, static_cast<std::uint16_t>(server.streamPort), subjectName_);
    streaming_ = true;
    streamIp_ = server.ip;
    streamPort_ = server.streamPort;
}

void ORDeviceSkeletonHardware::setReconnecting(bool reconnecting) {
    std::lock_guard<std::mutex> lock(streamEndMutex_);
    reconnecting_ = reconnecting;
}

std::string ORDeviceSkeletonHardware::FollowMovedServer() {
    if (!streaming_ || replay_.loaded()) return {};
    const telmora::ServerMap servers = discovery.GetServers();
    const telmora::ServerInfo* elsewhere = nullptr;
    bool stillHere = false;
    for (const auto& entry : servers) {
        const telmora::ServerInfo& server = entry.second;
        if (server.serverName != sourceName_) continue;
        const bool listsSubject = std::find(server.subjects.begin(), server.subjects.end(),
                                            subjectName_) != server.subjects.end();
        if (!listsSubject || !hasStreamPort(server)) continue;
        if (server.ip == streamIp_ && server.streamPort == streamPort_) {
            stillHere = true;
        } else if (elsewhere == nullptr || server.lastSeen > elsewhere->lastSeen) {
            elsewhere = &server;
        }
    }
    if (elsewhere == nullptr) return {};
    // A server still announced where we stream is left alone while frames come: two servers
    // of one name are the user's to tell apart, not ours to flip between.
    if (stillHere && !streamStale()) return {};
    const std::string line = "Server '" + telmora::escapeControlCharacters(sourceName_) +
                             "' moved to " + elsewhere->ip + ":" +
                             std::to_string(elsewhere->streamPort) + ", reconnecting\n";
    Connect(*elsewhere);
    return line;
}

telmora::StreamHealthSnapshot ORDeviceSkeletonHardware::streamHealth() const {
    telmora::StreamHealthSnapshot snapshot = health_.Snapshot(Now());
    if (!replay_.loaded()) snapshot.refusedWrongSource = streamClient_.WrongSourceDatagrams();
    return snapshot;
}

bool ORDeviceSkeletonHardware::streamStale() const {
    return streaming_ && health_.Stale(Now());
}

telmora::StreamHealth::Clock::time_point ORDeviceSkeletonHardware::ReplayTime(
    std::int64_t hostTicks) const {
    // Any fixed origin will do: the health only compares its times with each other.
    const double seconds = static_cast<double>(hostTicks - replayStartTicks_) /
                           static_cast<double>(FBTime::kTicksPerSecond);
    return telmora::StreamHealth::Clock::time_point(std::chrono::hours(1)) +
           std::chrono::duration_cast<telmora::StreamHealth::Clock::duration>(
               std::chrono::duration<double>(seconds));
}

telmora::StreamHealth::Clock::time_point ORDeviceSkeletonHardware::Now() const {
    if (replay_.loaded()) return ReplayTime(system_.LocalTime.Get().Get());
    return telmora::StreamHealth::Clock::now();
}

bool ORDeviceSkeletonHardware::LoadReplay(const std::string& path, std::string& error) {
    if (streaming_) DisconnectStream();
    if (path.empty()) {
        if (!replay_.loaded()) return true;
        replay_.Unload();
        discovery.Start(port_);
        return true;
    }
    if (!replay_.Load(path, error)) {
        if (!discovery.Listening() || discovery.ListenPort() != port_) discovery.Start(port_);
        return false;
    }
    // The capture's servers take the place of the network's: their last announcements, as
    // if just heard, with nothing to age them out.
    discovery.Stop();
    const telmora::TelmoraCapture& captured = *replay_.capture();
    for (const telmora::CapturedServer& server : captured.servers) {
        const telmora::CapturedDatagram& announcement =
            captured.file.datagrams[server.announcement];
        discovery.HandleAnnouncement({announcement.bytes, announcement.from});
    }
    // A stream captured without its server's announcements (a capture of the stream's ports
    // only) is listed as its keep-alives name it.
    for (const telmora::CapturedStream& stream : captured.streams) {
        const bool announced = std::any_of(
            captured.servers.begin(), captured.servers.end(),
            [&](const telmora::CapturedServer& s) { return s.stream == stream.server; });
        if (announced || stream.subject.empty()) continue;
        const std::string text =
            telmora::announcementText(stream.serverName, stream.server.port, {stream.subject});
        discovery.HandleAnnouncement(
            {std::vector<std::uint8_t>(text.begin(), text.end()), stream.server});
    }
    return true;
}

void ORDeviceSkeletonHardware::AdvanceReplay() {
    if (!replay_.running() || replayEnded_) return;
    replaySampleTaken_ = false;
    const std::int64_t now = system_.LocalTime.Get().Get();
    replay_.Advance(now, [this](const std::vector<std::uint8_t>& datagram, std::int64_t due) {
        RecordPacket(datagram, ReplayTime(due));
    });
    if (replay_.finished() && !replayEnded_) {
        replayEnded_ = true;
        EndOfStream();
    }
}

bool ORDeviceSkeletonHardware::StartCapture(const std::string& path, std::string& error) {
    if (!capture_->Start(path, error)) return false;
    streamClient_.SetTap(capture_);
    discovery.SetTap(capture_);
    return true;
}

void ORDeviceSkeletonHardware::StopCapture() {
    streamClient_.SetTap(nullptr);
    discovery.SetTap(nullptr);
    capture_->Stop();
}

bool ORDeviceSkeletonHardware::StartTestServerStream() {
    if (!useTestServer_) return true;
    if (testSocket_ != 0) return true;  // already connected by an earlier open
    int socket = 0;
    if (tcp_.CreateSocket(socket, kFBTCPIP_Stream, "ip", true)) {
        testSocket_ = socket;
        if (!tcp_.Connect(testSocket_, testServerAddress_, port_)) {
            if (testSocket_ != 0) tcp_.CloseSocket(testSocket_);
            testSocket_ = 0;
        }
    }
    testServerRecord_.reset();
    return testSocket_ != 0;
}

bool ORDeviceSkeletonHardware::StopTestServerStream() {
    if (testSocket_ != 0) tcp_.CloseSocket(testSocket_);
    testSocket_ = 0;
    testServerRecord_.reset();
    return true;
}

bool ORDeviceSkeletonHardware::DisconnectStream() {
    replay_.Stop();
    streamClient_.Disconnect();
    streaming_ = false;
    return true;
}

bool ORDeviceSkeletonHardware::FetchSample(FBTime& time) {
    // A replay keys one sample per input notification, at the host's time: the frame the
    // replay handed over by then.
    if (replay_.running()) {
        if (replaySampleTaken_) return false;
        replaySampleTaken_ = true;
        time = system_.LocalTime.Get();
        return true;
    }
    if (testSocket_ != 0) {
        const bool whole =
            testServerRecord_.readRecord([this](std::uint8_t* buffer, int size, int& numRead) {
                return tcp_.Read(testSocket_, buffer, size, &numRead);
            });
        if (!whole) return false;
        time = FBTime(sampleClock_.stampCurrent());
        return true;
    }
    std::int64_t stamp = 0;
    if (!sampleClock_.nextSyntheticSample(system_.LocalTime.Get().Get(), stamp)) return false;
    time = FBTime(stamp);
    return true;
}

void ORDeviceSkeletonHardware::SetTimeBase(FBTime hostTime) {
    sampleClock_.setTimeBase(hostTime.Get());
}

void ORDeviceSkeletonHardware::SetStreamEndHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(streamEndMutex_);
    streamEndHandler_ = std::move(handler);
}

void ORDeviceSkeletonHardware::SetPort(std::int32_t port) {
    // The same port again is a retry when it could not be bound.
    if (port == port_ && discovery.Listening()) return;
    port_ = port;
    if (replay_.loaded()) return;  // the capture's servers are listed, not the network's
    discovery.Start(port);
}

bool ORDeviceSkeletonHardware::SetupChannels() {
    return table_.SetupChannels();
}

void ORDeviceSkeletonHardware::HandlePacket(const std::vector<std::uint8_t>& datagram) {
    RecordPacket(datagram, telmora::StreamHealth::Clock::now());
}

void ORDeviceSkeletonHardware::RecordPacket(const std::vector<std::uint8_t>& datagram,
                                            telmora::StreamHealth::Clock::time_point at) {
    if (!telmora::isEndOfStream(datagram.data(), datagram.size())) {
        health_.Record(telmora::verdictOf(table_.HandlePacket(datagram)), at);
        return;
    }
    if (replay_.running()) replayEnded_ = true;
    EndOfStream();
}

void ORDeviceSkeletonHardware::EndOfStream() {
    std::lock_guard<std::mutex> lock(streamEndMutex_);
    if (!streamEndHandler_ || reconnecting_) return;
    try {
        streamEndHandler_();
    } catch (...) {
        // The handler belongs to the device; nothing of it may unwind into the stream client.
    }
}
