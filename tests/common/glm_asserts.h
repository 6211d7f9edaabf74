#pragma once
// Tolerance checks for GLM values in tests. Quaternions compare up to sign (q and -q are the
// same rotation).

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "motion/glm_conventions.h"

namespace telmora::test {

inline std::string str(const glm::vec3& v) {
    std::ostringstream out;
    out << "(" << v.x << ", " << v.y << ", " << v.z << ")";
    return out.str();
}

inline std::string str(const glm::quat& q) {
    std::ostringstream out;
    out << "(x " << q.x << ", y " << q.y << ", z " << q.z << ", w " << q.w << ")";
    return out.str();
}

inline ::testing::AssertionResult vecNear(const glm::vec3& actual, const glm::vec3& expected,
                                          float tolerance) {
    const float distance = glm::length(actual - expected);
    if (distance <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << str(actual) << " is " << distance << " from "
                                         << str(expected) << " (tolerance " << tolerance << ")";
}

inline ::testing::AssertionResult quatNear(const glm::quat& actual, const glm::quat& expected,
                                           float tolerance) {
    const float same = glm::length(glm::vec4(actual.x - expected.x, actual.y - expected.y,
                                             actual.z - expected.z, actual.w - expected.w));
    const float flipped = glm::length(glm::vec4(actual.x + expected.x, actual.y + expected.y,
                                                actual.z + expected.z, actual.w + expected.w));
    if (std::fmin(same, flipped) <= tolerance) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << str(actual) << " differs from " << str(expected) << " by " << std::fmin(same, flipped)
           << " (tolerance " << tolerance << ", up to sign)";
}

// Angle in radians between the rotations of two quaternions.
inline float rotationAngle(const glm::quat& a, const glm::quat& b) {
    const float d = std::fabs(glm::dot(glm::normalize(a), glm::normalize(b)));
    return 2.0f * std::acos(std::fmin(1.0f, d));
}

}  // namespace telmora::test
