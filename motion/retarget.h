#pragma once
// Retargeting: the performer's pose (the default skeleton's channels) on any humanoid rig, in the
// rig's own terms, whatever its bone rolls, rest orientations, proportions or object transform.
//
// Calibration pairs the performer's reference pose (the default skeleton at rest, a T-pose,
// where every channel rotation is the identity) with a pose of the rig that matches it (its rest
// pose, or the pose a user put it in). From then on each mapped rig bone follows the performer's
// world-space change of rotation since the reference pose:
//   world rotation = performer's world rotation * inverse(performer's reference world rotation)
//                    * the bone's calibrated world rotation,
// turned into the bone's pose through its posed parent. The hips move by the performer's hips
// motion scaled by the rig's hips height over the performer's; with foot planting each leg is
// solved as a two-bone chain so that its ankle lands on the performer's ankle scaled the same
// way, the knee bending towards the performer's knee (and a leg too short to reach lowers the
// hips until it does).
//
// Axes and units are the rig host's (Blender's): world and armature spaces z up, metres for the
// world; armature space is whatever the rig's object matrix maps to the world (an FBX import's
// 0.01 scale and 90 degree turn included). Matrices are row-major 4x4 (Blender's order). The
// performer's channels are as the channel table gives them: translations in cm, y up, rotations
// as unit quaternions (w, x, y, z); (x, y, z) cm is the world position (x, -z, y) / 100 m.

#include <array>
#include <cstdint>
#include <glm/gtc/quaternion.hpp>
#include <glm/mat4x4.hpp>
#include <optional>
#include <string>
#include <vector>

namespace telmora {

// How the performer's travel over the floor reaches the rig.
enum class RootMotion : std::int32_t {
    kFull = 0,     // the hips travel
    kInPlace = 1,  // the hips keep their calibrated place over the floor; only height changes
    kObject = 2,   // as in place, the travel handed out as the object's offset
};

// What Calibrate needs of the rig and the performer. Arrays of `boneCount` entries, parents
// before children.
struct RetargetSetup {
    std::int32_t boneCount = 0;
    const std::int32_t* parents = nullptr;     // -1 for a root, else a bone before it
    const std::int32_t* sources = nullptr;     // the performer bone each follows, -1 for none
    const double* restMatrices = nullptr;      // 16 a bone: Bone.matrix_local (armature space)
    const double* calibrationPoses = nullptr;  // 16 a bone: PoseBone.matrix at calibration
    const double* objectMatrix = nullptr;      // 16: the object's world matrix at calibration
    // The performer's skeleton: its bones' names, parents and rest positions (cm, y up); the
    // channels of a frame come in this order.
    std::int32_t performerBoneCount = 0;
    const char* const* performerNames = nullptr;
    const std::int32_t* performerParents = nullptr;
    const double* performerRestPositions = nullptr;  // 3 a bone
};

// One frame to retarget and what to do with it.
struct RetargetFrame {
    const double* translations = nullptr;  // 3 a performer bone, cm, y up
    const double* rotations = nullptr;     // 4 a performer bone, w x y z
    RootMotion rootMotion = RootMotion::kFull;
    bool footPlanting = true;
};

// The rig's pose for one frame: per rig bone its pose location and rotation quaternion
// (w, x, y, z) in its own rest frame (PoseBone.location, PoseBone.rotation_quaternion); bones
// that follow nothing keep their calibrated pose. `objectOffset` is the world travel to add to
// the object's calibrated location with RootMotion::kObject, else zero.
struct RetargetPose {
    std::vector<std::array<double, 3>> locations;
    std::vector<std::array<double, 4>> rotations;
    std::array<double, 3> objectOffset{};
};

class Retargeter {
public:
    // The rig calibrated to the performer's reference pose; nothing, with `error` naming what is
    // missing or wrong, when the rig cannot follow a humanoid: it needs bones for the hips, the
    // spine, the head, both arms (upper arm, forearm, hand) and both legs (thigh, shin, foot).
    static std::optional<Retargeter> Calibrate(const RetargetSetup& setup, std::string& error);

    // The rig's pose for `frame`. Allocates only the output's vectors (reused when `pose`
    // already holds them).
    void Solve(const RetargetFrame& frame, RetargetPose& pose) const;

    std::int32_t boneCount() const { return static_cast<std::int32_t>(bones_.size()); }
    // The rig's hips height over the performer's: the factor the hips motion is scaled by.
    double scale() const { return scale_; }

private:
    struct Bone {
        std::int32_t parent = -1;
        std::int32_t source = -1;
        glm::dmat4 restFromParent{1.0};   // the parent's rest frame to this bone's rest frame
        glm::dmat4 calibratedBasis{1.0};  // its pose basis at calibration
        glm::dquat calibratedWorld{1.0, 0.0, 0.0, 0.0};  // its world rotation at calibration
    };
    // A leg the feet are planted with: rig bones of thigh, shin and foot, and the performer's.
    struct Leg {
        std::int32_t upper = -1, lower = -1, end = -1;
        std::int32_t performerUpper = -1, performerLower = -1, performerEnd = -1;
    };

    // Armature-space pose matrices from world rotations (for bones that follow a performer
    // bone) and the hips' world position, parents first.
    void Compose(const std::vector<glm::dquat>& worldRotations, const glm::dvec3& hipsWorld,
                 std::vector<glm::dmat4>& poses) const;
    // The performer's world position of a channel translation, mapped onto the rig's floor and
    // scale.
    glm::dvec3 OnRig(const glm::dvec3& performerWorld) const;
    // How far the hips must come down (world units) for every leg to reach its ankle's target.
    double HipsDrop(const std::vector<glm::dvec3>& performerWorld, const glm::dvec3& offset,
                    const std::vector<glm::dmat4>& poses) const;
    // Turns the legs' thigh and shin rotations so that each ankle reaches its target.
    void PlantFeet(const std::vector<glm::dvec3>& performerWorld, const glm::dvec3& offset,
                   std::vector<glm::dquat>& worldRotations,
                   const std::vector<glm::dmat4>& poses) const;

    std::vector<Bone> bones_;
    std::vector<Leg> legs_;
    std::int32_t hips_ = -1;  // the rig bone following the performer's hips
    std::int32_t performerHips_ = -1;
    glm::dmat4 object_{1.0};  // the object's world matrix at calibration
    glm::dmat4 objectInverse_{1.0};
    glm::dquat objectRotation_{1.0, 0.0, 0.0, 0.0};  // its rotation, scale taken out
    glm::dvec3 rigGround_{0.0};                      // on the rig's floor under its calibrated hips
    glm::dvec3 performerGround_{0.0};                // on the floor under the performer's rest hips
    glm::dvec3 hipsCalibrated_{0.0};                 // the rig's hips (world) at calibration
    double scale_ = 1.0;
};

}  // namespace telmora
