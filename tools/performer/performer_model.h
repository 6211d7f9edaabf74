#pragma once
// A model performer: turns a posed copy of the default skeleton into the sensor frame a
// performer in that pose would send, so the solver can be checked against a known pose and
// the test sender can stream poses it makes itself.
//
// The posed skeleton has the default skeleton's bone order and slot map. Its bone-local
// `rotation`s (stored axes) and bone 0's `offset` (the hips position, stored axes, cm) are the
// pose; its offsets may be scaled uniformly for a taller or shorter performer. The performer's
// rest pose is the same skeleton with every rotation the identity (hips offset unchanged).
//
// The frame is in the sender's axes (the skeleton's stored axes mirrored across x = 0) and in
// metres, format version 2:
//  - rootPosition: the hips' world position; hipsHeight: the rest hip height;
//  - the seven rotations: world rotation times the inverse of the rest world rotation;
//  - arms and legs: end joint minus upper joint, the rest upper plus lower length, and as pole
//    the y axis of the upper bone's solver frame (its world rotation carried back through the
//    inverse of the rest world rotation and of the limb's alignment), unit length;
//  - spine: shoulder centre minus hip centre, turned by the rotation that takes the rest line
//    onto the hips' up axis (the solver expects an upright rest spine), and the rest distance,
//    both halved as on the wire; pole: the chest's (Spine2's) backward axis;
//  - neck and head: the head's up axis times the neck's rest length; pole: the head's backward
//    axis;
//  - fingers: tip joint minus first joint, and the rest chain length;
//  - auxValues[6..8] and [9..11]: the left and right arm joints relative to the hips.

#include <array>

#include "motion/glm_conventions.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"

namespace telmora {

// World transforms of every bone of a skeleton, in its stored axes (no mirroring, no root
// correction: the frame the solver's pose nodes work in), cm.
struct PerformerPose {
    std::array<glm::vec3, kMaxBones> worldPos{};
    std::array<glm::quat, kMaxBones> worldRot{};
};

// Forward kinematics of the first boneCount bones: worldRot = parentWorldRot * rotation,
// worldPos = parentWorldPos + parentWorldRot * offset. Bones whose parent does not precede
// them are treated as roots.
PerformerPose evaluatePerformerPose(const Skeleton& skeleton);

// The same skeleton with every bone rotation set to the identity.
Skeleton performerRestPose(const Skeleton& posed);

// The frame a performer in pose `posed` sends (see above).
SensorFrame makePerformerFrame(const Skeleton& posed, const BoneSlotMap& slots);

// Same, with the rest pose given explicitly (for a pose that also moves the hips, such as a
// crouch, whose own hips offset is not the standing one).
SensorFrame makePerformerFrame(const Skeleton& posed, const Skeleton& rest,
                               const BoneSlotMap& slots);

}  // namespace telmora
