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

#include "motion/chain_solver.h"
#include "motion/limb_solver.h"
#include "motion/pose_node_list.h"
#include "motion/proportions.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"
#include "motion/solver_common.h"

namespace telmora {

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

// The chains' body slots.
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
};

}  // namespace telmora
