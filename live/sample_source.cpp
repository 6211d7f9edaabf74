#include "live/sample_source.h"

namespace telmora {

bool SampleClock::nextSyntheticSample(std::int64_t hostNow, std::int64_t& stamp) {
    ++toggle_;
    if (toggle_ % 2 != 0) {
        current_ += kSyntheticStepMilliseconds * ticksPerMillisecond();
        stamp = stampCurrent();
        return true;
    }
    toggle_ = 0;  // stays within two values however long the device records
    current_ = hostNow;
    return false;
}

std::int64_t SampleClock::stampCurrent() const {
    // Whole milliseconds, truncated towards zero (C++ integer division), as the host's
    // millisecond accessor does.
    const std::int64_t perMs = ticksPerMillisecond();
    return (current_ - start_) / perMs * perMs + offset_;
}

bool TestRecordAssembler::readRecord(const ReadFunction& read) {
    const int wanted = static_cast<int>(kRecordSize - filled_);
    int numRead = 0;
    if (!read(record_.data() + filled_, wanted, numRead)) return false;
    // A read function that reports more than it was given room for, or a negative count, is
    // not trusted with the buffer: the partial record is dropped instead.
    if (numRead < 0 || numRead > wanted) {
        filled_ = 0;
        return false;
    }
    filled_ += static_cast<std::size_t>(numRead);
    if (filled_ < kRecordSize) return false;
    filled_ = 0;
    ++recordsCompleted_;
    return true;
}

}  // namespace telmora
