#include "motion/retarget.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "motion/limb_solver.h"

namespace telmora {
namespace {

glm::dmat4 fromRowMajor(const double* m) {
    glm::dmat4 out;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) out[col][row] = m[4 * row + col];
    return out;
}

// The rotation of a matrix whose columns may carry a scale (an object scaled 0.01).
glm::dquat rotationOf(const glm::dmat4& m) {
    glm::dmat3 r(m);
    for (int c = 0; c < 3; ++c) {
        const double length = glm::length(r[c]);
        if (length > 1e-12) r[c] /= length;
    }
    return glm::normalize(glm::quat_cast(r));
}

glm::dvec3 translationOf(const glm::dmat4& m) {
    return glm::dvec3(m[3]);
}

glm::dmat4 poseMatrix(const glm::dquat& rotation, const glm::dvec3& head) {
    glm::dmat4 m = glm::mat4_cast(rotation);
    m[3] = glm::dvec4(head, 1.0);
    return m;
}

// Channel axes (y up) to the rig host's world (z up): (x, y, z) -> (x, -z, y), a quarter turn
// about x.
const glm::dmat3 kToWorld(glm::dvec3(1, 0, 0), glm::dvec3(0, 0, 1), glm::dvec3(0, -1, 0));
const glm::dquat kToWorldRotation = glm::quat_cast(kToWorld);

glm::dvec3 worldOfChannel(const double* cm) {
    return kToWorld * glm::dvec3(cm[0], cm[1], cm[2]) / 100.0;
}

// A channel rotation (w, x, y, z, channel axes) as a world rotation; the identity for one that
// is not a usable quaternion.
glm::dquat worldOfChannelRotation(const double* wxyz) {
    const glm::dquat q(wxyz[0], wxyz[1], wxyz[2], wxyz[3]);
    const double length = glm::length(q);
    if (!std::isfinite(length) || length < 1e-9) return glm::dquat(1.0, 0.0, 0.0, 0.0);
    return kToWorldRotation * (q / length) * glm::conjugate(kToWorldRotation);
}

glm::vec3 toFloat(const glm::dvec3& v) {
    return glm::vec3(v);
}
glm::dquat toDouble(const glm::quat& q) {
    return glm::dquat(q.w, q.x, q.y, q.z);
}

// The performer bones a rig must follow, in groups named as the message names them.
struct RequiredGroup {
    const char* what;
    std::vector<const char*> anyOf;  // one of these is enough
};
const RequiredGroup kRequired[] = {
    {"the hips", {"Hips"}},
    {"the spine", {"Spine", "Spine1", "Spine2"}},
    {"the head", {"Head"}},
    {"the left upper arm", {"LeftArm"}},
    {"the left forearm", {"LeftForeArm"}},
    {"the left hand", {"LeftHand"}},
    {"the right upper arm", {"RightArm"}},
    {"the right forearm", {"RightForeArm"}},
    {"the right hand", {"RightHand"}},
    {"the left thigh", {"LeftUpLeg"}},
    {"the left shin", {"LeftLeg"}},
    {"the left foot", {"LeftFoot"}},
    {"the right thigh", {"RightUpLeg"}},
    {"the right shin", {"RightLeg"}},
    {"the right foot", {"RightFoot"}},
};

bool descendsFrom(const std::vector<std::int32_t>& parents, std::int32_t bone,
                  std::int32_t ancestor) {
    for (std::int32_t b = parents[static_cast<std::size_t>(bone)]; b >= 0;
         b = parents[static_cast<std::size_t>(b)])
        if (b == ancestor) return true;
    return false;
}

}  // namespace

