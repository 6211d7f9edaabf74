// Round trip through a model performer: posed skeleton -> sensor frame -> datagram -> decoded
// frame -> solved skeleton, comparing joint world positions with the performer's.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <functional>
#include <glm/gtc/matrix_transform.hpp>
#include <string>
#include <vector>

#include "common/glm_asserts.h"
#include "motion/body_solver.h"
#include "tools/performer/performer_model.h"

namespace telmora {
namespace {

using test::rotationAngle;
using test::vecNear;

// Turns a bone of the posed skeleton by `degrees` about `axis` (stored axes, in its parent's
// frame), on top of what it already has.
void turn(Skeleton& s, const char* name, glm::vec3 axis, float degrees) {
    const std::int32_t i = findBone(s, name);
    ASSERT_GE(i, 0) << name;
    s.bones[i].rotation =
        glm::angleAxis(glm::radians(degrees), glm::normalize(axis)) * s.bones[i].rotation;
}

const glm::vec3 kX(1, 0, 0), kY(0, 1, 0), kZ(0, 0, 1);

// Poses in the skeleton's stored axes: +y up, +z forward, the character's left at -x.
struct Pose {
    const char* name;
    std::function<void(Skeleton&)> apply;
};

const std::vector<Pose>& handMadePoses() {
    static const std::vector<Pose> poses = {
        {"rest", [](Skeleton&) {}},
        {"arms down",
         [](Skeleton& s) {
             turn(s, "LeftArm", kZ, 80.0f);
             turn(s, "RightArm", kZ, -80.0f);
         }},
        {"elbows bent",
         [](Skeleton& s) {
             turn(s, "LeftForeArm", kY, 90.0f);
             turn(s, "RightForeArm", kY, -90.0f);
         }},
        {"knee raised",
         [](Skeleton& s) {
             turn(s, "LeftUpLeg", kX, -80.0f);
             turn(s, "LeftLeg", kX, 80.0f);
         }},
        // 45 degrees forward, spread over the three spine bones.
        {"bow",
         [](Skeleton& s) {
             turn(s, "Spine", kX, 15.0f);
             turn(s, "Spine1", kX, 15.0f);
             turn(s, "Spine2", kX, 15.0f);
         }},
        // 45 degrees forward on the two bones the spine chain turns.
        {"bow 2 bones",
         [](Skeleton& s) {
             turn(s, "Spine", kX, 22.5f);
             turn(s, "Spine1", kX, 22.5f);
         }},
        // 45 degrees forward at the hips, the spine straight.
        {"hips bow", [](Skeleton& s) { turn(s, "Hips", kX, 45.0f); }},
        {"head turn", [](Skeleton& s) { turn(s, "Head", kY, 45.0f); }},
        {"reach across",
         [](Skeleton& s) {
             turn(s, "RightArm", kY, -135.0f);
             turn(s, "RightForeArm", kY, -20.0f);
         }},
    };
    return poses;
}

// Every offset scaled, hips included: a uniformly taller performer.
Skeleton scaled(const Skeleton& s, float factor) {
    Skeleton out = s;
    for (Bone& bone : out.bones) bone.offset *= factor;
    return out;
}

// World positions as the host sees them (root upright).
glm::vec3 hostPosition(const Skeleton& s, std::int32_t bone) {
    return glm::vec3(boneGlobalMatrix(s, bone, true)[3]);
}

Skeleton roundTrip(const Skeleton& posed) {
    const SensorFrame sent = makePerformerFrame(posed, defaultSkeleton().slots);
    const SensorFrame received = decodeSensorFrame(encodeSensorFrame(sent));
    Skeleton solved;
    BodySolver().solve(received, defaultSkeleton().skeleton, defaultSkeleton().slots, solved);
    return solved;
}

// Joints compared, in groups that share a bound.
enum Group { kTrunk, kHead, kArms, kElbows, kLegs, kThumbs, kGroupCount };

struct Joint {
    const char* name;
    Group group;
};

const Joint kJoints[] = {
    {"Hips", kTrunk},
    {"Spine", kTrunk},
    {"Spine1", kTrunk},
    {"Spine2", kTrunk},
    {"Neck", kHead},
    {"Head", kHead},
    {"HeadTop_End", kHead},
    {"LeftShoulder", kArms},
    {"LeftArm", kArms},
    {"LeftForeArm", kElbows},
    {"LeftHand", kArms},
    {"RightShoulder", kArms},
    {"RightArm", kArms},
    {"RightForeArm", kElbows},
    {"RightHand", kArms},
    {"LeftLeg", kLegs},
    {"LeftFoot", kLegs},
    {"LeftToeBase", kLegs},
    {"RightLeg", kLegs},
    {"RightFoot", kLegs},
    {"RightToeBase", kLegs},
    {"LeftHandIndex4", kArms},
    {"LeftHandMiddle4", kArms},
    {"LeftHandRing4", kArms},
    {"LeftHandPinky4", kArms},
    {"RightHandIndex4", kArms},
    {"RightHandMiddle4", kArms},
    {"RightHandRing4", kArms},
    {"RightHandPinky4", kArms},
    {"LeftHandThumb4", kThumbs},
    {"RightHandThumb4", kThumbs},
};

// Largest residual (cm) accepted per group, for a performer of the character's size. The
// leg bound covers what the leg alignment and the equal upper/lower leg segments of the
// proportion fitting leave (the table's thigh and shin are not straight and not equal); the
// thumb bound what the thumb alignment leaves; a bow what the parabolic chain leaves.
using Bounds = std::array<float, kGroupCount>;
//                           trunk  head  arms  elbows legs  thumbs
constexpr Bounds kStanding = {0.05f, 0.05f, 0.1f, 0.2f, 2.8f, 1.8f};

struct RoundTripCase {
    const char* pose;
    float performerScale;
    Bounds bounds;
};

const RoundTripCase kCases[] = {
    {"rest", 1.0f, kStanding},
    {"arms down", 1.0f, kStanding},
    {"elbows bent", 1.0f, {0.05f, 0.05f, 0.1f, 0.3f, 2.8f, 1.8f}},
    {"knee raised", 1.0f, {0.05f, 0.05f, 0.1f, 0.2f, 3.6f, 1.8f}},
    {"bow", 1.0f, {1.5f, 4.5f, 4.5f, 4.5f, 2.8f, 5.0f}},
    {"bow 2 bones", 1.0f, {3.0f, 4.5f, 4.5f, 4.5f, 2.8f, 6.0f}},
    {"hips bow", 1.0f, {0.2f, 0.25f, 0.25f, 0.25f, 2.8f, 1.8f}},
    {"head turn", 1.0f, {0.05f, 0.6f, 0.1f, 0.2f, 2.8f, 1.8f}},
    {"reach across", 1.0f, kStanding},
    {"rest", 1.1f, kStanding},
    {"elbows bent", 1.1f, {0.05f, 0.05f, 0.1f, 0.3f, 2.8f, 1.8f}},
    {"bow", 1.1f, {1.5f, 4.5f, 4.5f, 4.5f, 2.8f, 5.0f}},
};

Skeleton posedSkeleton(const RoundTripCase& c) {
    Skeleton s = scaled(defaultSkeleton().skeleton, c.performerScale);
    for (const Pose& pose : handMadePoses()) {
        if (std::string(pose.name) == c.pose) pose.apply(s);
    }
    return s;
}

std::string caseName(const RoundTripCase& c) {
    return std::string(c.pose) + (c.performerScale != 1.0f ? " (taller)" : "");
}

glm::quat hostRotation(const Skeleton& s, std::int32_t bone) {
    return glm::quat_cast(glm::mat3(boneGlobalMatrix(s, bone, true)));
}

TEST(PerformerRoundTrip, JointsLandWhereThePerformersAre) {
    for (const RoundTripCase& c : kCases) {
        SCOPED_TRACE(caseName(c));
        const Skeleton posed = posedSkeleton(c);
        const Skeleton solved = roundTrip(posed);
        for (const Joint& joint : kJoints) {
            const std::int32_t bone = findBone(defaultSkeleton().skeleton, joint.name);
            ASSERT_GE(bone, 0);
            EXPECT_TRUE(vecNear(hostPosition(solved, bone), hostPosition(posed, bone),
                                c.bounds[joint.group] * c.performerScale))
                << joint.name;
        }
    }
}

// The hands, the feet and the head take their world rotations from the frame exactly.
TEST(PerformerRoundTrip, EndBonesTakeThePerformersRotations) {
    for (const RoundTripCase& c : kCases) {
        SCOPED_TRACE(caseName(c));
        const Skeleton posed = posedSkeleton(c);
        const Skeleton solved = roundTrip(posed);
        for (const char* name : {"Hips", "LeftHand", "RightHand", "LeftFoot", "RightFoot", "Head",
                                 "LeftShoulder", "RightShoulder"}) {
            const std::int32_t bone = findBone(defaultSkeleton().skeleton, name);
            EXPECT_LT(rotationAngle(hostRotation(solved, bone), hostRotation(posed, bone)),
                      glm::radians(0.1f))
                << name;
        }
    }
}

// A frame without auxiliary values keeps the character's own shoulder width; a version-2 frame
// carries the performer's.
TEST(PerformerRoundTrip, ShoulderWidthComesOnlyFromAuxiliaryValues) {
    Skeleton posed = defaultSkeleton().skeleton;
    const std::int32_t leftArm = findBone(posed, "LeftArm");
    const std::int32_t rightArm = findBone(posed, "RightArm");
    // A performer with shoulders 4 cm wider on each side.
    posed.bones[leftArm].offset.x += 4.0f;
    posed.bones[rightArm].offset.x -= 4.0f;
    const float performerWidth =
        glm::length(hostPosition(posed, leftArm) - hostPosition(posed, rightArm));
    const float characterWidth = glm::length(hostPosition(defaultSkeleton().skeleton, leftArm) -
                                             hostPosition(defaultSkeleton().skeleton, rightArm));

    const SensorFrame sent = makePerformerFrame(posed, defaultSkeleton().slots);
    for (std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}}) {
        SCOPED_TRACE(int(version));
        const SensorFrame received = decodeSensorFrame(encodeSensorFrame(sent, version));
        Skeleton solved;
        BodySolver().solve(received, defaultSkeleton().skeleton, defaultSkeleton().slots, solved);
        const float width =
            glm::length(hostPosition(solved, leftArm) - hostPosition(solved, rightArm));
        EXPECT_NEAR(width, version >= 2 ? performerWidth : characterWidth, 0.05f);
    }
}

// A diagnostic, not a check (the bounds are asserted above): prints the per-joint residuals of
// every case. Run with --gtest_also_run_disabled_tests --gtest_filter='*ResidualTable*'.
TEST(PerformerRoundTrip, DISABLED_PrintResidualTable) {
    std::printf("%-17s", "residual (cm)");
    for (const RoundTripCase& c : kCases) std::printf(" %13.13s", caseName(c).c_str());
    std::printf("\n");
    std::vector<Skeleton> posed, solved;
    for (const RoundTripCase& c : kCases) {
        posed.push_back(posedSkeleton(c));
        solved.push_back(roundTrip(posed.back()));
    }
    for (const Joint& joint : kJoints) {
        const std::int32_t bone = findBone(defaultSkeleton().skeleton, joint.name);
        std::printf("%-17s", joint.name);
        for (size_t k = 0; k < posed.size(); ++k) {
            std::printf(" %13.2f",
                        glm::length(hostPosition(solved[k], bone) - hostPosition(posed[k], bone)));
        }
        std::printf("\n");
    }
}

}  // namespace
}  // namespace telmora
