#pragma once
// The body solver: one decoded sensor frame in, one posed Skeleton out.
//
// The frame carries the hips position, seven world rotations (hips, hands, feet, shoulders) and
// sixteen chain targets. solve() scales the device skeleton to the performer's hip height, fits
// the performer's proportions, places the hips, solves the legs, the spine, the neck and head,
// turns the shoulders, solves the arms and bends the fingers, in that order. Each stage writes
// local rotations into a flat list of pose nodes (PoseNodeList); the result is copied into the
// output skeleton, whose offsets and rotations are in the skeleton's own (stored) axes.
//
// Stateless: construct one per frame, or keep one; nothing survives between calls.
//
// Degenerate input never produces NaN or infinity. Where a target, pole or chain length is
// zero, an end target sits on its chain's root, a pole target lies on the root-target line, two
// points of a chain coincide, a chain bone's up direction lies along its look direction or a
// finger points along its hand reference, the affected limb or chain keeps the rotations it had
// before that stage.

#include <array>
#include <cstdint>

#include "motion/pose_node_list.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"

namespace telmora {

// Smallest length the solvers treat as non-zero, and its square.
constexpr float kMinLength = 1.1920929e-7f;
constexpr float kMinLengthSq = 1.4210855e-14f;

// Two joints closer than this (cm) count as coincident where a direction between them is
// needed: well above float rounding on joint positions, well below any real bone.
constexpr float kMinJointDistance = 0.001f;

constexpr float kHalfPi = 1.5707964f;
constexpr float kPi = 3.1415927f;

// Constant rotations placed between a solved bone frame (bone along +x for limbs, looking down
// -z for chains) and the bone's rest world rotation: world = frame * alignment * restWorld.
// Built from Euler angles (x, y, z) in radians with glm::quat(vec3), i.e. Rz * Ry * Rx.
inline const glm::quat kLegAlignment = glm::quat(glm::vec3(0.0f, kHalfPi, kHalfPi));
inline const glm::quat kSpineAlignment = glm::quat(glm::vec3(kHalfPi, kPi, 0.0f));
inline const glm::quat kLeftArmAlignment = kSpineAlignment;
inline const glm::quat kRightArmAlignment = glm::quat(glm::vec3(-kHalfPi, kPi, kPi));
inline const glm::quat kLeftFingerAlignment = glm::quat(glm::vec3(kPi, -kHalfPi, kPi));
inline const glm::quat kRightFingerAlignment = glm::quat(glm::vec3(kPi, kHalfPi, kPi));
inline const glm::quat kLeftThumbAlignment =
    glm::quat(glm::vec3(2.6179938f, -0.87266463f, 3.1415927f));
inline const glm::quat kRightThumbAlignment =
    glm::quat(glm::vec3(2.6179938f, 0.87266463f, 3.1415927f));

// Body slots of one chain, root to tip; -1 marks a position without a bone.
struct ChainSlots {
    std::array<std::int32_t, 4> entries{-1, -1, -1, -1};
    int count = 0;
};

inline constexpr ChainSlots kSpineSlots{{1, 2, 3, -1}, 3};
inline constexpr ChainSlots kNeckAndHeadSlots{{-1, 5, 6, -1}, 3};
inline constexpr ChainSlots kHeadSlots{{-1, -1, 6, -1}, 3};
inline constexpr ChainSlots kLeftThumbSlots{{35, 36, 37, 57}, 4};
inline constexpr ChainSlots kLeftIndexSlots{{32, 33, 34, 56}, 4};
inline constexpr ChainSlots kLeftMiddleSlots{{29, 30, 31, 55}, 4};
inline constexpr ChainSlots kLeftRingSlots{{26, 27, 28, 54}, 4};
inline constexpr ChainSlots kLeftPinkySlots{{23, 24, 25, 53}, 4};
inline constexpr ChainSlots kRightThumbSlots{{50, 51, 52, 62}, 4};
inline constexpr ChainSlots kRightIndexSlots{{47, 48, 49, 61}, 4};
inline constexpr ChainSlots kRightMiddleSlots{{44, 45, 46, 60}, 4};
inline constexpr ChainSlots kRightRingSlots{{41, 42, 43, 59}, 4};
inline constexpr ChainSlots kRightPinkySlots{{38, 39, 40, 58}, 4};

// The two world-space bone frames of a two-bone solution: each maps the solver's bone frame
// (bone along +x, y in the plane of root, end target and pole target, z normal to it) to
// world. `valid` is false, and both frames the identity, when the geometry has no plane or no
// direction (end target on the root, pole target on the root-target line, zero-length bone).
struct TwoBoneFrames {
    glm::quat upperFrame = kIdentityQuat;
    glm::quat lowerFrame = kIdentityQuat;
    bool valid = false;
};

// Bone index of a body slot, or -1 when the slot is outside the map or holds no valid bone.
inline std::int32_t boneAtSlot(const BoneSlotMap& slotMap, std::int32_t slot) {
    if (slot < 0 || slot >= kBodySlotCount) return -1;
    const std::int32_t bone = slotMap[slot];
    return bone >= 0 && bone < kMaxBones ? bone : -1;
}

class BodySolver {
public:
    // Fills `output` completely (boneCount 120: every slot of the skeleton, used or not) and
    // returns it. `skeleton` and `slotMap` are the device's; `output` may be `skeleton` itself.
    // A hipsHeight of 0 or less (or not finite) gives the device skeleton unchanged.
    Skeleton& solve(const SensorFrame& frame, const Skeleton& skeleton, const BoneSlotMap& slotMap,
                    Skeleton& output) const {
        return solve(frame, skeleton, slotMap, output, NodeEvaluation::kCached);
    }
    // Same, with the node lists evaluated as asked (kRecursive is the slow reference).
    Skeleton& solve(const SensorFrame& frame, const Skeleton& skeleton, const BoneSlotMap& slotMap,
                    Skeleton& output, NodeEvaluation evaluation) const;

