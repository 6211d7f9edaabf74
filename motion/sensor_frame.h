#pragma once
// The sensor frame datagram (packet type 6): wire layout, decoder and encoder.
//
// Layout, little-endian, offsets from byte 0:
//   0 type (6) | 1 format version | 2..13 root position, 3 x float32 (metres, sender's axes)
//   14..52 bit stream: seven 44-bit packed quaternions + 4 filler bits
//   53..76 twelve int16 auxiliary values (version 2 and later only)
//   then 82 int16 chain target values and one uint16 hips height, then filler up to offset 245.
//   The datagram's last byte is copied into trailerByte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "glm_conventions.h"

namespace telmora {

constexpr std::uint8_t kSensorFramePacket = 6;
// Bytes 0..245 must be present: a shorter type-6 datagram is not a sensor frame.
constexpr std::size_t kSensorFrameMinSize = 246;
// Version from which the auxiliary block is on the wire.
constexpr std::uint8_t kAuxValuesVersion = 2;
constexpr int kChainTargetCount = 16;
constexpr int kAuxValueCount = 12;

// Chain target indices.
enum ChainIndex : int {
    kLeftArmTarget = 0,
    kRightArmTarget = 1,
    kLeftLegTarget = 2,
    kRightLegTarget = 3,
    kSpineTarget = 4,
    kHeadTarget = 5,
    kLeftThumbTarget = 6,
    kRightThumbTarget = 7,
    kLeftIndexTarget = 8,
    kRightIndexTarget = 9,
    kLeftMiddleTarget = 10,
    kRightMiddleTarget = 11,
    kLeftRingTarget = 12,
    kRightRingTarget = 13,
    kLeftPinkyTarget = 14,
    kRightPinkyTarget = 15,
};

// One chain's target, in the sender's axes.
struct ChainTarget {
    // Where the chain's end should be, relative to the chain's root joint, metres.
    glm::vec3 position{0.0f};
    // Bend direction (elbow/knee direction for limbs; bow and up direction for spine and head).
    // Not sent for fingers (targets 6..15), where it stays zero.
    glm::vec3 pole{0.0f};
    // The performer's own length of the chain, metres (limbs: upper plus lower segment).
    float length = 0.0f;
};

// One decoded sensor frame. The spine target (4) is stored at the half scale it is sent at.
struct SensorFrame {
    // Hips position, metres, sender's axes.
    glm::vec3 rootPosition{0.0f};
    // World rotations applied on top of the rest orientations, stored x, y, z, w.
    glm::quat hipsRotation = kIdentityQuat;
    glm::quat leftHandRotation = kIdentityQuat;
    glm::quat rightHandRotation = kIdentityQuat;
    glm::quat leftFootRotation = kIdentityQuat;
    glm::quat rightFootRotation = kIdentityQuat;
    glm::quat leftShoulderRotation = kIdentityQuat;
    glm::quat rightShoulderRotation = kIdentityQuat;
    // Version 2+: [6..8] and [9..11] are the performer's two shoulder points, metres.
    // [0..5] are unused. All zero when the frame carries none (see hasAuxValues()).
    std::array<float, kAuxValueCount> auxValues{};
    std::array<ChainTarget, kChainTargetCount> targets{};
    // Performer's hip height, metres, 0..2; -1 until decoded. 0 or less means "no pose".
    float hipsHeight = -1.0f;
    // Copy of the datagram's last byte; informational only.
    std::uint8_t trailerByte = 0;
    // The datagram's format version byte (byte 1).
    std::uint8_t formatVersion = 0;

    // True when the frame's format carries the auxiliary block (shoulder points).
    bool hasAuxValues() const { return formatVersion >= kAuxValuesVersion; }
};

// Little-endian bit reader over a byte span. Reads past the end of the span yield zero bits,
// so no input length can make it read out of bounds.
class FrameBitReader {
public:
    FrameBitReader(const std::uint8_t* data, std::size_t sizeBytes, std::size_t startBit)
        : data_(data), sizeBytes_(sizeBytes), position_(startBit) {}

    // Next n bits (n <= 57), least significant bit first.
    std::uint64_t readBits(unsigned n);
    std::int16_t readInt16() { return static_cast<std::int16_t>(readUInt16()); }
    std::uint16_t readUInt16();
    // Next 44 bits as a packed quaternion (2-bit omitted index, three 14-bit components).
    glm::quat readQuaternion();
    // Next `count` int16 values; one pass when they are byte-aligned and inside the span.
    void readInt16Block(std::int16_t* out, std::size_t count);
    void skip(std::size_t n) { position_ += n; }
    std::size_t position() const { return position_; }

private:
    const std::uint8_t* data_;
    std::size_t sizeBytes_;
    std::size_t position_;
};

// True when a datagram is a complete sensor frame: type 6 and at least 246 bytes.
bool isCompleteSensorFrame(const std::uint8_t* data, std::size_t size);
inline bool isCompleteSensorFrame(const std::vector<std::uint8_t>& datagram) {
    return isCompleteSensorFrame(datagram.data(), datagram.size());
}

// Decodes one whole datagram (byte 0 included). Never reads out of bounds: bytes missing from
// a short datagram read as zero. Byte 0 is not checked.
SensorFrame decodeSensorFrame(const std::uint8_t* data, std::size_t size);
inline SensorFrame decodeSensorFrame(const std::vector<std::uint8_t>& datagram) {
    return decodeSensorFrame(datagram.data(), datagram.size());
}

// Exact inverse of the decoder. `version` 2 or later writes the auxiliary block; `size` is the
// datagram length (at least 246; the last byte carries trailerByte). Scalars round to the
// nearest step and clamp to their integer range; hipsHeight clamps to 0..2 m.
std::vector<std::uint8_t> encodeSensorFrame(const SensorFrame& frame,
                                            std::uint8_t version = kAuxValuesVersion,
                                            std::size_t size = kSensorFrameMinSize);

// Packs a quaternion into the 44-bit form (returned in the low 44 bits).
std::uint64_t packQuaternion(const glm::quat& q);

}  // namespace telmora
