#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/glm_asserts.h"
#include "motion/body_solver.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

using test::bone;
using test::quatNear;
using test::rotationAngle;
using test::vecNear;

// The joints a pair of two-bone frames puts down: each frame carries its bone along +x.
struct Joints {
    glm::vec3 middle;
    glm::vec3 end;
};
Joints jointsOf(const TwoBoneFrames& f, const glm::vec3& root, float a, float b) {
    const glm::vec3 middle = root + f.upperFrame * glm::vec3(a, 0.0f, 0.0f);
    return {middle, middle + f.lowerFrame * glm::vec3(b, 0.0f, 0.0f)};
}

TEST(SolveTwoBone, ReachableTargetIsReachedAndBendsTowardsThePole) {
    const glm::vec3 root(1.0f, 2.0f, 3.0f);
    struct Case {
        glm::vec3 target;
        glm::vec3 pole;
        float a, b;
    };
    const Case cases[] = {
        {{30.0f, 0.0f, 0.0f}, {15.0f, 10.0f, 0.0f}, 25.0f, 25.0f},
        {{0.0f, -50.0f, 10.0f}, {0.0f, -25.0f, 20.0f}, 41.0f, 36.0f},
        {{5.0f, 5.0f, 5.0f}, {0.0f, 10.0f, -3.0f}, 10.0f, 8.0f},
    };
    for (const Case& c : cases) {
        const TwoBoneFrames f = solveTwoBone(root, root + c.target, root + c.pole, c.a, c.b);
        ASSERT_TRUE(f.valid);
        const Joints j = jointsOf(f, root, c.a, c.b);
        EXPECT_TRUE(vecNear(j.end, root + c.target, 1e-3f));
        // The middle joint lies on the pole's side of the root-target line.
        const glm::vec3 u = glm::normalize(c.target);
        const glm::vec3 poleSide = c.pole - glm::dot(c.pole, u) * u;
        const glm::vec3 middleSide = (j.middle - root) - glm::dot(j.middle - root, u) * u;
        EXPECT_GT(glm::dot(poleSide, middleSide), 0.0f);
        // Frames are rotations with y in the bending plane.
        EXPECT_NEAR(glm::length(f.upperFrame), 1.0f, 1e-5f);
        EXPECT_NEAR(glm::dot(f.upperFrame * glm::vec3(0, 0, 1), poleSide), 0.0f, 1e-3f);
    }
}

TEST(SolveTwoBone, EqualBonesAtSquareRootTwoPutTheMiddleHalfWay) {
    const float l = 20.0f;
    const glm::vec3 root(0.0f);
    const glm::vec3 target(l * std::sqrt(2.0f), 0.0f, 0.0f);
    const TwoBoneFrames f = solveTwoBone(root, target, glm::vec3(10, 0, 5), l, l);
    ASSERT_TRUE(f.valid);
    const Joints j = jointsOf(f, root, l, l);
    EXPECT_NEAR(j.middle.x, l * std::sqrt(2.0f) / 2.0f, 1e-3f);
    EXPECT_NEAR(glm::length(glm::vec2(j.middle.y, j.middle.z)), l * std::sqrt(2.0f) / 2.0f, 1e-3f);
    EXPECT_GT(j.middle.z, 0.0f);
}

TEST(SolveTwoBone, TargetOutOfReachGivesAStraightLimbTowardsIt) {
    const glm::vec3 target(0.0f, 100.0f, 0.0f);
    const TwoBoneFrames f =
        solveTwoBone(glm::vec3(0.0f), target, glm::vec3(5, 50, 0), 30.0f, 20.0f);
    ASSERT_TRUE(f.valid);
    const Joints j = jointsOf(f, glm::vec3(0.0f), 30.0f, 20.0f);
    EXPECT_TRUE(vecNear(j.middle, glm::vec3(0, 30, 0), 1e-3f));
    EXPECT_TRUE(vecNear(j.end, glm::vec3(0, 50, 0), 1e-3f));
}

