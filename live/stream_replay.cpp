#include "live/stream_replay.h"

#include <algorithm>

namespace telmora {

std::int64_t replayTicks(std::int64_t micros, std::int64_t ticksPerSecond) {
    // Whole seconds and the rest apart, so a long capture cannot overflow the product.
    constexpr std::int64_t kMicrosPerSecond = 1000000;
    const std::int64_t seconds = micros / kMicrosPerSecond;
    const std::int64_t rest = micros % kMicrosPerSecond;
    return seconds * ticksPerSecond + rest * ticksPerSecond / kMicrosPerSecond;
}

std::vector<std::int64_t> replayDueTicks(const TelmoraCapture& capture,
                                         const CapturedStream& stream,
                                         std::int64_t ticksPerSecond) {
    std::vector<std::int64_t> due = streamOffsets(capture, stream);
    for (std::int64_t& ticks : due) ticks = replayTicks(ticks, ticksPerSecond);
    return due;
}

bool StreamReplay::Load(const std::string& path, std::string& error) {
    Unload();
    std::optional<TelmoraCapture> capture = readTelmoraCapture(path, error);
    if (!capture) return false;
    capture_ = std::make_unique<TelmoraCapture>(std::move(*capture));
    path_ = path;
    return true;
}

void StreamReplay::Unload() {
    stream_ = nullptr;
    capture_.reset();
    path_.clear();
}

bool StreamReplay::Start(const std::string& server, const std::string& subject,
                         std::int64_t startTicks, std::string& error) {
    stream_ = nullptr;
    if (!capture_) {
        error = "no capture loaded";
        return false;
    }
    const CapturedStream* stream = pickStream(*capture_, server, subject, error);
    if (stream == nullptr) return false;
    stream_ = stream;
    due_ = replayDueTicks(*capture_, *stream, ticksPerSecond_);
    next_ = 0;
    startTicks_ = startTicks;
    return true;
}

void StreamReplay::Advance(std::int64_t hostTicks, const Deliver& deliver) {
    if (stream_ == nullptr) return;
    const std::vector<CapturedDatagram>& datagrams = capture_->file.datagrams;
    while (next_ < stream_->datagrams.size()) {
        const std::int64_t due = startTicks_ + due_[next_];
        if (due > hostTicks) return;
        const CapturedDatagram& datagram = datagrams[stream_->datagrams[next_]];
        ++next_;
        deliver(datagram.bytes, due);
        if (stream_ == nullptr) return;  // the delivery ended the replay
    }
}

}  // namespace telmora
