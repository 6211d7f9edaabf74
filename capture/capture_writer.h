#pragma once
// Raw capture: every datagram shown to the writer goes to a classic pcap file, each with an
// IPv4 and a UDP header built from its endpoints, so Wireshark and tshark open the file as it is
// and the replay tools read it back.
//
// The sockets' threads only hand the bytes over (Tap: a copy into a slot under a short lock); a
// thread of the writer's own writes them out every tenth of a second and flushes the file at
// least once a second, so a crash loses at most the last second. A write error (a full disk)
// stops the capture with one logged line; the sockets carry on as before.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "network/datagram_tap.h"
#include "network/log_writer.h"
#include "network/worker_threads.h"

namespace telmora {

// What a capture has done so far.
struct CaptureFigures {
    bool running = false;       // between a successful Start and Stop or a write error
    std::uint64_t written = 0;  // datagrams in the file (flushed or about to be)
    std::uint64_t dropped = 0;  // handed over while the writer was a whole queue behind
    std::string path;           // the file of the last Start
    std::string error;          // why the capture stopped by itself ("" while it has not)
};

class CaptureWriter : public DatagramTap {
public:
    // Datagrams the writer can be behind before more are dropped (several seconds of a stream).
    static constexpr std::size_t kQueueLength = 4096;
    static constexpr std::chrono::milliseconds kWritePeriod{100};
    static constexpr std::chrono::seconds kFlushPeriod{1};

    explicit CaptureWriter(LogWriter log = standardLogWriter());
    ~CaptureWriter() override;
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Stops a running capture, then creates (or truncates) `path` and starts writing to it.
    // False with `error` set when the file cannot be made or the build has no pcap library.
    bool Start(const std::string& path, std::string& error);
    // Writes what is queued, closes the file and ends the thread. Idempotent.
    void Stop();
    CaptureFigures Figures() const;

    // Any thread, several at once: copies the datagram into the queue.
    void Tap(const TappedDatagram& datagram) noexcept override;

    // Whether this build can write captures (it has libpcap).
    static bool Available();

private:
    struct Slot {
        std::chrono::system_clock::time_point at;
        Ipv4Endpoint from, to;
        std::vector<std::uint8_t> bytes;
    };
    void StopLocked();
    void WriteLoop();
    // Writes one batch; false when the file failed (the error is then set).
    bool WriteBatch(std::vector<Slot>& batch, std::size_t count);
    std::uint32_t HereFacing(std::uint32_t remote);
    // Stops accepting after a write error (errno), with one logged line.
    void FailWriting();

    std::atomic<bool> accepting{false};
    mutable std::mutex queueMutex;  // guards filling, fillCount and figures
    std::vector<Slot> filling;      // slots keep their buffers from batch to batch
    std::size_t fillCount = 0;
    CaptureFigures figures;
    std::vector<Slot> draining;  // writer thread only

    std::mutex lifecycleMutex;

    void* dumper = nullptr;  // pcap_dumper_t, writer thread (and Start/Stop) only
    void* dead = nullptr;    // pcap_t of the file's link type
    std::uint16_t nextId = 0;
    std::map<std::uint32_t, std::uint32_t> hereFacing;  // writer thread only
    LogWriter log;
    WorkerThreads threads;  // the writer; last, so it goes first
};

}  // namespace telmora
