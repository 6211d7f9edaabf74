#include "network/shared_port_listener.h"

#include <algorithm>
#include <array>
#include <exception>
#include <thread>
#include <utility>

#include "network/flood_watch.h"
#include "network/worker_threads.h"

namespace telmora {

void DatagramInbox::Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    queue.clear();
    closed = false;
}

std::optional<ReceivedDatagram> DatagramInbox::Take(const std::atomic<bool>& stop) {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return stop.load() || closed || !queue.empty(); });
    if (stop.load() || queue.empty()) return std::nullopt;
    ReceivedDatagram datagram = std::move(queue.front());
    queue.pop_front();
    return datagram;
}

void DatagramInbox::Wake() {
    {
        // The stop flag was set before this; taking the mutex orders it before the next check
        // of a Take that is about to wait.
        std::lock_guard<std::mutex> lock(mutex);
    }
    ready.notify_all();
}

void DatagramInbox::Put(const ReceivedDatagram* datagrams, std::size_t count) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (closed) return;
        wasEmpty = queue.empty();
        for (std::size_t i = 0; i < count && queue.size() < kCapacity; ++i)
            queue.push_back(datagrams[i]);
    }
    // Take waits only on an empty queue: under a flood the taker drains many per wake-up.
    if (wasEmpty) ready.notify_one();
}

void DatagramInbox::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    ready.notify_all();
}

// The socket of one port and the thread that receives on it.
class PortListener {
public:
    PortListener(std::uint16_t port, std::size_t maxDatagramSize, UdpSocket socket)
        : port(port), maxDatagramSize(maxDatagramSize), socket(std::move(socket)) {}

    ~PortListener() {
        threads.RequestStop();
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            socket.shutdown();
        }
        threads.Stop();
        socket.close();
    }

    PortListener(const PortListener&) = delete;
    PortListener& operator=(const PortListener&) = delete;

    void StartThread() {
        threads.Start([this] { ReceiveLoop(); });
    }

    void Subscribe(DatagramInbox* inbox) {
        std::lock_guard<std::mutex> lock(subscribersMutex);
        if (failed.load()) {
            inbox->Close();
            return;
        }
        subscribers.push_back(inbox);
    }

    void Unsubscribe(DatagramInbox* inbox) {
        std::lock_guard<std::mutex> lock(subscribersMutex);
        subscribers.erase(std::remove(subscribers.begin(), subscribers.end(), inbox),
                          subscribers.end());
    }

    bool Failed() const { return failed.load(); }

    const std::uint16_t port;

private:
    void ReceiveLoop() {
        try {
            // Several datagrams a wait: under a flood one system call brings a batch, and the
            // subscribers' lock is taken once for it.
            constexpr std::size_t kBatch = 32;
            std::vector<std::uint8_t> buffers(kBatch * maxDatagramSize);
            std::array<ReceiveResult, kBatch> results;
            std::vector<ReceivedDatagram> batch(kBatch);
            FloodWatch flood;
            bool fatal = false;
            while (!threads.Stopping() && !fatal) {
                // Under a flood, a short pause lets datagrams gather so one wake-up takes many;
                // announcements come once a second, a pause of a millisecond costs them nothing.
                if (flood.flooded()) std::this_thread::sleep_for(FloodWatch::kPause);
                const std::size_t received =
                    socket.receiveBatch(buffers.data(), maxDatagramSize, results.data(), kBatch);
                std::size_t kept = 0;
                for (std::size_t i = 0; i < received; ++i) {
                    const ReceiveResult& result = results[i];
                    if (result.outcome == ReceiveOutcome::Fatal) {
                        fatal = true;
                        break;
                    }
                    // Nothing yet, or a datagram too long for the protocol: listening goes on;
                    // the subscribers hear of the long one, to say so.
                    const bool tooLong =
                        result.outcome == ReceiveOutcome::Dropped && result.tooLong;
                    if (result.outcome != ReceiveOutcome::Datagram && !tooLong) continue;
                    flood.count(std::chrono::steady_clock::now());
                    ReceivedDatagram& datagram = batch[kept++];
                    const std::uint8_t* bytes = buffers.data() + i * maxDatagramSize;
                    if (tooLong) {
                        datagram.bytes.clear();
                    } else {
                        datagram.bytes.assign(bytes, bytes + result.size);
                    }
                    datagram.source = result.source;
                    datagram.tooLong = tooLong;
                    datagram.length = tooLong ? result.size : datagram.bytes.size();
                }
                if (kept == 0) continue;
                std::lock_guard<std::mutex> lock(subscribersMutex);
                for (DatagramInbox* inbox : subscribers) inbox->Put(batch.data(), kept);
            }
        } catch (const std::exception&) {
            // Only allocation can throw here; the port then ends like on a socket failure.
        }
        if (threads.Stopping()) return;

        // The socket cannot receive any more. Free the port at once, so that a later Start can
        // bind it afresh, and tell every subscriber that nothing more will come.
        {
            std::lock_guard<std::mutex> lock(socketMutex);
            socket.close();
        }
        std::lock_guard<std::mutex> lock(subscribersMutex);
        failed.exchange(true);
        for (DatagramInbox* inbox : subscribers) inbox->Close();
    }

    const std::size_t maxDatagramSize;
    UdpSocket socket;        // received on by the thread only; closed by it or after the join
    std::mutex socketMutex;  // orders the thread's close against the destructor's shutdown
    std::atomic<bool> failed{false};
    std::mutex subscribersMutex;  // taken before any inbox's mutex
    std::vector<DatagramInbox*> subscribers;
    WorkerThreads threads;  // last, so it goes first
};

