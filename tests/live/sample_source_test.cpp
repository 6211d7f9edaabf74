// Sample time stamps and test-server record assembly, without a host.

#include "live/sample_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace telmora {
namespace {

constexpr std::int64_t kTicksPerSecond = 705600000;  // the host's tick rate
constexpr std::int64_t kTicksPerMs = kTicksPerSecond / 1000;

TEST(SampleClockTest, SyntheticSamplesAlternateAndLand16MsAfterTheHostTimeReadBefore) {
    SampleClock clock(kTicksPerSecond);
    const std::int64_t base = 5000 * kTicksPerMs;
    clock.setTimeBase(base);  // hardware time 0 is host time 5 s
    // Host times read at the end of three notifications, one not on a whole millisecond.
    const std::int64_t hostTimes[] = {40 * kTicksPerMs, 57 * kTicksPerMs + 123, 90 * kTicksPerMs};
    std::int64_t previousHost = 0;
    for (std::int64_t hostNow : hostTimes) {
        std::int64_t stamp = -1;
        ASSERT_TRUE(clock.nextSyntheticSample(hostNow, stamp));
        // 16 ms after the last host time read, truncated to whole ms, relative to the base.
        const std::int64_t sinceBase = previousHost + 16 * kTicksPerMs;
        EXPECT_EQ(stamp, sinceBase / kTicksPerMs * kTicksPerMs + base);
        std::int64_t untouched = -1;
        EXPECT_FALSE(clock.nextSyntheticSample(hostNow, untouched));
        EXPECT_EQ(untouched, -1);
        EXPECT_EQ(clock.current(), hostNow);
        previousHost = hostNow;
    }
}

TEST(SampleClockTest, TestServerSamplesAreStampedWithTheTimeBase) {
    SampleClock clock(kTicksPerSecond);
    std::int64_t stamp = 0;
    clock.nextSyntheticSample(0, stamp);
    clock.nextSyntheticSample(1234 * kTicksPerMs + 77, stamp);
    const std::int64_t hostTime = 3 * kTicksPerSecond + 17;
    clock.setTimeBase(hostTime);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(clock.stampCurrent(), hostTime);
}

// A byte stream of whole records handed out in pieces of the given sizes; -1 is a failed read.
class ChunkedStream {
public:
    ChunkedStream(int records, std::vector<int> pieces) : pieces_(std::move(pieces)) {
        for (int r = 0; r < records; ++r) {
            for (std::size_t b = 0; b < TestRecordAssembler::kRecordSize; ++b)
                bytes_.push_back(static_cast<std::uint8_t>(r * 7 + b));
        }
    }
    // One read: at most the next piece and at most `size` bytes.
    bool read(std::uint8_t* buffer, int size, int& numRead) {
        numRead = 0;
        if (next_ >= pieces_.size()) return true;  // nothing there yet
        const int piece = pieces_[next_++];
        if (piece < 0) return false;
        const int n = std::min({piece, size, static_cast<int>(bytes_.size() - offset_)});
        std::memcpy(buffer, bytes_.data() + offset_, static_cast<std::size_t>(n));
        offset_ += static_cast<std::size_t>(n);
        // What the read could not take stays for the next read.
        if (n < piece)
            pieces_.insert(pieces_.begin() + static_cast<std::ptrdiff_t>(next_), piece - n);
        numRead = n;
        return true;
    }
    const std::uint8_t* record(int r) const {
        return bytes_.data() + static_cast<std::size_t>(r) * TestRecordAssembler::kRecordSize;
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<int> pieces_;
    std::size_t next_ = 0;
    std::size_t offset_ = 0;
};

TEST(TestRecordAssemblerTest, RecordsSplitAcrossReadsAreCompletedAndShortReadsEndARun) {
    constexpr int kRecord = static_cast<int>(TestRecordAssembler::kRecordSize);
    struct Case {
        const char* name;
        int records;
        std::vector<int> pieces;
        // Whole records completed by each run (a run = readRecord until it returns false).
        std::vector<int> perRun;
    };
    const Case cases[] = {
        {"whole records, one per read", 3, {kRecord, kRecord, kRecord}, {3}},
        {"one byte short, then the byte", 2, {kRecord - 1, 1, kRecord}, {0, 2}},
        {"three records in one burst", 3, {3 * kRecord}, {3}},
        {"split in the header and in the values",
         2,
         {10, kRecord - 10 + 2000, kRecord - 2000},
         {0, 1, 1}},
        {"a failed read keeps the partial record", 1, {100, -1, kRecord - 100}, {0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChunkedStream stream(c.records, c.pieces);
        TestRecordAssembler assembler;
        int completed = 0;
        for (int expected : c.perRun) {
            int run = 0;
            while (assembler.readRecord(
                [&](std::uint8_t* b, int size, int& n) { return stream.read(b, size, n); })) {
                // Every completed record is exactly the next one sent, byte for byte.
                EXPECT_EQ(0, std::memcmp(assembler.record().data(), stream.record(completed),
                                         TestRecordAssembler::kRecordSize));
                ++run;
                ++completed;
            }
            EXPECT_EQ(run, expected);
        }
        EXPECT_EQ(completed, c.records);
        EXPECT_EQ(assembler.pendingBytes(), 0u);
    }
}

}  // namespace
}  // namespace telmora
