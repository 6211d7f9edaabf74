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
#include "support/standing_frame.h"

namespace telmora::test {

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
    return findBone(defaultSkeleton().skeleton, name);
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
    BodySolver().solve(frame, defaultSkeleton().skeleton, defaultSkeleton().slots, out, evaluation);
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