struct PortListenerRegistry {
    struct Entry {
        std::unique_ptr<PortListener> listener;
        int users = 0;
    };
    std::mutex mutex;  // held across open, bind and close, so a port is never bound twice
    std::vector<Entry> entries;
};

namespace {

std::shared_ptr<PortListenerRegistry> sharedRegistry() {
    static const std::shared_ptr<PortListenerRegistry> registry =
        std::make_shared<PortListenerRegistry>();
    return registry;
}

}  // namespace

PortListenerLease::PortListenerLease(std::shared_ptr<PortListenerRegistry> registry,
                                     PortListener* listener, DatagramInbox* inbox) noexcept
    : registry(std::move(registry)), listener(listener), inbox(inbox) {}

PortListenerLease::~PortListenerLease() {
    Reset();
}

PortListenerLease::PortListenerLease(PortListenerLease&& other) noexcept
    : registry(std::move(other.registry)),
      listener(std::exchange(other.listener, nullptr)),
      inbox(std::exchange(other.inbox, nullptr)) {}

PortListenerLease& PortListenerLease::operator=(PortListenerLease&& other) noexcept {
    if (this != &other) {
        Reset();
        registry = std::move(other.registry);
        listener = std::exchange(other.listener, nullptr);
        inbox = std::exchange(other.inbox, nullptr);
    }
    return *this;
}

PortListenerLease PortListenerLease::Acquire(std::uint16_t port, std::size_t maxDatagramSize,
                                             DatagramInbox& inbox, int& error) {
    error = 0;
    std::shared_ptr<PortListenerRegistry> registry = sharedRegistry();
    std::lock_guard<std::mutex> lock(registry->mutex);

    auto entry = std::find_if(registry->entries.begin(), registry->entries.end(),
                              [port](const PortListenerRegistry::Entry& e) {
                                  return e.listener->port == port && !e.listener->Failed();
                              });
    if (entry == registry->entries.end()) {
        UdpSocket socket;
        if ((error = socket.open()) != 0) return PortListenerLease();
        if ((error = socket.bind(Ipv4Endpoint{0, port})) != 0) return PortListenerLease();
        socket.setReceiveTimeout(kReceiveWait);
        auto listener = std::make_unique<PortListener>(port, maxDatagramSize, std::move(socket));
        listener->StartThread();
        registry->entries.push_back(PortListenerRegistry::Entry{std::move(listener), 0});
        entry = registry->entries.end() - 1;
    }
    ++entry->users;
    entry->listener->Subscribe(&inbox);
    return PortListenerLease(std::move(registry), entry->listener.get(), &inbox);
}

void PortListenerLease::Reset() noexcept {
    if (listener == nullptr) return;
    std::unique_ptr<PortListener> last;
    {
        std::lock_guard<std::mutex> lock(registry->mutex);
        listener->Unsubscribe(inbox);
        auto entry = std::find_if(
            registry->entries.begin(), registry->entries.end(),
            [this](const PortListenerRegistry::Entry& e) { return e.listener.get() == listener; });
        if (entry != registry->entries.end() && --entry->users == 0) {
            // Closed while the registry is held: an Acquire waiting for it binds a free port.
            last = std::move(entry->listener);
            registry->entries.erase(entry);
            last.reset();
        }
    }
    listener = nullptr;
    inbox = nullptr;
    registry.reset();
}

}  // namespace telmora
