#pragma once
// The live stream of one subject from one Telmora server.
//
// The client binds a UDP socket to a port the system chooses, asks the server for a subject by
// sending "mobu:" + subject from that socket to the server's stream port every 2 seconds (the
// server learns our endpoint from these), and hands every datagram that comes back from exactly
// that server endpoint to the packet callback. It knows datagrams only as bytes.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/datagram_tap.h"
#include "network/log_writer.h"
#include "network/protocol.h"
#include "network/socket.h"
#include "network/worker_threads.h"

namespace telmora {

// Consumer of stream datagrams: the bytes of one datagram exactly as received, 1 to 4096 bytes,
// in a vector that lives only for the duration of the call. Runs on the client's receive thread,
// one datagram after another.
using PacketCallback = std::function<void(const std::vector<std::uint8_t>& packet)>;

// The receive loop hands kEndOfStreamMarker (network/protocol.h) to the callback, exactly once
// and as its last packet, whenever it ends. 0xFF is no sensor-frame type, so consumers dispatch
// on it.

class UdpStreamClient {
public:
    // Interval between two keep-alive requests; the first leaves as soon as Connect starts.
    static constexpr std::chrono::seconds kKeepAliveInterval{2};
    // Longest datagram delivered; a longer one is dropped and the stream goes on.
    static constexpr std::size_t kMaxDatagramSize = kMaxStreamDatagramSize;
    // Upper bound of one receive wait: how long a stop can go unnoticed where a socket shutdown
    // does not wake the receive.
    static constexpr std::chrono::milliseconds kReceiveWait{20};

    // Idle: no socket, no threads, no callback. Lines go to `log` (by default the standard
    // streams, a few lines of a kind a second).
    explicit UdpStreamClient(LogWriter log = boundedLogWriter(standardLogWriter()));
    // Disconnects, then drops the callback.
    ~UdpStreamClient();
    UdpStreamClient(const UdpStreamClient&) = delete;
    UdpStreamClient& operator=(const UdpStreamClient&) = delete;

    // Stops any current stream (with its log lines), then streams `subject` from the server at
    // `serverIp` (dotted IPv4 text) : `streamPort`. Never throws; if a thread cannot be started
    // the reason goes to standard error and what did start runs until the next Disconnect.
    // Called from the packet callback it does nothing but write a line to standard error.
    void Connect(const std::string& serverIp, std::uint16_t streamPort, const std::string& subject);

    // Stops streaming and returns to Idle: both threads are ended and joined, the socket is
    // closed. Safe at any time and any number of times; returns within a few receive waits.
    // Called from the packet callback it can only ask the threads to end: the next Disconnect,
    // Connect or the destructor from another thread completes it.
    void Disconnect();

    // Replaces the callback; waits for a running call of the old one to finish. Must not be
    // called from the callback itself.
    void SetPacketCallback(PacketCallback callback);

    // Shows `tap` every datagram the stream socket receives (those from other endpoints too)
    // and every keep-alive it sends; null: none. Any thread but the client's own.
    void SetTap(std::shared_ptr<DatagramTap> tap);

    // Datagrams dropped since the last Connect because they came from another endpoint than
    // the server's. Any thread.
    std::uint64_t WrongSourceDatagrams() const {
        return wrongSource.load(std::memory_order_relaxed);
    }

private:
    void DisconnectLocked();
    void RequestStop();
    void KeepAliveLoop(std::string subject);
    void ReceiveLoop();
    void Deliver(const std::vector<std::uint8_t>& packet);
    void TapDatagram(const Ipv4Endpoint& from, const Ipv4Endpoint& to, const std::uint8_t* data,
                     std::size_t size);

    UdpSocket socket;            // open while streaming; closed only with no thread running
    Ipv4Endpoint serverAddress;  // keep-alive destination and the only accepted source
    Ipv4Endpoint localAddress;   // the socket's own endpoint (address 0: this machine)
    std::atomic<std::uint64_t> wrongSource{0};
    std::mutex callbackMutex;  // held for every call of packetCallback
    PacketCallback packetCallback;
    std::mutex tapMutex;  // held for every call of tap
    std::shared_ptr<DatagramTap> tap;
    std::mutex lifecycleMutex;  // serialises Connect and Disconnect from different threads
    LogWriter log;
    WorkerThreads threads;  // the receiver and the keep-alive sender; last, so it goes first
};

}  // namespace telmora
