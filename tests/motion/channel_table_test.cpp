#include "motion/channel_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

#include "common/glm_asserts.h"
#include "solver_test_support.h"

namespace telmora {
namespace {

using test::quatNear;
using test::rotationAngle;

glm::quat quatFromEulerDegrees(const glm::dvec3& degrees) {
    const glm::vec3 radians = glm::radians(glm::vec3(degrees));
    return glm::angleAxis(radians.z, glm::vec3(0, 0, 1)) *
           glm::angleAxis(radians.y, glm::vec3(0, 1, 0)) *
           glm::angleAxis(radians.x, glm::vec3(1, 0, 0));
}

TEST(QuatToEulerDegrees, KnownRotations) {
    struct Case {
        const char* name;
        glm::quat q;
        glm::dvec3 expected;
    };
    const float h = std::sqrt(0.5f);
    const Case cases[] = {
        {"identity", kIdentityQuat, {0, 0, 0}},
        {"90 about x", quatXYZW(h, 0, 0, h), {90, 0, 0}},
        {"90 about z", quatXYZW(0, 0, h, h), {0, 0, 90}},
    };
    for (const Case& c : cases) {
        const glm::dvec3 e = quatToEulerDegrees(c.q);
        EXPECT_NEAR(e.x, c.expected.x, 1e-4) << c.name;
        EXPECT_NEAR(e.y, c.expected.y, 1e-4) << c.name;
        EXPECT_NEAR(e.z, c.expected.z, 1e-4) << c.name;
    }
    // Unnormalised, with the pitch term past +-1: exactly +-90, never NaN. (rx and rz come out
    // as 180 each here, which at +-90 pitch is the same rotation.)
    for (float sign : {1.0f, -1.0f}) {
        const glm::dvec3 e = quatToEulerDegrees(quatXYZW(0, sign * 0.7072f, 0, 0.7072f));
        EXPECT_EQ(e.y, sign * 90.0);
        EXPECT_TRUE(std::isfinite(e.x) && std::isfinite(e.z));
    }
}

TEST(QuatToEulerDegrees, AnglesComeBackFromZYXRotations) {
    const glm::dvec3 angles[] = {{10, 20, 30}, {-170, 80, 45}, {179, -89, -179}, {0, 45, -120}};
    for (const glm::dvec3& a : angles) {
        const glm::dvec3 e = quatToEulerDegrees(quatFromEulerDegrees(a));
        EXPECT_NEAR(e.x, a.x, 0.05) << a.x << " " << a.y << " " << a.z;
        EXPECT_NEAR(e.y, a.y, 0.05);
        EXPECT_NEAR(e.z, a.z, 0.05);
    }
}

class ChannelTableTest : public ::testing::Test {
protected:
    static std::vector<std::uint8_t> datagramOf(const SensorFrame& frame) {
        return encodeSensorFrame(frame);
    }
    ChannelTable table;
};

TEST_F(ChannelTableTest, SetupBuildsTheDefaultTable) {
    EXPECT_EQ(table.channelCount(), 0);
    EXPECT_TRUE(table.SetupChannels());
    const ChannelSnapshot snap = table.snapshot();
    ASSERT_EQ(snap.channelCount, kMaxChannels);
    EXPECT_STREQ(snap.records[0].bone->name, "Hips");
    EXPECT_EQ(snap.records[0].parentIndex, -1);
    for (int i = 0; i < kMaxChannels; ++i) {
        const ChannelRecord& r = snap.records[i];
        EXPECT_EQ(r.bone, &table.skeleton().bones[i]);
        const glm::vec3 t(boneGlobalMatrix(table.skeleton(), i, true)[3]);
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(r.referenceTranslation[k], t[k], 1e-4) << i;
            EXPECT_EQ(r.translation[k], r.referenceTranslation[k]) << i;
            EXPECT_EQ(r.referenceRotation[k], 0.0) << i;
            EXPECT_EQ(r.rotation[k], 0.0) << i;
        }
    }
}

TEST_F(ChannelTableTest, SecondSetupRebuildsInsteadOfAppending) {
    table.SetupChannels();
    table.SetupChannels();
    EXPECT_EQ(table.skeleton().boneCount, kDefaultBoneCount);
    EXPECT_EQ(table.snapshot().channelCount, kMaxChannels);
    EXPECT_STREQ(table.snapshot().records[64].bone->name, "RightHandPinky4");
}

TEST_F(ChannelTableTest, FrameBeforeSetupIsDropped) {
    table.HandlePacket(datagramOf(test::standingFrame()));
    EXPECT_EQ(table.framesDropped(), 1u);
    EXPECT_EQ(table.framesSolved(), 0u);
    EXPECT_EQ(table.snapshot().channelCount, 0);
    EXPECT_EQ(table.snapshot().frameSequence, 0u);
}

TEST_F(ChannelTableTest, FrameWritesTheSolvedGlobalTransforms) {
    table.SetupChannels();
    const SensorFrame frame = test::standingFrame();
    const auto datagram = datagramOf(frame);
    table.HandlePacket(datagram);
    EXPECT_EQ(table.framesSolved(), 1u);
    const ChannelSnapshot snap = table.snapshot();
    EXPECT_EQ(snap.frameSequence, 2u);  // setup, then this frame

    Skeleton solved;
    BodySolver().solve(decodeSensorFrame(datagram), table.skeleton(), table.boneSlotMap(), solved);
    for (int i = 0; i < kMaxChannels; ++i) {
        const glm::mat4 m = boneGlobalMatrix(solved, i, true);
        const ChannelRecord& r = snap.records[i];
        EXPECT_TRUE(test::vecNear(glm::vec3(r.translation[0], r.translation[1], r.translation[2]),
                                  glm::vec3(m[3]), 1e-3f))
            << i;
        const glm::quat fromChannels =
            quatFromEulerDegrees({r.rotation[0], r.rotation[1], r.rotation[2]});
        EXPECT_LT(rotationAngle(fromChannels, glm::quat_cast(glm::mat3(m))), 1e-3f) << i;
    }
}

TEST_F(ChannelTableTest, SetupSlotsSurviveFrames) {
    table.SetupChannels();
    const ChannelSnapshot before = table.snapshot();
    for (int n = 0; n < 3; ++n) table.HandlePacket(datagramOf(test::standingFrame()));
    const ChannelSnapshot after = table.snapshot();
    for (int i = 0; i < kMaxChannels; ++i) {
        // Slots 0..7: bone, parent, reference translation and rotation.
        EXPECT_EQ(std::memcmp(&before.records[i], &after.records[i], 8 * 8), 0) << i;
    }
}

TEST_F(ChannelTableTest, BadFramesKeepTheLastGoodFrame) {
    table.SetupChannels();
    table.HandlePacket(datagramOf(test::standingFrame()));
    const ChannelSnapshot good = table.snapshot();

    SensorFrame moved = test::standingFrame();
    moved.rootPosition.x += 0.5f;
    auto shortDatagram = datagramOf(moved);
    shortDatagram.resize(kSensorFrameMinSize - 1);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<std::vector<std::uint8_t>> bad = {shortDatagram};
    for (float v : {nan, inf, -inf, 3.0e38f}) {  // 3e38 m is finite but not in cm
        SensorFrame f = moved;
        f.rootPosition.y = v;
        bad.push_back(datagramOf(f));
    }
    for (const auto& datagram : bad) table.HandlePacket(datagram);

    EXPECT_EQ(table.framesDropped(), bad.size());
    EXPECT_EQ(table.framesSolved(), 1u);
    const ChannelSnapshot after = table.snapshot();
    EXPECT_EQ(after.frameSequence, good.frameSequence);
    EXPECT_EQ(std::memcmp(&after.records, &good.records, sizeof good.records), 0);
}

TEST_F(ChannelTableTest, OtherPacketTypesChangeNothing) {
    table.SetupChannels();
    const ChannelSnapshot before = table.snapshot();
    for (std::uint8_t type :
         {std::uint8_t{7}, std::uint8_t{0}, std::uint8_t{254}, std::uint8_t{255}}) {
        std::vector<std::uint8_t> datagram = datagramOf(test::standingFrame());
        datagram[0] = type;
        table.HandlePacket(datagram);
    }
    table.HandlePacket({});
    EXPECT_EQ(table.framesSolved() + table.framesDropped(), 0u);
    EXPECT_EQ(table.snapshot().frameSequence, before.frameSequence);
}

// The one-pass evaluation against boneGlobalMatrix + glm::decompose, on solved poses.
TEST(ChannelValues, ForwardPassMatchesMatrixEvaluation) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> root(-2.0f, 2.0f);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<std::uint8_t> datagram = test::randomSensorDatagram(rng);
        for (int k = 0; k < 3; ++k) {
            const float v = root(rng);
            std::memcpy(&datagram[2 + 4 * k], &v, 4);
        }
        SensorFrame frame = decodeSensorFrame(datagram);
        if (trial % 2 == 0) frame = test::standingFrame();  // plausible poses too
        Skeleton solved;
        BodySolver().solve(frame, defaultSkeleton().skeleton, defaultSkeleton().slots, solved);
        ChannelRecord fast[kMaxChannels], literal[kMaxChannels];
        ASSERT_TRUE(writeChannelValues(solved, kMaxChannels, fast));
        ASSERT_TRUE(writeChannelValuesByMatrices(solved, kMaxChannels, literal));
        for (int i = 0; i < kMaxChannels; ++i) {
            for (int k = 0; k < 3; ++k) {
                ASSERT_NEAR(fast[i].translation[k], literal[i].translation[k], 2e-3)
                    << "trial " << trial << " bone " << i;
            }
            const glm::quat a = quatFromEulerDegrees(
                {fast[i].rotation[0], fast[i].rotation[1], fast[i].rotation[2]});
            const glm::quat b = quatFromEulerDegrees(
                {literal[i].rotation[0], literal[i].rotation[1], literal[i].rotation[2]});
            // Near ry = +-90 the asin amplifies a 1e-7 rounding difference of the quaternion to
            // some 5e-4 rad, so the bound is a tenth of a degree.
            ASSERT_LT(rotationAngle(a, b), glm::radians(0.1f)) << "trial " << trial << " " << i;
        }
    }
}

