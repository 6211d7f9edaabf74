#include "capi/live_stream.h"

#include <algorithm>
#include <cmath>
#include <glm/gtc/quaternion.hpp>

#include "live/channel_output.h"
#include "network/protocol.h"

namespace telmora {
namespace {

// The rotation of Euler angles in degrees, R = Rz(z) Ry(y) Rx(x), as a unit quaternion.
void eulerXyzDegreesToQuaternion(const double* degrees, double* wxyz) {
    const glm::dquat q = glm::normalize(
        glm::quat_cast(eulerXyzDegreesToMatrix(glm::dvec3(degrees[0], degrees[1], degrees[2]))));
    wxyz[0] = q.w;
    wxyz[1] = q.x;
    wxyz[2] = q.y;
    wxyz[3] = q.z;
}

// Row-major 4x4 (Blender's order) to glm's column-major.
glm::dmat4 fromRowMajor(const double* m) {
    glm::dmat4 out;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) out[col][row] = m[4 * row + col];
    return out;
}

// Channel axes (y up) to Blender's (z up): (x, y, z) -> (x, -z, y).
const glm::dmat3 kToBlender(glm::dvec3(1, 0, 0), glm::dvec3(0, 0, 1), glm::dvec3(0, -1, 0));

}  // namespace

void armaturePose(std::size_t boneCount, const double* restMatrices, const int* parents,
                  const double* translations, const double* rotations, double* locations,
                  double* quaternions) {
    std::vector<glm::dmat4> posed(boneCount), rest(boneCount);
    for (std::size_t b = 0; b < boneCount; ++b) {
        rest[b] = fromRowMajor(restMatrices + 16 * b);
        const double* q = rotations + 4 * b;
        const glm::dmat3 channel = glm::mat3_cast(glm::dquat(q[0], q[1], q[2], q[3]));
        // The bone's frame at rest, turned by the channel's rotation (both in Blender's axes),
        // and moved to the channel's translation.
        const glm::dmat3 turned =
            kToBlender * channel * glm::transpose(kToBlender) * glm::dmat3(rest[b]);
        posed[b] = glm::dmat4(turned);
        const double* t = translations + 3 * b;
        posed[b][3] = glm::dvec4(kToBlender * glm::dvec3(t[0], t[1], t[2]) / 100.0, 1.0);
        // Pose matrix = parent's pose * (parent's rest)^-1 * rest * basis.
        const int parent = parents[b];
        glm::dmat4 local = glm::inverse(rest[b]);
        if (parent >= 0 && static_cast<std::size_t>(parent) < b)
            local = local * rest[static_cast<std::size_t>(parent)] *
                    glm::inverse(posed[static_cast<std::size_t>(parent)]);
        const glm::dmat4 m = local * posed[b];
        double* location = locations + 3 * b;
        location[0] = m[3][0];
        location[1] = m[3][1];
        location[2] = m[3][2];
        const glm::dquat r = glm::normalize(glm::quat_cast(glm::dmat3(m)));
        double* quaternion = quaternions + 4 * b;
        quaternion[0] = r.w;
        quaternion[1] = r.x;
        quaternion[2] = r.y;
        quaternion[3] = r.z;
    }
}

std::vector<SkeletonBone> defaultSkeletonBones() {
    ChannelTable table;
    table.SetupChannels();
    const ChannelSnapshot snapshot = table.snapshot();
    std::vector<SkeletonBone> bones;
    for (int i = 0; i < snapshot.channelCount; ++i) {
        const ChannelRecord& record = snapshot.records[static_cast<std::size_t>(i)];
        bones.push_back({record.bone != nullptr ? record.bone->name : "",
                         record.parentIndex,
                         {record.referenceTranslation[0], record.referenceTranslation[1],
                          record.referenceTranslation[2]}});
    }
    return bones;
}

LiveStream::LiveStream() : client_(boundedLogWriter([](LogStream, const std::string&) {})) {
    table_.SetupChannels();
    client_.SetPacketCallback(
        [this](const std::vector<std::uint8_t>& datagram) { HandlePacket(datagram); });
}

LiveStream::~LiveStream() {
    client_.Disconnect();
    client_.SetPacketCallback(nullptr);
}

void LiveStream::Connect(const std::string& serverIp, std::uint16_t streamPort,
                         const std::string& subject) {
    // The receive thread is the health's only writer: it is stopped before the health restarts.
    client_.Disconnect();
    health_.Restart(StreamHealth::Clock::now());
    ended_.store(false);
    client_.Connect(serverIp, streamPort, subject);
    connected_ = true;
}

void LiveStream::Disconnect() {
    client_.Disconnect();
    connected_ = false;
}

void LiveStream::HandlePacket(const std::vector<std::uint8_t>& datagram) {
    if (isEndOfStream(datagram.data(), datagram.size())) {
        ended_.store(true);
        return;
    }
    health_.Record(verdictOf(table_.HandlePacket(datagram)), StreamHealth::Clock::now());
}

std::uint64_t copyPose(const ChannelTable& table, double* translations, double* rotations,
                       int boneCount) {
    const ChannelSnapshot channels = table.snapshot();
    const int bones = std::min(boneCount, static_cast<int>(channels.channelCount));
    for (int i = 0; i < bones; ++i) {
        const ChannelRecord& record = channels.records[static_cast<std::size_t>(i)];
        std::copy(record.translation, record.translation + 3, translations + 3 * i);
        eulerXyzDegreesToQuaternion(record.rotation, rotations + 4 * i);
    }
    // The table's first publication is its setup (the rest pose): no frame yet.
    return channels.frameSequence > 0 ? channels.frameSequence - 1 : 0;
}

void LiveStream::CopyPose(std::uint64_t* sequence, double* translations, double* rotations,
                          int boneCount) const {
    *sequence = copyPose(table_, translations, rotations, boneCount);
}

StreamHealthSnapshot LiveStream::Health() const {
    StreamHealthSnapshot health = health_.Snapshot(StreamHealth::Clock::now());
    health.refusedWrongSource = client_.WrongSourceDatagrams();
    return health;
}

}  // namespace telmora
