#include "skeleton.h"

#include <cstring>
#include <glm/gtc/matrix_transform.hpp>

namespace telmora {

namespace {

struct DefaultBone {
    const char* name;
    std::int32_t parent;
    float x, y, z;  // metres, table axes
};

// The default humanoid, parents before children.
constexpr DefaultBone kDefaultBones[kDefaultBoneCount] = {
    {"Hips", -1, 0.0f, 0.953f, -0.005f},
    {"Spine", 0, 0.0f, 0.109f, 0.010f},
    {"Spine1", 1, 0.0f, 0.127f, 0.011f},
    {"Spine2", 2, 0.0f, 0.145f, 0.013f},
    {"Neck", 3, 0.0f, 0.163f, 0.014f},
    {"Head", 4, 0.0f, 0.061f, -0.024f},
    {"HeadTop_End", 5, 0.0f, 0.237f, -0.094f},
    {"LeftShoulder", 3, 0.077f, 0.142f, 0.016f},
    {"LeftArm", 7, 0.118f, 0.0f, 0.0f},
    {"LeftForeArm", 8, 0.250f, 0.0f, 0.0f},
    {"LeftHand", 9, 0.248f, 0.0f, 0.0f},
    {"RightShoulder", 3, -0.077f, 0.142f, 0.013f},
    {"RightArm", 11, -0.118f, 0.0f, 0.0f},
    {"RightForeArm", 12, -0.250f, 0.0f, 0.0f},
    {"RightHand", 13, -0.248f, 0.0f, 0.0f},
    {"LeftUpLeg", 0, 0.134f, -0.060f, 0.007f},
    {"LeftLeg", 15, -0.008f, -0.411f, -0.006f},
    {"LeftFoot", 16, 0.008f, -0.365f, 0.031f},
    {"LeftToeBase", 17, 0.011f, -0.108f, -0.141f},
    {"LeftToe_End", 18, 0.005f, 0.0f, -0.072f},
    {"RightUpLeg", 0, -0.134f, -0.060f, 0.008f},
    {"RightLeg", 20, 0.008f, -0.411f, -0.005f},
    {"RightFoot", 21, -0.008f, -0.365f, 0.029f},
    {"RightToeBase", 22, -0.010f, -0.108f, -0.141f},
    {"RightToe_End", 23, -0.006f, 0.0f, -0.072f},
    {"LeftHandThumb1", 10, 0.036f, -0.010f, -0.027f},
    {"LeftHandThumb2", 25, 0.028f, -0.016f, -0.016f},
    {"LeftHandThumb3", 26, 0.028f, -0.016f, -0.016f},
    {"LeftHandThumb4", 27, 0.023f, -0.013f, -0.013f},
    {"LeftHandIndex1", 10, 0.106f, -0.001f, -0.026f},
    {"LeftHandIndex2", 29, 0.033f, 0.0f, 0.0f},
    {"LeftHandIndex3", 30, 0.033f, 0.0f, 0.0f},
    {"LeftHandIndex4", 31, 0.027f, 0.0f, 0.0f},
    {"LeftHandMiddle1", 10, 0.111f, 0.0f, 0.0f},
    {"LeftHandMiddle2", 33, 0.035f, 0.0f, 0.0f},
    {"LeftHandMiddle3", 34, 0.033f, 0.0f, 0.0f},
    {"LeftHandMiddle4", 35, 0.028f, 0.0f, 0.0f},
    {"LeftHandRing1", 10, 0.112f, 0.0f, 0.023f},
    {"LeftHandRing2", 37, 0.027f, 0.0f, 0.0f},
    {"LeftHandRing3", 38, 0.027f, 0.0f, 0.0f},
    {"LeftHandRing4", 39, 0.023f, 0.0f, 0.0f},
    {"LeftHandPinky1", 10, 0.092f, -0.001f, 0.041f},
    {"LeftHandPinky2", 41, 0.028f, 0.0f, 0.0f},
    {"LeftHandPinky3", 42, 0.025f, 0.0f, 0.0f},
    {"LeftHandPinky4", 43, 0.018f, 0.0f, 0.0f},
    {"RightHandThumb1", 14, -0.036f, -0.012f, -0.028f},
    {"RightHandThumb2", 45, -0.029f, -0.017f, -0.017f},
    {"RightHandThumb3", 46, -0.028f, -0.016f, -0.016f},
    {"RightHandThumb4", 47, -0.022f, -0.012f, -0.012f},
    {"RightHandIndex1", 14, -0.109f, -0.002f, -0.027f},
    {"RightHandIndex2", 49, -0.034f, 0.0f, 0.0f},
    {"RightHandIndex3", 50, -0.032f, 0.0f, 0.0f},
    {"RightHandIndex4", 51, -0.026f, 0.0f, 0.0f},
    {"RightHandMiddle1", 14, -0.120f, 0.0f, 0.0f},
    {"RightHandMiddle2", 53, -0.031f, 0.0f, 0.0f},
    {"RightHandMiddle3", 54, -0.032f, 0.0f, 0.0f},
    {"RightHandMiddle4", 55, -0.021f, 0.0f, 0.0f},
    {"RightHandRing1", 14, -0.123f, -0.003f, 0.022f},
    {"RightHandRing2", 57, -0.025f, 0.0f, 0.0f},
    {"RightHandRing3", 58, -0.023f, 0.0f, 0.0f},
    {"RightHandRing4", 59, -0.016f, 0.0f, 0.0f},
    {"RightHandPinky1", 14, -0.088f, 0.0f, 0.037f},
    {"RightHandPinky2", 61, -0.030f, 0.0f, 0.0f},
    {"RightHandPinky3", 62, -0.026f, 0.0f, 0.0f},
    {"RightHandPinky4", 63, -0.019f, 0.0f, 0.0f},
};

// Body slot -> default bone index; slot 4 has no bone.
constexpr std::int32_t kDefaultSlots[kBodySlotCount] = {
    0,  1,  2,  3,  -1, 4,  5,  7,  8,  9,  10, 11, 12, 13, 14, 15,  // 0..15
    16, 17, 18, 20, 21, 22, 23,                                      // 16..22
    41, 42, 43, 37, 38, 39, 33, 34, 35, 29, 30, 31, 25, 26, 27,      // 23..37 left fingers
    61, 62, 63, 57, 58, 59, 53, 54, 55, 49, 50, 51, 45, 46, 47,      // 38..52 right fingers
    44, 40, 36, 32, 28,                                              // 53..57 left tips
    64, 60, 56, 52, 48,                                              // 58..62 right tips
};

// Bone 0's correction: a quarter turn about +X (the float -1.5707964) unless kept upright.
glm::quat rootCorrection(bool keepRootUpright) {
    static const glm::quat kTilted =
        glm::quat_cast(glm::rotate(glm::mat4(1.0f), -1.5707964f, glm::vec3(1.0f, 0.0f, 0.0f)));
    static const glm::quat kUpright =
        glm::quat_cast(glm::rotate(glm::mat4(1.0f), 0.0f, glm::vec3(1.0f, 0.0f, 0.0f)));
    return keepRootUpright ? kUpright : kTilted;
}

bool validIndex(std::int32_t index) {
    return static_cast<std::uint32_t>(index) < static_cast<std::uint32_t>(kMaxBones);
}

}  // namespace

BoneSlotMap emptySlotMap() {
    BoneSlotMap slots;
    slots.fill(-1);
    return slots;
}

void addBone(Skeleton& skeleton, const char* name, float x, float y, float z, std::int32_t parent) {
    if (skeleton.boneCount >= kMaxBones) return;
    Bone& bone = skeleton.bones[skeleton.boneCount];
    std::strncpy(bone.name, name ? name : "", kBoneNameSize - 1);
    bone.name[kBoneNameSize - 1] = '\0';
    // Metres to centimetres; x and z reversed (a half turn about the vertical).
    bone.offset = glm::vec3(-100.0f * x, 100.0f * y, -100.0f * z);
    bone.parent = parent;
    ++skeleton.boneCount;
}

const DefaultSkeleton& defaultSkeleton() {
    static const DefaultSkeleton built = [] {
        DefaultSkeleton d{Skeleton{}, emptySlotMap()};
        for (const DefaultBone& bone : kDefaultBones)
            addBone(d.skeleton, bone.name, bone.x, bone.y, bone.z, bone.parent);
        for (int slot = 0; slot < kBodySlotCount; ++slot) d.slots[slot] = kDefaultSlots[slot];
        return d;
    }();
    return built;
}

glm::mat4 boneLocalMatrix(const Skeleton& skeleton, std::int32_t index, bool keepRootUpright) {
    const Bone& bone = skeleton.bones[index];
    glm::quat r = quatXYZW(bone.rotation.x, -bone.rotation.y, -bone.rotation.z, bone.rotation.w);
    if (index == 0) r = rootCorrection(keepRootUpright) * r;
    const glm::vec3 t(-bone.offset.x, bone.offset.y, bone.offset.z);
    return glm::translate(glm::mat4(1.0f), t) * glm::mat4_cast(r);
}

glm::mat4 boneGlobalMatrix(const Skeleton& skeleton, std::int32_t index, bool keepRootUpright) {
    if (!validIndex(index)) return glm::mat4(0.0f);
    // Walk towards the root, multiplying parents on the left. A parent that is out of range, or
    // does not precede its child (unused slots point at 0, so bone 0 of an empty table is its
    // own parent), ends the chain in the zero matrix instead of looping forever.
    glm::mat4 global = boneLocalMatrix(skeleton, index, keepRootUpright);
    std::int32_t child = index;
    std::int32_t parent = skeleton.bones[index].parent;
    while (parent != -1) {
        if (!validIndex(parent) || parent >= child) return glm::mat4(0.0f);
        global = boneLocalMatrix(skeleton, parent, keepRootUpright) * global;
        child = parent;
        parent = skeleton.bones[parent].parent;
    }
    return global;
}

glm::vec3 boneWorldPosition(const Skeleton& skeleton, std::int32_t index, bool keepRootUpright) {
    glm::vec3 scale, translation, skew;
    glm::quat orientation;
    glm::vec4 perspective;
    if (!glm::decompose(boneGlobalMatrix(skeleton, index, keepRootUpright), scale, orientation,
                        translation, skew, perspective)) {
        return glm::vec3(0.0f);
    }
    return translation;
}

std::int32_t findBone(const Skeleton& skeleton, const char* name) {
    for (std::int32_t i = 0; i < skeleton.boneCount; ++i) {
        if (std::strncmp(skeleton.bones[i].name, name, kBoneNameSize) == 0) return i;
    }
    return -1;
}

}  // namespace telmora
