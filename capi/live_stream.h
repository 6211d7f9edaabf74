#pragma once
// One subject's live stream for a host without the plug-in's SDK (the C API and, through it, the
// Blender add-on): the
// stream client, the channel table it fills and the stream's health, as the device has them,
// and the latest pose as one consistent snapshot. Every network and solving step runs on the
// stream client's threads; readers take snapshots from any thread without waiting for them.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "live/stream_health.h"
#include "motion/channel_table.h"
#include "network/udp_stream_client.h"

namespace telmora {

// One bone of the default skeleton: its name, its parent (-1 for the root) and its rest
// position, global, centimetres, in the channel table's axes (y up).
struct SkeletonBone {
    std::string name;
    int parent = -1;
    std::array<double, 3> restPosition{};
};

// The default skeleton the stream's channels follow, parents before children.
std::vector<SkeletonBone> defaultSkeletonBones();

// A pose in an armature's own terms. The channels' axes and units (y up, centimetres) become
// Blender's (z up, metres) as Blender's glTF importer turns them: (x, y, z) cm is
// (x, -z, y) / 100 m. Given each bone's rest matrix in armature space (Blender's
// Bone.matrix_local, row-major 4x4, bones with their rest rotation at the skeleton's rest
// pose), its parent (-1 for a root) and the channels' global translations and rotations
// (w, x, y, z), it gives each pose bone's location and rotation quaternion (w, x, y, z) in its
// own rest frame (PoseBone.location, PoseBone.rotation_quaternion), so that the bone's head
// lands on its channel's translation and its frame turns by its channel's rotation. Arrays of
// `boneCount` bones: 16, 1, 3 and 4 doubles (ints for parents) a bone in, 3 and 4 out; each
// parent is -1 or a bone before its child.
void armaturePose(std::size_t boneCount, const double* restMatrices, const int* parents,
                  const double* translations, const double* rotations, double* locations,
                  double* quaternions);

// Copies the table's latest publication as a pose: every bone's global translation (cm, 3
// doubles) and rotation (w, x, y, z), for the first `boneCount` bones; the frames published
// before it (0: the rest pose of the setup).
std::uint64_t copyPose(const ChannelTable& table, double* translations, double* rotations,
                       int boneCount);

class LiveStream {
public:
    LiveStream();
    ~LiveStream();
    LiveStream(const LiveStream&) = delete;
    LiveStream& operator=(const LiveStream&) = delete;

    // Stops any stream, then asks `serverIp`:`streamPort` for `subject` by keep-alive. Returns
    // within a few milliseconds; the frames arrive on the client's threads.
    void Connect(const std::string& serverIp, std::uint16_t streamPort, const std::string& subject);
    // Stops the stream and its threads; returns within a few receive waits. Idempotent.
    void Disconnect();
    bool connected() const { return connected_; }

    // The latest pose, all of one frame: every bone's global translation (centimetres, 3
    // doubles) and rotation as a unit quaternion (w, x, y, z), in the channel table's axes,
    // for the first `boneCount` bones; `*sequence` counts the frames published (0: no pose
    // yet) and changes with every new one.
    void CopyPose(std::uint64_t* sequence, double* translations, double* rotations,
                  int boneCount) const;
    // The stream since the last Connect (the wrong-source count filled in).
    StreamHealthSnapshot Health() const;
    void SetStaleSeconds(double seconds) { health_.SetStaleSeconds(seconds); }
    double staleSeconds() const { return health_.staleSeconds(); }
    // The stream ended (the server said so, or the socket failed) since the last Connect.
    bool ended() const { return ended_.load(); }

private:
    void HandlePacket(const std::vector<std::uint8_t>& datagram);

    ChannelTable table_;  // before the client, whose callback writes it
    StreamHealth health_;
    std::atomic<bool> ended_{false};
    bool connected_ = false;
    UdpStreamClient client_;
};

}  // namespace telmora
