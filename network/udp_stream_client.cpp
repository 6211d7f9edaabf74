#include "network/udp_stream_client.h"

#include <array>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "network/flood_watch.h"

namespace telmora {

using Clock = std::chrono::steady_clock;

UdpStreamClient::UdpStreamClient(LogWriter log) : log(std::move(log)) {}

UdpStreamClient::~UdpStreamClient() {
    Disconnect();
}

void UdpStreamClient::Connect(const std::string& serverIp, std::uint16_t streamPort,
                              const std::string& subject) {
    if (threads.OnOwnThread()) {
        writeLine(log, LogStream::Err,
                  "Connect ignored: it was called from the stream's own thread.\n");
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    DisconnectLocked();

    // Failures to create or bind the socket are not checked here: a socket that cannot receive
    // fails its first receive, which ends the receive loop with the end-of-stream marker.
    socket.open();
    socket.bind(Ipv4Endpoint{0, 0});
    socket.setReceiveTimeout(kReceiveWait);
    localAddress = Ipv4Endpoint{0, socket.localEndpoint().value_or(Ipv4Endpoint{}).port};
    // A text that is no IPv4 address leaves 0.0.0.0, which no datagram comes from.
    serverAddress = Ipv4Endpoint{parseIpv4(serverIp).value_or(0), streamPort};
    wrongSource.store(0, std::memory_order_relaxed);

    try {
        threads.Start([this, subject] { KeepAliveLoop(subject); });
        threads.Start([this] { ReceiveLoop(); });
        writeLine(log, LogStream::Out,
                  "Connecting to " + escapeControlCharacters(serverIp) + ":" +
                      std::to_string(streamPort) + " for subject '" +
                      escapeControlCharacters(subject) + "'...\n");
    } catch (const std::exception& error) {
        // What did start keeps running until the next Disconnect, which ends it.
        writeLine(log, LogStream::Err,
                  std::string("Could not start the stream threads: ") + error.what() + "\n");
    }
}

void UdpStreamClient::Disconnect() {
    // From the callback the threads can only be asked to end: the owner, who may be waiting
    // in Connect or Disconnect for this very thread, holds the lifecycle mutex.
    if (threads.OnOwnThread()) {
        RequestStop();
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    DisconnectLocked();
}

void UdpStreamClient::RequestStop() {
    threads.RequestStop();
    // Wakes a receive blocked in the kernel where the platform allows; the receive wait bound
    // covers the others. The handle stays valid until both threads are joined.
    socket.shutdown();
}

void UdpStreamClient::DisconnectLocked() {
    RequestStop();
    threads.Stop();
    socket.close();
    writeLine(log, LogStream::Out, "Client disconnected successfully.\n");
}

void UdpStreamClient::SetPacketCallback(PacketCallback callback) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    packetCallback = std::move(callback);
}

void UdpStreamClient::SetTap(std::shared_ptr<DatagramTap> newTap) {
    std::lock_guard<std::mutex> lock(tapMutex);
    tap = std::move(newTap);
}

void UdpStreamClient::TapDatagram(const Ipv4Endpoint& from, const Ipv4Endpoint& to,
                                  const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(tapMutex);
    if (tap) tap->Tap(TappedDatagram{std::chrono::system_clock::now(), from, to, data, size});
}

void UdpStreamClient::KeepAliveLoop(std::string subject) {
    try {
        std::vector<std::uint8_t> message(kKeepAlivePrefix,
                                          kKeepAlivePrefix + kKeepAlivePrefixLength);
        message.insert(message.end(), subject.begin(), subject.end());
        do {
            // A failed send changes nothing: the next one goes out on time regardless.
            if (socket.sendTo(message.data(), message.size(), serverAddress) == 0)
                TapDatagram(localAddress, serverAddress, message.data(), message.size());
        } while (!threads.PauseFor(kKeepAliveInterval));
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err,
                  std::string("Keep-alive loop failed: ") + error.what() + "\n");
    }
    writeLine(log, LogStream::Out, "Keep-alive loop stopped.\n");
}

void UdpStreamClient::ReceiveLoop() {
    try {
        // Several datagrams a wait: a flood costs one system call a batch, not one a datagram;
        // each datagram still gets every check, in order.
        constexpr std::size_t kBatch = 64;
        std::vector<std::uint8_t> buffers(kBatch * kMaxDatagramSize);
        std::array<ReceiveResult, kBatch> results;
        FloodWatch flood;
        bool fatal = false;
        while (!threads.Stopping() && !fatal) {
            // Under a flood of others' datagrams, a short pause lets them gather, so that one
            // wake-up takes many: a frame waits at most the pause, and only while flooded.
            if (flood.flooded()) std::this_thread::sleep_for(FloodWatch::kPause);
            const std::size_t received =
                socket.receiveBatch(buffers.data(), kMaxDatagramSize, results.data(), kBatch);
            for (std::size_t i = 0; i < received && !threads.Stopping(); ++i) {
                const ReceiveResult& result = results[i];
                if (result.outcome == ReceiveOutcome::Fatal) {
                    fatal = true;
                    break;
                }
                // Nothing yet, or a datagram too long to be ours: look at the flag and go on.
                if (result.outcome != ReceiveOutcome::Datagram) continue;
                const std::uint8_t* bytes = buffers.data() + i * kMaxDatagramSize;
                TapDatagram(result.source, localAddress, bytes, result.size);
                if (result.size == 0) continue;
                // Only the server's stream endpoint speaks on this socket.
                if (result.source != serverAddress) {
                    wrongSource.fetch_add(1, std::memory_order_relaxed);
                    flood.count(Clock::now());
                    continue;
                }
                Deliver(std::vector<std::uint8_t>(bytes, bytes + result.size));
            }
        }
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err, std::string("Receive loop failed: ") + error.what() + "\n");
    }
    try {
        Deliver(std::vector<std::uint8_t>(kEndOfStreamMarker.begin(), kEndOfStreamMarker.end()));
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err,
                  std::string("End-of-stream marker lost: ") + error.what() + "\n");
    }
    writeLine(log, LogStream::Out, "Receive loop stopped.\n");
}

void UdpStreamClient::Deliver(const std::vector<std::uint8_t>& packet) {
    std::lock_guard<std::mutex> lock(callbackMutex);
    if (!packetCallback) return;
    // A consumer's fault costs it this one packet, never the stream.
    try {
        packetCallback(packet);
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err,
                  std::string("Packet callback failed: ") + error.what() + "\n");
    } catch (...) {
        writeLine(log, LogStream::Err, "Packet callback failed.\n");
    }
}

}  // namespace telmora
