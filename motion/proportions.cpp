#include "motion/proportions.h"

#include <cmath>

#include "motion/vector_guards.h"

namespace telmora {

namespace {

std::int32_t nodeAtSlot(const PoseNodeList& nodes, const BoneSlotMap& slotMap, std::int32_t slot) {
    const std::int32_t bone = boneAtSlot(slotMap, slot);
    return nodes.contains(bone) ? bone : -1;
}

// One limb segment: its length is the length of the carrying node's local position.
struct Segment {
    const char* name;
    bool arm;  // target length A (arms) or G (legs)
    std::int32_t slot;
};

constexpr Segment kSegmentTable[] = {
    {"LeftUpperArm", true, kLeftForeArmSlot},   {"LeftForeArm", true, kLeftHandSlot},
    {"RightUpperArm", true, kRightForeArmSlot}, {"RightForeArm", true, kRightHandSlot},
    {"LeftUpperLeg", false, kLeftLegSlot},      {"LeftLowerLeg", false, kLeftFootSlot},
    {"RightUpperLeg", false, kRightLegSlot},    {"RightLowerLeg", false, kRightFootSlot},
};

// Lengths at or under this (cm) are left alone rather than divided by.
constexpr float kMinFittedLength = 0.001f;
constexpr float kMetresToCm = 100.0f;

// Lengths come from the wire: zero would collapse a segment, a negative one (the format allows
// down to -1 m) turn it round, NaN poison everything below it.
bool usableLength(float metres) {
    return metres > 0.0f && std::isfinite(metres);
}

glm::vec3 transformPoint(const glm::mat4& m, const glm::vec3& p) {
    return glm::vec3(m * glm::vec4(p, 1.0f));
}

}  // namespace

bool ProportionJob::Validate() const {
    return frame != nullptr && slotMap != nullptr && poseNodes != nullptr;
}

bool ProportionJob::Run() const {
    if (!Validate()) return false;
    const SensorFrame& measured = *frame;
    const BoneSlotMap& map = *slotMap;
    PoseNodeList& pose = *poseNodes;
    const std::int32_t spineBones[3] = {nodeAtSlot(pose, map, kSpineSlot),
                                        nodeAtSlot(pose, map, kSpine1Slot),
                                        nodeAtSlot(pose, map, kSpine2Slot)};
    const std::int32_t leftUpLeg = nodeAtSlot(pose, map, kLeftUpLegSlot);
    const std::int32_t rightUpLeg = nodeAtSlot(pose, map, kRightUpLegSlot);
    const std::int32_t leftArm = nodeAtSlot(pose, map, kLeftArmSlot);
    const std::int32_t rightArm = nodeAtSlot(pose, map, kRightArmSlot);
    const bool trunkMapped = spineBones[0] >= 0 && spineBones[1] >= 0 && spineBones[2] >= 0 &&
                             leftUpLeg >= 0 && rightUpLeg >= 0 && leftArm >= 0 && rightArm >= 0;

    if (trunkMapped) {
        // 1. Spine length: stretch the spine offsets vertically so the hips-to-shoulders
        //    distance becomes the performer's. Without a right index finger length the spine
        //    target counts at half.
        //    A spine length that is no length leaves the spine as it is.
        const ChainTarget& spine = measured.targets[kSpineTarget];
        float spineLength = spine.length;
        if (measured.targets[kRightIndexTarget].length < kMinLength) spineLength *= 0.5f;
        const float targetCm = spineLength * kMetresToCm;
        const glm::vec3 hipCentre =
            (pose.worldPosition(rightUpLeg) + pose.worldPosition(leftUpLeg)) * 0.5f;
        const glm::vec3 shoulderCentre =
            (pose.worldPosition(rightArm) + pose.worldPosition(leftArm)) * 0.5f;
        const float current = glm::length(shoulderCentre - hipCentre);
        if (current > kMinFittedLength && usableLength(spine.length)) {
            const float k = targetCm / current;
            for (std::int32_t bone : spineBones) {
                glm::vec3 position = pose[bone].position;
                position.y *= k;
                pose.setPosition(bone, position);
            }
        }

        // 2. Shoulder width, from the two shoulder points of a frame that carries them; an
        //    older frame leaves the skeleton's own width.
        if (measured.hasAuxValues()) {
            // The chest point Q cancels out; a zero spine target has no direction, so Q is
            // then the root itself.
            const glm::vec3 spineDir = normalizedOrZero(spine.position);
            const glm::vec3 chest = measured.rootPosition + spineDir * spine.length;
            const glm::vec3 left(measured.auxValues[6], measured.auxValues[7],
                                 measured.auxValues[8]);
            const glm::vec3 right(measured.auxValues[9], measured.auxValues[10],
                                  measured.auxValues[11]);
            const float halfWidth =
                0.5f * glm::length((chest + right) * kMetresToCm - (chest + left) * kMetresToCm);

            const glm::vec3 leftPos = pose.worldPosition(leftArm);
            const glm::vec3 rightPos = pose.worldPosition(rightArm);
            const glm::vec3 centre = (rightPos + leftPos) * 0.5f;
            const glm::vec3 towardsLeft = normalizedOrZero(centre - rightPos, kMinJointDistance);
            const glm::vec3 towardsRight = normalizedOrZero(centre - leftPos, kMinJointDistance);
            // Coincident arm joints give no line to spread them along, and coincident shoulder
            // points no width to spread them to: keep the skeleton's own shoulders then.
            if (towardsLeft != glm::vec3(0.0f) && towardsRight != glm::vec3(0.0f) &&
                halfWidth > kMinFittedLength && std::isfinite(halfWidth)) {
                const glm::vec3 newLeft = centre + towardsLeft * halfWidth;
                const glm::vec3 newRight = centre + towardsRight * halfWidth;
                const std::int32_t leftParent = pose.parentIndex(leftArm);
                if (leftParent >= 0) {
                    pose.setPosition(
                        leftArm,
                        transformPoint(glm::inverse(pose.worldMatrix(leftParent)), newLeft));
                }
                const std::int32_t rightParent = pose.parentIndex(rightArm);
                if (rightParent >= 0) {
                    pose.setPosition(
                        rightArm,
                        transformPoint(glm::inverse(pose.worldMatrix(rightParent)), newRight));
                }
            }
        }
    }

    // 3. Limb segments: both sides get half the mean of the two limb lengths, for the upper
    //    and the lower segment alike. The mean needs both: with one limb's length unusable,
    //    the four segments of that pair stay as the skeleton has them, on both sides alike.
    const ChainTarget* targets = measured.targets.data();
    const bool armsUsable = usableLength(targets[kRightArmTarget].length) &&
                            usableLength(targets[kLeftArmTarget].length);
    const bool legsUsable = usableLength(targets[kRightLegTarget].length) &&
                            usableLength(targets[kLeftLegTarget].length);
    const float armSegment =
        (targets[kRightArmTarget].length + targets[kLeftArmTarget].length) * 0.25f;
    const float legSegment =
        (targets[kRightLegTarget].length + targets[kLeftLegTarget].length) * 0.25f;
    for (const Segment& segment : kSegmentTable) {
        if (!(segment.arm ? armsUsable : legsUsable)) continue;
        const std::int32_t bone = nodeAtSlot(pose, map, segment.slot);
        if (bone < 0) continue;
        const glm::mat4 world = pose.worldMatrix(bone);
        const float worldScale =
            (glm::length(glm::vec3(world[1])) + glm::length(glm::vec3(world[0])) +
             glm::length(glm::vec3(world[2]))) /
            3.0f;
        const float worldLength = worldScale * glm::length(pose[bone].position);
        if (worldLength > kMinFittedLength) {
            const float targetCm = (segment.arm ? armSegment : legSegment) * kMetresToCm;
            pose.setPosition(bone, pose[bone].position * (targetCm / worldLength));
        }
    }
    return true;
}

}  // namespace telmora
