#pragma once
// The limb stage of the body solver: an arm or a leg as an analytic two-bone chain, its end
// bone turned to the measured rotation.

#include <cstdint>

#include "motion/glm_conventions.h"
#include "motion/pose_node_list.h"
#include "motion/solver_common.h"

namespace telmora {

// The two world-space bone frames of a two-bone solution: each maps the solver's bone frame
// (bone along +x, y in the plane of root, end target and pole target, z normal to it) to
// world. `valid` is false, and both frames the identity, when the geometry has no plane or no
// direction (end target on the root, pole target on the root-target line, zero-length bone).
struct TwoBoneFrames {
    glm::quat upperFrame = kIdentityQuat;
    glm::quat lowerFrame = kIdentityQuat;
    bool valid = false;
};

// Analytic two-bone solution: root, end target and pole target in world space, the upper and
// lower bone lengths (cm). A target out of reach gives a straight limb pointing at it. Points
// closer than kMinJointDistance count as coincident (result not valid).
TwoBoneFrames solveTwoBone(const glm::vec3& root, const glm::vec3& endTarget,
                           const glm::vec3& poleTarget, float upperLength, float lowerLength);

// Poses a three-bone limb (upper, middle and end bone) so that its end reaches `target` as a
// fraction of the performer's reach (|target| / chainLength) carried over to the character's
// limb, bending towards `pole`. Rewrites only the three bones' local rotations in poseNodes;
// leaves them as they were when the target, pole or chain length is zero or not finite, a bone
// has no node, or the geometry is degenerate.
struct LimbJob {
    // The end target and bend direction relative to the limb's root, and the performer's limb
    // length, as the frame gives them (skeleton axes).
    glm::vec3 target{0.0f};
    glm::vec3 pole{0.0f};
    float chainLength = 0.0f;
    // The limb's bones, root to end; -1 for none (the limb is then left alone).
    std::int32_t upperBone = -1;
    std::int32_t middleBone = -1;
    std::int32_t endBone = -1;
    // Placed between a solved bone frame (bone along +x) and the bone's rest world rotation.
    glm::quat alignment = kIdentityQuat;
    // The end bone's world rotation on top of its rest world rotation (the measured hand or
    // foot).
    glm::quat endRotation = kIdentityQuat;
    // Non-zero: the middle bone turns half way towards the end's twist (forearms).
    std::int32_t twist = 0;
    // The opposite limb, for the hand blend: with all three bones (>= 0) and a length over
    // kMinLength, a short pole pulls the end towards the opposite limb's end target. The
    // defaults mean no opposite limb.
    std::int32_t otherUpperBone = -1;
    std::int32_t otherMiddleBone = -1;
    std::int32_t otherEndBone = -1;
    glm::vec3 otherTarget{0.0f};
    float otherChainLength = 0.0f;
    // The unposed (rest) nodes and the nodes being posed, of the same skeleton.
    const PoseNodeList* restNodes = nullptr;
    PoseNodeList* poseNodes = nullptr;  // output

    // Both node lists given, of the same size.
    bool Validate() const;
    // Validates, then poses the limb. False, with nothing touched, when the job is not valid.
    bool Run() const;
};

}  // namespace telmora
