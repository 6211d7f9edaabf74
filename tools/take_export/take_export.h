#pragma once
// A recorded, plotted take as plain data, and the files it is exported to: glTF 2 binary
// (take.glb), BVH (take.bvh), a CSV of keys (take.csv) and a picture (take.png). No host in
// here: the host harness fills a Take from the plotted models and calls the writers.
//
// Axes and units of a Take: the host's global frame (y up), centimetres, Euler degrees.
// Every writer returns true on success; on failure it returns false with a one-line reason in
// `error`, leaves no file at `path` behind (a failed write removes what it started) and never
// throws.

#include <cstddef>
#include <functional>
#include <glm/glm.hpp>
#include <string>
#include <vector>

namespace telmora {

struct TakeJoint {
    // Node name; non-empty, unique within the take, no white space (BVH reads names as words).
    std::string name;
    // Index of the parent in Take::joints, -1 for a root. Parents come before their children.
    int parent = -1;
};

// One joint at one key, LOCAL to its parent joint (to the take's global frame for a root).
// Local transform = T · R, no scale.
struct JointPose {
    // Centimetres, in the parent's frame.
    glm::dvec3 translation{0.0};
    // Euler angles in degrees (rx, ry, rz) with R = Rz(rz) · Ry(ry) · Rx(rx) for column vectors:
    // X applied first, about fixed axes (the channel table's quatToEulerDegrees convention).
    // Any real values; no range is assumed.
    glm::dvec3 rotation{0.0};
};

struct Take {
    std::vector<TakeJoint> joints;
    // Key times, seconds, finite and strictly increasing; at least one key.
    std::vector<double> times;
    // poses[key][joint]: one pose per joint per key.
    std::vector<std::vector<JointPose>> poses;
    // Sampling period the take was plotted at, seconds, > 0. The BVH frame time.
    double framePeriod = 1.0 / 60.0;
};

// True for a take the writers accept; otherwise false with what is wrong (which joint, key or
// value) in `error`: no joints, an empty, repeated or white-space name, a parent that is not an
// earlier joint, no keys, times and poses of different counts, a key without one pose per joint,
// a non-finite value, times not strictly increasing, a frame period not finite and positive.
bool validateTake(const Take& take, std::string& error);

// R = Rz(rz) · Ry(ry) · Rx(rx) of Euler angles in degrees.
glm::dmat3 eulerDegreesToMatrix(const glm::dvec3& rotationDegrees);
// T · R of one pose (centimetres).
glm::dmat4 jointLocalMatrix(const JointPose& pose);

// Every joint's global position (centimetres, the take's frame) at key `key`, written to
// `positionsCm` (resized to the joint count). The take must be valid and key < times.size().
void takeGlobalPositions(const Take& take, std::size_t key, std::vector<glm::dvec3>& positionsCm);
std::vector<glm::dvec3> takeGlobalPositions(const Take& take, std::size_t key);

// Among the triples describing the same rotation as `rotationDegrees` under the convention
// above, (a + 360k, b + 360m, c + 360n) and (a + 180 + 360k, 180 - b + 360m, c + 180 + 360n), the
// one closest to `previousDegrees`: written frame after frame, no channel jumps by 360 degrees
// and none flips through the second form. Ties keep the first form.
glm::dvec3 unrollEulerDegrees(const glm::dvec3& rotationDegrees, const glm::dvec3& previousDegrees);

// take.glb: glTF 2 binary written with tinygltf. Units are METRES (centimetres ×
// 0.01), as glTF expects; axes as the take's (glTF is y up too). Holds:
// - a root node "TakeRoot" with the joints' node hierarchy (names as in the take) and, a root
//   of the scene beside it, a node "TakeMesh"; every joint's rest transform is key 0;
// - one animation "Take" with one translation and one rotation key per joint per key, at the
//   take's true times in seconds (times[0] >= 0, glTF has no negative times) shared by every
//   channel, linear interpolation;
// - a small mesh "TakeMesh" skinned to every joint (so 3-D packages build an armature of all
//   of them), inverse bind matrices from key 0: an octahedron along every bone from a joint's
//   parent to the joint, its tip weighted to the joint and the rest to the parent, and a small
//   one for a joint no bone reaches; every vertex weighted wholly to one joint.
// Names of these three get a suffix ("_2") if a joint already has them.
bool writeTakeGlb(const std::string& path, const Take& take, std::string& error);
// Whether this build writes take.glb (it needs tinygltf); without, writeTakeGlb refuses.
bool canWriteTakeGlb();

// take.bvh, centimetres. HIERARCHY with one ROOT (a take with several roots is refused), the
// joints in the take's order, an End Site after each leaf; OFFSET = the joint's key-0
// translation; every joint has the six channels "Xposition Yposition Zposition Zrotation
// Yrotation Xrotation" (position channels hold the local translation itself, so bone lengths
// that vary from key to key survive). MOTION: "Frames:" = key count, "Frame Time:" =
// framePeriod; frame f is key f, so the keys must lie on the frame grid (times[k] - times[0] =
// k · framePeriod within 1% of the period) or the take is refused; the file starts at 0, not at
// times[0]. Angles unrolled with unrollEulerDegrees from key 0 on. Six decimals.
bool writeTakeBvh(const std::string& path, const Take& take, std::string& error);

// One line of take.csv: a recorded key of one bone. The writer does not interpret the values
// (the harness writes the recorded global channel values).
struct TakeCsvRow {
    double time = 0.0;  // seconds
    std::string bone;
    glm::dvec3 translation{0.0};  // tx, ty, tz, centimetres
    glm::dvec3 rotation{0.0};     // rx, ry, rz, Euler degrees
};

// take.csv: a header line "time,bone,tx,ty,tz,rx,ry,rz" and one line per row in the given
// order, six decimals; a bone name holding a comma, a quote or a line break is quoted (RFC 4180).
// Refuses (writes nothing) when a value is not finite.
bool writeTakeCsv(const std::string& path, const std::vector<TakeCsvRow>& rows, std::string& error);
// The same from rows made one at a time, in file order, so a long take's rows need not all be in
// memory at once: `next` fills the row and returns true, or returns false after the last.
using TakeCsvRowSource = std::function<bool(TakeCsvRow& row)>;
bool writeTakeCsv(const std::string& path, const TakeCsvRowSource& next, std::string& error);

// take.png: the take at up to `moments` keys evenly spread over it (first and last included),
// each as a front and a side view, bones and joints drawn, captioned with the key's time;
// `title` across the top.
bool writeTakePicture(const std::string& path, const Take& take, const std::string& title,
                      std::string& error, int moments = 6);
// Whether this build draws take.png (it needs cairo); without, writeTakePicture refuses.
bool canWriteTakePicture();

}  // namespace telmora
