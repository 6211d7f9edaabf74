#include "tools/performance/performance.h"

#include <cmath>
#include <memory>

#include "tools/performance/performance_clip.h"
#include "tools/performance/retarget.h"

namespace telmora {

const Skeleton& Performance::frameAt(double seconds) const {
    const double count = static_cast<double>(frames.size());
    double index = std::floor(seconds * frameRate);
    index = std::fmod(index, count);
    // Past what a double holds (a very high rate, a very long run) the loop restarts.
    if (!std::isfinite(index)) index = 0.0;
    if (index < 0.0) index += count;
    return frames[static_cast<size_t>(index)];
}

std::optional<Performance> loadPerformance(const std::string& path, const std::string& name,
                                           std::string& error) {
    std::optional<PerformanceClip> clip = PerformanceClip::load(path, error);
    if (!clip) return std::nullopt;
    auto shared = std::make_shared<const PerformanceClip>(std::move(*clip));
    std::optional<Retargeter> retargeter = Retargeter::create(shared, error);
    if (!retargeter) {
        error = path + ": " + error;
        return std::nullopt;
    }
    Performance performance;
    performance.name = name;
    performance.frameRate = shared->frameRate();  // finite and positive: the loader refuses others
    performance.performerScale = retargeter->performerScale();
    performance.rest = retargeter->restSkeleton();
    performance.frames.reserve(static_cast<size_t>(shared->frameCount()));
    for (int f = 0; f < shared->frameCount(); ++f)
        performance.frames.push_back(retargeter->pose(f));
    return performance;
}

Performance syntheticPerformance(const std::string& name, double seconds, double frameRate) {
    const Skeleton& rest = defaultSkeleton().skeleton;
    const auto bone = [&](const char* n) { return findBone(rest, n); };
    const glm::vec3 xAxis(1, 0, 0), yAxis(0, 1, 0), zAxis(0, 0, 1);
    const float deg = glm::pi<float>() / 180.0f;

    Performance performance;
    performance.name = name;
    performance.frameRate = frameRate;
    performance.rest = rest;
    const int strides = std::max(1, static_cast<int>(std::lround(seconds)));
    const int frameCount = static_cast<int>(std::lround(strides * frameRate));
    const float restHipsY = rest.bones[0].offset.y;
    for (int f = 0; f < frameCount; ++f) {
        // One stride (left and right step) per second.
        const float phase = 2.0f * glm::pi<float>() * static_cast<float>(f / frameRate);
        const float s = std::sin(phase);
        std::array<glm::quat, kMaxBones> world;
        world.fill(kIdentityQuat);
        const glm::quat hips = glm::angleAxis(6.0f * deg * s, yAxis);
        world[0] = hips;
        // Forward kinematics' frame: y up, left +x, facing +z. A turn about +x by a negative
        // angle swings a hanging limb forward (towards +z).
        const float legSwing[2] = {-25.0f * deg * s, 25.0f * deg * s};
        const char* upLeg[2] = {"LeftUpLeg", "RightUpLeg"};
        const char* leg[2] = {"LeftLeg", "RightLeg"};
        const char* foot[2] = {"LeftFoot", "RightFoot"};
        const char* toe[2] = {"LeftToeBase", "RightToeBase"};
        for (int side = 0; side < 2; ++side) {
            const float sidePhase = phase + (side == 0 ? 0.0f : glm::pi<float>());
            const float kneeBend = 35.0f * deg * std::max(0.0f, std::sin(sidePhase + 0.6f));
            const glm::quat thigh = hips * glm::angleAxis(legSwing[side], xAxis);
            const glm::quat shin = thigh * glm::angleAxis(kneeBend, xAxis);
            world[bone(upLeg[side])] = thigh;
            world[bone(leg[side])] = shin;
            // The foot stays roughly level.
            world[bone(foot[side])] = hips * glm::angleAxis(-0.3f * kneeBend, xAxis);
            world[bone(toe[side])] = world[bone(foot[side])];
        }
        const glm::quat chest = glm::angleAxis(-4.0f * deg * s, yAxis);
        for (const char* b : {"Spine", "Spine1", "Spine2", "Neck", "Head", "HeadTop_End"})
            world[bone(b)] = chest;
        world[bone("LeftShoulder")] = chest;
        world[bone("RightShoulder")] = chest;
        // Arms hang from the T-pose by 75 degrees and swing against the legs.
        const glm::quat leftArm = chest * glm::angleAxis(-legSwing[1] * 0.8f, xAxis) *
                                  glm::angleAxis(-75.0f * deg, zAxis);
        const glm::quat rightArm =
            chest * glm::angleAxis(-legSwing[0] * 0.8f, xAxis) * glm::angleAxis(75.0f * deg, zAxis);
        const glm::quat elbow = glm::angleAxis(-20.0f * deg, xAxis);
        world[bone("LeftArm")] = leftArm;
        world[bone("RightArm")] = rightArm;
        world[bone("LeftForeArm")] = elbow * leftArm;
        world[bone("RightForeArm")] = elbow * rightArm;
        // Hands and fingers follow their forearms.
        for (int b = 0; b < rest.boneCount; ++b) {
            const std::string n = rest.bones[b].name;
            if (n.rfind("LeftHand", 0) == 0) world[b] = world[bone("LeftForeArm")];
            if (n.rfind("RightHand", 0) == 0) world[b] = world[bone("RightForeArm")];
        }
        // The hips dip twice per stride, at each step.
        const glm::vec3 hipsPos(0.0f, restHipsY - 2.5f * std::fabs(std::sin(phase)), 0.0f);
        performance.frames.push_back(poseFromWorldRotations(rest, world.data(), hipsPos));
    }
    return performance;
}

}  // namespace telmora
