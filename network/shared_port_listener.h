#pragma once
// One listening UDP socket per port, shared by every subscriber in the process.
//
// Two sockets cannot both own a UDP port, and two threads reading one socket split its
// datagrams between them. So the first subscriber of a port opens and binds the socket and
// starts the one thread that receives on it; that thread hands a copy of every datagram to
// every subscriber's inbox; the last subscriber to leave stops the thread and closes the socket.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "network/socket.h"

namespace telmora {

struct ReceivedDatagram {
    std::vector<std::uint8_t> bytes;  // exactly as received, possibly empty
    Ipv4Endpoint source;
    // Too long for the port's largest datagram: no bytes, and its length where the platform
    // tells it (0 otherwise).
    bool tooLong = false;
    std::size_t length = 0;
};

// Datagrams waiting for one subscriber's thread. Filled by the port's receive thread, emptied by
// the subscriber. Holds at most kCapacity datagrams; more are dropped until the subscriber
// catches up, so a stalled subscriber costs memory for a few datagrams only.
class DatagramInbox {
public:
    static constexpr std::size_t kCapacity = 64;

    // Empties the inbox and opens it again; for a subscriber that is about to subscribe.
    void Reset();
    // Waits for the next datagram. Empty when `stop` is set (and Wake called) or the port's
    // receive thread has ended for good.
    std::optional<ReceivedDatagram> Take(const std::atomic<bool>& stop);
    // Makes a Take in progress look at its stop flag again.
    void Wake();

    // Receive-thread side: a batch of datagrams, those beyond the capacity dropped.
    void Put(const ReceivedDatagram* datagrams, std::size_t count);
    void Close();

private:
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<ReceivedDatagram> queue;
    bool closed = false;
};

class PortListener;
struct PortListenerRegistry;

// A subscription to one port: while it lives, `inbox` receives every datagram that arrives on
// the port. Moving transfers the subscription; destroying or resetting it unsubscribes, and the
// last subscription of a port closes the socket before it returns, so the port can be bound
// again at once.
class PortListenerLease {
public:
    // How long the receive thread waits in one receive before it looks at its stop flag.
    static constexpr std::chrono::milliseconds kReceiveWait{20};

    PortListenerLease() noexcept = default;
    ~PortListenerLease();
    PortListenerLease(PortListenerLease&& other) noexcept;
    PortListenerLease& operator=(PortListenerLease&& other) noexcept;
    PortListenerLease(const PortListenerLease&) = delete;
    PortListenerLease& operator=(const PortListenerLease&) = delete;

    // Subscribes `inbox` (which must outlive the lease) to datagrams arriving on 0.0.0.0:`port`.
    // The first subscriber of a port opens and binds the socket; datagrams longer than
    // `maxDatagramSize` (the first subscriber's value) are dropped. Returns an empty lease with
    // `error` set to the platform's error number when the socket cannot be opened or bound.
    // Throws std::system_error when the receive thread cannot be started.
    static PortListenerLease Acquire(std::uint16_t port, std::size_t maxDatagramSize,
                                     DatagramInbox& inbox, int& error);

    explicit operator bool() const noexcept { return listener != nullptr; }
    void Reset() noexcept;

private:
    PortListenerLease(std::shared_ptr<PortListenerRegistry> registry, PortListener* listener,
                      DatagramInbox* inbox) noexcept;

    // Keeps the registry alive as long as any lease, whatever the order of static destruction.
    std::shared_ptr<PortListenerRegistry> registry;
    PortListener* listener = nullptr;  // owned by the registry
    DatagramInbox* inbox = nullptr;    // owned by the subscriber
};

}  // namespace telmora
