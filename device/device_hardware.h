#pragma once
// The TelmoraLink device's communication object: server discovery, the live stream of one
// subject, the channel table the stream fills, the selection the settings panel makes, the time
// base of recorded samples and the optional skeleton test server that paces them.
//
// Threads: everything here runs on the host's threads except HandlePacket and the stream-end
// handler, which run on the stream client's receive thread. They meet only in the channel table
// (read through channelSnapshot(), one whole frame at a time) and in whatever the stream-end
// handler itself touches (the device's atomic flag). The selection (source, subject, port, test
// server) is written and read on host threads only.

#include <fbsdk/fbsdk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capture_writer.h"
#include "live/sample_source.h"
#include "live/stream_health.h"
#include "live/stream_replay.h"
#include "motion/channel_table.h"
#include "network/discovery_service.h"
#include "network/udp_stream_client.h"

class ORDeviceSkeletonHardware {
public:
    // Starts discovery on `port` (22000) and gives the stream client its packet callback.
    ORDeviceSkeletonHardware();
    // Stops discovery, removes the stream-end handler, then stops the stream: the end-of-stream
    // marker the receive loop delivers on its way out finds no handler. The test-server socket
    // is left to the device's close (the host's TCP object closes what it still holds).
    ~ORDeviceSkeletonHardware();
    ORDeviceSkeletonHardware(const ORDeviceSkeletonHardware&) = delete;
    ORDeviceSkeletonHardware& operator=(const ORDeviceSkeletonHardware&) = delete;

    // Connects the stream client to the first discovered server named `sourceName` that lists
    // `subjectName`, and starts the stream's health figures afresh. False (nothing changed)
    // when there is none. With a replay loaded, starts that stream of the capture instead, due
    // from the host's time now.
    bool ConnectStream();

    // Replay: a capture file takes the network's place. Loading stops discovery and lists the
    // capture's servers instead; an empty path unloads it and listens again. False with
    // `error` set when the file cannot be replayed (the network is then used).
    bool LoadReplay(const std::string& path, std::string& error);
    bool replaying() const { return replay_.loaded(); }
    // Hands the replayed stream's datagrams due by the host's time now to the channel table,
    // and ends the stream once the last has been handed over. Host thread.
    void AdvanceReplay();

    // Raw capture of the stream socket and of discovery to `path` (a pcap file). False with
    // `error` set when it cannot start.
    bool StartCapture(const std::string& path, std::string& error);
    void StopCapture();
    telmora::CaptureFigures captureFigures() const { return capture_->Figures(); }
    // While streaming: when the chosen server is no longer announced at the stream's endpoint
    // but is at another one (it restarted on another port, or moved), or the stream has gone
    // stale while it is announced elsewhere, reconnects there and returns the line to log
    // ("Server 'NAME' moved to IP:PORT, reconnecting"); "" when nothing changed. Host thread.
    std::string FollowMovedServer();
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
    // It runs on the receive thread under the handler lock, so it must only record the event.
    void SetStreamEndHandler(std::function<void()> handler);

    // Builds the default skeleton and the channel table. Always true.
    bool SetupChannels();
    // The stream's packet callback (receive thread): the end-of-stream byte calls the stream-end
    // handler, everything else goes to the channel table.
    void HandlePacket(const std::vector<std::uint8_t>& datagram);

    // The listening port; a different one restarts discovery there.
    std::int32_t port() const { return port_; }
    void SetPort(std::int32_t port);
    // The chosen server ("source") and subject.
    const std::string& sourceName() const { return sourceName_; }
    const std::string& subjectName() const { return subjectName_; }
    void SelectSource(std::string name) { sourceName_ = std::move(name); }
    void SelectSubject(std::string name) { subjectName_ = std::move(name); }
    // The skeleton test server: whether the next open connects to it, and its host.
    bool useTestServer() const { return useTestServer_; }
    void SetUseTestServer(bool use) { useTestServer_ = use; }
    const ORSDK2026::FBString& testServerAddress() const { return testServerAddress_; }
    void SetTestServerAddress(const char* address) { testServerAddress_ = address; }

    // The channel values of one whole publication (setup or frame). Any thread.
    telmora::ChannelSnapshot channelSnapshot() const { return table_.snapshot(); }
    int channelCount() const { return table_.channelCount(); }
    const telmora::ChannelTable& channelTable() const { return table_; }

    // True while a test-server connection is held.
    bool testServerConnected() const { return testSocket_ != 0; }

    // The stream since the last connect: frames, refusals, rate, silence and gaps. Any thread.
    telmora::StreamHealthSnapshot streamHealth() const;
    // Streaming, and silent for longer than the stale time. Any thread.
    bool streamStale() const;
    // The stale time of the stream's health (seconds).
    void SetStaleSeconds(double seconds) { health_.SetStaleSeconds(seconds); }
    // Whether the stream client is connected (between a successful ConnectStream and the next
    // DisconnectStream).
    bool streaming() const { return streaming_; }

    // The servers announcing themselves on port().
    telmora::DiscoveryService discovery;

private:
    // Declared before the stream client, whose packet callback writes it: destroyed after it.
    telmora::ChannelTable table_;
    telmora::UdpStreamClient streamClient_;
    telmora::StreamHealth health_;  // written by HandlePacket
    telmora::TestRecordAssembler testServerRecord_;
    std::shared_ptr<telmora::CaptureWriter> capture_ = std::make_shared<telmora::CaptureWriter>(
        telmora::boundedLogWriter(telmora::standardLogWriter()));
    telmora::StreamReplay replay_{ORSDK2026::FBTime::kTicksPerSecond};
    bool replaySampleTaken_ = false;  // the one sample of this input notification is out
    bool replayEnded_ = false;
    // The health's clock: the steady clock, or while replaying the host's time since the
    // replay started.
    telmora::StreamHealth::Clock::time_point Now() const;
    telmora::StreamHealth::Clock::time_point ReplayTime(std::int64_t hostTicks) const;
    void RecordPacket(const std::vector<std::uint8_t>& datagram,
                      telmora::StreamHealth::Clock::time_point at);
    void EndOfStream();
    std::int64_t replayStartTicks_ = 0;
    telmora::SampleClock sampleClock_{ORSDK2026::FBTime::kTicksPerSecond};

    std::mutex streamEndMutex_;
    std::function<void()> streamEndHandler_;
    bool reconnecting_ = false;  // guarded by streamEndMutex: end markers are not passed on

    // The endpoint the stream client is connected to.
    bool streaming_ = false;
    std::string streamIp_;
    std::int32_t streamPort_ = 0;
    void Connect(const telmora::ServerInfo& server);
    void setReconnecting(bool reconnecting);

    std::string sourceName_;
    std::string subjectName_;
    bool useTestServer_ = false;
    ORSDK2026::FBString testServerAddress_{"127.0.0.1"};
    // The UDP port discovery listens on, and the test server's TCP port.
    std::int32_t port_ = 22000;

    ORSDK2026::FBSystem system_;
    int testSocket_ = 0;  // host TCP handle, 0 = none
    ORSDK2026::FBTCPIP tcp_;
};
