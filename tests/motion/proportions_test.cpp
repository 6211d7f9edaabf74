#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/glm_asserts.h"
#include "motion/body_solver.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

using test::bone;
using test::vecNear;

void fit(PoseNodeList& nodes, const BoneSlotMap& slots, const SensorFrame& frame) {
    EXPECT_TRUE((ProportionJob{&frame, &slots, &nodes}.Run()));
}

float worldDistance(const PoseNodeList& nodes, const char* a, const char* b) {
    return glm::length(nodes.worldPosition(bone(a)) - nodes.worldPosition(bone(b)));
}

float shoulderWidth(const PoseNodeList& nodes) {
    return worldDistance(nodes, "LeftArm", "RightArm");
}

float spineLength(const PoseNodeList& nodes) {
    const glm::vec3 hips =
        (nodes.worldPosition(bone("LeftUpLeg")) + nodes.worldPosition(bone("RightUpLeg"))) * 0.5f;
    const glm::vec3 shoulders =
        (nodes.worldPosition(bone("LeftArm")) + nodes.worldPosition(bone("RightArm"))) * 0.5f;
    return glm::length(shoulders - hips);
}

SensorFrame measuredFrame() {
    SensorFrame f;  // already in the skeleton's axes, spine doubled, as the solver hands it
    f.formatVersion = 2;
    f.targets[kLeftArmTarget].length = 0.6f;
    f.targets[kRightArmTarget].length = 0.62f;
    f.targets[kLeftLegTarget].length = 0.8f;
    f.targets[kRightLegTarget].length = 0.84f;
    f.targets[kSpineTarget] = {{0.0f, 0.5f, 0.0f}, {0.0f, 0.0f, -1.0f}, 0.5f};
    f.targets[kRightIndexTarget].length = 0.09f;
    f.auxValues[6] = 0.2f;  // shoulder points 0.4 m apart
    f.auxValues[9] = -0.2f;
    return f;
}

TEST(FitProportions, LimbSegmentsTakeHalfTheMeanLimbLength) {
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
    fit(nodes, defaultSkeleton().slots, measuredFrame());
    for (auto [a, b] : {std::pair{"LeftArm", "LeftForeArm"},
                        {"LeftForeArm", "LeftHand"},
                        {"RightArm", "RightForeArm"},
                        {"RightForeArm", "RightHand"}}) {
        EXPECT_NEAR(worldDistance(nodes, a, b), 30.5f, 1e-3f) << a;
    }
    for (auto [a, b] : {std::pair{"LeftUpLeg", "LeftLeg"},
                        {"LeftLeg", "LeftFoot"},
                        {"RightUpLeg", "RightLeg"},
                        {"RightLeg", "RightFoot"}}) {
        EXPECT_NEAR(worldDistance(nodes, a, b), 41.0f, 1e-3f) << a;
    }
}

// The spine stretch scales the vertical parts of the three spine offsets by the ratio of the
// performer's spine length to the character's hips-to-shoulders distance; the shoulder and
// hip offsets do not stretch, so the distance itself only moves towards the performer's.
void expectSpineStretch(const SensorFrame& frame, float performerCm) {
    const PoseNodeList original(defaultSkeleton().skeleton, 1.0f);
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
    fit(nodes, defaultSkeleton().slots, frame);
    const float k = performerCm / spineLength(original);
    for (const char* name : {"Spine", "Spine1", "Spine2"}) {
        const glm::vec3 before = original[bone(name)].position;
        const glm::vec3 after = nodes[bone(name)].position;
        EXPECT_FLOAT_EQ(after.x, before.x) << name;
        EXPECT_FLOAT_EQ(after.z, before.z) << name;
        EXPECT_NEAR(after.y, before.y * k, 1e-4f) << name;
    }
    EXPECT_LT(std::fabs(spineLength(nodes) - performerCm),
              std::fabs(spineLength(original) - performerCm));
}

TEST(FitProportions, SpineStretchesTowardsThePerformersAndShouldersMatch) {
    expectSpineStretch(measuredFrame(), 50.0f);
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
    fit(nodes, defaultSkeleton().slots, measuredFrame());
    EXPECT_NEAR(shoulderWidth(nodes), 40.0f, 1e-3f);
}

