#pragma once
// The channel table: one record per bone of the device skeleton holding the bone's global
// translation (cm) and rotation (Euler degrees), rewritten for every sensor frame. ChannelTable
// owns the device skeleton, its slot map and the records; the device hardware owns one and
// forwards SetupChannels and HandlePacket to it. No host SDK in here.
//
// Threads: HandlePacket runs on the stream's receive thread and is the only writer of frames.
// Readers on any other thread take snapshot(), which always holds the values of one whole
// publication (one frame, or the setup), never a mix: the table is handed over through a
// sequence lock, so the writer never waits for a reader and a reader only retries while a copy
// is being written.

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "motion/glm_conventions.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"

namespace telmora {

// One record per default bone (65, not 64).
constexpr int kMaxChannels = 65;

// Fourteen 8-byte slots per bone.
struct ChannelRecord {
    // Slot 0: the bone entry of the table's skeleton (its name names the host nodes). Valid for
    // the table's life; its contents change only in SetupChannels.
    const Bone* bone = nullptr;
    // Slot 1: the bone's parent index, -1 for the root (an int32 in an 8-byte slot).
    alignas(8) std::int32_t parentIndex = -1;
    // Slots 2-4: global translation in the default skeleton, cm.
    double referenceTranslation[3] = {0.0, 0.0, 0.0};
    // Slots 5-7: global rotation in the default skeleton, Euler degrees; always zero.
    double referenceRotation[3] = {0.0, 0.0, 0.0};
    // Slots 8-10: live global translation x, y, z, cm.
    double translation[3] = {0.0, 0.0, 0.0};
    // Slots 11-13: live global rotation rx, ry, rz, Euler degrees (see quatToEulerDegrees).
    double rotation[3] = {0.0, 0.0, 0.0};
};
static_assert(sizeof(ChannelRecord) == 14 * 8, "a channel record is fourteen 8-byte slots");

// Euler angles (rx, ry, rz) in degrees of a rotation quaternion, with R = Rz(rz) Ry(ry) Rx(rx)
// for column vectors: X first, then Y, then Z, about fixed axes. rx, rz in [-180, 180], ry in
// [-90, 90], exactly +-90 when the pitch term reaches +-1 (also for unnormalised input, which
// is not normalised first). Computed in double. Inline: the channel pass calls it for every
// bone, and out of line the quaternion goes through memory on each call.
inline glm::dvec3 quatToEulerDegrees(const glm::quat& q) {
    constexpr double kRadiansToDegrees = 57.29577951308232;
    constexpr double kHalfPi = 1.5707963267948966;
    const double x = q.x;
    const double y = q.y;
    const double z = q.z;
    const double w = q.w;
    const double rx = std::atan2(2.0 * (w * x + y * z), 1.0 - 2.0 * (x * x + y * y));
    const double pitch = 2.0 * (w * y - z * x);
    // An unnormalised quaternion can push the pitch term past +-1: clamp instead of asin's NaN.
    const double ry = std::fabs(pitch) >= 1.0 ? std::copysign(kHalfPi, pitch) : std::asin(pitch);
    const double rz = std::atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z));
    return glm::dvec3(rx * kRadiansToDegrees, ry * kRadiansToDegrees, rz * kRadiansToDegrees);
}

// Writes translation and rotation (slots 8-13) of records[0..count) from the global transforms
// of `solved`'s bones, evaluated with the root kept upright. One forward pass composing
// rotations and offsets. Returns false, with the records partly written, if a bone's parent
// chain is broken or a value is not finite.
bool writeChannelValues(const Skeleton& solved, std::int32_t count, ChannelRecord* records);

// The same values the straightforward way, bone by bone: boneGlobalMatrix, glm::decompose,
// quatToEulerDegrees. The reference the forward pass is checked against; too slow per frame.
bool writeChannelValuesByMatrices(const Skeleton& solved, std::int32_t count,
                                  ChannelRecord* records);

// A consistent copy of the table for a reader.
struct ChannelSnapshot {
    std::array<ChannelRecord, kMaxChannels> records{};
    // Number of valid records: 0 before setup, then the skeleton's bone count (at most 65).
    std::int32_t channelCount = 0;
    // Publications so far: 0 before the first setup, +1 for each setup and each solved frame.
    std::uint64_t frameSequence = 0;
};

class ChannelTable {
public:
    ChannelTable();
    ChannelTable(const ChannelTable&) = delete;
    ChannelTable& operator=(const ChannelTable&) = delete;

    // Builds the default skeleton and slot map from an empty skeleton (so a second call
    // rebuilds, never appends) and publishes the setup values: the rest global translations,
    // zero rotations. Waits for a frame being handled to finish. Always returns true.
    bool SetupChannels();

    // The stream's packet callback. Type 6: decode, solve, publish the channels; dropped (and
    // counted) if shorter than 246 bytes, if the root position is not finite, if it arrives
    // before setup or during one, or if the solved values are not finite; the channels then
    // keep the last good frame. Any other type (the stream's end is its owner's business), or
    // an empty datagram: nothing. Never throws. Says what became of the datagram.
    enum class PacketResult { kPublished, kDropped, kNotAFrame };
    PacketResult HandlePacket(const std::vector<std::uint8_t>& datagram);

    // A copy of the last publication. Any thread; never blocks the writer.
    ChannelSnapshot snapshot() const;
    std::int32_t channelCount() const { return channelCount_.load(std::memory_order_acquire); }

    // Sensor frames solved and published, and sensor frames dropped, since construction.
    std::uint64_t framesSolved() const { return framesSolved_.load(std::memory_order_relaxed); }
    std::uint64_t framesDropped() const { return framesDropped_.load(std::memory_order_relaxed); }

    // The device skeleton and slot map. Set by SetupChannels; read-only otherwise.
    const Skeleton& skeleton() const { return skeleton_; }
    const BoneSlotMap& boneSlotMap() const { return boneSlotMap_; }

private:
    static constexpr int kWordsPerRecord = sizeof(ChannelRecord) / 8;
    static constexpr int kPublishedWords = kMaxChannels * kWordsPerRecord;
    // Slots 8-13, the only ones a frame changes.
    static constexpr int kFirstLiveWord = offsetof(ChannelRecord, translation) / 8;

    // What a publication copies: every slot of every record (setup), or the live slots of the
    // records in use (a frame; the rest are as the last setup published them).
    enum class Publication { kSetup, kFrame };

    PacketResult handleSensorFrame(const std::vector<std::uint8_t>& datagram);
    // Copies records_ into the published words (the writer side of the seqlock) and
    // publishes `count` as the channel count.
    void publish(std::int32_t count, Publication publication);
    void drop() { framesDropped_.fetch_add(1, std::memory_order_relaxed); }

    // Writer-side state, touched only under writerMutex_ (HandlePacket on the receive thread,
    // SetupChannels on a host thread).
    std::mutex writerMutex_;
    Skeleton skeleton_;
    BoneSlotMap boneSlotMap_;
    Skeleton solved_;
    std::array<ChannelRecord, kMaxChannels> records_{};
    std::int32_t recordCount_ = 0;

    // The published table: every 8-byte slot of every record as an atomic word, guarded by an
    // odd-while-writing sequence counter.
    std::array<std::atomic<std::uint64_t>, kPublishedWords> published_;
    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<std::int32_t> channelCount_{0};

    std::atomic<bool> ready_{false};
    std::atomic<std::uint64_t> framesSolved_{0};
    std::atomic<std::uint64_t> framesDropped_{0};
};

}  // namespace telmora
