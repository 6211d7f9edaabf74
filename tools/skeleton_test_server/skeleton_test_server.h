#pragma once
// The skeleton test server: a local TCP peer that paces a device's recorded samples.
//
// It listens on a TCP address and port and sends every connected client the same stream of
// whole 3136-byte records at a fixed rate until stopped: a 16-byte header (the record's
// sequence number as a little-endian uint64, the entry count 65 as a little-endian int32, four
// zero bytes), then 65 entries of six little-endian doubles (translation x, y, z in cm and
// rotation rx, ry, rz in Euler degrees of one bone). A client that stops reading or closes is
// dropped. POSIX sockets; one sending thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/log_writer.h"
#include "network/worker_threads.h"
#include "tools/performance/performance.h"

namespace telmora {

struct SkeletonTestRecord {
    static constexpr std::size_t kHeaderSize = 16;
    static constexpr std::size_t kEntryCount = 65;
    static constexpr std::size_t kValuesPerEntry = 6;
    static constexpr std::size_t kSize = kHeaderSize + kEntryCount * kValuesPerEntry * 8;
    static_assert(kSize == 3136, "a test-server record is 3136 bytes");

    // Entry e's values at [e * 6, e * 6 + 6): translation x, y, z, then rotation rx, ry, rz.
    using Values = std::array<double, kEntryCount * kValuesPerEntry>;

    // The wire bytes of record `sequence` with these values.
    static std::array<std::uint8_t, kSize> encode(std::uint64_t sequence, const Values& values);
};

struct SkeletonTestServerConfig {
    std::string bindAddress = "127.0.0.1";
    // 0 lets the system choose (see port()).
    std::uint16_t port = 22000;
    // Records per second sent to each client, 1 .. kMaxRecordRate.
    double recordRate = 60.0;
};

class SkeletonTestServer {
public:
    static constexpr double kMaxRecordRate = 1000.0;

    // Fills the values of record `sequence`, sent `seconds` after the start. Runs on the
    // sending thread. The default leaves every value zero.
    using ValueSource =
        std::function<void(std::uint64_t sequence, double seconds, SkeletonTestRecord::Values&)>;

    SkeletonTestServer(SkeletonTestServerConfig config, ValueSource values = nullptr,
                       LogWriter log = standardLogWriter());
    ~SkeletonTestServer();
    SkeletonTestServer(const SkeletonTestServer&) = delete;
    SkeletonTestServer& operator=(const SkeletonTestServer&) = delete;

    // Binds, listens and starts sending. False, with the reason in `error`, when the socket
    // cannot be opened, bound or listened on, or the configuration is out of range.
    bool Start(std::string& error);
    // Ends the sending thread and closes every connection. Idempotent.
    void Stop();

    // The port actually bound (after Start).
    std::uint16_t port() const { return boundPort_; }
    // Whole records sent, all clients together; a record is counted once all of it is sent.
    std::uint64_t recordsSent() const { return recordsSent_.load(); }
    // Clients accepted so far, and currently connected.
    std::uint64_t clientsAccepted() const { return clientsAccepted_.load(); }
    std::size_t clientCount() const { return clientCount_.load(); }

private:
    void SendLoop();
    void AcceptClients();
    // Sends a whole record to one client; false if the client must be dropped.
    bool SendAll(int client, const std::uint8_t* data, std::size_t size);

    SkeletonTestServerConfig config_;
    ValueSource values_;
    LogWriter log_;
    int listenSocket_ = -1;
    std::uint16_t boundPort_ = 0;
    std::vector<int> clients_;  // sending thread only
    std::atomic<std::uint64_t> recordsSent_{0};
    std::atomic<std::uint64_t> clientsAccepted_{0};
    std::atomic<std::size_t> clientCount_{0};
    WorkerThreads threads_;  // the sender; last, so it goes first
};

// Values from a streamed take: the channel values (the same a device's channel table holds)
// of the take's frame at each record's time, looping.
SkeletonTestServer::ValueSource channelValuesOf(std::shared_ptr<const Performance> performance);

}  // namespace telmora
