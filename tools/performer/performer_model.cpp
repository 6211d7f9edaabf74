#include "tools/performer/performer_model.h"

#include <glm/gtx/quaternion.hpp>

#include "motion/body_solver.h"

namespace telmora {

namespace {

constexpr float kCmToMetres = 0.01f;

// Stored axes to the sender's: mirrored across x = 0.
glm::vec3 toSender(const glm::vec3& v) {
    return glm::vec3(-v.x, v.y, v.z);
}
glm::quat toSender(const glm::quat& q) {
    return quatXYZW(q.x, -q.y, -q.z, q.w);
}

const glm::vec3 kUp(0.0f, 1.0f, 0.0f);
// The skeleton faces +z in its stored axes (the toes lie at +z).
const glm::vec3 kBackward(0.0f, 0.0f, -1.0f);

struct Performer {
    const PerformerPose& pose;
    const PerformerPose& rest;
    const BoneSlotMap& slots;

    int bone(int slot) const { return slots[slot]; }
    glm::vec3 pos(int slot) const { return pose.worldPos[bone(slot)]; }
    glm::vec3 restPos(int slot) const { return rest.worldPos[bone(slot)]; }
    // World rotation applied on top of the rest orientation.
    glm::quat delta(int slot) const {
        return pose.worldRot[bone(slot)] * glm::inverse(rest.worldRot[bone(slot)]);
    }
    float restDistance(int slotA, int slotB) const {
        return glm::length(restPos(slotB) - restPos(slotA));
    }
};

void setLimb(const Performer& p, ChainTarget& target, int upper, int middle, int end,
             const glm::quat& alignment) {
    target.position = toSender(p.pos(end) - p.pos(upper)) * kCmToMetres;
    target.length = (p.restDistance(upper, middle) + p.restDistance(middle, end)) * kCmToMetres;
    // world = frame * alignment * restWorld, so the solver frame of the upper bone is
    // world * inverse(restWorld) * inverse(alignment); its y axis points to the bend side.
    const glm::quat frame = p.delta(upper) * glm::inverse(alignment);
    target.pole = toSender(frame * kUp);
}

void setFinger(const Performer& p, ChainTarget& target, const int (&slots)[4]) {
    target.position = toSender(p.pos(slots[3]) - p.pos(slots[0])) * kCmToMetres;
    target.length = (p.restDistance(slots[0], slots[1]) + p.restDistance(slots[1], slots[2]) +
                     p.restDistance(slots[2], slots[3])) *
                    kCmToMetres;
}

}  // namespace

PerformerPose evaluatePerformerPose(const Skeleton& skeleton) {
    PerformerPose pose;
    for (int i = 0; i < skeleton.boneCount && i < kMaxBones; ++i) {
        const Bone& bone = skeleton.bones[i];
        if (bone.parent >= 0 && bone.parent < i) {
            pose.worldRot[i] = pose.worldRot[bone.parent] * bone.rotation;
            pose.worldPos[i] =
                pose.worldPos[bone.parent] + pose.worldRot[bone.parent] * bone.offset;
        } else {
            pose.worldRot[i] = bone.rotation;
            pose.worldPos[i] = bone.offset;
        }
    }
    return pose;
}

Skeleton performerRestPose(const Skeleton& posed) {
    Skeleton rest = posed;
    for (Bone& bone : rest.bones) bone.rotation = kIdentityQuat;
    return rest;
}

SensorFrame makePerformerFrame(const Skeleton& posed, const BoneSlotMap& slots) {
    return makePerformerFrame(posed, performerRestPose(posed), slots);
}

SensorFrame makePerformerFrame(const Skeleton& posed, const Skeleton& rest,
                               const BoneSlotMap& slots) {
    const PerformerPose posedPose = evaluatePerformerPose(posed);
    const PerformerPose restPose = evaluatePerformerPose(rest);
    const Performer p{posedPose, restPose, slots};

    SensorFrame frame;
    frame.formatVersion = 2;
    frame.rootPosition = toSender(p.pos(kHipsSlot)) * kCmToMetres;
    frame.hipsHeight = p.restPos(kHipsSlot).y * kCmToMetres;

    frame.hipsRotation = toSender(p.delta(kHipsSlot));
    frame.leftHandRotation = toSender(p.delta(kLeftHandSlot));
    frame.rightHandRotation = toSender(p.delta(kRightHandSlot));
    frame.leftFootRotation = toSender(p.delta(kLeftFootSlot));
    frame.rightFootRotation = toSender(p.delta(kRightFootSlot));
    frame.leftShoulderRotation = toSender(p.delta(kLeftShoulderSlot));
    frame.rightShoulderRotation = toSender(p.delta(kRightShoulderSlot));

    setLimb(p, frame.targets[kLeftArmTarget], kLeftArmSlot, kLeftForeArmSlot, kLeftHandSlot,
            kLeftArmAlignment);
    setLimb(p, frame.targets[kRightArmTarget], kRightArmSlot, kRightForeArmSlot, kRightHandSlot,
            kRightArmAlignment);
    setLimb(p, frame.targets[kLeftLegTarget], kLeftUpLegSlot, kLeftLegSlot, kLeftFootSlot,
            kLegAlignment);
    setLimb(p, frame.targets[kRightLegTarget], kRightUpLegSlot, kRightLegSlot, kRightFootSlot,
            kLegAlignment);

    // Spine: the hips-to-shoulders line, turned so that the rest line would stand on the hips'
    // up axis, at half scale.
    const glm::vec3 hipCentre = (p.pos(kLeftUpLegSlot) + p.pos(kRightUpLegSlot)) * 0.5f;
    const glm::vec3 shoulderCentre = (p.pos(kLeftArmSlot) + p.pos(kRightArmSlot)) * 0.5f;
    const glm::vec3 restLine = (p.restPos(kLeftArmSlot) + p.restPos(kRightArmSlot)) * 0.5f -
                               (p.restPos(kLeftUpLegSlot) + p.restPos(kRightUpLegSlot)) * 0.5f;
    const glm::quat hips = p.delta(kHipsSlot);
    const glm::quat upright = glm::rotation(glm::normalize(restLine), kUp);
    const glm::quat lineToUp = hips * upright * glm::inverse(hips);
    ChainTarget& spine = frame.targets[kSpineTarget];
    spine.position = toSender(lineToUp * (shoulderCentre - hipCentre)) * kCmToMetres * 0.5f;
    spine.length = glm::length(restLine) * kCmToMetres * 0.5f;
    spine.pole = toSender(p.delta(kSpine2Slot) * kBackward);

    // Neck and head: along the head's up axis, the neck's rest length.
    const glm::quat headRot = p.delta(kHeadSlot);
    const float neckLength = p.restDistance(kNeckSlot, kHeadSlot);
    ChainTarget& head = frame.targets[kHeadTarget];
    head.position = toSender(headRot * kUp) * neckLength * kCmToMetres;
    head.length = neckLength * kCmToMetres;
    head.pole = toSender(headRot * kBackward);

    static constexpr int kFingerSlots[10][4] = {
        {35, 36, 37, 57}, {50, 51, 52, 62},  // thumbs, left then right
        {32, 33, 34, 56}, {47, 48, 49, 61},  // index
        {29, 30, 31, 55}, {44, 45, 46, 60},  // middle
        {26, 27, 28, 54}, {41, 42, 43, 59},  // ring
        {23, 24, 25, 53}, {38, 39, 40, 58},  // little
    };
    for (int f = 0; f < 10; ++f) {
        setFinger(p, frame.targets[kLeftThumbTarget + f], kFingerSlots[f]);
    }

    const glm::vec3 hipsPos = p.pos(kHipsSlot);
    const glm::vec3 leftArm = toSender(p.pos(kLeftArmSlot) - hipsPos) * kCmToMetres;
    const glm::vec3 rightArm = toSender(p.pos(kRightArmSlot) - hipsPos) * kCmToMetres;
    for (int k = 0; k < 3; ++k) {
        frame.auxValues[6 + k] = leftArm[k];
        frame.auxValues[9 + k] = rightArm[k];
    }
    return frame;
}

}  // namespace telmora
