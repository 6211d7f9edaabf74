#include "motion/pose_node.h"

#include <gtest/gtest.h>

#include <glm/gtc/matrix_transform.hpp>

#include "common/glm_asserts.h"

namespace telmora {
namespace {

using test::quatNear;
using test::vecNear;

constexpr float kHalfPi = 1.5707964f;

TEST(PoseNode, RootReportsItsOwnValues) {
    PoseNode root;
    root.position = glm::vec3(1, 2, 3);
    root.rotation = glm::normalize(quatXYZW(0.1f, 0.2f, 0.3f, 0.9f));
    EXPECT_EQ(root.worldPosition(), root.position);
    EXPECT_EQ(root.worldRotation(), root.rotation);
}

TEST(PoseNode, ChainSeesAncestorChangesImmediately) {
    PoseNode a, b, c;
    a.position = glm::vec3(1, 0, 0);
    b.position = glm::vec3(0, 2, 0);
    c.position = glm::vec3(0, 0, 3);
    b.parent = &a;
    c.parent = &b;
    EXPECT_TRUE(vecNear(c.worldPosition(), glm::vec3(1, 2, 3), 1e-6f));

    // A quarter turn of the root about Z carries the children with it, with no refresh step.
    a.rotation = glm::angleAxis(kHalfPi, glm::vec3(0, 0, 1));
    EXPECT_TRUE(vecNear(c.worldPosition(), glm::vec3(1 - 2, 0, 3), 1e-5f));
    EXPECT_TRUE(quatNear(c.worldRotation(), a.rotation, 1e-6f));
    EXPECT_TRUE(vecNear(glm::vec3(c.worldMatrix()[3]), c.worldPosition(), 1e-5f));
}

TEST(PoseNode, LocalRotationForRealisesTheWorldRotation) {
    PoseNode parent, child;
    parent.rotation = glm::normalize(quatXYZW(0.3f, -0.2f, 0.5f, 0.7f));
    child.parent = &parent;
    const glm::quat wanted = glm::normalize(quatXYZW(-0.4f, 0.1f, 0.2f, 0.8f));
    child.rotation = localRotationFor(&parent, wanted);
    EXPECT_TRUE(quatNear(child.worldRotation(), wanted, 1e-6f));
    EXPECT_EQ(localRotationFor(nullptr, wanted), wanted);
}

TEST(MathConventions, EulerConstructorOrderAndStorage) {
    const glm::quat q(glm::vec3(0.0f, kHalfPi, kHalfPi));
    EXPECT_TRUE(vecNear(q * glm::vec3(1, 0, 0), glm::vec3(0, 0, -1), 1e-6f));
    EXPECT_TRUE(vecNear(q * glm::vec3(0, 1, 0), glm::vec3(-1, 0, 0), 1e-6f));
    EXPECT_TRUE(vecNear(q * glm::vec3(0, 0, 1), glm::vec3(0, 1, 0), 1e-6f));
    // Storage order is x, y, z, w.
    const float* raw = &q.x;
    EXPECT_NEAR(raw[0], -0.5f, 1e-6f);
    EXPECT_NEAR(raw[1], 0.5f, 1e-6f);
    EXPECT_NEAR(raw[2], 0.5f, 1e-6f);
    EXPECT_NEAR(raw[3], 0.5f, 1e-6f);
}

TEST(MathConventions, ProductsSlerpAndDecompose) {
    const glm::quat p = glm::normalize(quatXYZW(0.2f, 0.4f, -0.1f, 0.8f));
    const glm::quat q = glm::normalize(quatXYZW(-0.3f, 0.1f, 0.6f, 0.5f));
    const glm::vec3 v(0.3f, -1.2f, 2.0f);
    EXPECT_EQ(kIdentityQuat * q, q);
    EXPECT_EQ(q * kIdentityQuat, q);
    EXPECT_TRUE(vecNear((p * q) * v, p * (q * v), 1e-5f));

    // Shortest arc: slerp towards the negation stays on the same rotation.
    const glm::quat half = glm::slerp(q, -q, 0.5f);
    EXPECT_TRUE(quatNear(half, q, 1e-5f));

    glm::vec3 scale, translation, skew;
    glm::quat orientation;
    glm::vec4 perspective;
    glm::mat4 m = glm::translate(glm::mat4(1.0f), glm::vec3(4, 5, 6)) * glm::mat4_cast(q);
    ASSERT_TRUE(glm::decompose(m, scale, orientation, translation, skew, perspective));
    EXPECT_EQ(translation, glm::vec3(4, 5, 6));
    EXPECT_TRUE(vecNear(scale, glm::vec3(1.0f), 1e-5f));
    EXPECT_TRUE(quatNear(orientation, q, 1e-5f));
    m[3][3] = 0.0f;
    EXPECT_FALSE(glm::decompose(m, scale, orientation, translation, skew, perspective));
}

}  // namespace
}  // namespace telmora