std::optional<Retargeter> Retargeter::Calibrate(const RetargetSetup& setup, std::string& error) {
    if (setup.boneCount <= 0 || setup.parents == nullptr || setup.sources == nullptr ||
        setup.restMatrices == nullptr || setup.calibrationPoses == nullptr ||
        setup.objectMatrix == nullptr || setup.performerBoneCount <= 0 ||
        setup.performerNames == nullptr || setup.performerParents == nullptr ||
        setup.performerRestPositions == nullptr) {
        error = "The rig or the performer's skeleton is empty";
        return std::nullopt;
    }
    const auto count = static_cast<std::size_t>(setup.boneCount);
    const auto performerCount = static_cast<std::size_t>(setup.performerBoneCount);
    std::vector<std::int32_t> rigOf(performerCount, -1);  // performer bone -> rig bone
    std::vector<std::int32_t> parents(setup.parents, setup.parents + count);
    for (std::size_t b = 0; b < count; ++b) {
        if (parents[b] < -1 || parents[b] >= static_cast<std::int32_t>(b)) {
            error = "Bone " + std::to_string(b) + "'s parent is not a bone before it";
            return std::nullopt;
        }
        const std::int32_t source = setup.sources[b];
        if (source < -1 || source >= setup.performerBoneCount) {
            error = "Bone " + std::to_string(b) + " follows no bone of the performer's skeleton";
            return std::nullopt;
        }
        if (source >= 0) {
            if (rigOf[static_cast<std::size_t>(source)] >= 0) {
                error = std::string("Two bones of the rig follow the performer's ") +
                        setup.performerNames[source];
                return std::nullopt;
            }
            rigOf[static_cast<std::size_t>(source)] = static_cast<std::int32_t>(b);
        }
    }
    auto performerBone = [&](const char* name) {
        for (std::size_t i = 0; i < performerCount; ++i)
            if (std::strcmp(setup.performerNames[i], name) == 0)
                return static_cast<std::int32_t>(i);
        return std::int32_t{-1};
    };
    auto rigBone = [&](const char* name) {
        const std::int32_t p = performerBone(name);
        return p >= 0 ? rigOf[static_cast<std::size_t>(p)] : -1;
    };
    std::string missing;
    for (const RequiredGroup& group : kRequired) {
        const bool mapped = std::any_of(group.anyOf.begin(), group.anyOf.end(),
                                        [&](const char* name) { return rigBone(name) >= 0; });
        if (!mapped) missing += std::string(missing.empty() ? "" : ", ") + group.what;
    }
    if (!missing.empty()) {
        error = "The rig cannot follow a performer: no bone is mapped to " + missing;
        return std::nullopt;
    }

    Retargeter rig;
    rig.object_ = fromRowMajor(setup.objectMatrix);
    rig.objectInverse_ = glm::inverse(rig.object_);
    rig.objectRotation_ = rotationOf(rig.object_);
    rig.bones_.resize(count);
    std::vector<glm::dmat4> rest(count), calibration(count);
    for (std::size_t b = 0; b < count; ++b) {
        rest[b] = fromRowMajor(setup.restMatrices + 16 * b);
        calibration[b] = fromRowMajor(setup.calibrationPoses + 16 * b);
        Bone& bone = rig.bones_[b];
        bone.parent = parents[b];
        bone.source = setup.sources[b];
        const auto parent = static_cast<std::size_t>(bone.parent);
        bone.restFromParent = bone.parent >= 0 ? glm::inverse(rest[parent]) * rest[b] : rest[b];
        const glm::dmat4 parentPose = bone.parent >= 0 ? calibration[parent] : glm::dmat4(1.0);
        bone.calibratedBasis = glm::inverse(parentPose * bone.restFromParent) * calibration[b];
        bone.calibratedWorld = rig.objectRotation_ * rotationOf(calibration[b]);
    }

    rig.performerHips_ = performerBone("Hips");
    rig.hips_ = rigOf[static_cast<std::size_t>(rig.performerHips_)];
    rig.hipsCalibrated_ =
        translationOf(rig.object_ * calibration[static_cast<std::size_t>(rig.hips_)]);
    const double floorHeight = translationOf(rig.object_).z;  // rigs stand on their origin
    const glm::dvec3 performerHips =
        worldOfChannel(setup.performerRestPositions + 3 * rig.performerHips_);
    const double rigHeight = rig.hipsCalibrated_.z - floorHeight;
    if (!(rigHeight > 1e-6) || !(performerHips.z > 1e-6) || !std::isfinite(rigHeight)) {
        error = "The rig's hips are not above its origin, the floor it stands on";
        return std::nullopt;
    }
    rig.scale_ = rigHeight / performerHips.z;
    rig.rigGround_ = glm::dvec3(rig.hipsCalibrated_.x, rig.hipsCalibrated_.y, floorHeight);
    rig.performerGround_ = glm::dvec3(performerHips.x, performerHips.y, 0.0);

    for (const char* side : {"Left", "Right"}) {
        const std::string s(side);
        Leg leg;
        leg.performerUpper = performerBone((s + "UpLeg").c_str());
        leg.performerLower = performerBone((s + "Leg").c_str());
        leg.performerEnd = performerBone((s + "Foot").c_str());
        leg.upper = rigOf[static_cast<std::size_t>(leg.performerUpper)];
        leg.lower = rigOf[static_cast<std::size_t>(leg.performerLower)];
        leg.end = rigOf[static_cast<std::size_t>(leg.performerEnd)];
        // Planted only where the rig's thigh, shin and foot are one chain.
        if (descendsFrom(parents, leg.lower, leg.upper) &&
            descendsFrom(parents, leg.end, leg.lower))
            rig.legs_.push_back(leg);
    }
    return rig;
}