TEST(FitProportions, WithoutRightIndexLengthTheSpineCountsHalf) {
    SensorFrame frame = measuredFrame();
    frame.targets[kRightIndexTarget].length = 0.0f;
    expectSpineStretch(frame, 25.0f);
}

TEST(FitProportions, ShoulderWidthNeedsAuxiliaryValues) {
    const PoseNodeList original(defaultSkeleton().skeleton, 1.0f);
    struct Case {
        const char* name;
        std::uint8_t version;
        bool zeroPoints;
    };
    for (const Case& c : {Case{"version 1", 1, false}, Case{"version 0", 0, false},
                          Case{"coincident shoulder points", 2, true}}) {
        SensorFrame frame = measuredFrame();
        frame.formatVersion = c.version;
        if (c.zeroPoints) frame.auxValues.fill(0.0f);
        PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
        fit(nodes, defaultSkeleton().slots, frame);
        EXPECT_NEAR(shoulderWidth(nodes), shoulderWidth(original), 1e-3f) << c.name;
    }
}

TEST(FitProportions, MissingTrunkSlotSkipsSpineAndShouldersButNotLimbs) {
    BoneSlotMap slots = defaultSkeleton().slots;
    slots[kSpine1Slot] = -1;
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
    const PoseNodeList original(defaultSkeleton().skeleton, 1.0f);
    fit(nodes, slots, measuredFrame());
    EXPECT_NEAR(spineLength(nodes), spineLength(original), 1e-3f);
    EXPECT_NEAR(shoulderWidth(nodes), shoulderWidth(original), 1e-3f);
    EXPECT_NEAR(worldDistance(nodes, "LeftArm", "LeftForeArm"), 30.5f, 1e-3f);
}

TEST(FitProportions, ZeroSpineTargetStillSetsAFiniteShoulderWidth) {
    SensorFrame frame = measuredFrame();
    frame.targets[kSpineTarget].position = glm::vec3(0.0f);
    PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
    fit(nodes, defaultSkeleton().slots, frame);
    EXPECT_NEAR(shoulderWidth(nodes), 40.0f, 1e-3f);
}

// A length from the wire that is not positive and finite (zero, negative, NaN) leaves the
// segments it would set as the skeleton has them; the frame's other segments are still fitted.
TEST(FitProportions, LengthsThatAreNotPositiveAndFiniteLeaveTheirSegments) {
    struct Chain {
        const char* name;
        int target;
        std::vector<const char*> carriers;  // nodes whose offset is the chain's segments
        const char* stillFitted;            // a carrier of another chain
    };
    const std::vector<Chain> chains = {
        {"left arm",
         kLeftArmTarget,
         {"LeftForeArm", "LeftHand", "RightForeArm", "RightHand"},
         "LeftLeg"},
        {"right arm",
         kRightArmTarget,
         {"LeftForeArm", "LeftHand", "RightForeArm", "RightHand"},
         "RightLeg"},
        {"left leg",
         kLeftLegTarget,
         {"LeftLeg", "LeftFoot", "RightLeg", "RightFoot"},
         "LeftForeArm"},
        {"right leg",
         kRightLegTarget,
         {"LeftLeg", "LeftFoot", "RightLeg", "RightFoot"},
         "RightHand"},
        {"spine", kSpineTarget, {"Spine", "Spine1", "Spine2"}, "LeftFoot"},
    };
    const PoseNodeList original(defaultSkeleton().skeleton, 1.0f);
    for (const Chain& chain : chains) {
        for (float length : {0.0f, -0.4f, std::numeric_limits<float>::quiet_NaN()}) {
            SCOPED_TRACE(std::string(chain.name) + " length " + std::to_string(length));
            SensorFrame frame = measuredFrame();
            frame.targets[chain.target].length = length;
            PoseNodeList nodes(defaultSkeleton().skeleton, 1.0f);
            fit(nodes, defaultSkeleton().slots, frame);
            for (const char* carrier : chain.carriers) {
                EXPECT_EQ(nodes[bone(carrier)].position, original[bone(carrier)].position)
                    << carrier;
            }
            EXPECT_NE(nodes[bone(chain.stillFitted)].position,
                      original[bone(chain.stillFitted)].position);
        }
    }
}

}  // namespace
}  // namespace telmora
