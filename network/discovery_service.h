#pragma once
// The list of Telmora servers currently announcing themselves on the local network.
//
// Servers send one JSON object per UDP datagram to the listening port (kDefaultListenPort,
// 22000, by default; the announcement's members are in network/protocol.h):
//   {"pluginName": "Quenbrix", "serverName": "...", "streamPort": 5000, "subjects": ["..."]}
// "pluginName" is optional; other members are ignored. The service keeps one ServerInfo per
// sender address and server name (two servers on one machine are two entries; a server that
// restarts on another stream port updates its own), refreshes it on every announcement, drops it
// once it has been silent for longer than the time-out, and tells one registered listener
// whenever the list changes.
//
// Several services may listen on the same port in one process (one device per performer): each
// sees every announcement, and stopping one leaves the others listening.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "network/datagram_tap.h"
#include "network/log_writer.h"
#include "network/protocol.h"
#include "network/shared_port_listener.h"
#include "network/worker_threads.h"

namespace telmora {

// One announcing server, as its last accepted announcement described it.
struct ServerInfo {
    std::string serverName;             // "serverName" of the announcement; the name users pick
    std::string ip;                     // sender's IPv4 address, dotted decimal
    std::int32_t streamPort = 0;        // "streamPort": where keep-alives go, 1..65535
    std::vector<std::string> subjects;  // "subjects", in the order the server gave them
    std::chrono::steady_clock::time_point lastSeen;  // when the last announcement arrived
};

// Servers by sender address and name (serverKey). Iteration order carries no meaning.
using ServerMap = std::unordered_map<std::string, ServerInfo>;

// The key of a server's entry: its address and its name (a NUL cannot occur in an address).
inline std::string serverKey(const std::string& ip, const std::string& serverName) {
    return ip + '\0' + serverName;
}

class DiscoveryService {
public:
    // Announcements are at most this long; a longer datagram is dropped unread.
    static constexpr std::size_t kMaxAnnouncementSize = kMaxAnnouncementDatagramSize;
    // The most servers listed at once. While the list is full a server not yet on it is not
    // listed (one line a second says so); those listed, the chosen one among them, stay until
    // they time out. A storm of names so never fills the panel's lists with thousands.
    static constexpr std::size_t kMaxServers = 256;

    // Stopped: no socket, no threads, empty list. Lines go to `log` (by default the standard
    // streams, a few lines of a kind a second).
    explicit DiscoveryService(LogWriter log = boundedLogWriter(standardLogWriter()));
    // Stops the service if its owner has not.
    ~DiscoveryService();
    DiscoveryService(const DiscoveryService&) = delete;
    DiscoveryService& operator=(const DiscoveryService&) = delete;

    // A server silent for more whole seconds than this is removed. Default 10: a server leaves
    // the list 11 s to 11 s + one sweep period after its last announcement. Read at Start.
    double serverTimeoutSeconds = 10;
    // Pause of the sweeper between two sweeps, in seconds (at least 1 ms). Read at Start.
    double sweepPeriodSeconds = 5;

    // Stops, then listens on 0.0.0.0:`listenPort`. A port that cannot be bound (in use, no
    // permission) writes "Bind failed with error: " + the platform's code to standard error, a
    // port outside 0..65535 "Invalid listening port: " + it; the service then only ages its
    // list until the next Start. The list is kept across
    // restarts. Returns within a few tens of milliseconds; never throws.
    void Start(int listenPort);
    // Ends both threads and leaves the port (closing it if no other service listens on it).
    // Idempotent; returns within a few tens of milliseconds.
    void Stop();
    // A copy of the current list.
    ServerMap GetServers() const;
    // False after a Start whose port could not be bound (in use, no permission, out of range),
    // until the next Start that binds; true before the first Start.
    bool Listening() const { return listening.load(); }
    // The port of the last Start.
    int ListenPort() const { return listenPort.load(); }
    // Installs `callback` as the one listener, replacing any earlier one; it is called after
    // each change of the list, on the service's threads, never twice at once. It may call
    // GetServers and may release its own token; it must not call RegisterUpdateCallback. An
    // empty callback is never called.
    // Lifetime: the callback runs only while the returned token (or a copy) is held. Once the
    // last copy has been released, or another callback registered, on a thread other than the
    // service's own, no call of the earlier callback is running and none will start: the
    // release (or the registration) waits for a running call to return. So a listener may be
    // destroyed right after releasing its token, but must not release it while its callback is
    // waiting for the releasing thread. The token may outlive the service.
    std::shared_ptr<void> RegisterUpdateCallback(std::function<void()> callback);

    // Shows `tap` every datagram heard on the port (but those too long to keep); null: none.
    // Any thread but the service's own.
    void SetTap(std::shared_ptr<DatagramTap> tap);

    // What the listening thread does with one datagram from the port: parses it as an
    // announcement and, if it is a valid one addressed to us, adds or refreshes its sender's
    // entry (telling the listener when the entry changed). Anything else leaves the list as it
    // was and writes why to the log. Needs no socket, so any bytes can be driven through it
    // directly; call it only where the listening thread could (one call at a time).
    void HandleAnnouncement(const ReceivedDatagram& datagram);

private:
    void StopLocked();
    void RequestStop();
    void ListenLoop();
    void SweepLoop(double timeoutSeconds, std::chrono::nanoseconds period);
    void Sweep(double timeoutSeconds);
    void NotifyUpdate();

    // Two servers announcing one name from one address look like one server whose stream port
    // flips: each change back to the port before is counted, and said at most once a minute.
    struct PortFlips {
        std::int32_t previousPort = 0;
        int returns = 0;  // changes back to the port before
        std::chrono::steady_clock::time_point lastWarning;
        bool warned = false;
    };
    void NotePortChange(const std::string& key, const ServerInfo& info, std::int32_t newPort,
                        std::chrono::steady_clock::time_point now);

    std::atomic<bool> listening{true};
    std::atomic<int> listenPort{kDefaultListenPort};
    std::unordered_map<std::string, PortFlips> portFlips;  // listening thread only
    // Servers not listed because the list was full: how many since the last line said so, and
    // when that was (listening thread only).
    std::uint64_t refusedWhileFull = 0;
    std::chrono::steady_clock::time_point lastFullLine{};
    mutable std::mutex
        serversMutex;          // guards servers; taken after callbackMutex when both are held
    std::mutex callbackMutex;  // held for every call of updateCallback
    ServerMap servers;
    std::function<void()> updateCallback;
    std::mutex tapMutex;  // held for every call of tap
    std::shared_ptr<DatagramTap> tap;
    DatagramInbox inbox;          // announcements from the port, waiting for listenThread
    PortListenerLease portLease;  // this service's share of the listening socket
    std::mutex lifecycleMutex;    // serialises Start and Stop from different threads
    LogWriter log;
    WorkerThreads threads;  // the listener and the sweeper; last, so it goes first
};

}  // namespace telmora
