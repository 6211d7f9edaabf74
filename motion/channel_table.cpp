#include "motion/channel_table.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <thread>

#include "motion/body_solver.h"
#include "motion/vector_guards.h"

namespace telmora {

namespace {

bool allFinite(const double (&values)[3]) {
    return std::isfinite(values[0]) && std::isfinite(values[1]) && std::isfinite(values[2]);
}

void storeTranslation(ChannelRecord& record, const glm::vec3& t) {
    record.translation[0] = static_cast<double>(t.x);
    record.translation[1] = static_cast<double>(t.y);
    record.translation[2] = static_cast<double>(t.z);
}

void storeRotation(ChannelRecord& record, const glm::dvec3& euler) {
    record.rotation[0] = euler.x;
    record.rotation[1] = euler.y;
    record.rotation[2] = euler.z;
}

bool recordFinite(const ChannelRecord& record) {
    return allFinite(record.translation) && allFinite(record.rotation);
}

}  // namespace

bool writeChannelValues(const Skeleton& solved, std::int32_t count, ChannelRecord* records) {
    // Forward kinematics in one pass, parents before children, as boneGlobalMatrix defines it
    // with the root kept upright (so bone 0 gets no correction): each bone mirrored across
    // x = 0, worldRot = parentWorldRot * rot, worldPos = parentWorldPos + parentWorldRot * t.
    glm::quat worldRot[kMaxBones];
    glm::vec3 worldPos[kMaxBones];
    if (count > kMaxBones) count = kMaxBones;
    for (std::int32_t i = 0; i < count; ++i) {
        const Bone& bone = solved.bones[i];
        const glm::quat localRot =
            quatXYZW(bone.rotation.x, -bone.rotation.y, -bone.rotation.z, bone.rotation.w);
        const glm::vec3 localPos(-bone.offset.x, bone.offset.y, bone.offset.z);
        const std::int32_t parent = bone.parent;
        ChannelRecord& record = records[i];
        if (parent == -1) {
            worldRot[i] = localRot;
            worldPos[i] = localPos;
        } else if (parent >= 0 && parent < i) {
            worldPos[i] = worldPos[parent] + worldRot[parent] * localPos;
            if (bone.rotation == kIdentityQuat) {
                // An unturned bone (end bones, toes, finger tips: about a quarter of the
                // skeleton) has its parent's global rotation, and so its Euler angles: the
                // product with the identity gives the same components back (up to the sign of
                // a zero), so the conversion need not run again.
                worldRot[i] = worldRot[parent];
                storeTranslation(record, worldPos[i]);
                std::copy(std::begin(records[parent].rotation), std::end(records[parent].rotation),
                          std::begin(record.rotation));
                if (!recordFinite(record)) return false;
                continue;
            }
            worldRot[i] = worldRot[parent] * localRot;
        } else {
            return false;  // the chain leaves the table or loops
        }
        storeTranslation(record, worldPos[i]);
        // glm::decompose returns the unit rotation of the matrix; do the same here.
        storeRotation(record, quatToEulerDegrees(unitOrIdentity(worldRot[i])));
        if (!recordFinite(record)) return false;
    }
    return true;
}

bool writeChannelValuesByMatrices(const Skeleton& solved, std::int32_t count,
                                  ChannelRecord* records) {
    for (std::int32_t i = 0; i < count && i < kMaxBones; ++i) {
        glm::vec3 scale, translation, skew;
        glm::quat orientation;
        glm::vec4 perspective;
        if (!glm::decompose(boneGlobalMatrix(solved, i, true), scale, orientation, translation,
                            skew, perspective)) {
            return false;
        }
        storeTranslation(records[i], translation);
        storeRotation(records[i], quatToEulerDegrees(orientation));
        if (!recordFinite(records[i])) return false;
    }
    return true;
}

ChannelTable::ChannelTable() : boneSlotMap_(emptySlotMap()) {
    for (std::atomic<std::uint64_t>& word : published_) word.store(0, std::memory_order_relaxed);
}

bool ChannelTable::SetupChannels() {
    std::lock_guard<std::mutex> lock(writerMutex_);
    ready_.store(false, std::memory_order_relaxed);
    // The default skeleton afresh: a second setup starts over.
    skeleton_ = defaultSkeleton().skeleton;
    boneSlotMap_ = defaultSkeleton().slots;

    recordCount_ = skeleton_.boneCount < kMaxChannels ? skeleton_.boneCount : kMaxChannels;
    for (std::int32_t i = 0; i < recordCount_; ++i) {
        ChannelRecord& record = records_[i];
        record = ChannelRecord{};
        record.bone = &skeleton_.bones[i];
        record.parentIndex = skeleton_.bones[i].parent;
        glm::vec3 scale, translation, skew;
        glm::quat orientation;
        glm::vec4 perspective;
        if (glm::decompose(boneGlobalMatrix(skeleton_, i, true), scale, orientation, translation,
                           skew, perspective)) {
            storeTranslation(record, translation);
        }
        for (int k = 0; k < 3; ++k) {
            record.referenceTranslation[k] = record.translation[k];
            record.referenceRotation[k] = record.rotation[k];
        }
    }
    for (std::int32_t i = recordCount_; i < kMaxChannels; ++i) records_[i] = ChannelRecord{};
    publish(recordCount_, Publication::kSetup);
    ready_.store(true, std::memory_order_release);
    return true;
}

ChannelTable::PacketResult ChannelTable::HandlePacket(const std::vector<std::uint8_t>& datagram) {
    if (datagram.empty() || datagram[0] != kSensorFramePacket) return PacketResult::kNotAFrame;
    return handleSensorFrame(datagram);
}

ChannelTable::PacketResult ChannelTable::handleSensorFrame(
    const std::vector<std::uint8_t>& datagram) {
    // A short datagram is not a whole frame; before setup there is no skeleton to solve on
    // (the empty one's unused slots all point at bone 0).
    if (!isCompleteSensorFrame(datagram) || !ready_.load(std::memory_order_acquire)) {
        drop();
        return PacketResult::kDropped;
    }
    // A setup in progress owns the skeleton: drop rather than wait for it.
    std::unique_lock<std::mutex> lock(writerMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        drop();
        return PacketResult::kDropped;
    }
    const SensorFrame frame = decodeSensorFrame(datagram);
    if (!isFinite(frame.rootPosition)) {
        drop();
        return PacketResult::kDropped;
    }
    BodySolver().solve(frame, skeleton_, boneSlotMap_, solved_);
    // The records keep their last good values in the published copy if this frame fails.
    if (!writeChannelValues(solved_, recordCount_, records_.data())) {
        drop();
        return PacketResult::kDropped;
    }
    publish(recordCount_, Publication::kFrame);
    framesSolved_.fetch_add(1, std::memory_order_relaxed);
    return PacketResult::kPublished;
}

void ChannelTable::publish(std::int32_t count, Publication publication) {
    // Sequence lock, writer side: odd while the words change. The release fence keeps the
    // word stores from moving above the odd store; the final release store keeps them above
    // the even one.
    const std::uint64_t start = sequence_.load(std::memory_order_relaxed);
    sequence_.store(start + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    // A frame rewrites only slots 8-13 of the records in use: under writerMutex_ nothing else
    // changes between setups, so copying the rest again would store the same words.
    const bool setup = publication == Publication::kSetup;
    const int recordsCopied = setup ? kMaxChannels : count;
    const int firstWord = setup ? 0 : kFirstLiveWord;
    std::uint64_t words[kWordsPerRecord];
    for (int r = 0; r < recordsCopied; ++r) {
        std::memcpy(words, &records_[r], sizeof words);
        for (int w = firstWord; w < kWordsPerRecord; ++w) {
            published_[r * kWordsPerRecord + w].store(words[w], std::memory_order_relaxed);
        }
    }
    channelCount_.store(count, std::memory_order_relaxed);
    sequence_.store(start + 2, std::memory_order_release);
}

ChannelSnapshot ChannelTable::snapshot() const {
    ChannelSnapshot snap;
    std::uint64_t words[kWordsPerRecord];
    for (;;) {
        const std::uint64_t before = sequence_.load(std::memory_order_acquire);
        if (before & 1u) {
            std::this_thread::yield();
            continue;
        }
        for (int r = 0; r < kMaxChannels; ++r) {
            for (int w = 0; w < kWordsPerRecord; ++w) {
                words[w] = published_[r * kWordsPerRecord + w].load(std::memory_order_relaxed);
            }
            std::memcpy(&snap.records[r], words, sizeof words);
        }
        snap.channelCount = channelCount_.load(std::memory_order_relaxed);
        // Keep the word loads above the second sequence read.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (sequence_.load(std::memory_order_relaxed) == before) {
            snap.frameSequence = before / 2;
            return snap;
        }
    }
}

}  // namespace telmora