    // Poses a three-bone limb (upper, middle, end bone indices) so that its end reaches
    // `target` as a fraction of the character's reach (|target| / chainLength), bending towards
    // `pole`. The end bone gets endRotation on top of its rest world rotation; a non-zero
    // `twist` turns the middle bone half way towards the end's twist. With the opposite limb
    // given (all three indices >= 0 and otherChainLength > 0), a short pole pulls the end
    // towards the opposite limb's end target. Rewrites only the three bones' local rotations;
    // leaves them as they were when the target, pole or chain length is zero, an index is
    // invalid or the geometry is degenerate.
    void solveLimb(const glm::vec3& target, const glm::vec3& pole, float chainLength,
                   std::int32_t upperBone, std::int32_t middleBone, std::int32_t endBone,
                   const glm::quat& alignment, const glm::quat& endRotation,
                   const PoseNodeList& restNodes, PoseNodeList& poseNodes, std::int32_t twist,
                   std::int32_t otherUpperBone, std::int32_t otherMiddleBone,
                   std::int32_t otherEndBone, const glm::vec3& otherTarget,
                   float otherChainLength) const;

    // Analytic two-bone solution: root, end target and pole target in world space, the upper
    // and lower bone lengths (cm). A target out of reach gives a straight limb pointing at it.
    // Points closer than kMinJointDistance count as coincident (result not valid).
    TwoBoneFrames solveTwoBone(const glm::vec3& root, const glm::vec3& endTarget,
                               const glm::vec3& poleTarget, float upperLength,
                               float lowerLength) const;

    // Poses a chain of one or more bones so its end reaches `target` as a fraction of the
    // chain's reach, bowing along `pole` when the target is nearer (or further) than full reach.
    // A chain whose first slot is the Spine slot takes its up vectors from the hips and
    // shoulder lines. Rewrites the local rotation of every chain bone but the last (a single
    // bone is rotated itself). Leaves the chain unchanged when chainLength, target or pole is
    // zero or not finite, when two of the points it aims between coincide, or when a bone's up
    // direction (the pole, or on the spine the hips and shoulder lines) lies along the
    // direction it would look in.
    void solveChain(const glm::vec3& target, const glm::vec3& pole, float chainLength,
                    const ChainSlots& slots, const glm::quat& alignment,
                    const PoseNodeList& restNodes, PoseNodeList& poseNodes,
                    const BoneSlotMap& slotMap) const;

    // Reshapes poseNodes (local positions only) to the performer's measurements in `frame`
    // (skeleton axes, spine target doubled): spine length, shoulder width (only when the frame
    // carries auxiliary values) and the mean upper/lower arm and leg segment lengths. A spine,
    // arm or leg length that is not positive and finite leaves the segments it would set (for
    // a limb, both sides' upper and lower segments) as they are.
    void fitProportions(PoseNodeList& poseNodes, const BoneSlotMap& slotMap,
                        const SensorFrame& frame) const;
};

}  // namespace telmora
