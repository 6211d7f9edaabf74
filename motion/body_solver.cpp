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

// What the stages of one solve share: the mirrored frame, the slot map, the rest nodes and the
// pose nodes they write.
struct Stages {
    const SensorFrame& m;
    const BoneSlotMap& slotMap;
    const PoseNodeList& restNodes;
    PoseNodeList& poseNodes;

    // A limb of three body slots, posed towards a chain target of the frame; no opposite limb.
    LimbJob limbJob(const ChainTarget& limb, std::int32_t upperSlot, std::int32_t middleSlot,
                    std::int32_t endSlot, const glm::quat& alignment,
                    const glm::quat& endRotation) const {
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
    }

    void runChain(const glm::vec3& target, const glm::vec3& pole, float chainLength,
                  const ChainSlots& slots, const glm::quat& alignment) const {
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
    }

    // Position and world rotation, expressed under the hips' parent if there is one.
    void placeHips(float hipsHeight) const {
        const std::int32_t hipsBone = boneAtSlot(slotMap, kHipsSlot);
        if (!poseNodes.contains(hipsBone)) return;
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

    // No opposite limb: the feet are never pulled together.
    void solveLegs() const {
        limbJob(m.targets[kLeftLegTarget], kLeftUpLegSlot, kLeftLegSlot, kLeftFootSlot,
                kLegAlignment, m.leftFootRotation)
            .Run();
        limbJob(m.targets[kRightLegTarget], kRightUpLegSlot, kRightLegSlot, kRightFootSlot,
                kLegAlignment, m.rightFootRotation)
            .Run();
    }

    // A zero pole normalises to zero, which the chain solver refuses.
    void solveSpine() const {
        const ChainTarget& spine = m.targets[kSpineTarget];
        runChain(spine.position, normalizedOrZero(spine.pole), spine.length, kSpineSlots,
                 kSpineAlignment);
    }

    // Solves the neck towards the head target, keeps three tenths of that turn (six tenths on
    // a bone between neck and head), then aims the head itself.
    void solveNeckAndHead() const {
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
                    poseNodes.setRotation(
                        between, glm::slerp(poseNodes[between].rotation, neckSolved, 0.6f));
                }
            }
            poseNodes.setRotation(neckBone, glm::slerp(neckBefore, neckSolved, 0.3f));
        }
        if (hasHead) poseNodes.setRotation(headBone, headBefore);
        runChain(head.position, head.pole, head.length, kHeadSlots, kSpineAlignment);
    }

    // The shoulders take their world rotation from the frame, whatever the spine did.
    void turnShoulders() const {
        const std::int32_t left = boneAtSlot(slotMap, kLeftShoulderSlot);
        if (poseNodes.contains(left))
            poseNodes.setWorldRotation(left,
                                       m.leftShoulderRotation * restNodes.worldRotation(left));
        const std::int32_t right = boneAtSlot(slotMap, kRightShoulderSlot);
        if (poseNodes.contains(right))
            poseNodes.setWorldRotation(right,
                                       m.rightShoulderRotation * restNodes.worldRotation(right));
    }

    // Each arm with the other arm's frame values for the hand blend.
    void solveArms() const {
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
    }

    // A finger bends in the plane of its direction and a reference direction of the hand. A zero
    // direction, or one along the reference, leaves a zero plane vector, which the chain solver
    // refuses.
    void solveFinger(int targetIndex, const ChainSlots& slots, const glm::vec3& handReference,
                     const glm::quat& alignment) const {
        const ChainTarget& finger = m.targets[targetIndex];
        const glm::vec3 direction = normalizedOrZero(finger.position);
        const glm::vec3 plane = normalizedOrZero(glm::cross(direction, handReference));
        runChain(finger.position, plane, finger.length, slots, alignment);
    }

    void solveFingers() const {
        const glm::vec3 leftReference = m.leftHandRotation * glm::vec3(0.0f, 0.0f, 1.0f);
        for (const FingerChain& finger : kLeftFingers)
            solveFinger(finger.target, *finger.slots, leftReference, kLeftFingerAlignment);
        solveFinger(kLeftThumbTarget, kLeftThumbSlots,
                    m.leftHandRotation * glm::vec3(0.5f, -0.5f, 0.0f), kLeftThumbAlignment);
        const glm::vec3 rightReference = m.rightHandRotation * glm::vec3(0.0f, 0.0f, -1.0f);
        for (const FingerChain& finger : kRightFingers)
            solveFinger(finger.target, *finger.slots, rightReference, kRightFingerAlignment);
        solveFinger(kRightThumbTarget, kRightThumbSlots,
                    m.rightHandRotation * glm::vec3(0.5f, 0.5f, 0.0f), kRightThumbAlignment);
    }
};

