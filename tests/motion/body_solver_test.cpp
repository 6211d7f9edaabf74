#include "motion/body_solver.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "common/glm_asserts.h"
#include "motion/channel_table.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

using test::bone;
using test::quatNear;
using test::rotationAngle;
using test::solveFrame;
using test::standingFrame;
using test::storedWorldRotation;
using test::vecNear;

TEST(BodySolverConstants, AlignmentsAreTheListedRotations) {
    struct Case {
        const char* name;
        glm::quat actual;
        glm::quat expected;
    };
    const Case cases[] = {
        {"legs", kLegAlignment, quatXYZW(-0.5f, 0.5f, 0.5f, 0.5f)},
        {"spine", kSpineAlignment, quatXYZW(0.0f, 0.7071f, -0.7071f, 0.0f)},
        {"right arm", kRightArmAlignment, quatXYZW(-0.7071f, 0.0f, 0.0f, -0.7071f)},
        {"left fingers", kLeftFingerAlignment, quatXYZW(0.0f, 0.7071f, 0.0f, -0.7071f)},
        {"right fingers", kRightFingerAlignment, quatXYZW(0.0f, 0.7071f, 0.0f, 0.7071f)},
        {"left thumb", kLeftThumbAlignment, quatXYZW(0.1094f, 0.8754f, 0.2346f, -0.4082f)},
        {"right thumb", kRightThumbAlignment, quatXYZW(-0.1094f, 0.8754f, 0.2346f, 0.4082f)},
    };
    for (const Case& c : cases) {
        // Same sign as listed, not merely the same rotation: the solver multiplies with them.
        EXPECT_NEAR(c.actual.x, c.expected.x, 1e-4f) << c.name;
        EXPECT_NEAR(c.actual.y, c.expected.y, 1e-4f) << c.name;
        EXPECT_NEAR(c.actual.z, c.expected.z, 1e-4f) << c.name;
        EXPECT_NEAR(c.actual.w, c.expected.w, 1e-4f) << c.name;
    }
}

