#include "motion/chain_solver.h"

#include <cmath>

#include "motion/vector_guards.h"

namespace telmora {

namespace {

// Bow height as a share of the chain's slack, sqrt(S^2 - |E - R|^2).
constexpr float kBowFactor = 0.43f;
// Spine: the first segment's up direction mixes the hips line and the shoulder line.
constexpr float kHipsShareOfFirstUp = 0.6f;
constexpr float kShouldersShareOfFirstUp = 0.4f;

constexpr int kMaxChainBones = 4;

// Sine of the smallest angle between a bone's look and up directions that still fixes its roll.
// glm::quatLookAt does not refuse a smaller one: it clamps the length of its side axis
// (up x -look) instead of normalising it, so an up direction along the look direction gives a
// basis that is not orthonormal and a quaternion that is no rotation (its length drifts well
// away from 1) and would scale every bone below. 0.01 is about 0.6 degrees, well clear of that
// clamp and of float rounding in the cross product.
constexpr float kMinLookUpSine = 0.01f;

// The rotation whose -z axis is `lookDir` (unit) and whose y axis leans towards `up`; false,
// and `look` untouched, when `up` is zero, not finite or within kMinLookUpSine of `lookDir`.
bool lookRotation(const glm::vec3& lookDir, const glm::vec3& up, glm::quat& look) {
    const glm::vec3 upDir = normalizedOrZero(up);
    const glm::vec3 side = glm::cross(upDir, lookDir);
    if (!(glm::dot(side, side) >= kMinLookUpSine * kMinLookUpSine)) return false;
    look = glm::quatLookAt(lookDir, upDir);
    return true;
}

}  // namespace

bool ChainJob::Validate() const {
    return slotMap != nullptr && restNodes != nullptr && poseNodes != nullptr &&
           restNodes->size() == poseNodes->size();
}

bool ChainJob::Run() const {
    if (!Validate()) return false;
    const PoseNodeList& rest = *restNodes;
    PoseNodeList& pose = *poseNodes;
    const BoneSlotMap& map = *slotMap;
    // 1. Guard: a chain length, a target and a pole to work with.
    if (!(chainLength >= kMinLength) || !std::isfinite(chainLength) || !isFinite(target) ||
        !isFinite(pole) || !(glm::dot(pole, pole) >= kMinLengthSq) ||
        !(glm::dot(target, target) >= kMinLengthSq) || slots.count <= 0) {
        return true;
    }

    // 2. The chain's bones; -1 entries and slots without a bone are skipped.
    std::int32_t bones[kMaxChainBones];
    int n = 0;
    const int slotCount = slots.count < kMaxChainBones ? slots.count : kMaxChainBones;
    for (int e = 0; e < slotCount; ++e) {
        if (slots.entries[e] == -1) continue;
        const std::int32_t bone = boneAtSlot(map, slots.entries[e]);
        if (bone >= 0 && pose.contains(bone) && rest.contains(bone)) bones[n++] = bone;
    }
    if (n == 0) return true;

    const float targetLength = glm::length(target);
    const glm::vec3 targetDir = target / targetLength;

    // 3. A single bone looks along the target with the pole as its up direction; a pole along
    //    the target leaves it as it is.
    if (n == 1) {
        glm::quat look;
        if (!lookRotation(targetDir, pole, look)) return true;
        pose.setWorldRotation(bones[0], look * alignment * rest.worldRotation(bones[0]));
        return true;
    }

    // 4.1 Cumulative segment lengths of the current pose; their sum is the chain's reach.
    float cumulative[kMaxChainBones - 1];
    float reach = 0.0f;
    for (int j = 1; j < n; ++j) {
        reach += glm::length(pose.worldPosition(bones[j]) - pose.worldPosition(bones[j - 1]));
        cumulative[j - 1] = reach;
    }
    // A chain of coincident joints has no segment to aim.
    if (!(reach >= kMinJointDistance) || !std::isfinite(reach)) return true;

    // 4.2 Root and end target, the performer's reach fraction carried over.
    const glm::vec3 root = pose.worldPosition(bones[0]);
    const glm::vec3 end = root + targetDir * ((targetLength / chainLength) * reach);
    const glm::vec3 rootToEnd = end - root;

    // 4.3 Bow height; the absolute value makes a target beyond full reach bow as well.
    const float chord = glm::length(rootToEnd);
    const float bowHeight = kBowFactor * std::sqrt(std::fabs(reach * reach - chord * chord));
    const glm::vec3 poleDir = pole / glm::length(pole);

    // 4.4 Spine mode follows the slot list as given, before any filtering.
    const bool spineMode = slots.entries[0] == kSpineSlot;

    // Rotations before this call, to put back if a segment turns out degenerate part way.
    glm::quat before[kMaxChainBones];
    for (int i = 0; i < n - 1; ++i) before[i] = pose[bones[i]].rotation;
    auto restore = [&](int written) {
        for (int i = written - 1; i >= 0; --i) pose.setRotation(bones[i], before[i]);
    };

    // 4.5 Each segment looks from the previous bow point to the next.
    glm::vec3 previous = root;
    for (int i = 0; i < n - 1; ++i) {
        glm::vec3 upFirst = pole;
        glm::vec3 upRest = pole;
        if (spineMode) {
            const std::int32_t rightUpLeg = boneAtSlot(map, kRightUpLegSlot);
            const std::int32_t leftUpLeg = boneAtSlot(map, kLeftUpLegSlot);
            const std::int32_t rightArm = boneAtSlot(map, kRightArmSlot);
            const std::int32_t leftArm = boneAtSlot(map, kLeftArmSlot);
            if (rightUpLeg < 0 || leftUpLeg < 0 || rightArm < 0 || leftArm < 0) {
                restore(i);
                return true;
            }
            // Read afresh: turning a spine segment moves the shoulders.
            const glm::vec3 hipsAxis = normalizedOrZero(
                pose.worldPosition(rightUpLeg) - pose.worldPosition(leftUpLeg), kMinJointDistance);
            const glm::vec3 shoulderAxis = normalizedOrZero(
                pose.worldPosition(rightArm) - pose.worldPosition(leftArm), kMinJointDistance);
            const glm::vec3 chainDir = normalizedOrZero(rootToEnd, kMinJointDistance);
            // Coincident hip joints, arm joints or chain ends give no up direction.
            if (hipsAxis == glm::vec3(0.0f) || shoulderAxis == glm::vec3(0.0f) ||
                chainDir == glm::vec3(0.0f)) {
                restore(i);
                return true;
            }
            upRest = glm::cross(chainDir, shoulderAxis);
            upFirst = kHipsShareOfFirstUp * glm::cross(chainDir, hipsAxis) +
                      kShouldersShareOfFirstUp * glm::cross(chainDir, shoulderAxis);
        }

        // Parabolic bow: 0 at both ends, bowHeight half way along the reach.
        const float t = cumulative[i] / reach;
        const float s = 2.0f * t - 1.0f;
        const float bow = (1.0f - s * s) * bowHeight;
        const glm::vec3 point = root + rootToEnd * t + poleDir * bow;

        const glm::vec3 segment = point - previous;
        if (!(glm::dot(segment, segment) >= kMinJointDistance * kMinJointDistance)) {
            restore(i);
            return true;
        }
        // An up direction along the segment gives no roll: the chain keeps its rotations.
        glm::quat look;
        if (!lookRotation(glm::normalize(segment), i == 0 ? upFirst : upRest, look)) {
            restore(i);
            return true;
        }
        pose.setWorldRotation(bones[i], look * alignment * rest.worldRotation(bones[i]));
        previous = point;
    }
    // 4.6 The last bone is not rotated.
    return true;
}

}  // namespace telmora
