#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/glm_asserts.h"
#include "motion/body_solver.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

using test::quatNear;
using test::vecNear;

// A straight test chain of four joints, 10 cm apart along +y with identity rest rotations:
// with the spine alignment, a bone looking along a segment points its child along it, so the
// joints land on the bow points. Mapped to the left index finger's slots.
struct StraightChain {
    Skeleton skeleton;
    BoneSlotMap slots = emptySlotMap();
    static constexpr float kSegment = 10.0f;
    StraightChain() {
        addBone(skeleton, "Root", 0.0f, 0.0f, 0.0f, -1);
        addBone(skeleton, "A", 0.0f, 0.1f, 0.0f, 0);
        addBone(skeleton, "B", 0.0f, 0.1f, 0.0f, 1);
        addBone(skeleton, "C", 0.0f, 0.1f, 0.0f, 2);
        addBone(skeleton, "Tip", 0.0f, 0.1f, 0.0f, 3);
        slots[32] = 1;
        slots[33] = 2;
        slots[34] = 3;
        slots[56] = 4;
    }
};

class ChainTest : public ::testing::Test {
protected:
    ChainTest() : rest(chain.skeleton, 1.0f), pose(chain.skeleton, 1.0f) {}
    void solve(const glm::vec3& target, const glm::vec3& pole, float length,
               const ChainSlots& slots = kLeftIndexSlots) {
        ASSERT_TRUE(test::chainJob(target, pole, length, slots, rest, pose, chain.slots).Run());
    }
    glm::vec3 joint(int i) const { return pose.worldPosition(i); }

    StraightChain chain;
    PoseNodeList rest;
    PoseNodeList pose;
};

TEST_F(ChainTest, FullReachLaysTheChainStraightAlongTheTarget) {
    const glm::vec3 direction = glm::normalize(glm::vec3(0.3f, 0.5f, 0.8f));
    solve(direction * 0.09f, glm::vec3(1, 0, 0), 0.09f);
    const glm::vec3 root = joint(1);
    const float reach = 3.0f * StraightChain::kSegment;
    // Not exact: the bow height is the square root of S^2 - |E - R|^2, and the float rounding
    // of |E - R| alone leaves a bow of some 0.005 cm on a 30 cm chain.
    for (int i = 2; i <= 4; ++i) {
        EXPECT_TRUE(vecNear(joint(i), root + direction * (reach * (i - 1) / 3.0f), 0.01f)) << i;
    }
}

TEST_F(ChainTest, HalfReachBowsAlongThePole) {
    const glm::vec3 direction(0.0f, 1.0f, 0.0f);
    const glm::vec3 pole(0.0f, 0.0f, -1.0f);
    solve(direction * 0.045f, pole, 0.09f);
    const float reach = 3.0f * StraightChain::kSegment;
    const float bowHeight = 0.43f * reach * std::sqrt(0.75f);
    const glm::vec3 root = joint(1);
    // First segment end at a third of the way, bowed by (1 - 1/9) of the height.
    const glm::vec3 expected =
        root + direction * (reach * 0.5f / 3.0f) + pole * ((1.0f - 1.0f / 9.0f) * bowHeight);
    // The joint sits one segment from the root along the bow direction.
    EXPECT_TRUE(vecNear(glm::normalize(joint(2) - root), glm::normalize(expected - root), 1e-4f));
    // The tip's bow point is the end target; the last bone is not turned.
    EXPECT_EQ(pose[4].rotation, kIdentityQuat);
}

TEST_F(ChainTest, TargetBeyondReachBowsToo) {
    solve(glm::vec3(0.0f, 0.18f, 0.0f), glm::vec3(0, 0, -1), 0.09f);
    // The first bone leans towards the pole.
    EXPECT_LT((joint(2) - joint(1)).z, -1.0f);
}

