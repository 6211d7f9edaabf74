#include "pose_node.h"

#include <glm/gtc/matrix_transform.hpp>

namespace telmora {

glm::mat4 PoseNode::worldMatrix() const {
    const glm::mat4 local = glm::translate(glm::mat4(1.0f), position) * glm::mat4_cast(rotation) *
                            glm::scale(glm::mat4(1.0f), scale);
    return parent ? parent->worldMatrix() * local : local;
}

glm::vec3 PoseNode::worldPosition() const {
    if (!parent) return position;
    return glm::vec3(parent->worldMatrix() * glm::vec4(position, 1.0f));
}

glm::quat PoseNode::worldRotation() const {
    return parent ? parent->worldRotation() * rotation : rotation;
}

glm::quat localRotationFor(const PoseNode* parent, const glm::quat& world) {
    return parent ? glm::inverse(parent->worldRotation()) * world : world;
}

}  // namespace telmora
