#include "tools/performance/retarget.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace telmora {
namespace {

using PJ = PerformerJoint;

constexpr float kDegenerateLengthSq = 1e-12f;

// One naming scheme: the joint name for every role, "" when the scheme has no such joint.
struct NamingScheme {
    const char* name;
    std::array<const char*, kPerformerJointCount> joints;
};

// Role order as PerformerJoint.
const NamingScheme kSchemes[] = {
    {"CMU BVH (cgspeed names)",
     {"Hips",        "LowerBack",    "Spine",     "Spine1",      "Neck",        "Neck1",
      "Head",        "LeftShoulder", "LeftArm",   "LeftForeArm", "LeftHand",    "RightShoulder",
      "RightArm",    "RightForeArm", "RightHand", "LeftUpLeg",   "LeftLeg",     "LeftFoot",
      "LeftToeBase", "RightUpLeg",   "RightLeg",  "RightFoot",   "RightToeBase"}},
    {"CMU BVH (3ds Max names)",
     {"Hips",          "lowerback",  "Chest",        "Chest2",     "lowerneck", "Neck",
      "Head",          "LeftCollar", "LeftShoulder", "LeftElbow",  "LeftWrist", "RightCollar",
      "RightShoulder", "RightElbow", "RightWrist",   "LeftHip",    "LeftKnee",  "LeftAnkle",
      "LeftToe",       "RightHip",   "RightKnee",    "RightAnkle", "RightToe"}},
    {"humanoid (default skeleton names)",
     {"Hips",        "Spine",        "Spine1",    "Spine2",      "Neck",        "",
      "Head",        "LeftShoulder", "LeftArm",   "LeftForeArm", "LeftHand",    "RightShoulder",
      "RightArm",    "RightForeArm", "RightHand", "LeftUpLeg",   "LeftLeg",     "LeftFoot",
      "LeftToeBase", "RightUpLeg",   "RightLeg",  "RightFoot",   "RightToeBase"}},
};

bool isOptional(PJ role) {
    switch (role) {
        case PJ::kLowerBack:
        case PJ::kUpperNeck:
        case PJ::kLeftCollar:
        case PJ::kRightCollar:
        case PJ::kLeftToe:
        case PJ::kRightToe:
            return true;
        default:
            return false;
    }
}

std::string canonicalName(const std::string& name) {
    std::string bare =
        name.substr(name.find_last_of(':') == std::string::npos ? 0 : name.find_last_of(':') + 1);
    std::transform(bare.begin(), bare.end(), bare.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return bare;
}

// How each default bone is driven: the role giving its twist, and the performer segment whose
// direction it follows (kCount: none). `restFrom` names the segment whose rest direction stands
// for the bone's own when the performer's bone has no length of its own (the hands).
struct DriveRule {
    const char* bone;
    const char* childBone;
    PJ twist;
    PJ segmentStart;
    PJ segmentEnd;
    bool followSegment;  // false: only the rest correction, the direction is not forced
};

const DriveRule kDriveRules[] = {
    {"Hips", nullptr, PJ::kHips, PJ::kCount, PJ::kCount, false},
    // The performer's lower back and upper back spread over the three spine bones.
    {"Spine", "Spine1", PJ::kLowerBack, PJ::kLowerBack, PJ::kSpine, true},
    {"Spine1", "Spine2", PJ::kSpine, PJ::kSpine, PJ::kChest, true},
    {"Spine2", "Neck", PJ::kChest, PJ::kSpine, PJ::kChest, true},
    {"Neck", "Head", PJ::kUpperNeck, PJ::kNeck, PJ::kHead, true},
    {"Head", nullptr, PJ::kHead, PJ::kCount, PJ::kCount, false},
    {"LeftShoulder", "LeftArm", PJ::kLeftCollar, PJ::kLeftCollar, PJ::kLeftArm, true},
    {"LeftArm", "LeftForeArm", PJ::kLeftArm, PJ::kLeftArm, PJ::kLeftForeArm, true},
    {"LeftForeArm", "LeftHand", PJ::kLeftForeArm, PJ::kLeftForeArm, PJ::kLeftHand, true},
    // A hand lies along its forearm at rest in every take we know, so the forearm's rest line
    // gives the hand's rest correction; its direction then comes from the hand joint's rotation.
    {"LeftHand", "LeftHandMiddle1", PJ::kLeftHand, PJ::kLeftForeArm, PJ::kLeftHand, false},
    {"RightShoulder", "RightArm", PJ::kRightCollar, PJ::kRightCollar, PJ::kRightArm, true},
    {"RightArm", "RightForeArm", PJ::kRightArm, PJ::kRightArm, PJ::kRightForeArm, true},
    {"RightForeArm", "RightHand", PJ::kRightForeArm, PJ::kRightForeArm, PJ::kRightHand, true},
    {"RightHand", "RightHandMiddle1", PJ::kRightHand, PJ::kRightForeArm, PJ::kRightHand, false},
    {"LeftUpLeg", "LeftLeg", PJ::kLeftUpLeg, PJ::kLeftUpLeg, PJ::kLeftLeg, true},
    {"LeftLeg", "LeftFoot", PJ::kLeftLeg, PJ::kLeftLeg, PJ::kLeftFoot, true},
    {"LeftFoot", "LeftToeBase", PJ::kLeftFoot, PJ::kLeftFoot, PJ::kLeftToe, true},
    {"LeftToeBase", nullptr, PJ::kLeftToe, PJ::kCount, PJ::kCount, false},
    {"RightUpLeg", "RightLeg", PJ::kRightUpLeg, PJ::kRightUpLeg, PJ::kRightLeg, true},
    {"RightLeg", "RightFoot", PJ::kRightLeg, PJ::kRightLeg, PJ::kRightFoot, true},
    {"RightFoot", "RightToeBase", PJ::kRightFoot, PJ::kRightFoot, PJ::kRightToe, true},
    {"RightToeBase", nullptr, PJ::kRightToe, PJ::kCount, PJ::kCount, false},
};

// A role the take lacks falls back to a neighbour at (nearly) the same place.
int jointOrFallback(const PerformerJointMatch& match, PJ role) {
    const int joint = match[role];
    if (joint >= 0) return joint;
    switch (role) {
        case PJ::kLowerBack:
            return match[PJ::kHips];
        case PJ::kUpperNeck:
            return match[PJ::kNeck];
        case PJ::kLeftCollar:
            return match[PJ::kChest];
        case PJ::kRightCollar:
            return match[PJ::kChest];
        default:
            return -1;
    }
}

glm::vec3 normalizedOrZero(const glm::vec3& v) {
    const float lenSq = glm::dot(v, v);
    return lenSq > kDegenerateLengthSq ? v / std::sqrt(lenSq) : glm::vec3(0.0f);
}

}  // namespace

glm::quat shortestArc(const glm::vec3& from, const glm::vec3& to) {
    const float cosAngle = glm::clamp(glm::dot(from, to), -1.0f, 1.0f);
    if (cosAngle < -0.999999f) {
        // Opposite directions: any axis perpendicular to `from` will do.
        glm::vec3 axis = glm::cross(glm::vec3(1.0f, 0.0f, 0.0f), from);
        if (glm::dot(axis, axis) < 1e-6f) axis = glm::cross(glm::vec3(0.0f, 1.0f, 0.0f), from);
        return glm::angleAxis(glm::pi<float>(), glm::normalize(axis));
    }
    // Half-angle form: q = (1 + cos, from × to), normalised.
    const glm::vec3 axis = glm::cross(from, to);
    return glm::normalize(glm::quat(1.0f + cosAngle, axis.x, axis.y, axis.z));
}

Skeleton poseFromWorldRotations(const Skeleton& rest, const glm::quat* worldRotations,
                                const glm::vec3& hipsPositionCm) {
    Skeleton posed = rest;
    for (int b = 0; b < rest.boneCount; ++b) {
        const int parent = rest.bones[b].parent;
        const glm::quat parentWorld = parent >= 0 ? worldRotations[parent] : kIdentityQuat;
        const glm::quat localFk = glm::normalize(glm::inverse(parentWorld) * worldRotations[b]);
        // Forward kinematics reads a stored rotation (x, y, z, w) as (x, -y, -z, w); the mirror
        // is its own inverse.
        posed.bones[b].rotation = quatXYZW(localFk.x, -localFk.y, -localFk.z, localFk.w);
    }
    // Stored offsets are mirrored across x = 0 as well.
    posed.bones[0].offset = glm::vec3(-hipsPositionCm.x, hipsPositionCm.y, hipsPositionCm.z);
    return posed;
}

PerformerJointMatch matchPerformerJoints(const PerformanceClip& clip) {
    PerformerJointMatch best;
    int bestFound = -1;
    for (const NamingScheme& scheme : kSchemes) {
        PerformerJointMatch match;
        match.scheme = scheme.name;
        int found = 0;
        for (int role = 0; role < kPerformerJointCount; ++role) {
            match.joints[role] = -1;
            const std::string wanted = canonicalName(scheme.joints[role]);
            if (wanted.empty()) continue;
            for (int j = 0; j < clip.jointCount(); ++j) {
                if (canonicalName(clip.joints()[j].name) == wanted) {
                    match.joints[role] = j;
                    ++found;
                    break;
                }
            }
            if (match.joints[role] < 0 && !isOptional(static_cast<PJ>(role)))
                match.missing.push_back(scheme.joints[role]);
        }
        // The scheme that leaves the fewest required joints unmatched wins, then the one that
        // matched most.
        const bool better = bestFound < 0 || match.missing.size() < best.missing.size() ||
                            (match.missing.size() == best.missing.size() && found > bestFound);
        if (better) {
            best = match;
            bestFound = found;
        }
    }
    return best;
}

std::optional<Retargeter> Retargeter::create(std::shared_ptr<const PerformanceClip> clipPtr,
                                             std::string& error) {
    Retargeter r(std::move(clipPtr));
    const PerformanceClip& clip = *r.clip_;
    r.match_ = matchPerformerJoints(clip);
    if (!r.match_.missing.empty()) {
        error = "the performer's skeleton lacks bones needed for the default skeleton (" +
                r.match_.scheme + " naming): ";
        for (size_t i = 0; i < r.match_.missing.size(); ++i)
            error += (i ? ", " : "") + r.match_.missing[i];
        return std::nullopt;
    }
    if (clip.frameCount() <= 0) {
        error = "the take has no frames";
        return std::nullopt;
    }

    r.rest_ = defaultSkeleton().skeleton;
    r.slots_ = defaultSkeleton().slots;
    r.centimetresPerUnit_ = clip.metresPerUnit() * 100.0f;

    // Leg length (hips to ankle height, at rest) sets the performer's scale.
    std::array<glm::vec3, kMaxBones> defaultRestPos{};
    for (int b = 0; b < r.rest_.boneCount; ++b)
        defaultRestPos[b] = boneWorldPosition(r.rest_, b, true);
    const auto bone = [&](const char* name) { return findBone(r.rest_, name); };
    const float defaultLeg = defaultRestPos[0].y - 0.5f * (defaultRestPos[bone("LeftFoot")].y +
                                                           defaultRestPos[bone("RightFoot")].y);
    const float performerLeg = (clip.restWorldPosition(r.match_[PJ::kHips]).y -
                                0.5f * (clip.restWorldPosition(r.match_[PJ::kLeftFoot]).y +
                                        clip.restWorldPosition(r.match_[PJ::kRightFoot]).y)) *
                               r.centimetresPerUnit_;
    r.performerScale_ = defaultLeg > 0.0f && performerLeg > 0.0f ? performerLeg / defaultLeg : 1.0f;
    for (int b = 0; b < r.rest_.boneCount; ++b) r.rest_.bones[b].offset *= r.performerScale_;

    for (const DriveRule& rule : kDriveRules) {
        const int b = bone(rule.bone);
        if (b < 0) continue;
        BoneDrive& drive = r.drives_[b];
        drive.twistJoint = jointOrFallback(r.match_, rule.twist);
        if (drive.twistJoint < 0)
            continue;  // an optional joint the take lacks: bone follows parent
        drive.driven = true;
        const glm::quat twistRestInverse = glm::inverse(clip.restWorldRotation(drive.twistJoint));
        drive.restCorrection = twistRestInverse;

        const int start =
            rule.segmentStart == PJ::kCount ? -1 : jointOrFallback(r.match_, rule.segmentStart);
        const int end =
            rule.segmentEnd == PJ::kCount ? -1 : jointOrFallback(r.match_, rule.segmentEnd);
        if (start < 0 || end < 0 || rule.childBone == nullptr) continue;
        const int child = bone(rule.childBone);
        // For the hand the rest line is the forearm's in both skeletons.
        const int lineBone = rule.followSegment ? b : r.rest_.bones[b].parent;
        const int lineChild = rule.followSegment ? child : b;
        const glm::vec3 defaultDir =
            normalizedOrZero(defaultRestPos[lineChild] - defaultRestPos[lineBone]);
        const glm::vec3 performerDir =
            normalizedOrZero(clip.restWorldPosition(end) - clip.restWorldPosition(start));
        if (glm::dot(defaultDir, defaultDir) == 0.0f ||
            glm::dot(performerDir, performerDir) == 0.0f)
            continue;
        // At rest the bone's world rotation must turn its own direction onto the performer's.
        drive.restCorrection = twistRestInverse * shortestArc(defaultDir, performerDir);
        if (!rule.followSegment) continue;
        drive.segmentStart = start;
        drive.segmentEnd = end;
        drive.restDirection = defaultDir;
        r.followed_.push_back({b, child, rule.segmentStart, rule.segmentEnd});
    }
    return r;
}

Skeleton Retargeter::pose(int frame) const {
    const PerformanceClip& clip = *clip_;
    frame = std::clamp(frame, 0, clip.frameCount() - 1);
    std::array<glm::quat, kMaxBones> world;
    for (int b = 0; b < rest_.boneCount; ++b) {
        const BoneDrive& drive = drives_[b];
        const int parent = rest_.bones[b].parent;
        if (!drive.driven) {
            // Fingers and end bones keep their rest pose relative to their parent.
            world[b] = parent >= 0 ? world[parent] : kIdentityQuat;
            continue;
        }
        glm::quat w = clip.worldRotation(frame, drive.twistJoint) * drive.restCorrection;
        if (drive.segmentStart >= 0) {
            // Swing the bone onto the performer's segment; the twist about it stays.
            const glm::vec3 target =
                normalizedOrZero(clip.worldPosition(frame, drive.segmentEnd) -
                                 clip.worldPosition(frame, drive.segmentStart));
            if (glm::dot(target, target) > 0.0f)
                w = shortestArc(glm::normalize(w * drive.restDirection), target) * w;
        }
        world[b] = glm::normalize(w);
    }
    const glm::vec3 hips = clip.worldPosition(frame, match_[PJ::kHips]) * centimetresPerUnit_;
    return poseFromWorldRotations(rest_, world.data(), hips);
}

}  // namespace telmora
