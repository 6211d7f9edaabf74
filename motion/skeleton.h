#pragma once
// The character's skeleton: a flat, fixed-capacity table of bones with parent indices, the
// built-in 65-bone default humanoid, its body-slot map and forward kinematics.
//
// Axis rule: offsets and rotations are stored in the skeleton's own axes. Forward kinematics
// mirrors them across x = 0 on the way out: offset (x, y, z) is used as (-x, y, z) and rotation
// (x, y, z, w) as (x, -y, -z, w). Pose nodes do not mirror.

#include <array>
#include <cstdint>

#include "glm_conventions.h"

namespace telmora {

// Capacity of a skeleton, not the number of bones in use.
constexpr int kMaxBones = 120;
// Number of body slots (roles) the solver looks bones up by.
constexpr int kBodySlotCount = 63;
// Number of bones of the default humanoid.
constexpr int kDefaultBoneCount = 65;
constexpr int kBoneNameSize = 32;

struct Bone {
    // NUL-terminated; at most 31 characters.
    char name[kBoneNameSize] = {};
    // Origin in the parent's frame, centimetres, skeleton axes.
    glm::vec3 offset{0.0f};
    // Local rotation.
    glm::quat rotation = kIdentityQuat;
    // Parent bone index, -1 for a root. Unused slots hold 0.
    std::int32_t parent = 0;
};

// A plain value, copied whole. Slots 0..boneCount-1 are in use; a bone's parent is -1 or a
// bone added before it.
struct Skeleton {
    std::array<Bone, kMaxBones> bones{};
    std::int32_t boneCount = 0;
};

// Body slot -> bone index of the device skeleton; -1 for a slot without a bone.
using BoneSlotMap = std::array<std::int32_t, kBodySlotCount>;

// Body slots (roles). Fingers: slots 23..37 are the first three joints of the left pinky, ring,
// middle, index and thumb; 38..52 the right hand alike; 53..57 the left fourth joints pinky to
// thumb and 58..62 the right ones.
enum BodySlot : int {
    kHipsSlot = 0,
    kSpineSlot = 1,
    kSpine1Slot = 2,
    kSpine2Slot = 3,
    kNeckSlot = 5,
    kHeadSlot = 6,
    kLeftShoulderSlot = 7,
    kLeftArmSlot = 8,
    kLeftForeArmSlot = 9,
    kLeftHandSlot = 10,
    kRightShoulderSlot = 11,
    kRightArmSlot = 12,
    kRightForeArmSlot = 13,
    kRightHandSlot = 14,
    kLeftUpLegSlot = 15,
    kLeftLegSlot = 16,
    kLeftFootSlot = 17,
    kLeftToeBaseSlot = 18,
    kRightUpLegSlot = 19,
    kRightLegSlot = 20,
    kRightFootSlot = 21,
    kRightToeBaseSlot = 22,
};

BoneSlotMap emptySlotMap();

// Appends a bone given in metres in the table's axes; stores (-100 x, 100 y, -100 z) cm.
// Does nothing once the skeleton holds kMaxBones bones; names longer than 31 are cut.
void addBone(Skeleton& skeleton, const char* name, float x, float y, float z, std::int32_t parent);

// The default skeleton's 65 bones and its slot map.
struct DefaultSkeleton {
    Skeleton skeleton;
    BoneSlotMap slots;
};

// The default skeleton, built on first use and never changed; safe from any thread.
const DefaultSkeleton& defaultSkeleton();

// Transform from bone `index`'s frame to the character's frame, mirrored by the axis rule.
// Bone 0 is turned by -90 degrees about X unless keepRootUpright. Returns the zero matrix for an
// index outside 0..119, or when the parent chain leaves the table or does not run strictly
// towards lower indices (so it terminates for any contents).
glm::mat4 boneGlobalMatrix(const Skeleton& skeleton, std::int32_t index, bool keepRootUpright);

// Translation of boneGlobalMatrix; (0, 0, 0) when that matrix does not decompose.
glm::vec3 boneWorldPosition(const Skeleton& skeleton, std::int32_t index, bool keepRootUpright);

// Local transform of one bone as forward kinematics uses it (mirrored; bone 0's correction
// applied). Exposed so evaluators of whole skeletons can walk the table once.
glm::mat4 boneLocalMatrix(const Skeleton& skeleton, std::int32_t index, bool keepRootUpright);

// Index of the bone with this name, or -1.
std::int32_t findBone(const Skeleton& skeleton, const char* name);

}  // namespace telmora
