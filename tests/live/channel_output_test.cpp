// What the device writes into its nodes, without a host: the choice of value and the reference
// transformation shared by the live and the recording path.

#include "live/channel_output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <glm/gtc/matrix_transform.hpp>
#include <limits>
#include <random>

namespace telmora {
namespace {

bool near(const glm::dvec3& a, const glm::dvec3& b, double tolerance) {
    return glm::length(a - b) <= tolerance;
}

TEST(ChannelOutputTest, ValueSourceFollowsLivePlottingAndBinding) {
    struct Case {
        bool live, plotting, bound;
        ValueSource expected;
    };
    const Case cases[] = {
        {true, false, true, ValueSource::kLiveChannel},
        {true, false, false, ValueSource::kLiveChannel},
        {true, true, true, ValueSource::kBoundModel},
        {true, true, false, ValueSource::kLiveChannel},
        {false, false, true, ValueSource::kBoundModel},
        {false, true, true, ValueSource::kBoundModel},
        {false, false, false, ValueSource::kNothing},
        {false, true, false, ValueSource::kNothing},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(valueSourceFor(c.live, c.plotting, c.bound), c.expected)
            << "live " << c.live << ", plotting " << c.plotting << ", bound " << c.bound;
    }
}

// Angles back from their matrix, and the matrix turning X, Y, Z as Rz Ry Rx does.
TEST(ChannelOutputTest, EulerAnglesRoundTripThroughTheirMatrix) {
    EXPECT_TRUE(near(eulerXyzDegreesToMatrix({0.0, 90.0, 0.0}) * glm::dvec3(1.0, 0.0, 0.0),
                     {0.0, 0.0, -1.0}, 1e-12));
    EXPECT_TRUE(near(eulerXyzDegreesToMatrix({90.0, 0.0, 90.0}) * glm::dvec3(0.0, 1.0, 0.0),
                     {-0.0, 0.0, 1.0}, 1e-12));
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> outer(-179.0, 179.0);
    std::uniform_real_distribution<double> pitch(-89.0, 89.0);
    for (int trial = 0; trial < 1000; ++trial) {
        const glm::dvec3 angles(outer(rng), pitch(rng), outer(rng));
        // A uniform scale on the matrix changes nothing.
        const glm::dvec3 back = matrixToEulerXyzDegrees(2.5 * eulerXyzDegreesToMatrix(angles));
        ASSERT_TRUE(near(back, angles, 1e-9)) << trial;
    }
    // Gimbal lock: the turn goes to z, and the matrix is the same.
    const glm::dvec3 locked = matrixToEulerXyzDegrees(eulerXyzDegreesToMatrix({30.0, 90.0, 10.0}));
    EXPECT_DOUBLE_EQ(locked.x, 0.0);
    EXPECT_NEAR(locked.y, 90.0, 1e-9);
    const glm::dmat3 a = eulerXyzDegreesToMatrix(locked);
    const glm::dmat3 b = eulerXyzDegreesToMatrix({30.0, 90.0, 10.0});
    for (int column = 0; column < 3; ++column) EXPECT_TRUE(near(a[column], b[column], 1e-6));
}

TEST(ChannelOutputTest, ReferenceMovesTheBoneOrRefusesANonFiniteResult) {
    // A reference at (10, 0, 5) turned 90 degrees about Y: (x, y, z) -> (z + 10, y, 5 - x).
    const glm::dmat4 moved = glm::rotate(glm::translate(glm::dmat4(1.0), {10.0, 0.0, 5.0}),
                                         glm::radians(90.0), {0.0, 1.0, 0.0});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    glm::dmat4 broken = moved;
    broken[3][1] = nan;
    const glm::dmat4 huge = glm::scale(glm::dmat4(1.0), glm::dvec3(1e300));
    struct Case {
        const char* name;
        glm::dmat4 reference;
        BoneTransform bone;
        bool applies;
        BoneTransform expected;
    };
    const Case cases[] = {
        {"identity", glm::dmat4(1.0), {{1, 2, 3}, {10, 20, 30}}, true, {{1, 2, 3}, {10, 20, 30}}},
        {"moved and turned", moved, {{1, 2, 3}, {0, 0, 0}}, true, {{13, 2, 4}, {0, 90, 0}}},
        {"turn composed after the bone's",
         moved,
         {{0, 0, 0}, {0, 0, 90}},
         true,
         {{10, 0, 5}, {90, 0, 90}}},
        {"non-finite reference", broken, {{1, 2, 3}, {0, 0, 0}}, false, {}},
        {"non-finite bone", moved, {{nan, 2, 3}, {0, 0, 0}}, false, {}},
        {"result overflows", huge, {{1e10, 0, 0}, {0, 0, 0}}, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoneTransform result{{-1, -1, -1}, {-1, -1, -1}};
        ASSERT_EQ(applyReference(c.reference, c.bone, result), c.applies);
        if (!c.applies) {
            EXPECT_EQ(result.translation, glm::dvec3(-1.0));  // untouched
            continue;
        }
        EXPECT_TRUE(near(result.translation, c.expected.translation, 1e-9));
        const glm::dmat3 got = eulerXyzDegreesToMatrix(result.rotationDegrees);
        const glm::dmat3 want = eulerXyzDegreesToMatrix(c.expected.rotationDegrees);
        for (int column = 0; column < 3; ++column)
            EXPECT_TRUE(near(got[column], want[column], 1e-9));
    }
}

}  // namespace
}  // namespace telmora