TEST(ChannelValues, BrokenParentChainIsRefused) {
    Skeleton s = defaultSkeleton().skeleton;
    s.bones[10].parent = 40;
    ChannelRecord records[kMaxChannels];
    EXPECT_FALSE(writeChannelValues(s, kMaxChannels, records));
}

// No datagram content reaches the channels as NaN or infinity.
TEST(ChannelTableFuzz, RandomDatagramsNeverPublishNonFiniteValues) {
    ChannelTable table;
    table.SetupChannels();
    std::mt19937 rng(99);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<std::uint8_t> datagram = test::randomSensorDatagram(rng);
        if (trial % 3 == 0) {  // mostly sane roots, so most frames get solved
            const float v = 0.5f;
            for (int k = 0; k < 3; ++k) std::memcpy(&datagram[2 + 4 * k], &v, 4);
        }
        table.HandlePacket(datagram);
        const ChannelSnapshot snap = table.snapshot();
        for (int i = 0; i < snap.channelCount; ++i) {
            for (int k = 0; k < 3; ++k) {
                ASSERT_TRUE(std::isfinite(snap.records[i].translation[k])) << trial;
                ASSERT_TRUE(std::isfinite(snap.records[i].rotation[k])) << trial;
            }
        }
    }
    EXPECT_GT(table.framesSolved(), 500u);
}

}  // namespace
}  // namespace telmora
