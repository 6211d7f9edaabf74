#include "motion/sensor_frame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "common/glm_asserts.h"

namespace telmora {
namespace {

using test::quatNear;
using test::vecNear;

constexpr float kScalarStep = 1.0f / 32767.0f;
constexpr float kHeightStep = 2.0f / 65535.0f;

std::vector<std::uint8_t> blankDatagram(std::uint8_t version, std::size_t size = 246) {
    std::vector<std::uint8_t> d(size, 0);
    d[0] = kSensorFramePacket;
    d[1] = version;
    return d;
}

void putInt16(std::vector<std::uint8_t>& d, std::size_t offset, std::uint16_t raw) {
    d[offset] = static_cast<std::uint8_t>(raw & 0xFF);
    d[offset + 1] = static_cast<std::uint8_t>(raw >> 8);
}

// Builds the 44-bit packed form from an index and three raw 14-bit fields.
std::uint64_t packed(unsigned index, int e1, int e2, int e3) {
    const std::uint64_t mask = 0x3FFF;
    return index | (static_cast<std::uint64_t>(e1) & mask) << 2 |
           (static_cast<std::uint64_t>(e2) & mask) << 16 |
           (static_cast<std::uint64_t>(e3) & mask) << 30;
}

glm::quat decodePacked(std::uint64_t bits) {
    std::uint8_t bytes[8] = {};
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    FrameBitReader reader(bytes, sizeof bytes, 0);
    return reader.readQuaternion();
}

TEST(FrameBitReader, PackedQuaternionCases) {
    struct Case {
        const char* what;
        std::uint64_t bits;
        glm::quat expected;
    };
    const Case cases[] = {
        {"w omitted, zero components", packed(0, 0, 0, 0), quatXYZW(0, 0, 0, 1)},
        {"x omitted, zero components", packed(1, 0, 0, 0), quatXYZW(1, 0, 0, 0)},
        {"y omitted, halves", packed(2, 5000, 5000, 5000), quatXYZW(0.5f, 0.5f, 0.5f, 0.5f)},
        {"z omitted", packed(3, 6000, 0, 0), quatXYZW(0, 0, 0.8f, 0.6f)},
        {"y omitted, negative x", packed(2, 0, -6000, 0), quatXYZW(-0.6f, 0.8f, 0, 0)},
    };
    for (const Case& c : cases) {
        const glm::quat q = decodePacked(c.bits);
        EXPECT_NEAR(q.x, c.expected.x, 1e-6f) << c.what;
        EXPECT_NEAR(q.y, c.expected.y, 1e-6f) << c.what;
        EXPECT_NEAR(q.z, c.expected.z, 1e-6f) << c.what;
        EXPECT_NEAR(q.w, c.expected.w, 1e-6f) << c.what;
    }
}

TEST(FrameBitReader, FourteenBitFieldsAreTwosComplement) {
    EXPECT_FLOAT_EQ(decodePacked(packed(0, 8192, 0, 0)).x, -0.8192f);
    EXPECT_FLOAT_EQ(decodePacked(packed(0, 8191, 0, 0)).x, 0.8191f);
    EXPECT_FLOAT_EQ(decodePacked(packed(0, 0x3FFF, 0, 0)).x, -0.0001f);
}

TEST(FrameBitReader, OverlongComponentsRebuildFromAbsoluteValue) {
    // 0.6^2 * 3 + ... : squares summing to 1.21 rebuild sqrt(0.21).
    const glm::quat q = decodePacked(packed(0, 6000, 6000, 7000));
    EXPECT_NEAR(q.w, std::sqrt(0.21f), 1e-5f);
    EXPECT_TRUE(std::isfinite(q.w));
}

TEST(FrameBitReader, ReadsPastTheSpanAsZero) {
    const std::uint8_t bytes[3] = {0xFF, 0xFF, 0xFF};
    FrameBitReader reader(bytes, sizeof bytes, 8);
    EXPECT_EQ(reader.readUInt16(), 0xFFFFu);
    EXPECT_EQ(reader.readUInt16(), 0u);
    EXPECT_EQ(reader.readInt16(), 0);
    reader.skip(1000);
    EXPECT_EQ(reader.readBits(44), 0u);
}

TEST(DecodeSensorFrame, ByteLevelHipsQuaternion) {
    std::vector<std::uint8_t> d = blankDatagram(2);
    const std::uint8_t bytes[] = {0x22, 0x4E, 0x88, 0x13, 0xE2, 0x04};
    std::memcpy(&d[14], bytes, sizeof bytes);
    const SensorFrame f = decodeSensorFrame(d);
    EXPECT_TRUE(quatNear(f.hipsRotation, quatXYZW(0.5f, 0.5f, 0.5f, 0.5f), 1e-6f));
    // The next quaternion is all zero bits: index 0, zero components, the identity.
    EXPECT_TRUE(quatNear(f.leftHandRotation, kIdentityQuat, 0.0f));
}

TEST(DecodeSensorFrame, RootPositionIsRawFloat32) {
    std::vector<std::uint8_t> d = blankDatagram(2);
    const float root[3] = {1.5f, -0.25f, 1e-3f};
    std::memcpy(&d[2], root, sizeof root);  // little-endian host
    const SensorFrame f = decodeSensorFrame(d);
    EXPECT_EQ(f.rootPosition, glm::vec3(1.5f, -0.25f, 1e-3f));
}

TEST(DecodeSensorFrame, ScalarScalings) {
    struct Case {
        std::uint16_t raw;
        float expected;
    };
    const Case cases[] = {{0x7FFF, 1.0f}, {0x8001, -1.0f}, {0x8000, -1.0000305f}, {0, 0.0f}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> d = blankDatagram(2);
        putInt16(d, 77, c.raw);
        EXPECT_FLOAT_EQ(decodeSensorFrame(d).targets[0].position.x, c.expected) << c.raw;
    }
    std::vector<std::uint8_t> d = blankDatagram(2);
    putInt16(d, 241, 65535);
    EXPECT_FLOAT_EQ(decodeSensorFrame(d).hipsHeight, 2.0f);
    putInt16(d, 241, 0);
    EXPECT_FLOAT_EQ(decodeSensorFrame(d).hipsHeight, 0.0f);
}

TEST(DecodeSensorFrame, VersionMovesTheAuxiliaryBlock) {
    struct Case {
        std::uint8_t version;
        std::size_t firstTarget;
        std::size_t hipsHeight;
        bool aux;
    };
    const Case cases[] = {
        {0, 53, 217, false}, {1, 53, 217, false}, {2, 77, 241, true}, {255, 77, 241, true}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> d = blankDatagram(c.version);
        putInt16(d, c.firstTarget, 0x7FFF);
        putInt16(d, c.hipsHeight, 65535);
        const SensorFrame f = decodeSensorFrame(d);
        EXPECT_FLOAT_EQ(f.targets[0].position.x, 1.0f) << int(c.version);
        EXPECT_FLOAT_EQ(f.hipsHeight, 2.0f) << int(c.version);
        EXPECT_EQ(f.formatVersion, c.version);
        EXPECT_EQ(f.hasAuxValues(), c.aux) << int(c.version);
    }
}

TEST(DecodeSensorFrame, OldVersionsCarryNoAuxValues) {
    // In a version-1 datagram the bytes at 53.. are chain targets, never shoulder points.
    std::vector<std::uint8_t> d = blankDatagram(1);
    for (std::size_t i = 53; i < 77; ++i) d[i] = 0x40;
    const SensorFrame f = decodeSensorFrame(d);
    EXPECT_FALSE(f.hasAuxValues());
    for (float v : f.auxValues) EXPECT_EQ(v, 0.0f);
}

TEST(DecodeSensorFrame, FingerPolesStayZero) {
    std::vector<std::uint8_t> d = blankDatagram(2);
    for (std::size_t i = 77; i < 241; ++i) d[i] = 0x11;
    const SensorFrame f = decodeSensorFrame(d);
    for (int t = kLeftThumbTarget; t < kChainTargetCount; ++t) {
        EXPECT_EQ(f.targets[t].pole, glm::vec3(0.0f)) << t;
        EXPECT_NE(f.targets[t].length, 0.0f) << t;
    }
}

TEST(DecodeSensorFrame, LongerDatagramOnlyChangesTrailer) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> d(300);
    for (auto& b : d) b = static_cast<std::uint8_t>(rng());
    d[0] = kSensorFramePacket;
    d[1] = 2;
    std::vector<std::uint8_t> head(d.begin(), d.begin() + 246);
    const SensorFrame longFrame = decodeSensorFrame(d);
    const SensorFrame shortFrame = decodeSensorFrame(head);
    EXPECT_EQ(longFrame.trailerByte, d[299]);
    EXPECT_EQ(shortFrame.trailerByte, d[245]);
    EXPECT_EQ(std::memcmp(&longFrame.targets, &shortFrame.targets, sizeof longFrame.targets), 0);
    EXPECT_EQ(longFrame.hipsHeight, shortFrame.hipsHeight);
    EXPECT_EQ(longFrame.hipsRotation, shortFrame.hipsRotation);
}

TEST(DecodeSensorFrame, ShortDatagramsAreRejectedAndStillSafe) {
    // Every truncation of a full frame: the completeness check refuses it, and decoding it
    // anyway reads only its own bytes (ASan would report otherwise).
    std::vector<std::uint8_t> full(246, 0xA5);
    full[0] = kSensorFramePacket;
    full[1] = 2;
    for (std::size_t size = 1; size < full.size(); ++size) {
        std::vector<std::uint8_t> cut(full.begin(), full.begin() + size);
        EXPECT_FALSE(isCompleteSensorFrame(cut)) << size;
        const SensorFrame f = decodeSensorFrame(cut);
        EXPECT_EQ(f.trailerByte, cut.back()) << size;
    }
    EXPECT_TRUE(isCompleteSensorFrame(full));
    full[0] = 7;
    EXPECT_FALSE(isCompleteSensorFrame(full));
}

SensorFrame randomFrame(std::mt19937& rng) {
    std::uniform_real_distribution<float> scalar(-1.0f, 1.0f);
    std::uniform_real_distribution<float> height(0.0f, 2.0f);
    std::normal_distribution<float> gauss;
    auto rotation = [&] {
        return glm::normalize(quatXYZW(gauss(rng), gauss(rng), gauss(rng), gauss(rng)));
    };
    SensorFrame f;
    f.formatVersion = 2;
    f.rootPosition = glm::vec3(scalar(rng) * 5, scalar(rng) * 2, scalar(rng) * 5);
    for (glm::quat* q :
         {&f.hipsRotation, &f.leftHandRotation, &f.rightHandRotation, &f.leftFootRotation,
          &f.rightFootRotation, &f.leftShoulderRotation, &f.rightShoulderRotation}) {
        *q = rotation();
    }
    for (float& v : f.auxValues) v = scalar(rng);
    for (int t = 0; t < kChainTargetCount; ++t) {
        f.targets[t].position = glm::vec3(scalar(rng), scalar(rng), scalar(rng));
        if (t <= kHeadTarget) f.targets[t].pole = glm::vec3(scalar(rng), scalar(rng), scalar(rng));
        f.targets[t].length = scalar(rng);
    }
    f.hipsHeight = height(rng);
    f.trailerByte = static_cast<std::uint8_t>(rng());
    return f;
}

TEST(EncodeSensorFrame, SeededRandomRoundTrip) {
    std::mt19937 rng(20261208);
    for (int iteration = 0; iteration < 2000; ++iteration) {
        const SensorFrame f = randomFrame(rng);
        const std::vector<std::uint8_t> d = encodeSensorFrame(f);
        ASSERT_EQ(d.size(), kSensorFrameMinSize);
        ASSERT_TRUE(isCompleteSensorFrame(d));
        const SensorFrame g = decodeSensorFrame(d);
        EXPECT_EQ(g.rootPosition, f.rootPosition);
        // A 14-bit component step is 1e-4; the rebuilt one carries that error a few times over.
        EXPECT_TRUE(quatNear(g.hipsRotation, f.hipsRotation, 4e-4f)) << iteration;
        EXPECT_TRUE(quatNear(g.leftHandRotation, f.leftHandRotation, 4e-4f)) << iteration;
        EXPECT_TRUE(quatNear(g.rightShoulderRotation, f.rightShoulderRotation, 4e-4f));
        for (int i = 0; i < kAuxValueCount; ++i) {
            EXPECT_NEAR(g.auxValues[i], f.auxValues[i], kScalarStep) << i;
        }
        for (int t = 0; t < kChainTargetCount; ++t) {
            EXPECT_TRUE(vecNear(g.targets[t].position, f.targets[t].position, 1.8f * kScalarStep));
            EXPECT_TRUE(vecNear(g.targets[t].pole, f.targets[t].pole, 1.8f * kScalarStep));
            EXPECT_NEAR(g.targets[t].length, f.targets[t].length, kScalarStep);
        }
        EXPECT_NEAR(g.hipsHeight, f.hipsHeight, kHeightStep);
        EXPECT_EQ(g.trailerByte, f.trailerByte);
        EXPECT_EQ(g.formatVersion, 2);
    }
}

TEST(EncodeSensorFrame, ClampsOutOfRangeValues) {
    SensorFrame f;
    f.targets[0].position = glm::vec3(3.0f, -3.0f, 0.0f);
    f.hipsHeight = 5.0f;
    SensorFrame g = decodeSensorFrame(encodeSensorFrame(f));
    EXPECT_FLOAT_EQ(g.targets[0].position.x, 1.0f);
    EXPECT_FLOAT_EQ(g.targets[0].position.y, -1.0000305f);
    EXPECT_FLOAT_EQ(g.hipsHeight, 2.0f);
    f.hipsHeight = -1.0f;
    g = decodeSensorFrame(encodeSensorFrame(f));
    EXPECT_FLOAT_EQ(g.hipsHeight, 0.0f);
}

TEST(EncodeSensorFrame, NegativeLargestComponentSendsTheSameRotation) {
    // -w largest: the encoder negates the whole quaternion, the decoder rebuilds w >= 0.
    SensorFrame f;
    f.hipsRotation = glm::normalize(quatXYZW(0.1f, -0.2f, 0.3f, -0.9f));
    const SensorFrame g = decodeSensorFrame(encodeSensorFrame(f));
    EXPECT_GE(g.hipsRotation.w, 0.0f);
    EXPECT_TRUE(quatNear(g.hipsRotation, f.hipsRotation, 3e-4f));
}

TEST(EncodeSensorFrame, VersionOneLayoutAndLongerDatagrams) {
    std::mt19937 rng(11);
    const SensorFrame f = randomFrame(rng);
    const std::vector<std::uint8_t> d = encodeSensorFrame(f, 1, 300);
    ASSERT_EQ(d.size(), 300u);
    const SensorFrame g = decodeSensorFrame(d);
    EXPECT_FALSE(g.hasAuxValues());
    EXPECT_NEAR(g.targets[15].length, f.targets[15].length, kScalarStep);
    EXPECT_NEAR(g.hipsHeight, f.hipsHeight, kHeightStep);
    EXPECT_EQ(g.trailerByte, f.trailerByte);
}

}  // namespace
}  // namespace telmora
