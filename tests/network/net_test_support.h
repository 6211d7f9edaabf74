#pragma once
// Shared pieces of the network tests: a thread-safe recorder to wait on, a log that captures
// the network layer's lines, and a loopback UDP peer playing a server or an announcer.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "network/log_writer.h"
#include "network/socket.h"

namespace telmora::test {

// Generous: these tests share a small machine with compilers.
inline constexpr std::chrono::milliseconds kDeadline{8000};
// For a whole stream between a sender and a receiver on that machine.
inline constexpr std::chrono::milliseconds kStreamDeadline{20000};

// A log that drops every line.
inline LogWriter quietLog() {
    return [](LogStream, const std::string&) {};
}

// Polls `condition` until it holds or `deadline` passes: for state that tells no one when it
// changes (a server list, a published state).
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = kStreamDeadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // polling interval
    }
    return true;
}

inline std::uint32_t loopback(std::uint8_t last) {
    return 0x7F000000u | last;
}  // 127.0.0.last

// Values pushed from any thread, and waits for a condition on them with a deadline.
template <typename T>
class Recorder {
public:
    void push(T value) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            items.push_back(std::move(value));
        }
        changed.notify_all();
    }

    std::vector<T> snapshot() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items.size();
    }

    // True once `holds(items)` is true; false if the deadline passes first.
    template <typename Predicate>
    bool waitFor(Predicate holds, std::chrono::milliseconds timeout = kDeadline) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return holds(items); });
    }

    bool waitForSize(std::size_t n, std::chrono::milliseconds timeout = kDeadline) const {
        return waitFor([n](const std::vector<T>& all) { return all.size() >= n; }, timeout);
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<T> items;
};

// Captures every line the network layer writes, in order, per stream.
class CapturedLog {
public:
    LogWriter writer() {
        return [this](LogStream stream, const std::string& line) { lines.push({stream, line}); };
    }

    std::vector<std::string> of(LogStream stream) const {
        std::vector<std::string> out;
        for (const auto& [s, line] : lines.snapshot()) {
            if (s == stream) out.push_back(line);
        }
        return out;
    }
    std::vector<std::string> out() const { return of(LogStream::Out); }
    std::vector<std::string> err() const { return of(LogStream::Err); }

    std::size_t count(LogStream stream, const std::string& line) const {
        const auto all = of(stream);
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }

    // Waits until `line` has been written at least `times` times on `stream`.
    bool waitForLine(LogStream stream, const std::string& line, std::size_t times = 1,
                     std::chrono::milliseconds timeout = kDeadline) const {
        return lines.waitFor(
            [&](const std::vector<std::pair<LogStream, std::string>>& all) {
                return static_cast<std::size_t>(std::count(all.begin(), all.end(),
                                                           std::make_pair(stream, line))) >= times;
            },
            timeout);
    }

    // Waits until `stream` holds at least `n` lines.
    bool waitForCount(LogStream stream, std::size_t n,
                      std::chrono::milliseconds timeout = kDeadline) const {
        return lines.waitFor(
            [&](const std::vector<std::pair<LogStream, std::string>>& all) {
                return static_cast<std::size_t>(std::count_if(
                           all.begin(), all.end(),
                           [&](const auto& entry) { return entry.first == stream; })) >= n;
            },
            timeout);
    }

private:
    Recorder<std::pair<LogStream, std::string>> lines;
};

struct PeerDatagram {
    std::vector<std::uint8_t> bytes;
    Ipv4Endpoint source;
    std::chrono::steady_clock::time_point arrival;
};

// A UDP socket on a loopback address: a stand-in server, a wrong sender, an announcer.
class LoopbackPeer {
public:
    // Binds to 127.0.0.`last`:`port` (port 0: any free one). Fails the test if it cannot.
    explicit LoopbackPeer(std::uint8_t last = 1, std::uint16_t port = 0);

    Ipv4Endpoint endpoint() const { return local; }
    std::uint16_t port() const { return local.port; }

    void send(const std::vector<std::uint8_t>& bytes, const Ipv4Endpoint& to) const;
    void send(const std::string& text, const Ipv4Endpoint& to) const;

    // The next datagram, or nothing once `timeout` has passed.
    std::optional<PeerDatagram> receive(std::chrono::milliseconds timeout = kDeadline) const;

private:
    UdpSocket socket;
    Ipv4Endpoint local;
};

// A UDP port that was free a moment ago.
std::uint16_t freeUdpPort();

inline std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace telmora::test
