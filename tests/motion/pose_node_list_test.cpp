#include "motion/pose_node_list.h"

#include <gtest/gtest.h>

#include <random>

#include "common/glm_asserts.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

using test::quatNear;
using test::vecNear;

// After any sequence of edits, the cached world values equal PoseNode's own recursive ones.
TEST(PoseNodeList, CachedWorldValuesFollowEveryEdit) {
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.3f, NodeEvaluation::kCached);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> pick(0, kDefaultBoneCount - 1);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    for (int step = 0; step < 500; ++step) {
        const int edited = pick(rng);
        if (step % 3 == 0) {
            nodes.setPosition(edited, glm::vec3(unit(rng), unit(rng), unit(rng)) * 20.0f);
        } else {
            nodes.setRotation(edited, glm::normalize(quatXYZW(unit(rng), unit(rng), unit(rng),
                                                              unit(rng) + 1.5f)));
        }
        // Query a few, so some caches are fresh and some stale when the next edit lands.
        for (int q = 0; q < 3; ++q) {
            const int i = pick(rng);
            ASSERT_TRUE(vecNear(nodes.worldPosition(i), nodes[i].worldPosition(), 1e-3f))
                << "step " << step << " node " << i;
            ASSERT_TRUE(quatNear(nodes.worldRotation(i), nodes[i].worldRotation(), 1e-5f));
            const glm::mat4 cached = nodes.worldMatrix(i);
            const glm::mat4 literal = nodes[i].worldMatrix();
            for (int c = 0; c < 4; ++c) {
                ASSERT_TRUE(vecNear(glm::vec3(cached[c]), glm::vec3(literal[c]), 1e-3f));
            }
        }
    }
}

TEST(PoseNodeList, BuildsScaledNodesWithTheSkeletonsParents) {
    const PoseNodeList nodes(defaultSkeleton().skeleton, 2.0f);
    for (int i = 0; i < kDefaultBoneCount; ++i) {
        const Bone& b = defaultSkeleton().skeleton.bones[i];
        EXPECT_EQ(nodes[i].position, 2.0f * b.offset);
        EXPECT_EQ(nodes.parentIndex(i), b.parent);
        EXPECT_EQ(nodes[i].parent, b.parent < 0 ? nullptr : &nodes[b.parent]);
    }
    // Unused slots hang under bone 0 (their parent is 0).
    EXPECT_EQ(nodes.parentIndex(kMaxBones - 1), 0);
}

TEST(PoseNodeList, ParentNotPrecedingItsChildMakesARoot) {
    Skeleton broken = defaultSkeleton().skeleton;
    broken.bones[0].parent = 0;    // its own parent
    broken.bones[5].parent = 9;    // a later bone
    broken.bones[6].parent = 500;  // outside the table
    const PoseNodeList nodes(broken, 1.0f);
    for (int i : {0, 5, 6}) {
        EXPECT_EQ(nodes.parentIndex(i), -1) << i;
        EXPECT_TRUE(vecNear(nodes.worldPosition(i), broken.bones[i].offset, 0.0f)) << i;
    }
}

TEST(PoseNodeList, SetWorldRotationRealisesTheWorldRotation) {
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
    const int hand = test::bone("LeftHand");
    nodes.setRotation(test::bone("LeftArm"), glm::angleAxis(0.8f, glm::vec3(0, 0, 1)));
    const glm::quat wanted = glm::angleAxis(-1.1f, glm::normalize(glm::vec3(1, 1, 0)));
    nodes.setWorldRotation(hand, wanted);
    EXPECT_TRUE(quatNear(nodes.worldRotation(hand), wanted, 1e-5f));
}

}  // namespace
}  // namespace telmora
