#include "motion/limb_solver.h"

#include <algorithm>
#include <cmath>

#include "motion/vector_guards.h"

namespace telmora {

namespace {

// Where a limb's end should go: the performer's reach fraction carried over to the
// character's chain, from `root` along the target's direction.
glm::vec3 scaledEndTarget(const glm::vec3& root, const glm::vec3& target, float targetLength,
                          float characterLength, float chainLength) {
    return root + (target / targetLength) * characterLength * (targetLength / chainLength);
}

}  // namespace

bool LimbJob::Validate() const {
    return restNodes != nullptr && poseNodes != nullptr && restNodes->size() == poseNodes->size();
}

bool LimbJob::Run() const {
    if (!Validate()) return false;
    const PoseNodeList& rest = *restNodes;
    PoseNodeList& pose = *poseNodes;
    if (!pose.contains(upperBone) || !pose.contains(middleBone) || !pose.contains(endBone) ||
        !rest.contains(upperBone) || !rest.contains(middleBone) || !rest.contains(endBone)) {
        return true;
    }
    // Zero target, zero pole or zero chain length have no direction or no reach fraction.
    const float targetLenSq = glm::dot(target, target);
    const float poleLenSq = glm::dot(pole, pole);
    if (!isFinite(target) || !isFinite(pole) || !std::isfinite(chainLength) ||
        !(targetLenSq >= kMinLengthSq) || !(poleLenSq >= kMinLengthSq) ||
        !(std::fabs(chainLength) >= kMinLength)) {
        return true;
    }

    // 1. The character's own segment lengths in the current pose.
    const glm::vec3 p0 = pose.worldPosition(upperBone);
    const glm::vec3 p1 = pose.worldPosition(middleBone);
    const glm::vec3 p2 = pose.worldPosition(endBone);
    const float upperLength = glm::length(p1 - p0);
    const float lowerLength = glm::length(p2 - p1);

    // 2. End target.
    const float targetLength = std::sqrt(targetLenSq);
    glm::vec3 endTarget =
        scaledEndTarget(p0, target, targetLength, upperLength + lowerLength, chainLength);

    // 3. Hand blend: a short pole (under 0.1) pulls the end towards the opposite limb's end
    //    target, by a quarter of the way at most (k = 0.5 for poles under 0.05).
    const float poleLength = std::sqrt(poleLenSq);
    if (otherUpperBone >= 0 && otherMiddleBone >= 0 && otherEndBone >= 0 &&
        pose.contains(otherUpperBone) && pose.contains(otherMiddleBone) &&
        pose.contains(otherEndBone) && otherChainLength > kMinLength && isFinite(otherTarget)) {
        const float k = std::min(1.0f, std::min(1.0f, std::max(poleLength, 0.05f)) / 0.1f);
        const glm::vec3 o0 = pose.worldPosition(otherUpperBone);
        const glm::vec3 o1 = pose.worldPosition(otherMiddleBone);
        const glm::vec3 o2 = pose.worldPosition(otherEndBone);
        const float otherLenSq = glm::dot(otherTarget, otherTarget);
        // A zero opposite target means the opposite end sits on its root (the limit of the
        // formula), rather than a direction of 0 / 0.
        const glm::vec3 otherEnd =
            otherLenSq >= kMinLengthSq
                ? scaledEndTarget(o0, otherTarget, std::sqrt(otherLenSq),
                                  glm::length(o2 - o1) + glm::length(o1 - o0), otherChainLength)
                : o0;
        endTarget = (otherEnd * 0.5f + endTarget * 0.5f) * (1.0f - k) + endTarget * k;
    }

    // 4. Pole target: one unit from the root-end midpoint along the pole direction.
    const glm::vec3 poleTarget = p0 * 0.5f + endTarget * 0.5f + pole / poleLength;

    // 5. Two-bone frames; degenerate geometry keeps the limb as it was.
    const TwoBoneFrames frames = solveTwoBone(p0, endTarget, poleTarget, upperLength, lowerLength);
    if (!frames.valid) return true;

    // 6. Upper bone.
    pose.setWorldRotation(upperBone, frames.upperFrame * alignment * rest.worldRotation(upperBone));

    // 7. Middle bone, and 8. the forearm twist: half way from the bent frame towards the frame
    //    whose y axis follows the end's y axis about the middle bone's own x axis.
    const glm::quat lowerAligned = frames.lowerFrame * alignment;
    glm::quat middleWorld = lowerAligned;
    if (twist != 0) {
        const glm::vec3 endY = endRotation * glm::vec3(0.0f, 1.0f, 0.0f);
        const glm::vec3 forearmX = lowerAligned * glm::vec3(1.0f, 0.0f, 0.0f);
        const glm::vec3 z = glm::cross(forearmX, endY);
        const glm::vec3 y = glm::cross(z, forearmX);
        glm::quat twisted = glm::quat_cast(glm::mat3(forearmX, y, z));
        const float twistedLength = glm::length(twisted);
        twisted = twistedLength > 0.0f ? twisted / twistedLength : kIdentityQuat;
        middleWorld = glm::slerp(lowerAligned, twisted, 0.5f);
    }
    pose.setWorldRotation(middleBone, middleWorld * rest.worldRotation(middleBone));

    // 9. End bone.
    pose.setWorldRotation(endBone, endRotation * rest.worldRotation(endBone));
    return true;
}

TwoBoneFrames solveTwoBone(const glm::vec3& root, const glm::vec3& endTarget,
                           const glm::vec3& poleTarget, float upperLength, float lowerLength) {
    TwoBoneFrames result;
    const float a = upperLength;
    const float b = lowerLength;

    // 1. Root to end target. An end target on the root has no direction.
    const glm::vec3 toEnd = endTarget - root;
    const float d = glm::length(toEnd);
    if (!(d >= kMinJointDistance) || !std::isfinite(d)) return result;

    // 2.-3. Distance of the middle joint's foot along the root-target line, and its height
    //    off that line (law of cosines). Out of reach: straight along the line.
    float along = a;
    float height = 0.0f;
    if (d <= std::fabs(a + b)) {
        const float alongSolved = (a * a - b * b + d * d) / (d + d);
        height = std::sqrt(std::max(a * a - alongSolved * alongSolved, 0.0f));
        if (height >= kMinLength) along = alongSolved;
    }

    // 4.-6. Middle joint: off the line towards the pole target. A pole target on the line
    //    gives no side to bend to, and no plane for the frames either.
    const glm::vec3 u = toEnd / d;
    const glm::vec3 foot = root + u * along;
    const glm::vec3 toPole = poleTarget - foot;
    const glm::vec3 side = toPole - glm::dot(toPole, u) * u / glm::length(u);
    const float sideLength = glm::length(side);
    if (!(sideLength >= kMinJointDistance)) return result;
    const glm::vec3 middle = foot + (side / sideLength) * height;

    // 7. Bone axes; a zero-length bone has none.
    const glm::vec3 upperVec = middle - root;
    const glm::vec3 lowerVec = endTarget - middle;
    const float upperLen = glm::length(upperVec);
    const float lowerLen = glm::length(lowerVec);
    const glm::vec3 rootToPole = poleTarget - root;
    const float rootToPoleLen = glm::length(rootToPole);
    if (!(upperLen >= kMinJointDistance) || !(lowerLen >= kMinJointDistance) ||
        !(rootToPoleLen >= kMinJointDistance)) {
        return result;
    }
    const glm::vec3 x1 = upperVec / upperLen;
    const glm::vec3 x2 = lowerVec / lowerLen;

    // 8. Normal of the bending plane.
    const glm::vec3 n = rootToPole / rootToPoleLen;
    const glm::vec3 planeAxis = glm::cross(n, u);

    // 9.-10. Frames: x along the bone, y in the plane, z = x cross y.
    const glm::vec3 y1Raw = glm::cross(x1, planeAxis);
    const glm::vec3 y2Raw = glm::cross(x2, planeAxis);
    if (!(glm::dot(y1Raw, y1Raw) >= kMinLengthSq) || !(glm::dot(y2Raw, y2Raw) >= kMinLengthSq)) {
        return result;
    }
    const glm::vec3 y1 = glm::normalize(y1Raw);
    const glm::vec3 y2 = glm::normalize(y2Raw);
    result.upperFrame = glm::quat_cast(glm::mat3(x1, y1, glm::cross(x1, y1)));
    result.lowerFrame = glm::quat_cast(glm::mat3(x2, y2, glm::cross(x2, y2)));
    result.valid = isFinite(result.upperFrame) && isFinite(result.lowerFrame);
    if (!result.valid) result = TwoBoneFrames{};
    return result;
}

}  // namespace telmora
