#pragma once
// The chain stage of the body solver: spine, neck and head, fingers. The chain is laid along a
// parabolic bow from its root to the end target; each bone looks along its segment of the bow.

#include <array>
#include <cstdint>

#include "motion/glm_conventions.h"
#include "motion/pose_node_list.h"
#include "motion/solver_common.h"

namespace telmora {

// Body slots of one chain, root to tip; -1 marks a position without a bone.
struct ChainSlots {
    std::array<std::int32_t, 4> entries{-1, -1, -1, -1};
    int count = 0;  // entries in use, at most 4
};

// Poses a chain of one or more bones so its end reaches `target` as a fraction of the chain's
// reach, bowing along `pole` when the target is nearer (or further) than full reach. A chain
// whose first slot is the Spine slot takes its up vectors from the hips and shoulder lines.
// Rewrites the local rotation of every chain bone but the last (a single bone is rotated
// itself). Leaves the chain unchanged when chainLength, target or pole is zero or not finite,
// when two of the points it aims between coincide, or when a bone's up direction (the pole, or
// on the spine the hips and shoulder lines) lies along the direction it would look in.
struct ChainJob {
    // The end target and bow direction relative to the chain's root, and the performer's chain
    // length, as the frame gives them (skeleton axes).
    glm::vec3 target{0.0f};
    glm::vec3 pole{0.0f};
    float chainLength = 0.0f;
    // The chain's body slots; none by default (the chain is then left alone).
    ChainSlots slots;
    // Placed between a bone's look rotation (looking down -z) and its rest world rotation.
    glm::quat alignment = kIdentityQuat;
    // The skeleton's slot map, its unposed (rest) nodes and the nodes being posed.
    const BoneSlotMap* slotMap = nullptr;
    const PoseNodeList* restNodes = nullptr;
    PoseNodeList* poseNodes = nullptr;  // output

    // The slot map and both node lists given, the lists of the same size.
    bool Validate() const;
    // Validates, then poses the chain. False, with nothing touched, when the job is not valid.
    bool Run() const;
};

}  // namespace telmora
