#pragma once
// The test sender: a stand-in Telmora server that streams recorded or synthetic performances.
//
// It announces itself once a period to a discovery address, listens on its stream port for
// "mobu:" + subject keep-alives and streams that subject's sensor frames to whichever endpoint
// asked, at a fixed rate paced by the steady clock, looping the performance. An endpoint silent
// for longer than the client time-out is dropped. Stopping sends the one-byte stream-end
// datagram (255) to every client still served.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network/log_writer.h"
#include "network/protocol.h"
#include "network/socket.h"
#include "network/worker_threads.h"
#include "tools/performance/performance.h"

namespace telmora {

struct SimServerConfig {
    // "serverName" of the announcements.
    std::string serverName = "Telmora Sim";
    // Where announcements go: the plug-in's discovery port.
    std::string announceAddress = "127.0.0.1";
    std::uint16_t announcePort = kDefaultListenPort;
    std::chrono::milliseconds announceInterval{1000};
    // Address and port of the stream socket; port 0 lets the system choose (see streamPort()).
    std::string bindAddress = "127.0.0.1";
    std::uint16_t streamPort = 0;
    // Sensor frames per second sent to each client, 1 .. kMaxFrameRate.
    double frameRate = 60.0;
    // A client whose last keep-alive is older than this is dropped.
    std::chrono::milliseconds clientTimeout{6000};
    // Recorded subjects: how fast their datagrams follow each other (2 is twice the captured
    // pace), and whether they start over after the last one.
    double replaySpeed = 1.0;
    bool replayLoop = false;
    // Keep each sensor frame's send time (see sentFrames()): for latency measurements.
    bool keepSendTimes = false;
};

// A sensor frame as it left the stream socket: its client and the steady clock just after
// sendto returned.
struct SentFrame {
    Ipv4Endpoint to;
    std::chrono::steady_clock::time_point at;
};

// A subject's datagrams as a capture recorded them: sent in order, each at its offset from the
// first (scaled by the replay speed), exactly as captured.
struct RecordedDatagrams {
    std::vector<std::int64_t> offsetMicros;  // never decreasing, the first 0
    std::vector<std::vector<std::uint8_t>> datagrams;
};

// One subject the server offers: a name and the performance streamed under it, or the recorded
// datagrams replayed under it. A server's subjects are all of one kind.
struct SimSubject {
    std::string name;
    std::shared_ptr<const Performance> performance;
    std::shared_ptr<const RecordedDatagrams> recorded = nullptr;
};

class SimServer {
public:
    static constexpr double kMaxFrameRate = 1000.0;

    SimServer(SimServerConfig config, std::vector<SimSubject> subjects,
              LogWriter log = standardLogWriter());
    // Stops the server if its owner has not.
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Encodes every subject's frames, binds the stream socket and starts announcing, receiving
    // and streaming. False, with the reason in `error`, when a socket cannot be opened or bound
    // or the configuration is out of range.
    bool Start(std::string& error);
    // Ends streaming, sends the stream-end datagram to every client, ends every thread.
    // Idempotent.
    void Stop() { Shutdown(true); }

    // Holds the stream (false) or lets it go on (true), announcements and keep-alives going on
    // as before: a server that stalls. Any thread.
    void SetStreaming(bool streaming) { streaming_.store(streaming); }
    // Ends every thread and closes the sockets without a word to the clients (no end-of-stream
    // datagram): a server that died. Idempotent; Stop after it does nothing.
    void Kill();

    // The stream port actually bound (after Start).
    std::uint16_t streamPort() const { return boundStreamPort_; }
    // Sensor frames sent so far, all clients together.
    std::uint64_t framesSent() const { return framesSent_.load(); }
    // Stream-end datagrams sent by Stop.
    std::uint64_t endMarkersSent() const { return endMarkersSent_.load(); }
    std::uint64_t announcementsSent() const { return announcementsSent_.load(); }
    // Endpoints currently streamed to.
    std::vector<Ipv4Endpoint> clients() const;
    // Every sensor frame sent so far, in sending order, when the configuration keeps send
    // times; empty otherwise.
    std::vector<SentFrame> sentFrames() const;
    // The announcement text (JSON).
    std::string announcement() const;

private:
    struct Client {
        int subject = 0;                                  // index into subjects_
        std::uint64_t firstTick = 0;                      // stream tick of its first frame
        std::chrono::steady_clock::time_point lastHeard;  // last keep-alive
        // Recorded subjects: when its replay (or its current round) began, and the next
        // datagram; `done` once the last has gone and the replay does not loop.
        std::chrono::steady_clock::time_point replayStart;
        std::size_t nextRecorded = 0;
        bool done = false;
    };
    using ClientKey = std::uint64_t;  // address << 16 | port
    struct Send {
        Ipv4Endpoint to;
        const std::vector<std::uint8_t>* datagram;
    };

    void Shutdown(bool sayGoodbye);
    void AnnounceLoop();
    void ReceiveLoop();
    void StreamLoop();
    void ReplayLoop();
    // Sends the frames of one tick (stream thread).
    void SendFrames(const std::vector<Send>& sends);
    bool recorded() const { return !subjects_.empty() && subjects_.front().recorded != nullptr; }
    void HandleKeepAlive(const std::uint8_t* data, std::size_t size, const Ipv4Endpoint& from);
    void DropSilentClients(std::chrono::steady_clock::time_point now);
    // Waits until `deadline` or a stop; true when stopping.

    SimServerConfig config_;
    std::vector<SimSubject> subjects_;
    // Per subject, one encoded sensor frame per performance frame.
    std::vector<std::vector<std::vector<std::uint8_t>>> datagrams_;
    LogWriter log_;

    UdpSocket streamSocket_;    // keep-alives in, frames and end markers out
    UdpSocket announceSocket_;  // announcements out
    Ipv4Endpoint announceEndpoint_;
    std::uint16_t boundStreamPort_ = 0;

    mutable std::mutex clientsMutex_;  // guards clients_ and streamTick_
    std::map<ClientKey, Client> clients_;
    std::uint64_t streamTick_ = 0;

    std::atomic<bool> streaming_{true};
    bool running_ = false;

    mutable std::mutex sentMutex_;  // guards sent_
    std::vector<SentFrame> sent_;
    std::atomic<std::uint64_t> framesSent_{0};
    std::atomic<std::uint64_t> endMarkersSent_{0};
    std::atomic<std::uint64_t> announcementsSent_{0};
    WorkerThreads threads_;  // announcer, receiver, streamer; last, so it goes first
};

}  // namespace telmora
