#include "sensor_frame.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace telmora {

namespace {

// Byte offsets of the fixed header.
constexpr std::size_t kVersionOffset = 1;
constexpr std::size_t kRootPositionOffset = 2;
constexpr std::size_t kBitStreamOffset = 14;
// The bit reader spans bytes 1..245 and starts at bit 0 of byte 14.
constexpr std::size_t kReaderFirstByte = 1;
constexpr std::size_t kReaderStartBit = (kBitStreamOffset - kReaderFirstByte) * 8;
constexpr int kQuaternionCount = 7;
constexpr unsigned kQuaternionBits = 44;
constexpr unsigned kComponentBits = 14;
constexpr unsigned kQuaternionFillerBits = 4;
constexpr float kComponentScale = 10000.0f;
constexpr float kScalarScale = 32767.0f;
// Targets 0..5 send seven values (position, pole, length), targets 6..15 four (no pole).
constexpr std::size_t kTargetValueCount = 6 * 7 + 10 * 4;
constexpr float kHipsHeightScale = 65535.0f;
constexpr float kMaxHipsHeight = 2.0f;

float readFloat32(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    std::uint8_t bytes[4] = {0, 0, 0, 0};
    if (offset + 4 <= size) {
        std::memcpy(bytes, data + offset, 4);
    } else {
        for (std::size_t i = 0; offset + i < size; ++i) bytes[i] = data[offset + i];
    }
    std::uint32_t bits =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void writeFloat32(std::uint8_t* out, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

// Sign-extends an n-bit two's complement field.
int signExtend(std::uint64_t field, unsigned bits) {
    const std::uint64_t signBit = std::uint64_t{1} << (bits - 1);
    return static_cast<int>(static_cast<std::int64_t>(field ^ signBit) -
                            static_cast<std::int64_t>(signBit));
}

// Quaternion components in wire order w, x, y, z.
std::array<float, 4> wxyz(const glm::quat& q) {
    return {q.w, q.x, q.y, q.z};
}

std::int16_t quantiseScalar(float value) {
    if (std::isnan(value)) return 0;
    const float steps = std::round(value * kScalarScale);
    return static_cast<std::int16_t>(std::clamp(steps, -32768.0f, 32767.0f));
}

std::uint16_t quantiseHipsHeight(float metres) {
    if (std::isnan(metres)) return 0;
    const float clamped = std::clamp(metres, 0.0f, kMaxHipsHeight);
    return static_cast<std::uint16_t>(std::round(clamped / kMaxHipsHeight * kHipsHeightScale));
}

// Little-endian bit writer, the mirror of FrameBitReader.
class FrameBitWriter {
public:
    FrameBitWriter(std::uint8_t* data, std::size_t startBit) : data_(data), position_(startBit) {}

    void write(std::uint64_t value, unsigned n) {
        for (unsigned k = 0; k < n; ++k, ++position_) {
            if ((value >> k) & 1u) data_[position_ / 8] |= std::uint8_t(1u << (position_ % 8));
        }
    }
    void skip(std::size_t n) { position_ += n; }

private:
    std::uint8_t* data_;
    std::size_t position_;
};

std::uint64_t loadLittleEndian64(const std::uint8_t* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

}  // namespace

std::uint64_t FrameBitReader::readBits(unsigned n) {
    const std::size_t byteIndex = position_ / 8;
    const unsigned shift = static_cast<unsigned>(position_ % 8);
    std::uint64_t word = 0;
    if (byteIndex + 8 <= sizeBytes_) {
        // Whole little-endian word available: one load instead of bit-by-bit reads.
        word = loadLittleEndian64(data_ + byteIndex);
    } else {
        for (std::size_t i = 0; i < 8 && byteIndex + i < sizeBytes_; ++i) {
            word |= std::uint64_t{data_[byteIndex + i]} << (8 * i);
        }
    }
    position_ += n;
    return (word >> shift) & ((std::uint64_t{1} << n) - 1);
}

std::uint16_t FrameBitReader::readUInt16() {
    const std::size_t byteIndex = position_ / 8;
    if (position_ % 8 == 0 && byteIndex + 2 <= sizeBytes_) {
        // Byte-aligned fast path: every field after the quaternions is aligned.
        position_ += 16;
        return static_cast<std::uint16_t>(data_[byteIndex] | data_[byteIndex + 1] << 8);
    }
    return static_cast<std::uint16_t>(readBits(16));
}

void FrameBitReader::readInt16Block(std::int16_t* out, std::size_t count) {
    const std::size_t byteIndex = position_ / 8;
    if (position_ % 8 != 0 || byteIndex + 2 * count > sizeBytes_) {
        for (std::size_t i = 0; i < count; ++i) out[i] = readInt16();
        return;
    }
    const std::uint8_t* bytes = data_ + byteIndex;
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    position_ += 16 * count;
}

glm::quat FrameBitReader::readQuaternion() {
    const std::uint64_t packed = readBits(kQuaternionBits);
    const unsigned omitted = static_cast<unsigned>(packed & 0x3u);
    const std::uint64_t fieldMask = (std::uint64_t{1} << kComponentBits) - 1;
    float e[3];
    for (int i = 0; i < 3; ++i) {
        const std::uint64_t field = (packed >> (2 + kComponentBits * i)) & fieldMask;
        e[i] = static_cast<float>(signExtend(field, kComponentBits)) / kComponentScale;
    }
    // The omitted component is never negative; the absolute value keeps an over-long
    // triple finite instead of an error.
    const float s = std::sqrt(std::fabs(1.0f - (e[0] * e[0] + e[1] * e[1] + e[2] * e[2])));
    switch (omitted) {
        case 0:
            return quatXYZW(e[0], e[1], e[2], s);
        case 1:
            return quatXYZW(s, e[1], e[2], e[0]);
        case 2:
            return quatXYZW(e[1], s, e[2], e[0]);
        default:
            return quatXYZW(e[1], e[2], s, e[0]);
    }
}

bool isCompleteSensorFrame(const std::uint8_t* data, std::size_t size) {
    return size >= kSensorFrameMinSize && data[0] == kSensorFramePacket;
}

SensorFrame decodeSensorFrame(const std::uint8_t* data, std::size_t size) {
    SensorFrame frame;
    if (size == 0) return frame;

    frame.formatVersion = size > kVersionOffset ? data[kVersionOffset] : 0;
    frame.rootPosition = glm::vec3(readFloat32(data, size, kRootPositionOffset),
                                   readFloat32(data, size, kRootPositionOffset + 4),
                                   readFloat32(data, size, kRootPositionOffset + 8));

    const std::size_t spanEnd = std::min(size, kSensorFrameMinSize);
    const std::size_t spanSize = spanEnd > kReaderFirstByte ? spanEnd - kReaderFirstByte : 0;
    FrameBitReader reader(data + kReaderFirstByte, spanSize, kReaderStartBit);

    glm::quat* const rotations[kQuaternionCount] = {
        &frame.hipsRotation,          &frame.leftHandRotation,  &frame.rightHandRotation,
        &frame.leftFootRotation,      &frame.rightFootRotation, &frame.leftShoulderRotation,
        &frame.rightShoulderRotation,
    };
    for (glm::quat* rotation : rotations) *rotation = reader.readQuaternion();
    reader.skip(kQuaternionFillerBits);

    // All scalars are byte-aligned int16 values: read them in one block, scale them in one
    // (vectorisable) pass, then place them.
    const std::size_t auxCount = frame.hasAuxValues() ? kAuxValueCount : 0;
    // The block is padded to a multiple of eight so the scaling loop needs no scalar tail.
    constexpr std::size_t kBlockSize = (kAuxValueCount + kTargetValueCount + 7) / 8 * 8;
    std::int16_t raw[kBlockSize] = {};
    float scaled[kBlockSize];
    reader.readInt16Block(raw, auxCount + kTargetValueCount);
    for (std::size_t i = 0; i < kBlockSize; ++i) scaled[i] = raw[i] / kScalarScale;

    const float* value = scaled;
    for (std::size_t i = 0; i < auxCount; ++i) frame.auxValues[i] = *value++;
    for (int t = 0; t < kChainTargetCount; ++t) {
        ChainTarget& target = frame.targets[t];
        target.position = glm::vec3(value[0], value[1], value[2]);
        value += 3;
        if (t <= kHeadTarget) {
            target.pole = glm::vec3(value[0], value[1], value[2]);
            value += 3;
        }
        target.length = *value++;
    }
    frame.hipsHeight = reader.readUInt16() / kHipsHeightScale * kMaxHipsHeight;
    frame.trailerByte = data[size - 1];
    return frame;
}

std::uint64_t packQuaternion(const glm::quat& q) {
    std::array<float, 4> c = wxyz(q);
    unsigned omitted = 0;
    for (unsigned i = 1; i < 4; ++i) {
        if (std::fabs(c[i]) > std::fabs(c[omitted])) omitted = i;
    }
    // The omitted component is rebuilt as non-negative: send the same rotation with it so.
    if (c[omitted] < 0.0f) {
        for (float& v : c) v = -v;
    }
    std::uint64_t packed = omitted;
    unsigned bit = 2;
    const std::uint64_t fieldMask = (std::uint64_t{1} << kComponentBits) - 1;
    for (unsigned i = 0; i < 4; ++i) {
        if (i == omitted) continue;
        const float v = std::isnan(c[i]) ? 0.0f : c[i];
        const float steps = std::clamp(std::round(v * kComponentScale), -8192.0f, 8191.0f);
        const auto raw = static_cast<std::uint64_t>(static_cast<std::int64_t>(steps)) & fieldMask;
        packed |= raw << bit;
        bit += kComponentBits;
    }
    return packed;
}

std::vector<std::uint8_t> encodeSensorFrame(const SensorFrame& frame, std::uint8_t version,
                                            std::size_t size) {
    std::vector<std::uint8_t> datagram(std::max(size, kSensorFrameMinSize), 0);
    datagram[0] = kSensorFramePacket;
    datagram[kVersionOffset] = version;
    writeFloat32(&datagram[kRootPositionOffset], frame.rootPosition.x);
    writeFloat32(&datagram[kRootPositionOffset + 4], frame.rootPosition.y);
    writeFloat32(&datagram[kRootPositionOffset + 8], frame.rootPosition.z);

    FrameBitWriter writer(&datagram[kReaderFirstByte], kReaderStartBit);
    const glm::quat rotations[kQuaternionCount] = {
        frame.hipsRotation,          frame.leftHandRotation,  frame.rightHandRotation,
        frame.leftFootRotation,      frame.rightFootRotation, frame.leftShoulderRotation,
        frame.rightShoulderRotation,
    };
    for (const glm::quat& rotation : rotations) {
        writer.write(packQuaternion(rotation), kQuaternionBits);
    }
    writer.skip(kQuaternionFillerBits);

    auto writeScalar = [&writer](float value) {
        writer.write(static_cast<std::uint16_t>(quantiseScalar(value)), 16);
    };
    if (version >= kAuxValuesVersion) {
        for (float value : frame.auxValues) writeScalar(value);
    }
    for (int t = 0; t < kChainTargetCount; ++t) {
        const ChainTarget& target = frame.targets[t];
        writeScalar(target.position.x);
        writeScalar(target.position.y);
        writeScalar(target.position.z);
        if (t <= kHeadTarget) {
            writeScalar(target.pole.x);
            writeScalar(target.pole.y);
            writeScalar(target.pole.z);
        }
        writeScalar(target.length);
    }
    writer.write(quantiseHipsHeight(frame.hipsHeight), 16);
    datagram.back() = frame.trailerByte;
    return datagram;
}

}  // namespace telmora
