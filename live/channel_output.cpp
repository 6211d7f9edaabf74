#include "live/channel_output.h"

#include <cmath>

namespace telmora {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegreesToRadians = kPi / 180.0;
constexpr double kRadiansToDegrees = 180.0 / kPi;
// Past this |sin(y)| the pitch counts as +-90 degrees: x and z turn about the same axis there
// and only their sum is defined.
constexpr double kGimbalLockSine = 0.9999999;

bool isFinite(const glm::dvec3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

double clampUnit(double v) {
    return v > 1.0 ? 1.0 : (v < -1.0 ? -1.0 : v);
}

}  // namespace

ValueSource valueSourceFor(bool live, bool plotting, bool modelBound) {
    if (live && !plotting) return ValueSource::kLiveChannel;
    if (modelBound) return ValueSource::kBoundModel;
    if (live) return ValueSource::kLiveChannel;
    return ValueSource::kNothing;
}

glm::dmat3 eulerXyzDegreesToMatrix(const glm::dvec3& degrees) {
    const glm::dvec3 radians = degrees * kDegreesToRadians;
    const double cx = std::cos(radians.x), sx = std::sin(radians.x);
    const double cy = std::cos(radians.y), sy = std::sin(radians.y);
    const double cz = std::cos(radians.z), sz = std::sin(radians.z);
    // GLM matrices are indexed [column][row].
    const glm::dmat3 rx(1.0, 0.0, 0.0, 0.0, cx, sx, 0.0, -sx, cx);
    const glm::dmat3 ry(cy, 0.0, -sy, 0.0, 1.0, 0.0, sy, 0.0, cy);
    const glm::dmat3 rz(cz, sz, 0.0, -sz, cz, 0.0, 0.0, 0.0, 1.0);
    return rz * ry * rx;
}

glm::dvec3 matrixToEulerXyzDegrees(const glm::dmat3& rotation) {
    // m[row][column] of the scale-free rotation; a zero column stays the identity's.
    double m[3][3];
    for (int column = 0; column < 3; ++column) {
        const double length = glm::length(rotation[column]);
        for (int row = 0; row < 3; ++row) {
            m[row][column] = length > 1e-300 ? rotation[column][row] / length : (row == column);
        }
    }
    // For R = Rz(c) Ry(b) Rx(a): R[2][0] = -sin b, R[2][1] = cos b sin a, R[2][2] = cos b cos a,
    // R[1][0] = cos b sin c, R[0][0] = cos b cos c.
    const double sinPitch = clampUnit(-m[2][0]);
    const double b = std::asin(sinPitch);
    double a = 0.0;
    double c = 0.0;
    if (std::fabs(sinPitch) < kGimbalLockSine) {
        a = std::atan2(m[2][1], m[2][2]);
        c = std::atan2(m[1][0], m[0][0]);
    } else {
        c = std::atan2(-m[0][1], m[1][1]);
    }
    return glm::dvec3(a, b, c) * kRadiansToDegrees;
}

bool applyReference(const glm::dmat4& reference, const BoneTransform& bone, BoneTransform& result) {
    if (!isFinite(reference) || !isFinite(bone)) return false;
    BoneTransform moved;
    moved.translation = glm::dvec3(reference * glm::dvec4(bone.translation, 1.0));
    moved.rotationDegrees = matrixToEulerXyzDegrees(glm::dmat3(reference) *
                                                    eulerXyzDegreesToMatrix(bone.rotationDegrees));
    if (!isFinite(moved)) return false;
    result = moved;
    return true;
}

bool isFinite(const BoneTransform& bone) {
    return isFinite(bone.translation) && isFinite(bone.rotationDegrees);
}

bool isFinite(const glm::dmat4& matrix) {
    for (int column = 0; column < 4; ++column) {
        if (!isFinite(glm::dvec3(matrix[column])) || !std::isfinite(matrix[column][3]))
            return false;
    }
    return true;
}

}  // namespace telmora
