#pragma once
// The threads of one owner and the one way to stop them.
//
// An owner (the discovery service, the stream client, the capture writer, a test server)
// starts its loops with Start; the loops look at Stopping() and pause with PauseFor/PauseUntil,
// which a stop interrupts. Stop sets the flag, wakes every pause and joins every thread; it is
// idempotent, and from one of the threads themselves (a callback that stops its own stream) it
// only asks: the owner's next Stop, from outside, joins them. The owner calls Stop in its own
// destructor, before the members its loops use are gone.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace telmora {

class WorkerThreads {
public:
    using Clock = std::chrono::steady_clock;

    WorkerThreads() = default;
    ~WorkerThreads() { Stop(); }
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts a thread running `loop`; throws std::system_error when the system has no thread
    // to give. A stop asked for earlier is forgotten once every thread has been joined.
    void Start(std::function<void()> loop);

    // Whether the threads have been asked to end.
    bool Stopping() const noexcept { return stopRequested.load(); }

    // Pauses the calling thread until `deadline`, `period` from now, or a stop; true when
    // stopping.
    bool PauseUntil(Clock::time_point deadline);
    bool PauseFor(Clock::duration period) { return PauseUntil(Clock::now() + period); }

    // Asks the threads to end and wakes their pauses; safe from any thread.
    void RequestStop() noexcept;

    // Asks the threads to end and waits for them; from one of them it only asks. True when
    // every thread has been joined.
    bool Stop() noexcept;

    // Whether the caller runs on one of these threads.
    bool OnOwnThread() const noexcept;

    // The stop flag itself, for a wait of the owner's own that must look at it.
    const std::atomic<bool>& StopFlag() const noexcept { return stopRequested; }

    // Whether some thread has not been joined yet.
    bool Running() const noexcept { return !threads.empty(); }

private:
    std::atomic<bool> stopRequested{false};
    std::mutex pauseMutex;  // pairs with wake, so a stop cannot fall between a look and a wait
    std::condition_variable wake;
    std::vector<std::thread> threads;  // touched only by the owner, never by the threads
};

}  // namespace telmora
