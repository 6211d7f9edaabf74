#include "tools/common/stop_signals.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace telmora {

StopSignals::StopSignals() {
    sigemptyset(&stopSet_);
    sigaddset(&stopSet_, SIGINT);
    sigaddset(&stopSet_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSet_, &previousMask_);
}

StopSignals::~StopSignals() {
    // A signal still pending would be delivered with its default action on unblocking; the
    // process is ending anyway, so collect it first.
    timespec none{0, 0};
    while (sigtimedwait(&stopSet_, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool StopSignals::waitFor(std::chrono::milliseconds timeout) {
    if (signalNumber_ != 0) return true;
    if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
    timespec wait{static_cast<time_t>(timeout.count() / 1000),
                  static_cast<long>((timeout.count() % 1000) * 1000000)};
    const int received = sigtimedwait(&stopSet_, nullptr, &wait);
    if (received > 0) signalNumber_ = received;
    return signalNumber_ != 0;
}

void waitForStopOrDuration(StopSignals& stopSignals, double durationSeconds) {
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration<double>(durationSeconds);
    while (!stopSignals.waitFor(std::chrono::milliseconds(100))) {
        if (durationSeconds > 0.0 && std::chrono::steady_clock::now() - start >= limit) break;
    }
}

}  // namespace telmora
