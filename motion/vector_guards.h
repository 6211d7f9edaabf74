#pragma once
// Normalisations that never hand a NaN onward, for the solvers.

#include <cmath>

#include "motion/glm_conventions.h"

namespace telmora {

inline bool isFinite(const glm::vec3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

inline bool isFinite(const glm::quat& q) {
    return std::isfinite(q.x) && std::isfinite(q.y) && std::isfinite(q.z) && std::isfinite(q.w);
}

// v / |v|, or (0, 0, 0) when |v| is too small to give a direction (or v is not finite).
inline glm::vec3 normalizedOrZero(const glm::vec3& v) {
    const float lenSq = glm::dot(v, v);
    if (!(lenSq >= 1.4210855e-14f) || !std::isfinite(lenSq)) return glm::vec3(0.0f);
    return v / std::sqrt(lenSq);
}

// v / |v|, or (0, 0, 0) when |v| is under minLength: for directions between two joints, where
// "coincident" means closer than rounding noise, not exactly equal.
inline glm::vec3 normalizedOrZero(const glm::vec3& v, float minLength) {
    const float lenSq = glm::dot(v, v);
    if (!(lenSq >= minLength * minLength) || !std::isfinite(lenSq)) return glm::vec3(0.0f);
    return v / std::sqrt(lenSq);
}

// q / |q|, or the identity when q has no usable length (or is not finite).
inline glm::quat unitOrIdentity(const glm::quat& q) {
    const float lenSq = glm::dot(q, q);
    if (!(lenSq > 0.0f) || !std::isfinite(lenSq)) return kIdentityQuat;
    return q * (1.0f / std::sqrt(lenSq));
}

}  // namespace telmora
