#pragma once
// The set monitor's model: every server heard, and the subjects someone asked to watch, each
// received through its own stream client and solved by its own channel table, exactly as the
// plug-in does. It turns all of that into the state a page shows, as JSON, and keeps a
// minute of rate and frame-interval samples for the plots.
//
// Threads: each watched stream's receive thread writes its table and health; Watch, Unwatch,
// Publish and WaitForFrames may be called from any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "live/stream_health.h"
#include "motion/channel_table.h"
#include "network/discovery_service.h"
#include "network/udp_stream_client.h"

namespace telmora {

// One rate and frame-interval sample of every watched stream, as JSON:
// {"seq":N,"t":SECONDS,"streams":{"ID":[RATE_HZ,INTERVAL_MS],...}}.
struct HistorySample {
    std::uint64_t seq = 0;
    std::string json;
};

// What a page is sent: the state at one moment, and the samples of the last minute. `head` is a
// JSON object without its closing brace; the sender appends the samples a page has not had.
struct Publication {
    std::string head;
    std::shared_ptr<const std::deque<HistorySample>> history;
};

// The health a page shows in colour: frames flowing, a frame late, or none for the stale time.
enum class StreamLight { kGreen, kAmber, kRed };

// Text of a stream that has had no frame for the stale time: "no frames for 1.2 s".
std::string noFramesText(double seconds);

class WatchedStream;

// A subject of a server: the server by its name and address (two machines may announce the same
// name); its stream port may change when it restarts.
struct WatchKey {
    std::string server, ip, subject;
    bool operator<(const WatchKey& other) const {
        return std::tie(server, ip, subject) < std::tie(other.server, other.ip, other.subject);
    }
};

class SetMonitor {
public:
    using Clock = std::chrono::steady_clock;
    // At most this many subjects are watched at once (each has a socket and two threads).
    static constexpr std::size_t kMaxWatched = 16;
    // The plots' span and their sampling.
    static constexpr std::chrono::seconds kHistorySpan{60};
    static constexpr std::chrono::milliseconds kSampleInterval{250};

    // Listens for announcements on `listenPort` from Start to Stop. Lines (a watched stream's
    // "Connecting to ...") go to `log`.
    explicit SetMonitor(LogWriter log);
    ~SetMonitor();
    SetMonitor(const SetMonitor&) = delete;
    SetMonitor& operator=(const SetMonitor&) = delete;

    void Start(int listenPort);
    // Ends every stream and the discovery. Idempotent.
    void Stop();
    bool Listening() const { return discovery_.Listening(); }

    // Starts watching a subject. False, with the reason in `error`, when no such server is heard
    // offering it or too many are watched already; true when it is watched already.
    bool Watch(const WatchKey& key, std::string& error);
    void Unwatch(const WatchKey& key);

    // The state as of `now`; also takes a history sample when one is due and (re)connects a
    // watched stream whose server now announces another address.
    std::shared_ptr<const Publication> Publish(Clock::time_point now);

    // Waits until a watched stream has accepted a frame since the last call, at most until
    // `deadline`; true when one has.
    bool WaitForFrames(Clock::time_point deadline);
    // Wakes a WaitForFrames at once (for stopping).
    void Wake();

private:
    void OnFrame();
    void ReconnectMoved(const ServerMap& servers);
    std::string ServersJson(const ServerMap& servers) const;
    void TakeSample(Clock::time_point now);

    LogWriter log_;
    DiscoveryService discovery_;
    Clock::time_point started_;

    mutable std::mutex mutex_;  // guards the members below
    std::map<WatchKey, std::unique_ptr<WatchedStream>> watched_;
    int nextId_ = 1;
    std::shared_ptr<const std::deque<HistorySample>> history_;
    std::uint64_t nextSeq_ = 1;
    Clock::time_point nextSample_;

    std::mutex frameMutex_;  // guards framesPending_ and woken_
    std::condition_variable frameArrived_;
    bool framesPending_ = false;
    bool woken_ = false;
};

}  // namespace telmora