glm::dvec3 Retargeter::OnRig(const glm::dvec3& performerWorld) const {
    return rigGround_ + (performerWorld - performerGround_) * scale_;
}

void Retargeter::Compose(const std::vector<glm::dquat>& worldRotations, const glm::dvec3& hipsWorld,
                         std::vector<glm::dmat4>& poses) const {
    const glm::dquat toArmature = glm::conjugate(objectRotation_);
    for (std::size_t b = 0; b < bones_.size(); ++b) {
        const Bone& bone = bones_[b];
        const glm::dmat4 base =
            (bone.parent >= 0 ? poses[static_cast<std::size_t>(bone.parent)] : glm::dmat4(1.0)) *
            bone.restFromParent;
        if (bone.source < 0) {
            poses[b] = base * bone.calibratedBasis;
            continue;
        }
        const glm::dvec3 head = static_cast<std::int32_t>(b) == hips_
                                    ? glm::dvec3(objectInverse_ * glm::dvec4(hipsWorld, 1.0))
                                    : translationOf(base * bone.calibratedBasis);
        poses[b] = poseMatrix(toArmature * worldRotations[b], head);
    }
}

double Retargeter::HipsDrop(const std::vector<glm::dvec3>& performerWorld, const glm::dvec3& offset,
                            const std::vector<glm::dmat4>& poses) const {
    // Reach a little short of straight, where the two-bone solution is still well defined.
    constexpr double kReach = 0.9995;
    double drop = 0.0;
    for (const Leg& leg : legs_) {
        auto world = [&](std::int32_t bone) {
            return translationOf(object_ * poses[static_cast<std::size_t>(bone)]);
        };
        const glm::dvec3 hip = world(leg.upper), knee = world(leg.lower), ankle = world(leg.end);
        const double reach = kReach * (glm::length(knee - hip) + glm::length(ankle - knee));
        const glm::dvec3 d =
            OnRig(performerWorld[static_cast<std::size_t>(leg.performerEnd)]) - offset - hip;
        if (glm::length(d) <= reach) continue;
        // The hip lowered by h: |d + h z| = reach, the smaller root.
        const double discriminant = d.z * d.z - glm::dot(d, d) + reach * reach;
        if (discriminant < 0.0) continue;  // out of reach sideways: lowering cannot help
        drop = std::max(drop, -d.z - std::sqrt(discriminant));
    }
    return drop;
}

