#pragma once
// What every solver stage shares: the lengths under which a vector counts as zero and two
// joints as one, and the lookup of a body slot's bone.

#include <cstdint>

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

// Bone index of a body slot, or -1 when the slot is outside the map or holds no valid bone.
inline std::int32_t boneAtSlot(const BoneSlotMap& slotMap, std::int32_t slot) {
    if (slot < 0 || slot >= kBodySlotCount) return -1;
    const std::int32_t bone = slotMap[slot];
    return bone >= 0 && bone < kMaxBones ? bone : -1;
}

}  // namespace telmora
