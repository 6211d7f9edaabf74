#pragma once
// The host-free half of recording: when a recorded sample is due and what time it carries, and
// how the skeleton test server's byte stream is cut into whole records. No host SDK in here:
// times are signed tick counts of the host's clock, whose rate the owner gives.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace telmora {

// Time stamps of recorded samples.
//
// The clock keeps three times, all in ticks: `start` and `offset` form the time base (the
// hardware time and the host time at the last time notification), `current` is the hardware
// time of the latest sample. A sample's stamp is (current - start) truncated to whole
// milliseconds, plus offset.
//
// Without a test server the device asks for samples in a loop once per input notification;
// nextSyntheticSample() alternates: the first call of a pair yields a sample 16 ms after the
// hardware time read at the end of the previous pair, the second reads the host's time now and
// ends the loop. With a test server each whole record is a sample, stamped without advancing
// `current` (stampCurrent()).
class SampleClock {
public:
    // Spacing of the synthetic samples.
    static constexpr std::int64_t kSyntheticStepMilliseconds = 16;

    explicit SampleClock(std::int64_t ticksPerSecond) : ticksPerSecond_(ticksPerSecond) {}

    // A time notification: the hardware time now becomes the base, `hostTime` its host time.
    void setTimeBase(std::int64_t hostTime) {
        start_ = current_;
        offset_ = hostTime;
    }

    // One step of the synthetic loop. True with `stamp` set when a sample is due; false (the
    // loop ends) after taking `hostNow` as the hardware time.
    bool nextSyntheticSample(std::int64_t hostNow, std::int64_t& stamp);

    // The stamp of a sample at the current hardware time.
    std::int64_t stampCurrent() const;

    std::int64_t current() const { return current_; }
    std::int64_t start() const { return start_; }
    std::int64_t offset() const { return offset_; }

private:
    std::int64_t ticksPerMillisecond() const { return ticksPerSecond_ / 1000; }

    std::int64_t ticksPerSecond_;
    std::int64_t start_ = 0;
    std::int64_t offset_ = 0;
    std::int64_t current_ = 0;
    std::int32_t toggle_ = 0;
};

// Whole test-server records out of a byte stream read in pieces.
//
// The host's TCP read is non-blocking and returns what has arrived. A record cut by a read is
// kept and completed by the following reads, so one short read never shifts every later record;
// a read never asks for more than the rest of the current record.
class TestRecordAssembler {
public:
    // Each record: a 16-byte header, then 65 entries of six doubles.
    static constexpr std::size_t kHeaderSize = 16;
    static constexpr std::size_t kEntryCount = 65;
    static constexpr std::size_t kRecordSize = kHeaderSize + kEntryCount * 6 * sizeof(double);
    static_assert(kRecordSize == 3136, "a test-server record is 3136 bytes");

    // Reads up to `size` bytes into `buffer`. Returns false on an error or a closed peer, true
    // with the count (0 when nothing is there yet) otherwise.
    using ReadFunction = std::function<bool(std::uint8_t* buffer, int size, int& numRead)>;

    // One attempt to complete a record. True when the record is now whole (it is then counted
    // and the next call starts a new one); false when the read failed or stopped short, the
    // bytes received so far being kept.
    bool readRecord(const ReadFunction& read);

    // Forgets a partial record (a new connection starts on a record boundary).
    void reset() { filled_ = 0; }

    std::size_t pendingBytes() const { return filled_; }
    std::uint64_t recordsCompleted() const { return recordsCompleted_; }
    const std::array<std::uint8_t, kRecordSize>& record() const { return record_; }

private:
    std::array<std::uint8_t, kRecordSize> record_{};
    std::size_t filled_ = 0;
    std::uint64_t recordsCompleted_ = 0;
};

}  // namespace telmora