TEST(BodySolver, NoHipsHeightGivesTheDeviceSkeletonInAllSlots) {
    for (float hipsHeight : {-1.0f, 0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        SCOPED_TRACE(hipsHeight);
        SensorFrame frame = standingFrame();
        frame.hipsHeight = hipsHeight;
        const Skeleton out = solveFrame(frame);
        EXPECT_EQ(out.boneCount, kMaxBones);
        for (int i = 0; i < kMaxBones; ++i) {
            const Bone& expected = defaultSkeleton().skeleton.bones[i];
            EXPECT_STREQ(out.bones[i].name, expected.name) << i;
            EXPECT_EQ(out.bones[i].parent, expected.parent) << i;
            EXPECT_EQ(out.bones[i].offset, expected.offset) << i;
            EXPECT_EQ(out.bones[i].rotation, expected.rotation) << i;
        }
    }
}

TEST(BodySolver, DoubleHipsHeightScalesUntouchedBonesAndPlacesHips) {
    SensorFrame frame = standingFrame();
    frame.hipsHeight = 1.906f;
    const Skeleton out = solveFrame(frame);
    EXPECT_EQ(out.boneCount, kMaxBones);
    for (const char* name : {"LeftToeBase", "LeftToe_End", "RightToe_End", "HeadTop_End"}) {
        const std::int32_t i = bone(name);
        EXPECT_TRUE(
            vecNear(out.bones[i].offset, 2.0f * defaultSkeleton().skeleton.bones[i].offset, 1e-4f))
            << name;
    }
    const glm::vec3 expectedHips(-100.0f * frame.rootPosition.x, 100.0f * frame.rootPosition.y,
                                 100.0f * frame.rootPosition.z);
    EXPECT_TRUE(vecNear(out.bones[0].offset, expectedHips, 1e-3f));
}

TEST(BodySolver, IdentityRotationsGiveIdentityHipsAndShoulders) {
    SensorFrame frame = standingFrame();
    frame.hipsRotation = frame.leftShoulderRotation = frame.rightShoulderRotation = kIdentityQuat;
    // Bend the spine so the shoulders' parent is turned: the shoulders must still come out
    // with the identity world rotation.
    frame.targets[kSpineTarget].position = glm::vec3(0.05f, 0.15f, 0.08f);
    const Skeleton out = solveFrame(frame);
    EXPECT_TRUE(quatNear(out.bones[0].rotation, kIdentityQuat, 1e-6f));
    EXPECT_GT(rotationAngle(storedWorldRotation(out, bone("Spine2")), kIdentityQuat), 0.05f);
    for (const char* name : {"LeftShoulder", "RightShoulder"}) {
        EXPECT_TRUE(quatNear(storedWorldRotation(out, bone(name)), kIdentityQuat, 1e-5f)) << name;
    }
}

TEST(BodySolver, SkeletonWithRootBoneIsNeverScaled) {
    DefaultSkeleton rooted = defaultSkeleton();
    std::strcpy(rooted.skeleton.bones[0].name, "root");
    SensorFrame frame = standingFrame();
    frame.hipsHeight = 1.906f;
    Skeleton out;
    BodySolver().solve(frame, rooted.skeleton, rooted.slots, out);
    // Untouched bones keep their offsets: neither scaling nor proportion fitting ran.
    for (const char* name : {"LeftToeBase", "HeadTop_End", "LeftForeArm", "LeftLeg", "Spine1"}) {
        const std::int32_t i = bone(name);
        EXPECT_EQ(out.bones[i].offset, rooted.skeleton.bones[i].offset) << name;
    }
    EXPECT_TRUE(test::skeletonFinite(out));
}

TEST(BodySolver, NeckKeepsThreeTenthsOfItsSolvedTurn) {
    SensorFrame frame = standingFrame();
    // A head target leaning sideways and forwards, so the neck has a turn to damp.
    frame.targets[kHeadTarget].position = glm::vec3(0.03f, 0.05f, 0.03f);
    const Skeleton out = solveFrame(frame);

    // Re-run the neck chain alone on the pose the solver had just before it.
    const std::int32_t neck = bone("Neck");
    const float undamped = [&] {
        Skeleton before = out;
        before.bones[neck].rotation = kIdentityQuat;
        const PoseNodeList rest(defaultSkeleton().skeleton, 1.0f);
        PoseNodeList pose(before, 1.0f);
        const ChainTarget& head = frame.targets[kHeadTarget];
        const glm::vec3 target(-head.position.x, head.position.y, head.position.z);
        const glm::vec3 pole(-head.pole.x, head.pole.y, head.pole.z);
        test::chainJob(target, pole, head.length, kNeckAndHeadSlots, rest, pose,
                       defaultSkeleton().slots)
            .Run();
        return rotationAngle(pose[neck].rotation, kIdentityQuat);
    }();
    ASSERT_GT(undamped, 0.1f);
    EXPECT_NEAR(rotationAngle(out.bones[neck].rotation, kIdentityQuat), 0.3f * undamped, 2e-3f);
}

TEST(BodySolver, OutputMayBeTheInputSkeleton) {
    const SensorFrame frame = standingFrame();
    const Skeleton expected = solveFrame(frame);
    Skeleton inPlace = defaultSkeleton().skeleton;
    BodySolver().solve(frame, inPlace, defaultSkeleton().slots, inPlace);
    for (int i = 0; i < kMaxBones; ++i) {
        EXPECT_EQ(inPlace.bones[i].offset, expected.bones[i].offset) << i;
        EXPECT_EQ(inPlace.bones[i].rotation, expected.bones[i].rotation) << i;
    }
}

// The cached node evaluation must give what the literal recursive one gives. They differ only
// in float rounding, which a nearly stretched limb amplifies (the knee's offset from the
// root-target line is the square root of a small difference): hence a tenth of a degree.
TEST(BodySolver, CachedEvaluationMatchesRecursiveEvaluation) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> jitter(-0.15f, 0.15f);
    for (int trial = 0; trial < 40; ++trial) {
        SensorFrame frame = standingFrame();
        for (ChainTarget& t : frame.targets) {
            t.position += glm::vec3(jitter(rng), jitter(rng), jitter(rng));
            t.pole += glm::vec3(jitter(rng), jitter(rng), jitter(rng));
        }
        frame.hipsRotation = glm::normalize(frame.hipsRotation *
                                            quatXYZW(jitter(rng), jitter(rng), jitter(rng), 1.0f));
        const Skeleton cached = solveFrame(frame, NodeEvaluation::kCached);
        const Skeleton recursive = solveFrame(frame, NodeEvaluation::kRecursive);
        for (int i = 0; i < kMaxBones; ++i) {
            ASSERT_TRUE(vecNear(cached.bones[i].offset, recursive.bones[i].offset, 1e-3f))
                << "trial " << trial << " bone " << i;
            ASSERT_LT(rotationAngle(cached.bones[i].rotation, recursive.bones[i].rotation),
                      glm::radians(0.1f))
                << "trial " << trial << " bone " << i;
        }
    }
}

