#include "motion/body_solver.h"

#include <cmath>
#include <cstring>

#include "motion/vector_guards.h"

namespace telmora {

namespace {

// The one root name that switches scaling and proportion fitting off.
bool isNamedRoot(const Bone& bone) {
    return std::strncmp(bone.name, "root", kBoneNameSize) == 0;
}

// Skeleton axes are the sender's mirrored across x = 0.
glm::vec3 mirrored(const glm::vec3& v) {
    return glm::vec3(-v.x, v.y, v.z);
}
glm::quat mirrored(const glm::quat& q) {
    return quatXYZW(q.x, -q.y, -q.z, q.w);
}

// The frame in the skeleton's axes. The seven rotations are also brought to unit length: a
// wire quaternion is unit up to rounding unless its three sent components square-sum past 1,
// and such a one would otherwise shear every bone below it.
SensorFrame mirroredFrame(const SensorFrame& frame) {
    SensorFrame m = frame;
    m.rootPosition = mirrored(frame.rootPosition);
    glm::quat* const rotations[] = {
        &m.hipsRotation,      &m.leftHandRotation,     &m.rightHandRotation,    &m.leftFootRotation,
        &m.rightFootRotation, &m.leftShoulderRotation, &m.rightShoulderRotation};
    for (glm::quat* rotation : rotations) *rotation = unitOrIdentity(mirrored(*rotation));
    for (ChainTarget& target : m.targets) {
        target.position.x = -target.position.x;
        target.pole.x = -target.pole.x;
    }
    // The spine target travels at half scale.
    m.targets[kSpineTarget].position *= 2.0f;
    m.targets[kSpineTarget].length *= 2.0f;
    return m;
}

struct FingerChain {
    int target;
    const ChainSlots* slots;
};

constexpr FingerChain kLeftFingers[] = {{kLeftIndexTarget, &kLeftIndexSlots},
                                        {kLeftMiddleTarget, &kLeftMiddleSlots},
                                        {kLeftRingTarget, &kLeftRingSlots},
                                        {kLeftPinkyTarget, &kLeftPinkySlots}};
constexpr FingerChain kRightFingers[] = {{kRightIndexTarget, &kRightIndexSlots},
                                         {kRightMiddleTarget, &kRightMiddleSlots},
                                         {kRightRingTarget, &kRightRingSlots},
                                         {kRightPinkyTarget, &kRightPinkySlots}};

}  // namespace

Skeleton& BodySolver::solve(const SensorFrame& frame, const Skeleton& skeleton,
                            const BoneSlotMap& slotMap, Skeleton& output,
                            NodeEvaluation evaluation) const {
    const float hipsHeight = frame.hipsHeight;
    const bool posed = hipsHeight > 0.0f && std::isfinite(hipsHeight);
    const bool rootNamed = isNamedRoot(skeleton.bones[0]);
    const std::int32_t hipsBone = boneAtSlot(slotMap, kHipsSlot);

    // 1. Performer-to-character scale, from the rest hips height (cm) of the device skeleton.
    float scale = 1.0f;
    if (posed && !rootNamed) {
        const float restHipsY = boneWorldPosition(skeleton, hipsBone, false).y;
        const float s = hipsHeight / restHipsY * 100.0f;
        if (std::isfinite(s) && s > 0.0f) scale = s;
    }

    // 2. Rest and pose nodes, and the output's names and parents. Nodes are built for the
    //    bones in use and any bone the slot map names; the slots past them are never read or
    //    written by a stage, so their output is the scaled skeleton bone either way; the bones
    //    with nodes get their offset and rotation from the nodes at the end. Every bone is read
    //    before its output slot is written, so `output` may alias `skeleton`.
    std::int32_t nodeCount = skeleton.boneCount < 0 ? 0 : skeleton.boneCount;
    for (std::int32_t slot = 0; slot < kBodySlotCount; ++slot) {
        const std::int32_t bone = boneAtSlot(slotMap, slot);
        if (bone >= nodeCount) nodeCount = bone + 1;
    }
    if (nodeCount > kMaxBones) nodeCount = kMaxBones;
    const PoseNodeList restNodes(skeleton, scale, evaluation, nodeCount);
    PoseNodeList poseNodes(skeleton, scale, evaluation, nodeCount);
    for (int i = 0; i < kMaxBones; ++i) {
        const Bone& bone = skeleton.bones[i];
        Bone& out = output.bones[i];
        if (&out != &bone) {
            std::memcpy(out.name, bone.name, kBoneNameSize - 1);
            out.name[kBoneNameSize - 1] = '\0';
            out.parent = bone.parent;
        }
        if (i >= nodeCount) {
            out.offset = scale * bone.offset;
            out.rotation = bone.rotation;
        }
    }
    output.boneCount = kMaxBones;
    // The nodes' local values become the output's, once every stage has run.
    auto writePose = [&]() -> Skeleton& {
        for (std::int32_t i = 0; i < nodeCount; ++i) {
            output.bones[i].offset = poseNodes[i].position;
            output.bones[i].rotation = poseNodes[i].rotation;
        }
        return output;
    };

    // 3. No hips height: the rest pose (scale is 1 on this path).
    if (!posed) return writePose();

    // 4. The frame in the skeleton's axes.
    const SensorFrame m = mirroredFrame(frame);

    // 5. Proportions.
    if (!rootNamed) {
        ProportionJob proportions;
        proportions.frame = &m;
        proportions.slotMap = &slotMap;
        proportions.poseNodes = &poseNodes;
        proportions.Run();
    }

    // 6. Hips: position and world rotation, expressed under the hips' parent if there is one.
    if (poseNodes.contains(hipsBone)) {
        const float ratio = restNodes.worldPosition(hipsBone).y / hipsHeight;
        const glm::vec3 worldPos = m.rootPosition * ratio;
        const glm::quat worldRot = m.hipsRotation * restNodes.worldRotation(hipsBone);
        const std::int32_t parent = poseNodes.parentIndex(hipsBone);
        if (parent >= 0) {
            const glm::mat4 toParent = glm::inverse(poseNodes.worldMatrix(parent));
            poseNodes.setRotation(hipsBone, glm::quat_cast(glm::mat3(toParent)) * worldRot);
            poseNodes.setPosition(hipsBone, glm::vec3(toParent * glm::vec4(worldPos, 1.0f)));
        } else {
            poseNodes.setRotation(hipsBone, worldRot);
            poseNodes.setPosition(hipsBone, worldPos);
        }
    }

    // A limb of three body slots, posed towards a chain target of the frame; no opposite limb.
    auto limbJob = [&](const ChainTarget& limb, std::int32_t upperSlot, std::int32_t middleSlot,
                       std::int32_t endSlot, const glm::quat& alignment,
                       const glm::quat& endRotation) {
        LimbJob job;
        job.target = limb.position;
        job.pole = limb.pole;
        job.chainLength = limb.length;
        job.upperBone = boneAtSlot(slotMap, upperSlot);
        job.middleBone = boneAtSlot(slotMap, middleSlot);
        job.endBone = boneAtSlot(slotMap, endSlot);
        job.alignment = alignment;
        job.endRotation = endRotation;
        job.restNodes = &restNodes;
        job.poseNodes = &poseNodes;
        return job;
    };
    auto runChain = [&](const glm::vec3& target, const glm::vec3& pole, float chainLength,
                        const ChainSlots& slots, const glm::quat& alignment) {
        ChainJob job;
        job.target = target;
        job.pole = pole;
        job.chainLength = chainLength;
        job.slots = slots;
        job.alignment = alignment;
        job.slotMap = &slotMap;
        job.restNodes = &restNodes;
        job.poseNodes = &poseNodes;
        job.Run();
    };

    // 7. Legs. No opposite limb: the feet are never pulled together.
    limbJob(m.targets[kLeftLegTarget], kLeftUpLegSlot, kLeftLegSlot, kLeftFootSlot, kLegAlignment,
            m.leftFootRotation)
        .Run();
    limbJob(m.targets[kRightLegTarget], kRightUpLegSlot, kRightLegSlot, kRightFootSlot,
            kLegAlignment, m.rightFootRotation)
        .Run();

    // 8. Spine. A zero pole normalises to zero, which the chain solver refuses.
    const ChainTarget& spine = m.targets[kSpineTarget];
    runChain(spine.position, normalizedOrZero(spine.pole), spine.length, kSpineSlots,
             kSpineAlignment);

    // 9. Neck and head: solve the neck towards the head target, keep three tenths of that turn
    //    (six tenths on a bone between neck and head), then aim the head itself.
    const ChainTarget& head = m.targets[kHeadTarget];
    const std::int32_t neckBone = boneAtSlot(slotMap, kNeckSlot);
    const std::int32_t headBone = boneAtSlot(slotMap, kHeadSlot);
    const bool hasNeck = poseNodes.contains(neckBone);
    const bool hasHead = poseNodes.contains(headBone);
    const glm::quat neckBefore = hasNeck ? poseNodes[neckBone].rotation : kIdentityQuat;
    const glm::quat headBefore = hasHead ? poseNodes[headBone].rotation : kIdentityQuat;
    runChain(head.position, head.pole, head.length, kNeckAndHeadSlots, kSpineAlignment);
    if (hasNeck) {
        const glm::quat neckSolved = poseNodes[neckBone].rotation;
        poseNodes.setRotation(neckBone, neckBefore);
        if (hasHead) {
            const std::int32_t between = poseNodes.parentIndex(headBone);
            if (between >= 0 && between != neckBone) {
                poseNodes.setRotation(between,
                                      glm::slerp(poseNodes[between].rotation, neckSolved, 0.6f));
            }
        }
        poseNodes.setRotation(neckBone, glm::slerp(neckBefore, neckSolved, 0.3f));
    }
    if (hasHead) poseNodes.setRotation(headBone, headBefore);
    runChain(head.position, head.pole, head.length, kHeadSlots, kSpineAlignment);

    // 10. Shoulders take their world rotation from the frame, whatever the spine did.
    const std::int32_t leftShoulder = boneAtSlot(slotMap, kLeftShoulderSlot);
    if (poseNodes.contains(leftShoulder)) {
        poseNodes.setWorldRotation(leftShoulder,
                                   m.leftShoulderRotation * restNodes.worldRotation(leftShoulder));
    }
    const std::int32_t rightShoulder = boneAtSlot(slotMap, kRightShoulderSlot);
    if (poseNodes.contains(rightShoulder)) {
        poseNodes.setWorldRotation(
            rightShoulder, m.rightShoulderRotation * restNodes.worldRotation(rightShoulder));
    }

    // 11. Arms, each with the other arm's frame values for the hand blend.
    const ChainTarget& leftArm = m.targets[kLeftArmTarget];
    const ChainTarget& rightArm = m.targets[kRightArmTarget];
    LimbJob left = limbJob(leftArm, kLeftArmSlot, kLeftForeArmSlot, kLeftHandSlot,
                           kLeftArmAlignment, m.leftHandRotation);
    LimbJob right = limbJob(rightArm, kRightArmSlot, kRightForeArmSlot, kRightHandSlot,
                            kRightArmAlignment, m.rightHandRotation);
    left.twist = -1;
    right.twist = 1;
    left.otherUpperBone = right.upperBone;
    left.otherMiddleBone = right.middleBone;
    left.otherEndBone = right.endBone;
    left.otherTarget = rightArm.position;
    left.otherChainLength = rightArm.length;
    right.otherUpperBone = left.upperBone;
    right.otherMiddleBone = left.middleBone;
    right.otherEndBone = left.endBone;
    right.otherTarget = leftArm.position;
    right.otherChainLength = leftArm.length;
    left.Run();
    right.Run();

    // 12. Fingers bend in the plane of their direction and a reference direction of the hand.
    //     A zero direction, or one along the reference, leaves a zero plane vector, which the
    //     chain solver refuses.
    auto solveFinger = [&](int targetIndex, const ChainSlots& slots, const glm::vec3& handRef,
                           const glm::quat& alignment) {
        const ChainTarget& finger = m.targets[targetIndex];
        const glm::vec3 direction = normalizedOrZero(finger.position);
        const glm::vec3 plane = normalizedOrZero(glm::cross(direction, handRef));
        runChain(finger.position, plane, finger.length, slots, alignment);
    };
    const glm::vec3 leftRef = m.leftHandRotation * glm::vec3(0.0f, 0.0f, 1.0f);
    for (const FingerChain& finger : kLeftFingers) {
        solveFinger(finger.target, *finger.slots, leftRef, kLeftFingerAlignment);
    }
    solveFinger(kLeftThumbTarget, kLeftThumbSlots,
                m.leftHandRotation * glm::vec3(0.5f, -0.5f, 0.0f), kLeftThumbAlignment);
    const glm::vec3 rightRef = m.rightHandRotation * glm::vec3(0.0f, 0.0f, -1.0f);
    for (const FingerChain& finger : kRightFingers) {
        solveFinger(finger.target, *finger.slots, rightRef, kRightFingerAlignment);
    }
    solveFinger(kRightThumbTarget, kRightThumbSlots,
                m.rightHandRotation * glm::vec3(0.5f, 0.5f, 0.0f), kRightThumbAlignment);

    // 13. The solved pose.
    return writePose();
}

}  // namespace telmora
