#pragma once
// A captured stream played back on the host's clock instead of the network: the datagrams of
// one server's stream to one client, each handed over once the host's time since the start has
// reached its capture time since the stream's first datagram. Host thread only; no sockets, no
// waiting: the same capture replayed by the same host steps hands over the same datagrams at the
// same steps.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_reader.h"

namespace telmora {

// A capture time (microseconds after the stream's first datagram) in host ticks, rounded down.
std::int64_t replayTicks(std::int64_t micros, std::int64_t ticksPerSecond);

// When a replay hands over each datagram of `stream`: host ticks after the replay's start, in
// the stream's order, never decreasing.
std::vector<std::int64_t> replayDueTicks(const TelmoraCapture& capture,
                                         const CapturedStream& stream, std::int64_t ticksPerSecond);

class StreamReplay {
public:
    explicit StreamReplay(std::int64_t ticksPerSecond) : ticksPerSecond_(ticksPerSecond) {}

    // Reads the capture at `path`, replacing any loaded before. False with `error` set when it
    // cannot be read or holds no Telmora stream.
    bool Load(const std::string& path, std::string& error);
    void Unload();
    bool loaded() const { return capture_ != nullptr; }
    const std::string& path() const { return path_; }
    const TelmoraCapture* capture() const { return capture_.get(); }

    // Chooses the stream of `server` and `subject` and puts it at its start, due from the host
    // time `startTicks`. False with `error` set when the capture has no such stream.
    bool Start(const std::string& server, const std::string& subject, std::int64_t startTicks,
               std::string& error);
    // Stops handing over datagrams.
    void Stop() { stream_ = nullptr; }
    bool running() const { return stream_ != nullptr; }

    // Hands every datagram due by `hostTicks` to `deliver`, in capture order, with its due time.
    using Deliver =
        std::function<void(const std::vector<std::uint8_t>& datagram, std::int64_t dueTicks)>;
    void Advance(std::int64_t hostTicks, const Deliver& deliver);
    // Every datagram of the running stream has been handed over.
    bool finished() const { return stream_ != nullptr && next_ >= stream_->datagrams.size(); }

private:
    std::int64_t ticksPerSecond_;
    std::string path_;
    std::unique_ptr<TelmoraCapture> capture_;
    const CapturedStream* stream_ = nullptr;
    std::vector<std::int64_t> due_;  // the running stream's replayDueTicks
    std::size_t next_ = 0;
    std::int64_t startTicks_ = 0;
};

}  // namespace telmora