void Retargeter::PlantFeet(const std::vector<glm::dvec3>& performerWorld, const glm::dvec3& offset,
                           std::vector<glm::dquat>& worldRotations,
                           const std::vector<glm::dmat4>& poses) const {
    // In world centimetres, the units the two-bone solver's tolerances are made for.
    auto worldCm = [&](std::int32_t bone) {
        return toFloat(translationOf(object_ * poses[static_cast<std::size_t>(bone)]) * 100.0);
    };
    for (const Leg& leg : legs_) {
        const glm::vec3 hip = worldCm(leg.upper), knee = worldCm(leg.lower),
                        ankle = worldCm(leg.end);
        const float upperLength = glm::length(knee - hip);
        const float lowerLength = glm::length(ankle - knee);
        const glm::vec3 target = toFloat(
            (OnRig(performerWorld[static_cast<std::size_t>(leg.performerEnd)]) - offset) * 100.0);
        const glm::vec3 pole = toFloat(
            (OnRig(performerWorld[static_cast<std::size_t>(leg.performerLower)]) - offset) * 100.0);
        const TwoBoneFrames now = solveTwoBone(hip, ankle, knee, upperLength, lowerLength);
        const TwoBoneFrames planted = solveTwoBone(hip, target, pole, upperLength, lowerLength);
        if (!now.valid || !planted.valid) continue;
        auto& upper = worldRotations[static_cast<std::size_t>(leg.upper)];
        auto& lower = worldRotations[static_cast<std::size_t>(leg.lower)];
        upper = glm::normalize(toDouble(planted.upperFrame * glm::inverse(now.upperFrame)) * upper);
        lower = glm::normalize(toDouble(planted.lowerFrame * glm::inverse(now.lowerFrame)) * lower);
    }
}

void Retargeter::Solve(const RetargetFrame& frame, RetargetPose& pose) const {
    const std::size_t count = bones_.size();
    pose.locations.resize(count);
    pose.rotations.resize(count);
    pose.objectOffset = {0.0, 0.0, 0.0};
    if (frame.translations == nullptr || frame.rotations == nullptr) return;

    std::size_t performerCount = 0;
    for (const Bone& bone : bones_)
        performerCount = std::max(performerCount, static_cast<std::size_t>(bone.source + 1));
    performerCount = std::max(performerCount, static_cast<std::size_t>(performerHips_ + 1));
    for (const Leg& leg : legs_)
        performerCount = std::max(performerCount, static_cast<std::size_t>(leg.performerEnd + 1));
    std::vector<glm::dvec3> performerWorld(performerCount);
    for (std::size_t i = 0; i < performerCount; ++i)
        performerWorld[i] = worldOfChannel(frame.translations + 3 * i);

    std::vector<glm::dquat> worldRotations(count, glm::dquat(1.0, 0.0, 0.0, 0.0));
    for (std::size_t b = 0; b < count; ++b)
        if (bones_[b].source >= 0)
            worldRotations[b] = worldOfChannelRotation(frame.rotations + 4 * bones_[b].source) *
                                bones_[b].calibratedWorld;

    glm::dvec3 hips = OnRig(performerWorld[static_cast<std::size_t>(performerHips_)]);
    glm::dvec3 offset(0.0);
    if (frame.rootMotion != RootMotion::kFull) {
        offset = glm::dvec3(hips.x - hipsCalibrated_.x, hips.y - hipsCalibrated_.y, 0.0);
        hips -= offset;
        if (frame.rootMotion == RootMotion::kObject) pose.objectOffset = {offset.x, offset.y, 0.0};
    }

    std::vector<glm::dmat4> poses(count);
    Compose(worldRotations, hips, poses);
    if (frame.footPlanting && !legs_.empty()) {
        // A leg too short for its ankle's target lowers the hips until it reaches: the feet
        // stay planted, the rig crouches a little.
        const double drop = HipsDrop(performerWorld, offset, poses);
        if (drop > 0.0) {
            hips.z -= drop;
            Compose(worldRotations, hips, poses);
        }
        PlantFeet(performerWorld, offset, worldRotations, poses);
        Compose(worldRotations, hips, poses);
    }

    for (std::size_t b = 0; b < count; ++b) {
        const Bone& bone = bones_[b];
        const glm::dmat4 base =
            (bone.parent >= 0 ? poses[static_cast<std::size_t>(bone.parent)] : glm::dmat4(1.0)) *
            bone.restFromParent;
        const glm::dmat4 basis = glm::inverse(base) * poses[b];
        pose.locations[b] = {basis[3][0], basis[3][1], basis[3][2]};
        const glm::dquat r = rotationOf(basis);
        pose.rotations[b] = {r.w, r.x, r.y, r.z};
    }
}

}  // namespace telmora