// Frames built to hit each zero-length case: the affected limb or chain keeps the rotations
// it had before its stage (the rest rotations here), everything stays finite, and the rest of
// the body is still solved.
TEST(BodySolver, DegenerateFramesKeepTheAffectedBonesAndStayFinite) {
    struct Case {
        const char* name;
        std::function<void(SensorFrame&)> spoil;
        std::vector<const char*> unchanged;
    };
    const glm::vec3 zero(0.0f);
    const std::vector<Case> cases = {
        {"zero arm target",
         [&](SensorFrame& f) { f.targets[kLeftArmTarget].position = zero; },
         {"LeftArm", "LeftForeArm", "LeftHand"}},
        {"zero arm pole",
         [&](SensorFrame& f) { f.targets[kRightArmTarget].pole = zero; },
         {"RightArm", "RightForeArm", "RightHand"}},
        {"zero leg length",
         [&](SensorFrame& f) { f.targets[kLeftLegTarget].length = 0.0f; },
         {"LeftLeg", "LeftFoot"}},
        {"leg pole along the target",
         [&](SensorFrame& f) {
             f.targets[kRightLegTarget].pole = f.targets[kRightLegTarget].position;
         },
         {"RightUpLeg", "RightLeg", "RightFoot"}},
        {"zero spine pole",
         [&](SensorFrame& f) { f.targets[kSpineTarget].pole = zero; },
         {"Spine", "Spine1", "Spine2"}},
        {"zero spine target",
         [&](SensorFrame& f) { f.targets[kSpineTarget].position = zero; },
         {"Spine", "Spine1", "Spine2"}},
        {"zero head pole",
         [&](SensorFrame& f) { f.targets[kHeadTarget].pole = zero; },
         {"Neck", "Head"}},
        {"zero finger target",
         [&](SensorFrame& f) { f.targets[kLeftIndexTarget].position = zero; },
         {"LeftHandIndex1", "LeftHandIndex2", "LeftHandIndex3"}},
        {"finger along its hand reference",
         [&](SensorFrame& f) {
             f.leftHandRotation = kIdentityQuat;
             f.targets[kLeftMiddleTarget].position = glm::vec3(0.0f, 0.0f, 0.09f);
         },
         {"LeftHandMiddle1", "LeftHandMiddle2", "LeftHandMiddle3"}},
        {"thumb along its hand reference",
         [&](SensorFrame& f) {
             f.rightHandRotation = kIdentityQuat;
             // Sender axes: the skeleton's (0.5, 0.5, 0) mirrored.
             f.targets[kRightThumbTarget].position = glm::vec3(-0.05f, 0.05f, 0.0f);
         },
         {"RightHandThumb1", "RightHandThumb2", "RightHandThumb3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SensorFrame frame = standingFrame();
        c.spoil(frame);
        const Skeleton out = solveFrame(frame);
        ASSERT_TRUE(test::skeletonFinite(out));
        for (const char* name : c.unchanged) {
            EXPECT_EQ(out.bones[bone(name)].rotation,
                      defaultSkeleton().skeleton.bones[bone(name)].rotation)
                << name;
        }
        // Something else was solved: the opposite forearm turned away from rest.
        EXPECT_GT(rotationAngle(storedWorldRotation(out, bone("RightHand")), kIdentityQuat) +
                      rotationAngle(storedWorldRotation(out, bone("LeftForeArm")), kIdentityQuat),
                  0.05f);
    }
}

// Whatever the bits on the wire (root position kept finite: the channel table drops the
// others), the solved skeleton is finite.
TEST(BodySolver, AnyDecodedFrameSolvesToFiniteValues) {
    std::mt19937 rng(2024);
    std::uniform_real_distribution<float> root(-5.0f, 5.0f);
    for (int trial = 0; trial < 3000; ++trial) {
        std::vector<std::uint8_t> datagram = test::randomSensorDatagram(rng);
        for (int k = 0; k < 3; ++k) {
            const float v = root(rng);
            std::memcpy(&datagram[2 + 4 * k], &v, 4);
        }
        const SensorFrame frame = decodeSensorFrame(datagram);
        const Skeleton out = solveFrame(frame);
        ASSERT_TRUE(test::skeletonFinite(out)) << "trial " << trial;
    }
}

// A frame spoilt at random: decoded noise or a standing frame whose targets get poles along
// (or a hair off) their targets, zero or huge values, and random rotations.
SensorFrame spoiltFrame(std::mt19937& rng) {
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 9);
    auto randomVec = [&](float scale) {
        return glm::vec3(unit(rng), unit(rng), unit(rng)) * scale;
    };
    SensorFrame frame;
    if (pick(rng) < 3) {
        std::vector<std::uint8_t> datagram = test::randomSensorDatagram(rng);
        for (int k = 0; k < 3; ++k) {
            const float v = 5.0f * unit(rng);
            std::memcpy(&datagram[2 + 4 * k], &v, 4);
        }
        frame = decodeSensorFrame(datagram);
    } else {
        frame = standingFrame();
        frame.hipsRotation = glm::normalize(quatXYZW(unit(rng), unit(rng), unit(rng), 1.0f));
    }
    const float huge[] = {1e6f, 1e20f, 3e38f};
    for (ChainTarget& target : frame.targets) {
        switch (pick(rng)) {
            case 0:  // pole along the target, either way round
                target.pole = target.position * (unit(rng) * 3.0f);
                break;
            case 1: {  // pole a tiny angle off the target
                const glm::vec3 off = glm::cross(target.position, randomVec(1.0f));
                target.pole = target.position + off * (std::pow(10.0f, -6.0f * (unit(rng) + 1.0f)));
                break;
            }
            case 2:  // target along a fixed axis, pole along the same axis
                target.position = glm::vec3(0.0f, 0.0f, 0.0f);
                target.position[pick(rng) % 3] = unit(rng);
                target.pole = target.position;
                break;
            case 3:
                target.position = glm::vec3(0.0f);
                break;
            case 4:
                target.pole = glm::vec3(0.0f);
                break;
            case 5:
                target.length = pick(rng) < 5 ? 0.0f : -unit(rng);
                break;
            case 6:
                target.position = randomVec(huge[pick(rng) % 3]);
                target.pole = randomVec(huge[pick(rng) % 3]);
                break;
            case 7:
                target.position = randomVec(1.0f);
                target.pole = randomVec(1.0f);
                target.length = unit(rng) + 1.0f;
                break;
            default:
                break;  // as it was
        }
    }
    return frame;
}

// Whatever a frame asks for, every rotation the solver hands on is a rotation (a unit
// quaternion) and every published translation is finite. glm::quatLookAt with an up direction
// along the look direction gives neither, so this also covers the chain guard.
TEST(BodySolver, RandomAndDegenerateFramesGiveUnitRotationsAndFiniteTranslations) {
    constexpr int kFrames = 100000;
    std::mt19937 rng(8);
    float largestDeviation = 0.0f;
    std::array<ChannelRecord, kMaxChannels> records{};
    for (int trial = 0; trial < kFrames; ++trial) {
        const SensorFrame frame = spoiltFrame(rng);
        const Skeleton out = solveFrame(frame);
        for (int i = 0; i < kMaxChannels; ++i) {
            const float deviation = std::fabs(glm::length(out.bones[i].rotation) - 1.0f);
            if (!(deviation <= largestDeviation)) largestDeviation = deviation;
            ASSERT_LE(deviation, 1e-4f) << "trial " << trial << ", bone " << out.bones[i].name;
            ASSERT_TRUE(isFinite(out.bones[i].offset)) << "trial " << trial << ", bone " << i;
        }
        ASSERT_TRUE(writeChannelValues(out, kMaxChannels, records.data())) << "trial " << trial;
    }
    RecordProperty("frames", kFrames);
    std::ostringstream figure;
    figure << std::scientific << largestDeviation;
    RecordProperty("largestRotationLengthDeviation", figure.str());
}

// Rotations whose sent components square-sum past 1 decode unnormalised; they are solved as
// the unit rotations they point along.
TEST(BodySolver, UnnormalisedRotationsSolveAsTheirUnitRotations) {
    const SensorFrame unit = standingFrame();
    SensorFrame scaled = unit;
    scaled.hipsRotation = unit.hipsRotation * 1.7f;
    scaled.leftHandRotation = unit.leftHandRotation * 1.3f;
    scaled.leftShoulderRotation = unit.leftShoulderRotation * 2.0f;
    const Skeleton expected = solveFrame(unit);
    const Skeleton out = solveFrame(scaled);
    for (int i = 0; i < kMaxBones; ++i) {
        EXPECT_TRUE(vecNear(out.bones[i].offset, expected.bones[i].offset, 1e-3f)) << i;
        EXPECT_TRUE(quatNear(out.bones[i].rotation, expected.bones[i].rotation, 1e-4f)) << i;
    }
}

// The empty skeleton (unused slots all point at bone 0, bone 0 at itself) must not hang.
TEST(BodySolver, EmptySkeletonTerminates) {
    const Skeleton empty;
    Skeleton out;
    BodySolver().solve(standingFrame(), empty, defaultSkeleton().slots, out);
    EXPECT_EQ(out.boneCount, kMaxBones);
    EXPECT_TRUE(test::skeletonFinite(out));
}

// A job missing an input or output, or given node lists of two sizes, does not run and touches
// nothing.
TEST(SolverJobs, InvalidJobsDoNotRunAndTouchNothing) {
    const PoseNodeList rest(defaultSkeleton().skeleton, 1.0f);
    const PoseNodeList shorter(defaultSkeleton().skeleton, 1.0f, NodeEvaluation::kCached, 10);
    PoseNodeList pose(defaultSkeleton().skeleton, 1.0f);
    const SensorFrame frame = test::standingFrame();
    const ChainJob chain = test::chainJob(glm::vec3(0, 40, 5), glm::vec3(0, 0, -1), 40.0f,
                                          kSpineSlots, rest, pose, defaultSkeleton().slots);
    LimbJob limb;
    limb.target = glm::vec3(30, -10, 5);
    limb.pole = glm::vec3(0, 0, -1);
    limb.chainLength = 50.0f;
    limb.upperBone = bone("LeftArm");
    limb.middleBone = bone("LeftForeArm");
    limb.endBone = bone("LeftHand");
    limb.restNodes = &rest;
    limb.poseNodes = &pose;
    const ProportionJob proportions{&frame, &defaultSkeleton().slots, &pose};
    ASSERT_TRUE(chain.Validate() && limb.Validate() && proportions.Validate());

    std::vector<std::pair<const char*, std::function<bool()>>> invalid;
    auto chainWith = [&](auto change) {
        ChainJob job = chain;
        change(job);
        return [job] { return !job.Validate() && !job.Run(); };
    };
    auto limbWith = [&](auto change) {
        LimbJob job = limb;
        change(job);
        return [job] { return !job.Validate() && !job.Run(); };
    };
    auto proportionsWith = [&](auto change) {
        ProportionJob job = proportions;
        change(job);
        return [job] { return !job.Validate() && !job.Run(); };
    };
    invalid.emplace_back("chain without slot map",
                         chainWith([](ChainJob& j) { j.slotMap = nullptr; }));
    invalid.emplace_back("chain without rest",
                         chainWith([](ChainJob& j) { j.restNodes = nullptr; }));
    invalid.emplace_back("chain without output",
                         chainWith([](ChainJob& j) { j.poseNodes = nullptr; }));
    invalid.emplace_back("chain rest of another size",
                         chainWith([&](ChainJob& j) { j.restNodes = &shorter; }));
    invalid.emplace_back("limb without rest", limbWith([](LimbJob& j) { j.restNodes = nullptr; }));
    invalid.emplace_back("limb without output",
                         limbWith([](LimbJob& j) { j.poseNodes = nullptr; }));
    invalid.emplace_back("limb rest of another size",
                         limbWith([&](LimbJob& j) { j.restNodes = &shorter; }));
    invalid.emplace_back("proportions without frame",
                         proportionsWith([](ProportionJob& j) { j.frame = nullptr; }));
    invalid.emplace_back("proportions without slot map",
                         proportionsWith([](ProportionJob& j) { j.slotMap = nullptr; }));
    invalid.emplace_back("proportions without output",
                         proportionsWith([](ProportionJob& j) { j.poseNodes = nullptr; }));
    for (const auto& [name, refused] : invalid) EXPECT_TRUE(refused()) << name;
    for (std::int32_t i = 0; i < pose.size(); ++i) {
        ASSERT_EQ(pose[i].rotation, rest[i].rotation) << i;
        ASSERT_EQ(pose[i].position, rest[i].position) << i;
    }
}

}  // namespace
}  // namespace telmora
