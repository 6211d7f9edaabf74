#pragma once
// Ctrl-C and SIGTERM for the command-line tools, taken synchronously.
//
// Constructing a StopSignals blocks SIGINT and SIGTERM in the calling thread; threads started
// afterwards inherit the mask, so the signals stay pending until the owner collects them with
// waitFor(). No handler runs asynchronously, so stopping does its work (joins, sends, prints)
// on an ordinary thread. Construct it first thing in main, before any thread starts.

#include <chrono>
#include <csignal>

namespace telmora {

class StopSignals {
public:
    StopSignals();
    // Restores the previous mask of the owning thread.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits up to `timeout` for SIGINT or SIGTERM. True once one has arrived (and from then on).
    bool waitFor(std::chrono::milliseconds timeout);
    bool received() const { return signalNumber_ != 0; }
    // The signal that arrived, 0 while none has.
    int signalNumber() const { return signalNumber_; }

private:
    sigset_t stopSet_;
    sigset_t previousMask_;
    int signalNumber_ = 0;
};

// Returns once SIGINT or SIGTERM has arrived or, when `durationSeconds` is positive, once that
// long has passed (whichever comes first); 0 waits for a signal only.
void waitForStopOrDuration(StopSignals& stopSignals, double durationSeconds);

}  // namespace telmora
