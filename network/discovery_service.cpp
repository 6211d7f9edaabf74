#include "network/discovery_service.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

#include "network/announcement.h"

namespace telmora {
namespace {

// The longest pause accepted for the sweeper: far beyond any use, and safe from overflow.
constexpr double kLongestSweepPeriodSeconds = 24.0 * 3600.0;

// One registration's half of the callback lifetime contract. The service's wrapper holds
// `mutex` for each call and calls only while `open`; releasing the registrant's last token
// closes the gate under the same mutex, so the release returns only once no call is running,
// and none starts after it. Recursive because the callback itself may drop the last token: the
// release then closes the gate on the thread already holding it and the call finishes as usual.
// The gate is shared by the token and the wrapper, so either may outlive the service.
struct CallbackGate {
    std::recursive_mutex mutex;
    std::atomic<bool> open{true};
};

void closeGate(CallbackGate& gate) noexcept {
    try {
        std::lock_guard<std::recursive_mutex> lock(gate.mutex);
        gate.open.store(false);
    } catch (const std::exception&) {
        // The mutex could not be taken; a call may be running, but none starts after this.
        gate.open.store(false);
    }
}

std::chrono::nanoseconds sweepPeriodOf(double seconds) {
    // NaN fails both comparisons and becomes the shortest period.
    if (!(seconds >= 0.001)) seconds = 0.001;
    if (seconds > kLongestSweepPeriodSeconds) seconds = kLongestSweepPeriodSeconds;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

}  // namespace

DiscoveryService::DiscoveryService(LogWriter log) : log(std::move(log)) {}

DiscoveryService::~DiscoveryService() {
    Stop();
}

void DiscoveryService::Start(int listenPort) {
    if (threads.OnOwnThread()) {
        writeLine(log, LogStream::Err,
                  "Start ignored: it was called from the discovery service's own thread.\n");
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    StopLocked();
    this->listenPort.store(listenPort);
    listening.store(false);
    try {
        if (listenPort < 0 || listenPort > 65535) {
            writeLine(log, LogStream::Err,
                      "Invalid listening port: " + std::to_string(listenPort) + "\n");
        } else {
            inbox.Reset();
            int error = 0;
            portLease = PortListenerLease::Acquire(static_cast<std::uint16_t>(listenPort),
                                                   kMaxAnnouncementSize, inbox, error);
            if (!portLease) {
                writeLine(log, LogStream::Err,
                          "Bind failed with error: " + std::to_string(error) + "\n");
            } else {
                listening.store(true);
            }
        }
        // Without a port there is nothing to listen to; the sweeper still ages the list.
        if (portLease) threads.Start([this] { ListenLoop(); });
        threads.Start([this, timeout = serverTimeoutSeconds,
                       period = sweepPeriodOf(sweepPeriodSeconds)] { SweepLoop(timeout, period); });
    } catch (const std::exception& error) {
        // What did start keeps running until the next Stop, which ends it.
        writeLine(log, LogStream::Err,
                  std::string("Could not start the discovery threads: ") + error.what() + "\n");
    }
}

void DiscoveryService::Stop() {
    // From the update callback the threads can only be asked to end; the owner's next Stop,
    // Start or the destructor joins them. The owner may be holding the lifecycle mutex while
    // it waits for this very thread.
    if (threads.OnOwnThread()) {
        RequestStop();
        return;
    }
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    StopLocked();
}

void DiscoveryService::RequestStop() {
    threads.RequestStop();
    inbox.Wake();
}

void DiscoveryService::StopLocked() {
    RequestStop();
    threads.Stop();
    portLease.Reset();
}

ServerMap DiscoveryService::GetServers() const {
    try {
        std::lock_guard<std::mutex> lock(serversMutex);
        return servers;
    } catch (const std::exception&) {
        return ServerMap();
    }
}

std::shared_ptr<void> DiscoveryService::RegisterUpdateCallback(std::function<void()> callback) {
    // On the service's own threads this can only come from inside the listener, which holds
    // callbackMutex: taking it again would hang the thread for good.
    if (threads.OnOwnThread()) {
        writeLine(log, LogStream::Err,
                  "RegisterUpdateCallback ignored: it was called from the update callback.\n");
        return nullptr;
    }
    try {
        auto gate = std::make_shared<CallbackGate>();
        std::function<void()> wrapper = [callback = std::move(callback), gate]() {
            // Once the registrant has let go of every copy of its token, it is no longer
            // there to be told.
            std::lock_guard<std::recursive_mutex> lock(gate->mutex);
            if (!gate->open.load() || !callback) return;
            callback();
        };
        // Made before the wrapper is installed: if this throws, nothing was registered.
        std::shared_ptr<void> token(gate.get(), [gate](void*) { closeGate(*gate); });
        {
            // Waits for a running call of the earlier callback, which is never called again.
            std::lock_guard<std::mutex> lock(callbackMutex);
            updateCallback = std::move(wrapper);
        }
        return token;
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err,
                  std::string("Could not register the update callback: ") + error.what() + "\n");
        return nullptr;
    }
}

void DiscoveryService::SetTap(std::shared_ptr<DatagramTap> newTap) {
    std::lock_guard<std::mutex> lock(tapMutex);
    tap = std::move(newTap);
}

void DiscoveryService::ListenLoop() {
    for (;;) {
        try {
            std::optional<ReceivedDatagram> datagram = inbox.Take(threads.StopFlag());
            // Stopped, or the port's socket failed: this service is deaf until the next Start.
            if (!datagram) return;
            {
                std::lock_guard<std::mutex> lock(tapMutex);
                if (tap && !datagram->tooLong) {
                    const Ipv4Endpoint here{0, static_cast<std::uint16_t>(listenPort.load())};
                    tap->Tap(TappedDatagram{std::chrono::system_clock::now(), datagram->source,
                                            here, datagram->bytes.data(), datagram->bytes.size()});
                }
            }
            HandleAnnouncement(*datagram);
        } catch (const std::exception& error) {
            writeLine(log, LogStream::Err,
                      std::string("Announcement dropped: ") + error.what() + "\n");
        }
    }
}

void DiscoveryService::HandleAnnouncement(const ReceivedDatagram& datagram) {
    if (datagram.tooLong) {
        writeLine(log, LogStream::Err,
                  "Announcement dropped: " +
                      (datagram.length > 0 ? std::to_string(datagram.length) + " bytes"
                                           : std::string("more bytes")) +
                      " from " + formatIpv4(datagram.source.address) + ", longer than " +
                      std::to_string(kMaxAnnouncementSize) + "\n");
        return;
    }
    if (datagram.bytes.empty()) return;
    Announcement announcement;
    std::string error;
    switch (parseAnnouncement(datagram.bytes.data(), datagram.bytes.size(), announcement, error)) {
        case AnnouncementVerdict::kOurs:
            break;
        case AnnouncementVerdict::kOtherPlugin:
            return;
        case AnnouncementVerdict::kInvalid:
            if (!error.empty()) {
                writeLine(log, LogStream::Err, error + "\n");
            } else {
                // The library's message costs an exception: made only for a line the log
                // writes, not for each datagram of a flood.
                writeLineLazily(log, LogStream::Err, "JSON parse error", [&] {
                    return explainAnnouncement(datagram.bytes.data(), datagram.bytes.size()) + "\n";
                });
            }
            return;
    }
    const std::string& serverName = announcement.serverName;
    const std::int32_t streamPort = announcement.streamPort;
    const std::vector<std::string>& subjects = announcement.subjects;

    const std::string ip = formatIpv4(datagram.source.address);
    const std::string key = serverKey(ip, serverName);
    const auto now = std::chrono::steady_clock::now();
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(serversMutex);
        auto known = servers.find(key);
        if (known == servers.end() && servers.size() >= kMaxServers) {
            ++refusedWhileFull;
            if (now - lastFullLine >= std::chrono::seconds(1)) {
                writeLine(log, LogStream::Err,
                          "Server list full: " + std::to_string(kMaxServers) + " servers listed, " +
                              std::to_string(refusedWhileFull) + " more not listed (the last '" +
                              escapeControlCharacters(serverName) + "' from " + ip + ")\n");
                lastFullLine = now;
                refusedWhileFull = 0;
            }
            return;
        }
        if (known != servers.end() && known->second.streamPort == streamPort &&
            known->second.subjects == subjects) {
            known->second.lastSeen = now;
        } else {
            if (known != servers.end() && known->second.streamPort != streamPort)
                NotePortChange(key, known->second, streamPort, now);
            ServerInfo& info = servers[key];
            info.serverName = serverName;
            info.ip = ip;
            info.streamPort = streamPort;
            info.subjects = subjects;
            info.lastSeen = now;
            changed = true;
        }
    }
    if (changed) NotifyUpdate();
    writeLine(log, LogStream::Out,
              "Discovered server: " + escapeControlCharacters(serverName) + " at " + ip + ":" +
                  std::to_string(streamPort) + "\n");
}

void DiscoveryService::NotePortChange(const std::string& key, const ServerInfo& info,
                                      std::int32_t newPort,
                                      std::chrono::steady_clock::time_point now) {
    // Bounded whatever is announced: the history only makes a warning, so it may be forgotten.
    if (portFlips.size() > 1024) portFlips.clear();
    PortFlips& flips = portFlips[key];
    if (flips.previousPort == newPort) ++flips.returns;
    flips.previousPort = info.streamPort;
    // A server that moved, or moved and came back, is followed quietly.
    if (flips.returns < 2) return;
    if (flips.warned && now - flips.lastWarning < std::chrono::minutes(1)) return;
    flips.warned = true;
    flips.lastWarning = now;
    writeLine(log, LogStream::Err,
              "Two servers announce the name '" + escapeControlCharacters(info.serverName) +
                  "' from " + info.ip + " (stream ports " + std::to_string(info.streamPort) +
                  " and " + std::to_string(newPort) + "): the entry follows the last one heard\n");
}

void DiscoveryService::SweepLoop(double timeoutSeconds, std::chrono::nanoseconds period) {
    try {
        while (
            !threads.PauseFor(std::chrono::duration_cast<WorkerThreads::Clock::duration>(period)))
            Sweep(timeoutSeconds);
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err, std::string("Sweep loop failed: ") + error.what() + "\n");
    }
}

