#include "device/device_hardware.h"

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

bool ORDeviceSkeletonHardware::ConnectStream() {
    const telmora::ServerMap servers = discovery.GetServers();
    for (const auto& entry : servers) {
        const telmora::ServerInfo& server = entry.second;
        // Names compare as C strings: a name with an embedded NUL ends there.
        if (std::string(server.serverName.c_str()) != sourceName_.c_str()) continue;
        for (const std::string& subject : server.subjects) {
            if (subject != subjectName_) continue;
            if (server.streamPort <= 0 || server.streamPort > 65535) return false;
            streamClient.Connect(server.ip, static_cast<std::uint16_t>(server.streamPort),
                                 subjectName_);
            return true;
        }
        return false;  // only the first server of that name is examined
    }
    return false;
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
    if (port == port_) return;
    port_ = port;
    discovery.Start(port);
}

bool ORDeviceSkeletonHardware::SetupChannels() {
    return table.SetupChannels();
}

void ORDeviceSkeletonHardware::HandlePacket(const std::vector<std::uint8_t>& datagram) {
    if (!telmora::isEndOfStream(datagram.data(), datagram.size())) {
        table.HandlePacket(datagram);
        return;
    }
    std::lock_guard<std::mutex> lock(streamEndMutex);
    if (!streamEndHandler) return;
    try {
        streamEndHandler();
    } catch (...) {
        // The handler belongs to the device; nothing of it may unwind into the stream client.
    }
}
