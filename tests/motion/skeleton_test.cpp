#include "motion/skeleton.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/glm_asserts.h"

namespace telmora {
namespace {

using test::vecNear;

// A copy of the default skeleton for each test to pose.
struct DefaultSkeletonTest : ::testing::Test {
    Skeleton skeleton = defaultSkeleton().skeleton;
    BoneSlotMap slots = defaultSkeleton().slots;
};

TEST_F(DefaultSkeletonTest, TableAndSlotMap) {
    ASSERT_EQ(skeleton.boneCount, kDefaultBoneCount);
    EXPECT_STREQ(skeleton.bones[0].name, "Hips");
    EXPECT_EQ(skeleton.bones[0].parent, -1);
    EXPECT_TRUE(vecNear(skeleton.bones[0].offset, glm::vec3(0, 95.3f, 0.5f), 1e-4f));
    EXPECT_STREQ(skeleton.bones[64].name, "RightHandPinky4");
    EXPECT_EQ(skeleton.bones[64].parent, 63);
    for (int i = 1; i < skeleton.boneCount; ++i) {
        EXPECT_GE(skeleton.bones[i].parent, 0) << i;
        EXPECT_LT(skeleton.bones[i].parent, i) << i;
    }

    // Every assigned slot names a distinct bone; slot 4 and the three end bones have none.
    EXPECT_EQ(slots[4], -1);
    std::vector<int> slotOfBone(kDefaultBoneCount, -1);
    for (int slot = 0; slot < kBodySlotCount; ++slot) {
        if (slot == 4) continue;
        ASSERT_GE(slots[slot], 0) << slot;
        ASSERT_LT(slots[slot], kDefaultBoneCount) << slot;
        EXPECT_EQ(slotOfBone[slots[slot]], -1) << "bone in two slots: " << slots[slot];
        slotOfBone[slots[slot]] = slot;
    }
    for (const char* end : {"HeadTop_End", "LeftToe_End", "RightToe_End"}) {
        EXPECT_EQ(slotOfBone[findBone(skeleton, end)], -1) << end;
    }
    // Spot checks across the finger ordering (pinky, ring, middle, index, thumb).
    const std::pair<int, const char*> named[] = {
        {5, "Neck"},
        {19, "RightUpLeg"},
        {23, "LeftHandPinky1"},
        {35, "LeftHandThumb1"},
        {38, "RightHandPinky1"},
        {52, "RightHandThumb3"},
        {53, "LeftHandPinky4"},
        {57, "LeftHandThumb4"},
        {62, "RightHandThumb4"},
    };
    for (const auto& [slot, name] : named) {
        EXPECT_STREQ(skeleton.bones[slots[slot]].name, name) << slot;
    }
}

TEST_F(DefaultSkeletonTest, ForwardKinematicsMirrorsAndTurnsTheRoot) {
    for (bool upright : {false, true}) {
        EXPECT_TRUE(
            vecNear(boneWorldPosition(skeleton, 0, upright), glm::vec3(0, 95.3f, 0.5f), 1e-4f));
    }
    EXPECT_TRUE(vecNear(boneWorldPosition(skeleton, 1, true), glm::vec3(0, 106.2f, -0.5f), 1e-4f));
    EXPECT_TRUE(vecNear(boneWorldPosition(skeleton, 1, false), glm::vec3(0, 94.3f, -10.4f), 1e-4f));
    // The character's left is +x and the toes point +z in the upright frame.
    EXPECT_GT(boneWorldPosition(skeleton, findBone(skeleton, "LeftHand"), true).x, 60.0f);
    EXPECT_LT(boneWorldPosition(skeleton, findBone(skeleton, "RightHand"), true).x, -60.0f);
    const glm::vec3 ankle = boneWorldPosition(skeleton, findBone(skeleton, "LeftFoot"), true);
    const glm::vec3 toe = boneWorldPosition(skeleton, findBone(skeleton, "LeftToeBase"), true);
    EXPECT_GT(toe.z - ankle.z, 10.0f);
}

TEST_F(DefaultSkeletonTest, RotationsAreMirroredOnTheWayOut) {
    // A stored rotation (x, y, z, w) acts as (x, -y, -z, w): a quarter turn stored about +y on
    // the left arm swings the forearm the other way round the vertical.
    const int arm = findBone(skeleton, "LeftArm");
    const int foreArm = findBone(skeleton, "LeftForeArm");
    skeleton.bones[arm].rotation = glm::angleAxis(1.5707964f, glm::vec3(0, 1, 0));
    const glm::vec3 shoulder = boneWorldPosition(skeleton, arm, true);
    const glm::vec3 elbow = boneWorldPosition(skeleton, foreArm, true);
    // Rest direction is +x; mirrored -90 degrees about y takes +x to +z.
    EXPECT_TRUE(vecNear(elbow - shoulder, glm::vec3(0, 0, 25.0f), 1e-3f));
}

TEST(Skeleton, CapacityAndNames) {
    Skeleton skeleton;
    for (int i = 0; i < kMaxBones; ++i) addBone(skeleton, "b", 0, 0.01f, 0, i - 1);
    const Skeleton full = skeleton;
    addBone(skeleton, "extra", 1, 1, 1, 0);
    EXPECT_EQ(skeleton.boneCount, kMaxBones);
    EXPECT_EQ(std::memcmp(&full, &skeleton, sizeof skeleton), 0);

    Skeleton named;
    const std::string longName(40, 'n');
    addBone(named, longName.c_str(), 0, 0, 0, -1);
    EXPECT_EQ(std::string(named.bones[0].name), longName.substr(0, 31));
}

TEST(Skeleton, ForwardKinematicsTerminatesForAnyContents) {
    // An empty table: bone 0 is its own parent. A forward parent and an out-of-range parent
    // end the chain in the zero matrix instead of recursing forever.
    Skeleton empty;
    EXPECT_EQ(boneGlobalMatrix(empty, 0, true), glm::mat4(0.0f));
    EXPECT_EQ(boneGlobalMatrix(empty, 5, false), glm::mat4(0.0f));

    Skeleton cycle;
    addBone(cycle, "a", 0, 0, 0, 1);
    addBone(cycle, "b", 0, 0, 0, 0);
    EXPECT_EQ(boneGlobalMatrix(cycle, 0, true), glm::mat4(0.0f));
    EXPECT_EQ(boneGlobalMatrix(cycle, 1, true), glm::mat4(0.0f));

    Skeleton outOfRange;
    addBone(outOfRange, "root", 0, 1, 0, -1);
    addBone(outOfRange, "lost", 0, 1, 0, 500);
    addBone(outOfRange, "below", 0, 1, 0, 1);
    EXPECT_NE(boneGlobalMatrix(outOfRange, 0, true), glm::mat4(0.0f));
    EXPECT_EQ(boneGlobalMatrix(outOfRange, 2, true), glm::mat4(0.0f));
}

TEST(Skeleton, InvalidIndexHasZeroPosition) {
    const Skeleton& skeleton = defaultSkeleton().skeleton;
    for (int index : {-1, 120, 1000, -2147483647 - 1}) {
        EXPECT_EQ(boneGlobalMatrix(skeleton, index, true), glm::mat4(0.0f)) << index;
        EXPECT_EQ(boneWorldPosition(skeleton, index, true), glm::vec3(0.0f)) << index;
    }
}

}  // namespace
}  // namespace telmora
