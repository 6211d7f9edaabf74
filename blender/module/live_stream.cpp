#include "blender/module/live_stream.h"

#include <algorithm>
#include <cmath>
#include <glm/gtc/quaternion.hpp>

#include "device/channel_output.h"
#include "network/protocol.h"

namespace telmora {
namespace {

// The rotation of Euler angles in degrees, R = Rz(z) Ry(y) Rx(x), as a unit quaternion.
std::array<double, 4> eulerXyzDegreesToQuaternion(const double* degrees) {
    const glm::dquat q = glm::normalize(
        glm::quat_cast(eulerXyzDegreesToMatrix(glm::dvec3(degrees[0], degrees[1], degrees[2]))));
    return {q.w, q.x, q.y, q.z};
}

// Row-major 4x4 (Blender's order) to glm's column-major.
glm::dmat4 fromRowMajor(const std::array<double, 16>& m) {
    glm::dmat4 out;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col)
            out[col][row] = m[static_cast<std::size_t>(4 * row + col)];
    return out;
}

// Channel axes (y up) to Blender's (z up): (x, y, z) -> (x, -z, y).
const glm::dmat3 kToBlender(glm::dvec3(1, 0, 0), glm::dvec3(0, 0, 1), glm::dvec3(0, -1, 0));

}  // namespace

std::vector<BoneBasis> armaturePose(const std::vector<std::array<double, 16>>& restMatrices,
                                    const std::vector<int>& parents,
                                    const std::vector<std::array<double, 3>>& translations,
                                    const std::vector<std::array<double, 4>>& rotations) {
    const std::size_t count =
        std::min({restMatrices.size(), parents.size(), translations.size(), rotations.size()});
    std::vector<BoneBasis> basis(count);
    std::vector<glm::dmat4> posed(count), rest(count);
    for (std::size_t b = 0; b < count; ++b) {
        rest[b] = fromRowMajor(restMatrices[b]);
        const auto& q = rotations[b];
        const glm::dmat3 channel = glm::mat3_cast(glm::dquat(q[0], q[1], q[2], q[3]));
        // The bone's frame at rest, turned by the channel's rotation (both in Blender's axes),
        // and moved to the channel's translation.
        const glm::dmat3 turned =
            kToBlender * channel * glm::transpose(kToBlender) * glm::dmat3(rest[b]);
        posed[b] = glm::dmat4(turned);
        const auto& t = translations[b];
        posed[b][3] = glm::dvec4(kToBlender * glm::dvec3(t[0], t[1], t[2]) / 100.0, 1.0);
        // Pose matrix = parent's pose * (parent's rest)^-1 * rest * basis.
        const int parent = parents[b];
        glm::dmat4 local = glm::inverse(rest[b]);
        if (parent >= 0 && static_cast<std::size_t>(parent) < b)
            local = local * rest[static_cast<std::size_t>(parent)] *
                    glm::inverse(posed[static_cast<std::size_t>(parent)]);
        const glm::dmat4 m = local * posed[b];
        basis[b].location = {m[3][0], m[3][1], m[3][2]};
        const glm::dquat r = glm::normalize(glm::quat_cast(glm::dmat3(m)));
        basis[b].rotation = {r.w, r.x, r.y, r.z};
    }
    return basis;
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

PoseSnapshot LiveStream::Snapshot() const {
    const ChannelSnapshot channels = table_.snapshot();
    PoseSnapshot pose;
    // The table's first publication is its setup (the rest pose): no frame yet.
    pose.sequence = channels.frameSequence > 0 ? channels.frameSequence - 1 : 0;
    for (int i = 0; i < channels.channelCount; ++i) {
        const ChannelRecord& record = channels.records[static_cast<std::size_t>(i)];
        pose.translations.push_back(
            {record.translation[0], record.translation[1], record.translation[2]});
        pose.rotations.push_back(eulerXyzDegreesToQuaternion(record.rotation));
    }
    return pose;
}

StreamHealthSnapshot LiveStream::Health() const {
    StreamHealthSnapshot health = health_.Snapshot(StreamHealth::Clock::now());
    health.refusedWrongSource = client_.WrongSourceDatagrams();
    return health;
}

}  // namespace telmora
