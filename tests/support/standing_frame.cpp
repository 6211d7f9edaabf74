#include "support/standing_frame.h"

#include <glm/gtc/quaternion.hpp>

namespace telmora::test {

SensorFrame standingFrame() {
    SensorFrame f;
    f.formatVersion = 2;
    f.hipsHeight = 0.953f;
    f.rootPosition = glm::vec3(0.1f, 0.953f, 0.2f);
    f.targets[kLeftArmTarget] = {{0.45f, -0.1f, 0.15f}, {0.0f, 0.3f, -0.9f}, 0.498f};
    f.targets[kRightArmTarget] = {{-0.45f, -0.1f, 0.15f}, {0.0f, 0.3f, -0.9f}, 0.498f};
    f.targets[kLeftLegTarget] = {{0.0f, -0.75f, 0.05f}, {0.0f, 0.0f, 1.0f}, 0.776f};
    f.targets[kRightLegTarget] = {{0.0f, -0.75f, 0.05f}, {0.0f, 0.0f, 1.0f}, 0.776f};
    f.targets[kSpineTarget] = {{0.0f, 0.19f, 0.02f}, {0.0f, 0.0f, -1.0f}, 0.2f};
    f.targets[kHeadTarget] = {{0.0f, 0.06f, 0.02f}, {0.0f, 0.0f, -1.0f}, 0.065f};
    for (int t = kLeftThumbTarget; t <= kRightPinkyTarget; ++t) {
        const float side = (t % 2 == 0) ? 1.0f : -1.0f;  // even targets are left
        f.targets[t] = {{side * 0.08f, -0.01f, 0.02f}, {0.0f, 0.0f, 0.0f}, 0.09f};
    }
    f.auxValues[6] = 0.19f;
    f.auxValues[7] = 0.52f;
    f.auxValues[9] = -0.19f;
    f.auxValues[10] = 0.52f;
    f.hipsRotation = glm::angleAxis(0.3f, glm::vec3(0.0f, 1.0f, 0.0f));
    f.leftHandRotation = glm::angleAxis(0.4f, glm::normalize(glm::vec3(1.0f, 0.2f, 0.0f)));
    f.rightHandRotation = glm::angleAxis(-0.4f, glm::normalize(glm::vec3(1.0f, -0.2f, 0.0f)));
    f.leftFootRotation = glm::angleAxis(0.2f, glm::vec3(0.0f, 1.0f, 0.0f));
    f.rightFootRotation = glm::angleAxis(-0.2f, glm::vec3(0.0f, 1.0f, 0.0f));
    return f;
}

}  // namespace telmora::test