// Performer-to-character scale, from the rest hips height (cm) of the device skeleton; 1 when
// the frame has no hips height or the skeleton has a named root.
float performerScale(const Skeleton& skeleton, const BoneSlotMap& slotMap, float hipsHeight,
                     bool posed, bool rootNamed) {
    if (!posed || rootNamed) return 1.0f;
    const float restHipsY = boneWorldPosition(skeleton, boneAtSlot(slotMap, kHipsSlot), false).y;
    const float s = hipsHeight / restHipsY * 100.0f;
    return std::isfinite(s) && s > 0.0f ? s : 1.0f;
}

// How many bones get nodes: the bones in use and any bone the slot map names.
std::int32_t nodeCountOf(const Skeleton& skeleton, const BoneSlotMap& slotMap) {
    std::int32_t nodeCount = skeleton.boneCount < 0 ? 0 : skeleton.boneCount;
    for (std::int32_t slot = 0; slot < kBodySlotCount; ++slot) {
        const std::int32_t bone = boneAtSlot(slotMap, slot);
        if (bone >= nodeCount) nodeCount = bone + 1;
    }
    return nodeCount > kMaxBones ? kMaxBones : nodeCount;
}

// The output's names and parents, and the bones without nodes: the slots past them are never
// read or written by a stage, so their output is the scaled skeleton bone either way. Every
// bone is read before its output slot is written, so `output` may alias `skeleton`.
void copyUnposed(const Skeleton& skeleton, float scale, std::int32_t nodeCount, Skeleton& output) {
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
}

}  // namespace

Skeleton& BodySolver::solve(const SensorFrame& frame, const Skeleton& skeleton,
                            const BoneSlotMap& slotMap, Skeleton& output,
                            NodeEvaluation evaluation) const {
    const float hipsHeight = frame.hipsHeight;
    const bool posed = hipsHeight > 0.0f && std::isfinite(hipsHeight);
    const bool rootNamed = isNamedRoot(skeleton.bones[0]);
    const float scale = performerScale(skeleton, slotMap, hipsHeight, posed, rootNamed);

    // Rest and pose nodes for the bones in use; the bones with nodes get their offset and
    // rotation from the nodes at the end.
    const std::int32_t nodeCount = nodeCountOf(skeleton, slotMap);
    const PoseNodeList restNodes(skeleton, scale, evaluation, nodeCount);
    PoseNodeList poseNodes(skeleton, scale, evaluation, nodeCount);
    copyUnposed(skeleton, scale, nodeCount, output);

    // With a hips height, every stage in order on the frame in the skeleton's axes; without one
    // the rest pose (scale is 1 on that path).
    if (posed) {
        const SensorFrame m = mirroredFrame(frame);
        if (!rootNamed) {
            ProportionJob proportions;
            proportions.frame = &m;
            proportions.slotMap = &slotMap;
            proportions.poseNodes = &poseNodes;
            proportions.Run();
        }
        const Stages stages{m, slotMap, restNodes, poseNodes};
        stages.placeHips(hipsHeight);
        stages.solveLegs();
        stages.solveSpine();
        stages.solveNeckAndHead();
        stages.turnShoulders();
        stages.solveArms();
        stages.solveFingers();
    }

    // The nodes' local values become the output's.
    for (std::int32_t i = 0; i < nodeCount; ++i) {
        output.bones[i].offset = poseNodes[i].position;
        output.bones[i].rotation = poseNodes[i].rotation;
    }
    return output;
}

}  // namespace telmora