TEST_F(ChainTest, RefusedInputKeepsTheChain) {
    solve(glm::vec3(0.02f, 0.05f, 0.01f), glm::vec3(1, 0, 0), 0.09f);
    glm::quat before[5];
    for (int i = 0; i < 5; ++i) before[i] = pose[i].rotation;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        glm::vec3 target, pole;
        float length;
    };
    const Case cases[] = {
        {"tiny chain length", glm::vec3(0, 0.05f, 0), glm::vec3(1, 0, 0), 1e-8f},
        {"zero pole", glm::vec3(0, 0.05f, 0), glm::vec3(0.0f), 0.09f},
        {"zero target", glm::vec3(0.0f), glm::vec3(1, 0, 0), 0.09f},
        {"NaN target", glm::vec3(nan, 0.05f, 0), glm::vec3(1, 0, 0), 0.09f},
        {"NaN pole", glm::vec3(0, 0.05f, 0), glm::vec3(0, nan, 0), 0.09f},
        {"infinite target", glm::vec3(0, INFINITY, 0), glm::vec3(1, 0, 0), 0.09f},
    };
    for (const Case& c : cases) {
        solve(c.target, c.pole, c.length);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(pose[i].rotation, before[i]) << c.name << " " << i;
    }
}

TEST_F(ChainTest, SkippedSlotsDoNotShortenTheList) {
    // Slots -1, -1, 34: only bone C, which then takes the single-bone path and is turned
    // itself to look along the target.
    const ChainSlots single{{-1, -1, 34, -1}, 3};
    solve(glm::vec3(0.05f, 0.0f, 0.0f), glm::vec3(0, 0, -1), 0.09f, single);
    EXPECT_EQ(pose[1].rotation, kIdentityQuat);
    EXPECT_EQ(pose[2].rotation, kIdentityQuat);
    EXPECT_TRUE(vecNear(glm::normalize(joint(4) - joint(3)), glm::vec3(1, 0, 0), 1e-4f));
    // Slots -1, 33, 34: two bones, only the first turned.
    const ChainSlots pair{{-1, 33, 34, -1}, 3};
    solve(glm::vec3(0.0f, 0.0f, 0.05f), glm::vec3(0, 1, 0), 0.05f, pair);
    EXPECT_TRUE(vecNear(glm::normalize(joint(3) - joint(2)), glm::vec3(0, 0, 1), 1e-4f));
}

// Spine mode on the device skeleton: coincident hip joints give no up direction, so the spine
// is left as it was; otherwise the first segment looks up with the hips line as its side.
TEST(SpineChain, CoincidentHipJointsKeepTheSpine) {
    DefaultSkeleton narrow = defaultSkeleton();
    const std::int32_t left = findBone(narrow.skeleton, "LeftUpLeg");
    const std::int32_t right = findBone(narrow.skeleton, "RightUpLeg");
    narrow.skeleton.bones[left].offset = narrow.skeleton.bones[right].offset;
    const PoseNodeList rest(narrow.skeleton, 1.0f);
    PoseNodeList pose(narrow.skeleton, 1.0f);
    ASSERT_TRUE(test::chainJob(glm::vec3(5, 40, 3), glm::vec3(0, 0, -1), 40.0f, kSpineSlots, rest,
                               pose, narrow.slots)
                    .Run());
    for (const char* name : {"Spine", "Spine1", "Spine2"}) {
        EXPECT_EQ(pose[findBone(narrow.skeleton, name)].rotation, kIdentityQuat) << name;
    }
}

TEST(SpineChain, UprightTargetLeavesTheRestSpineUpright) {
    const PoseNodeList rest(defaultSkeleton().skeleton, 1.0f);
    PoseNodeList pose(defaultSkeleton().skeleton, 1.0f);
    const float length = 40.0f;
    ASSERT_TRUE(test::chainJob(glm::vec3(0, length, 0), glm::vec3(0, 0, -1), length, kSpineSlots,
                               rest, pose, defaultSkeleton().slots)
                    .Run());
    // Up vectors from the (nearly x-aligned) hips and shoulder lines: nearly no turn.
    for (const char* name : {"Spine", "Spine1"}) {
        EXPECT_LT(test::rotationAngle(pose.worldRotation(test::bone(name)), kIdentityQuat),
                  glm::radians(1.0f))
            << name;
    }
}

}  // namespace
}  // namespace telmora
