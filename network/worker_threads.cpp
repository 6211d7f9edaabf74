#include "network/worker_threads.h"

#include <exception>
#include <utility>

#include "network/own_thread.h"

namespace telmora {

void WorkerThreads::Start(std::function<void()> loop) {
    if (threads.empty()) stopRequested.store(false);
    threads.emplace_back([this, loop = std::move(loop)] {
        OwnThreadMark mark(this);
        loop();
    });
}

bool WorkerThreads::PauseUntil(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(pauseMutex);
    return wake.wait_until(lock, deadline, [this] { return stopRequested.load(); });
}

void WorkerThreads::RequestStop() noexcept {
    stopRequested.store(true);
    try {
        // Taking the mutex orders the flag before a pausing thread's next look at it.
        std::lock_guard<std::mutex> lock(pauseMutex);
    } catch (const std::exception&) {
        // Without the mutex a pause may sleep out its period; it still sees the flag then.
    }
    wake.notify_all();
}

bool WorkerThreads::Stop() noexcept {
    RequestStop();
    if (OnOwnThread()) return false;
    try {
        for (std::thread& thread : threads)
            if (thread.joinable()) thread.join();
    } catch (const std::exception&) {
        return false;  // a join the system refused; the next Stop tries again
    }
    threads.clear();
    return true;
}

bool WorkerThreads::OnOwnThread() const noexcept {
    return IsOwnThread(this);
}

}  // namespace telmora
