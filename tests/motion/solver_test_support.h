#pragma once
// Shared fixtures for the solver and channel tests: the device skeleton, a plausible standing
// frame, and checks over whole skeletons.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "motion/body_solver.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"
#include "motion/vector_guards.h"

namespace telmora::test {

struct DeviceSkeleton {
    Skeleton skeleton;
    BoneSlotMap slots = emptySlotMap();
    DeviceSkeleton() { buildDefaultSkeleton(skeleton, slots); }
};

inline const DeviceSkeleton& device() {
    static const DeviceSkeleton d;
    return d;
}

// A chain job as the body solver makes one.
inline ChainJob chainJob(const glm::vec3& target, const glm::vec3& pole, float length,
                         const ChainSlots& slots, const PoseNodeList& rest, PoseNodeList& pose,
                         const BoneSlotMap& slotMap, const glm::quat& alignment = kSpineAlignment) {
    ChainJob job;
    job.target = target;
    job.pole = pole;
    job.chainLength = length;
    job.slots = slots;
    job.alignment = alignment;
    job.slotMap = &slotMap;
    job.restNodes = &rest;
    job.poseNodes = &pose;
    return job;
}

inline std::int32_t bone(const char* name) {
    return findBone(device().skeleton, name);
}

// A standing performer of the character's size, in the sender's axes: limbs slightly bent,
// spine upright, fingers out, format version 2 with shoulder points.
inline SensorFrame standingFrame() {
    SensorFrame f;
    f.formatVersion = 2;
    f.hipsHeight = 0.953f;
    f.rootPosition = glm::vec3(0.1f, 0.953f, 0.2f);
    f.targets[kLeftArmTarget] = {{0.45f, -0.1f, 0.15f}, {0.0f, 0.3f, -0.9f}, 0.498f};
    f.targets[kRightArmTarget] = {{-0.45f, -0.1f, 0.15f}, {0.0f, 0.3f, -0.9f}, 0.498f};
    f.targets[kLeftLegTarget] = {{0.0f, -0.75f, 0.05f}, {0.0f, 0.0f, 1.0f}, 0.776f};
    f.targets[kRightLegTarget] = {{0.0f, -0.75f, 0.05f}, {0.0f, 0.0f, 1.0f}, 0.776f};
    f.targets[kSpineTarget] = {{0.0f, 0.19f, 0.02f}, {0.0f, 0.0f, -1.0f}, 0.2f};
    f.targets[kHeadTarget] = {{0.0f, 0.06f, 0.02f}, {0.0f, 0.0f, -1.0f}, 0.065f};
    for (int t = kLeftThumbTarget; t <= kRightPinkyTarget; ++t) {
        const float side = (t % 2 == 0) ? 1.0f : -1.0f;  // even targets are left
        f.targets[t] = {{side * 0.08f, -0.01f, 0.02f}, {0.0f, 0.0f, 0.0f}, 0.09f};
    }
    f.auxValues[6] = 0.19f;
    f.auxValues[7] = 0.52f;
    f.auxValues[9] = -0.19f;
    f.auxValues[10] = 0.52f;
    f.hipsRotation = glm::angleAxis(0.3f, glm::vec3(0.0f, 1.0f, 0.0f));
    f.leftHandRotation = glm::angleAxis(0.4f, glm::normalize(glm::vec3(1.0f, 0.2f, 0.0f)));
    f.rightHandRotation = glm::angleAxis(-0.4f, glm::normalize(glm::vec3(1.0f, -0.2f, 0.0f)));
    f.leftFootRotation = glm::angleAxis(0.2f, glm::vec3(0.0f, 1.0f, 0.0f));
    f.rightFootRotation = glm::angleAxis(-0.2f, glm::vec3(0.0f, 1.0f, 0.0f));
    return f;
}

inline bool skeletonFinite(const Skeleton& s) {
    for (const Bone& b : s.bones) {
        if (!isFinite(b.offset) || !isFinite(b.rotation)) return false;
    }
    return true;
}

inline Skeleton solveFrame(const SensorFrame& frame,
                           NodeEvaluation evaluation = NodeEvaluation::kCached) {
    Skeleton out;
    BodySolver().solve(frame, device().skeleton, device().slots, out, evaluation);
    return out;
}

// World rotation of a bone of a solved skeleton in the solver's (stored, unmirrored) axes.
inline glm::quat storedWorldRotation(const Skeleton& s, std::int32_t index) {
    glm::quat world = s.bones[index].rotation;
    for (std::int32_t p = s.bones[index].parent; p >= 0; p = s.bones[p].parent) {
        world = s.bones[p].rotation * world;
    }
    return world;
}

// Random bytes behind a type-6 header: every bit pattern the wire can carry.
inline std::vector<std::uint8_t> randomSensorDatagram(std::mt19937& rng) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> datagram(kSensorFrameMinSize);
    for (std::uint8_t& b : datagram) b = static_cast<std::uint8_t>(byte(rng));
    datagram[0] = kSensorFramePacket;
    return datagram;
}

}  // namespace telmora::test
