#pragma once
// The TelmoraLink device's communication object: server discovery, the live stream of one
// subject, the channel table the stream fills, the selection the settings panel makes, the time
// base of recorded samples and the optional skeleton test server that paces them.
//
// Threads: everything here runs on the host's threads except HandlePacket and the stream-end
// handler, which run on the stream client's receive thread. They meet only in the channel table
// (read through channelSnapshot(), one whole frame at a time) and in whatever the stream-end
// handler itself touches (the device's atomic flag).

#include <fbsdk/fbsdk.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/sample_source.h"
#include "motion/channel_table.h"
#include "network/discovery_service.h"
#include "network/udp_stream_client.h"

class ORDeviceSkeletonHardware {
public:
    // Starts discovery on `port` (22000) and gives the stream client its packet callback.
    ORDeviceSkeletonHardware();
    // Stops discovery, removes the stream-end handler, then stops the stream: the stream-end
    // marker the receive loop delivers on its way out finds no handler. The test-server socket
    // is left to the device's close (the host's TCP object closes what it still holds).
    ~ORDeviceSkeletonHardware();
    ORDeviceSkeletonHardware(const ORDeviceSkeletonHardware&) = delete;
    ORDeviceSkeletonHardware& operator=(const ORDeviceSkeletonHardware&) = delete;

    // Connects the stream client to the first discovered server named `sourceName` that lists
    // `subjectName`. False (nothing changed) when there is none.
    bool ConnectStream();
    // With `useTestServer`: connects to the test server at testServerAddress:port. True when
    // connected or not wanted; false with no socket held otherwise.
    bool StartTestServerStream();
    // Closes the test-server connection, if any. Always true.
    bool StopTestServerStream();
    // Stops the stream. Always true.
    bool DisconnectStream();
    // Called in a loop by the device's input notification: true with `time` set to the stamp
    // of the next sample to record, false when the run of samples ends.
    bool FetchSample(ORSDK2026::FBTime& time);
    // The time notification: the hardware's current time becomes the base for `hostTime`.
    void SetTimeBase(ORSDK2026::FBTime hostTime);
    // Installs the stream-end handler (empty: none). Waits for a running call of the old one.
    void SetStreamEndHandler(std::function<void()> handler);

    // Builds the default skeleton and the channel table. Always true.
    bool SetupChannels();
    // The stream's packet callback (receive thread).
    void HandlePacket(const std::vector<std::uint8_t>& datagram);

    // The channel values of one whole publication (setup or frame). Any thread.
    telmora::ChannelSnapshot channelSnapshot() const { return table.snapshot(); }
    int channelCount() const { return table.channelCount(); }
    const telmora::ChannelTable& channelTable() const { return table; }

    // True while a test-server connection is held.
    bool testServerConnected() const { return testSocket != 0; }

    // The servers announcing themselves on `port`.
    telmora::DiscoveryService discovery;
    // The chosen server ("source") and subject; written by the settings panel.
    std::string sourceName;
    std::string subjectName;

private:
    // Declared before the stream client, whose packet callback writes it: destroyed after it.
    telmora::ChannelTable table;
    telmora::UdpStreamClient streamClient;
    telmora::TestRecordAssembler testServerRecord;
    telmora::SampleClock sampleClock{ORSDK2026::FBTime::kTicksPerSecond};

public:
    // Set by the settings panel's "Use skeleton test server".
    bool useTestServer = false;
    // Host of the test server.
    ORSDK2026::FBString testServerAddress;
    // The UDP port discovery listens on, and the test server's TCP port. 22000 by default; the
    // settings panel changes it (and restarts discovery).
    std::int32_t port = 22000;

private:
    ORSDK2026::FBSystem system;
    int testSocket = 0;  // host TCP handle, 0 = none
    ORSDK2026::FBTCPIP tcp;
};
