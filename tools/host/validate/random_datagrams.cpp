#include "tools/host/validate/random_datagrams.h"

#include "motion/glm_conventions.h"
#include "motion/sensor_frame.h"
#include "network/protocol.h"

namespace telmora::host {

namespace {

// Texts a broken or hostile server might announce: cut short, of the wrong shape, with values
// out of range, of the wrong type, with trailing text or comments, nested beyond any parser's
// patience.
const std::vector<std::string>& jsonTexts() {
    static const std::vector<std::string> texts = {
        "{",
        "}",
        "null",
        "[]",
        "{\"serverName\": 5}",
        "{\"serverName\": \"X\"}",
        "{\"serverName\": \"X\", \"streamPort\": -1, \"subjects\": []}",
        "{\"serverName\": \"X\", \"streamPort\": 70000, \"subjects\": [\"a\"]}",
        "{\"serverName\": \"X\", \"streamPort\": 5000, \"subjects\": \"a\"}",
        "{\"serverName\": \"X\", \"streamPort\": 5000, \"subjects\": [1, 2]}",
        "{\"serverName\": \"X\", \"streamPort\": 5000.5, \"subjects\": [\"a\"]}",
        "{\"serverName\": \"\\u0000\\u00ff\", \"streamPort\": 5000, \"subjects\": [\"\"]}",
        "{\"serverName\": \"Validator Fake\", \"streamPort\": 1, \"subjects\": [\"fake\"]} x",
        "/* comment */ {\"serverName\": \"Y\", \"streamPort\": 5000, \"subjects\": [\"a\"]}",
        std::string(5000, '['),
    };
    return texts;
}

constexpr int kMinFrame = static_cast<int>(kSensorFrameMinSize);
constexpr int kMaxDatagram = static_cast<int>(kMaxStreamDatagramSize);

}  // namespace

RandomDatagrams::RandomDatagrams(std::mt19937_64& random,
                                 std::vector<std::vector<std::uint8_t>> validFrames)
    : random_(random), validFrames_(std::move(validFrames)) {}

int RandomDatagrams::uniform(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
}

std::vector<std::uint8_t> RandomDatagrams::randomBytes(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(uniform(0, 255));
    return bytes;
}

std::vector<std::uint8_t> RandomDatagrams::extremeFrame() {
    SensorFrame frame;
    const float edges[] = {0.0f, 1e-30f, -1e-30f, 1e6f, -1e6f, 3.4e38f, -3.4e38f, 1.0f};
    auto edge = [&] { return edges[uniform(0, 7)]; };
    frame.rootPosition = {edge(), edge(), edge()};
    for (glm::quat* q : {&frame.hipsRotation, &frame.leftHandRotation, &frame.rightHandRotation,
                         &frame.leftFootRotation, &frame.rightFootRotation,
                         &frame.leftShoulderRotation, &frame.rightShoulderRotation}) {
        *q = quatXYZW(edge(), edge(), edge(), edge());
    }
    for (float& v : frame.auxValues) v = edge();
    for (ChainTarget& target : frame.targets) {
        target.position = {edge(), edge(), edge()};
        target.pole = {edge(), edge(), edge()};
        target.length = edge();
    }
    frame.hipsHeight = edge();
    const auto size = static_cast<std::size_t>(uniform(kMinFrame, kMaxDatagram));
    return encodeSensorFrame(frame, static_cast<std::uint8_t>(uniform(0, 255)), size);
}

RandomDatagram RandomDatagrams::streamDatagram() {
    RandomDatagram d;
    switch (uniform(0, validFrames_.empty() ? 3 : 4)) {
        case 0:  // garbage of any length, past the largest datagram read
            d = {"random bytes", randomBytes(static_cast<std::size_t>(uniform(0, 6000)))};
            break;
        case 1:  // a sensor frame cut short
            d = {"short frame", encodeSensorFrame(SensorFrame{})};
            d.bytes.resize(static_cast<std::size_t>(uniform(1, kMinFrame - 1)));
            break;
        case 2:  // a whole frame of random bits
            d = {"random frame",
                 randomBytes(static_cast<std::size_t>(uniform(kMinFrame, kMaxDatagram)))};
            d.bytes[0] = kSensorFramePacket;
            break;
        case 3:
            d = {"extreme frame", extremeFrame()};
            break;
        default: {
            d.kind = "valid frame, long";
            d.bytes = validFrames_[static_cast<std::size_t>(
                uniform(0, static_cast<int>(validFrames_.size()) - 1))];
            const auto size = static_cast<std::size_t>(uniform(kMinFrame, kMaxDatagram));
            d.bytes.resize(size, static_cast<std::uint8_t>(uniform(0, 255)));
            break;
        }
    }
    if (isEndOfStream(d.bytes.data(), d.bytes.size())) d.bytes[0] = kEndOfStreamByte - 1;
    return d;
}

std::vector<std::uint8_t> RandomDatagrams::announcement() {
    if (uniform(0, 2) == 0) return randomBytes(static_cast<std::size_t>(uniform(0, 5000)));
    const std::vector<std::string>& texts = jsonTexts();
    const std::string& text =
        texts[static_cast<std::size_t>(uniform(0, static_cast<int>(texts.size()) - 1))];
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> standingFrame(float x) {
    SensorFrame frame;
    frame.rootPosition = {x, 0.95f, 0.0f};
    frame.hipsHeight = 0.95f;
    for (ChainTarget& target : frame.targets) target.length = 0.4f;
    frame.targets[kLeftLegTarget].position = {0.0f, -0.85f, 0.0f};
    frame.targets[kRightLegTarget].position = {0.0f, -0.85f, 0.0f};
    frame.targets[kLeftLegTarget].length = frame.targets[kRightLegTarget].length = 0.9f;
    return encodeSensorFrame(frame);
}

}  // namespace telmora::host
