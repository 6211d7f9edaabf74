#pragma once
// The one place the motion core pulls GLM in. Quaternions are stored x, y, z, w (GLM's default;
// never define GLM_FORCE_QUAT_DATA_WXYZ), but glm::quat's constructor takes w first. Spell out
// components through quatXYZW so the order is always named.

#include <glm/glm.hpp>
#include <glm/gtc/quaternion.hpp>
#include <glm/gtx/matrix_decompose.hpp>

namespace telmora {

inline glm::quat quatXYZW(float x, float y, float z, float w) {
    return glm::quat(w, x, y, z);
}

inline const glm::quat kIdentityQuat = quatXYZW(0.0f, 0.0f, 0.0f, 1.0f);

}  // namespace telmora
