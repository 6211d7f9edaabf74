#include "device/device_hardware.h"

#include <algorithm>
#include <utility>

#include "network/protocol.h"

using namespace ORSDK2026;

ORDeviceSkeletonHardware::ORDeviceSkeletonHardware() {
    discovery.Start(port_);
    streamClient.SetPacketCallback(
        [this](const std::vector<std::uint8_t>& datagram) { HandlePacket(datagram); });
}

ORDeviceSkeletonHardware::~ORDeviceSkeletonHardware() {
    discovery.Stop();
    SetStreamEndHandler(nullptr);
    streamClient.Disconnect();
    streamClient.SetPacketCallback(nullptr);
}

namespace {

// A port the stream client can send its keep-alives to.
bool hasStreamPort(const telmora::ServerInfo& server) {
    return server.streamPort > 0 && server.streamPort <= 65535;
}

}  // namespace

bool ORDeviceSkeletonHardware::ConnectStream() {
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
        streamClient.Disconnect();
        setReconnecting(false);
    }
    health.Restart(telmora::StreamHealth::Clock::now());
    streamClient.Connect(server.ip, static_cast<std::uint16_t>(server.streamPort), subjectName_);
    streaming_ = true;
    streamIp_ = server.ip;
    streamPort_ = server.streamPort;
}

void ORDeviceSkeletonHardware::setReconnecting(bool reconnecting) {
    std::lock_guard<std::mutex> lock(streamEndMutex);
    reconnecting_ = reconnecting;
}

std::string ORDeviceSkeletonHardware::FollowMovedServer() {
    if (!streaming_) return {};
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
    telmora::StreamHealthSnapshot snapshot = health.Snapshot(telmora::StreamHealth::Clock::now());
    snapshot.refusedWrongSource = streamClient.WrongSourceDatagrams();
    return snapshot;
}

bool ORDeviceSkeletonHardware::streamStale() const {
    return streaming_ && health.Stale(telmora::StreamHealth::Clock::now());
}

bool ORDeviceSkeletonHardware::StartTestServerStream() {
    if (!useTestServer_) return true;
    if (testSocket != 0) return true;  // already connected by an earlier open
    int socket = 0;
    if (tcp.CreateSocket(socket, kFBTCPIP_Stream, "ip", true)) {
        testSocket = socket;
        if (!tcp.Connect(testSocket, testServerAddress_, port_)) {
            if (testSocket != 0) tcp.CloseSocket(testSocket);
            testSocket = 0;
        }
    }
    testServerRecord.reset();
    return testSocket != 0;
}

bool ORDeviceSkeletonHardware::StopTestServerStream() {
    if (testSocket != 0) tcp.CloseSocket(testSocket);
    testSocket = 0;
    testServerRecord.reset();
    return true;
}

bool ORDeviceSkeletonHardware::DisconnectStream() {
    streamClient.Disconnect();
    streaming_ = false;
    return true;
}

bool ORDeviceSkeletonHardware::FetchSample(FBTime& time) {
    if (testSocket != 0) {
        const bool whole =
            testServerRecord.readRecord([this](std::uint8_t* buffer, int size, int& numRead) {
                return tcp.Read(testSocket, buffer, size, &numRead);
            });
        if (!whole) return false;
        time = FBTime(sampleClock.stampCurrent());
        return true;
    }
    std::int64_t stamp = 0;
    if (!sampleClock.nextSyntheticSample(system.LocalTime.Get().Get(), stamp)) return false;
    time = FBTime(stamp);
    return true;
}

void ORDeviceSkeletonHardware::SetTimeBase(FBTime hostTime) {
    sampleClock.setTimeBase(hostTime.Get());
}

void ORDeviceSkeletonHardware::SetStreamEndHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(streamEndMutex);
    streamEndHandler = std::move(handler);
}

void ORDeviceSkeletonHardware::SetPort(std::int32_t port) {
    // The same port again is a retry when it could not be bound.
    if (port == port_ && discovery.Listening()) return;
    port_ = port;
    discovery.Start(port);
}

bool ORDeviceSkeletonHardware::SetupChannels() {
    return table.SetupChannels();
}

void ORDeviceSkeletonHardware::HandlePacket(const std::vector<std::uint8_t>& datagram) {
    if (!telmora::isEndOfStream(datagram.data(), datagram.size())) {
        using Result = telmora::ChannelTable::PacketResult;
        const Result result = table.HandlePacket(datagram);
        health.Record(result == Result::kPublished   ? telmora::DatagramVerdict::kAccepted
                      : result == Result::kNotAFrame ? telmora::DatagramVerdict::kNotAFrame
                                                     : telmora::DatagramVerdict::kUndecodable,
                      telmora::StreamHealth::Clock::now());
        return;
    }
    std::lock_guard<std::mutex> lock(streamEndMutex);
    if (!streamEndHandler || reconnecting_) return;
    try {
        streamEndHandler();
    } catch (...) {
        // The handler belongs to the device; nothing of it may unwind into the stream client.
    }
}
