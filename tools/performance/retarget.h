#pragma once
// Retargeting a recorded take onto the default skeleton. Each default bone is turned so that it
// points where the performer's matching bone points (from the performer's joint positions), and
// keeps the performer's twist about it (from the performer's joint rotations). The rest poses
// need not agree: a take in T-pose, one with the arms hanging down and the default skeleton all
// meet through a fixed per-bone correction measured once between the two rest poses.
//
// The result is a posed copy of the default skeleton in the skeleton's stored axes, every offset
// scaled by one factor so that its legs are as long as the performer's, with bone 0's offset
// holding the performer's hips position in centimetres. In forward kinematics' frame (upright
// root) this is the take's own frame: y up, the performer's left +x, facing +z.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "motion/skeleton.h"
#include "tools/performance/performance_clip.h"

namespace telmora {

// The performer's joints that drive the default skeleton.
enum class PerformerJoint : int {
    kHips,
    kLowerBack,  // optional; folded into the spine
    kSpine,
    kChest,
    kNeck,
    kUpperNeck,  // optional; folded into the neck
    kHead,
    kLeftCollar,  // optional
    kLeftArm,
    kLeftForeArm,
    kLeftHand,
    kRightCollar,  // optional
    kRightArm,
    kRightForeArm,
    kRightHand,
    kLeftUpLeg,
    kLeftLeg,
    kLeftFoot,
    kLeftToe,  // optional
    kRightUpLeg,
    kRightLeg,
    kRightFoot,
    kRightToe,  // optional
    kCount
};
constexpr int kPerformerJointCount = static_cast<int>(PerformerJoint::kCount);

// Which clip joint plays each role, under the naming scheme that matched best.
struct PerformerJointMatch {
    // Clip joint index per role, -1 when the take has no such joint.
    std::array<int, kPerformerJointCount> joints{};
    // Name of the naming scheme used (the CMU conversions' two schemes, or the default skeleton's).
    std::string scheme;
    // Names, in that scheme, of required joints the take lacks. Empty when the take can drive the
    // default skeleton.
    std::vector<std::string> missing;

    int operator[](PerformerJoint role) const { return joints[static_cast<int>(role)]; }
};

// Matches the clip's joints to roles by name (case-insensitive, ignoring a "prefix:" namespace).
PerformerJointMatch matchPerformerJoints(const PerformanceClip& clip);

class Retargeter {
public:
    // Fails, with a message naming the missing bones, when the take cannot drive every bone.
    static std::optional<Retargeter> create(std::shared_ptr<const PerformanceClip> clip,
                                            std::string& error);

    // The posed default skeleton for clip frame `frame` (0 .. frameCount-1).
    Skeleton pose(int frame) const;

    // Factor applied to every default offset: performer's leg length / default leg length.
    float performerScale() const { return performerScale_; }
    // Centimetres per take unit.
    float centimetresPerUnit() const { return centimetresPerUnit_; }
    const PerformerJointMatch& match() const { return match_; }
    // The default skeleton at the performer's scale, unposed, and its slot map.
    const Skeleton& restSkeleton() const { return rest_; }
    const BoneSlotMap& slots() const { return slots_; }
    const PerformanceClip& clip() const { return *clip_; }

    // The default bone whose direction follows the performer segment from `start` to `end`
    // (both roles), for checks; filled for every bone with a direction to follow.
    struct FollowedSegment {
        int bone;
        int childBone;
        PerformerJoint start;
        PerformerJoint end;
    };
    const std::vector<FollowedSegment>& followedSegments() const { return followed_; }

private:
    struct BoneDrive {
        int twistJoint = -1;    // clip joint whose rotation gives the bone's twist
        int segmentStart = -1;  // clip joints whose line the bone follows; -1: no line
        int segmentEnd = -1;
        glm::vec3 restDirection{0};  // default bone's direction at rest, FK frame
        glm::quat restCorrection = kIdentityQuat;
        bool driven = false;
    };

    explicit Retargeter(std::shared_ptr<const PerformanceClip> clip) : clip_(std::move(clip)) {}

    std::shared_ptr<const PerformanceClip> clip_;
    PerformerJointMatch match_;
    Skeleton rest_;
    BoneSlotMap slots_{};
    std::array<BoneDrive, kMaxBones> drives_{};
    std::vector<FollowedSegment> followed_;
    float performerScale_ = 1.0f;
    float centimetresPerUnit_ = 1.0f;
};

// Rotation taking unit direction `from` onto unit direction `to` by the shortest arc; a half
// turn about some axis perpendicular to `from` when they are opposite.
glm::quat shortestArc(const glm::vec3& from, const glm::vec3& to);

// Builds the posed skeleton from world rotations (forward kinematics' frame, upright root) of
// every bone of `rest` and the hips position in centimetres: each bone's local rotation becomes
// parent-world⁻¹ · world, written in the skeleton's stored axes.
Skeleton poseFromWorldRotations(const Skeleton& rest, const glm::quat* worldRotations,
                                const glm::vec3& hipsPositionCm);

}  // namespace telmora