TEST(SolveTwoBone, DegenerateGeometryIsRefused) {
    const glm::vec3 root(1.0f, 1.0f, 1.0f);
    struct Case {
        const char* name;
        glm::vec3 target, pole;
        float a, b;
    };
    const Case cases[] = {
        {"end target at the root, unequal bones", root, root + glm::vec3(0, 0, 5), 10.0f, 8.0f},
        {"end target at the root, equal bones", root, root + glm::vec3(0, 0, 5), 10.0f, 10.0f},
        {"pole target on the line", root + glm::vec3(0, 10, 0), root + glm::vec3(0, 5, 0), 8.0f,
         8.0f},
        {"pole target at the root", root + glm::vec3(0, 10, 0), root, 8.0f, 8.0f},
        {"zero bones", root + glm::vec3(0, 10, 0), root + glm::vec3(0, 5, 3), 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        const TwoBoneFrames f = solveTwoBone(root, c.target, c.pole, c.a, c.b);
        EXPECT_FALSE(f.valid) << c.name;
        EXPECT_EQ(f.upperFrame, kIdentityQuat) << c.name;
        EXPECT_EQ(f.lowerFrame, kIdentityQuat) << c.name;
    }
}

// The device's left arm on its own, as the solver's node lists hold it.
class LimbTest : public ::testing::Test {
protected:
    LimbTest() : rest(defaultSkeleton().skeleton, 1.0f), pose(defaultSkeleton().skeleton, 1.0f) {}

    void solveLeftArm(const glm::vec3& target, const glm::vec3& pole, float chainLength,
                      std::int32_t twist = -1, bool withOtherArm = false,
                      const glm::vec3& otherTarget = glm::vec3(0.0f), float otherLength = 0.0f) {
        LimbJob job;
        job.target = target;
        job.pole = pole;
        job.chainLength = chainLength;
        job.upperBone = upper;
        job.middleBone = middle;
        job.endBone = end;
        job.alignment = kLeftArmAlignment;
        job.endRotation = endRotation;
        job.twist = twist;
        if (withOtherArm) {
            job.otherUpperBone = bone("RightArm");
            job.otherMiddleBone = bone("RightForeArm");
            job.otherEndBone = bone("RightHand");
        }
        job.otherTarget = otherTarget;
        job.otherChainLength = otherLength;
        job.restNodes = &rest;
        job.poseNodes = &pose;
        ASSERT_TRUE(job.Run());
    }
    float reach() const {
        return glm::length(rest.worldPosition(middle) - rest.worldPosition(upper)) +
               glm::length(rest.worldPosition(end) - rest.worldPosition(middle));
    }

    const std::int32_t upper = bone("LeftArm");
    const std::int32_t middle = bone("LeftForeArm");
    const std::int32_t end = bone("LeftHand");
    const glm::quat endRotation = glm::angleAxis(0.7f, glm::normalize(glm::vec3(1, 2, 0)));
    PoseNodeList rest;
    PoseNodeList pose;
};

TEST_F(LimbTest, EndReachesTheSameFractionOfTheCharactersReach) {
    const glm::vec3 direction = glm::normalize(glm::vec3(-0.3f, -0.8f, 0.4f));
    const glm::vec3 root = pose.worldPosition(upper);
    for (float fraction : {1.0f, 0.5f, 0.8f}) {
        SCOPED_TRACE(fraction);
        // Performer arm 0.6 m long: only the fraction of it matters.
        solveLeftArm(direction * 0.6f * fraction, glm::vec3(0, 0, -1), 0.6f);
        // The hand joint's world position: its bone offset is not along the solved axis by
        // construction, so compare with what the frames put down.
        EXPECT_TRUE(vecNear(pose.worldPosition(end), root + direction * reach() * fraction, 0.05f));
    }
}

TEST_F(LimbTest, TargetBeyondReachStretchesTheLimbTowardsIt) {
    const glm::vec3 direction = glm::normalize(glm::vec3(-1.0f, 0.5f, 0.2f));
    solveLeftArm(direction * 1.2f, glm::vec3(0, 0, -1), 0.6f);
    const glm::vec3 root = pose.worldPosition(upper);
    EXPECT_TRUE(vecNear(pose.worldPosition(end), root + direction * reach(), 0.05f));
    EXPECT_TRUE(vecNear(glm::normalize(pose.worldPosition(middle) - root), direction, 1e-3f));
}

TEST_F(LimbTest, EndBoneTakesItsRotationWhateverTheTarget) {
    for (const glm::vec3& target : {glm::vec3(-0.5f, 0, 0), glm::vec3(0, -0.3f, 0.2f)}) {
        solveLeftArm(target, glm::vec3(0, 1, 0), 0.6f);
        EXPECT_TRUE(
            quatNear(pose.worldRotation(end), endRotation * rest.worldRotation(end), 1e-5f));
    }
}

TEST_F(LimbTest, TwistTurnsTheForearmOnlyWhenAsked) {
    const glm::vec3 target(-0.3f, -0.2f, 0.3f);
    solveLeftArm(target, glm::vec3(0, 1, 0), 0.6f, 0);
    const glm::quat untwisted = pose.worldRotation(middle);
    const glm::vec3 elbow = pose.worldPosition(middle);
    solveLeftArm(target, glm::vec3(0, 1, 0), 0.6f, -1);
    const glm::quat twisted = pose.worldRotation(middle);
    // Twisted about the forearm's own axis: the hand joint does not move.
    EXPECT_GT(rotationAngle(twisted, untwisted), 0.01f);
    EXPECT_TRUE(vecNear(pose.worldPosition(middle), elbow, 1e-4f));
    const glm::vec3 axis = glm::normalize(pose.worldPosition(end) - elbow);
    const glm::quat difference = twisted * glm::inverse(untwisted);
    EXPECT_NEAR(std::fabs(glm::dot(glm::normalize(glm::axis(difference)), axis)), 1.0f, 0.05f);
}

TEST_F(LimbTest, ShortPoleBlendsTheHandsTogether) {
    const glm::vec3 target(-0.4f, -0.2f, 0.2f);
    const glm::vec3 otherTarget(0.4f, -0.2f, 0.2f);
    solveLeftArm(target, glm::vec3(0, 0, -0.5f), 0.6f, -1, true, otherTarget, 0.6f);
    const glm::vec3 unblended = pose.worldPosition(end);
    // The opposite end's target, as the solver places it from the opposite limb's root.
    const glm::vec3 otherRoot = pose.worldPosition(bone("RightArm"));
    const glm::vec3 otherEnd =
        otherRoot + glm::normalize(otherTarget) * reach() * (glm::length(otherTarget) / 0.6f);
    struct Case {
        float poleLength;
        float share;  // of the way from this hand's target to the other's
    };
    for (const Case& c : {Case{0.2f, 0.0f}, Case{0.08f, 0.1f}, Case{0.01f, 0.25f}}) {
        SCOPED_TRACE(c.poleLength);
        solveLeftArm(target, glm::vec3(0, 0, -c.poleLength), 0.6f, -1, true, otherTarget, 0.6f);
        const glm::vec3 expected = unblended + (otherEnd - unblended) * c.share;
        EXPECT_TRUE(vecNear(pose.worldPosition(end), expected, 0.1f));
    }
}

TEST_F(LimbTest, DegenerateInputKeepsTheLimbAsItWas) {
    // Pose the arm first so "as it was" is not the rest pose.
    solveLeftArm(glm::vec3(-0.3f, -0.3f, 0.1f), glm::vec3(0, 0, -1), 0.6f);
    const glm::quat before[3] = {pose[upper].rotation, pose[middle].rotation, pose[end].rotation};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        glm::vec3 target, pole;
        float length;
    };
    const Case cases[] = {
        {"zero target", glm::vec3(0.0f), glm::vec3(0, 0, -1), 0.6f},
        {"zero pole", glm::vec3(-0.3f, 0, 0), glm::vec3(0.0f), 0.6f},
        {"zero chain length", glm::vec3(-0.3f, 0, 0), glm::vec3(0, 0, -1), 0.0f},
        {"pole along the target", glm::vec3(-0.3f, 0, 0), glm::vec3(-1, 0, 0), 0.6f},
        {"NaN target", glm::vec3(nan, 0, 0), glm::vec3(0, 0, -1), 0.6f},
    };
    for (const Case& c : cases) {
        solveLeftArm(c.target, c.pole, c.length);
        EXPECT_EQ(pose[upper].rotation, before[0]) << c.name;
        EXPECT_EQ(pose[middle].rotation, before[1]) << c.name;
        EXPECT_EQ(pose[end].rotation, before[2]) << c.name;
    }
}

TEST_F(LimbTest, ZeroOppositeTargetBlendsTowardsTheOppositeRoot) {
    solveLeftArm(glm::vec3(-0.3f, -0.2f, 0.2f), glm::vec3(0, 0, -0.01f), 0.6f, -1, true,
                 glm::vec3(0.0f), 0.6f);
    EXPECT_TRUE(isFinite(pose.worldPosition(end)));
    EXPECT_TRUE(isFinite(pose.worldRotation(end)));
}

}  // namespace
}  // namespace telmora