void DiscoveryService::Sweep(double timeoutSeconds) {
    const auto now = std::chrono::steady_clock::now();
    bool removed = false;
    {
        std::lock_guard<std::mutex> lock(serversMutex);
        for (auto entry = servers.begin(); entry != servers.end();) {
            // Whole seconds, truncated: with the default 10, a server goes at 11 s of silence.
            const auto silentSeconds =
                std::chrono::duration_cast<std::chrono::seconds>(now - entry->second.lastSeen)
                    .count();
            if (static_cast<double>(silentSeconds) > timeoutSeconds) {
                writeLine(log, LogStream::Out,
                          "Removing timed out server: " +
                              escapeControlCharacters(entry->second.serverName) + "\n");
                entry = servers.erase(entry);
                removed = true;
            } else {
                ++entry;
            }
        }
    }
    if (removed) NotifyUpdate();
}

void DiscoveryService::NotifyUpdate() {
    std::lock_guard<std::mutex> lock(callbackMutex);
    if (!updateCallback) return;
    // A listener's fault must not end the thread that told it.
    try {
        updateCallback();
    } catch (const std::exception& error) {
        writeLine(log, LogStream::Err,
                  std::string("Update callback failed: ") + error.what() + "\n");
    } catch (...) {
        writeLine(log, LogStream::Err, "Update callback failed.\n");
    }
}

}  // namespace telmora
