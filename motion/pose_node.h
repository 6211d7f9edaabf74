#pragma once
// The solver's working form of one bone: a local transform and a non-owning parent link.
// World values are computed up the parent chain on every call, nothing is cached, so a change
// to any ancestor is seen at once.

#include "glm_conventions.h"

namespace telmora {

struct PoseNode {
    // Local offset from the parent node, in the units of the skeleton it was built from.
    glm::vec3 position{0.0f};
    // Local rotation.
    glm::quat rotation = kIdentityQuat;
    // Local scale; (1, 1, 1) throughout this program.
    glm::vec3 scale{1.0f};
    // Non-owning; null for a root. Always a node of the same list.
    const PoseNode* parent = nullptr;

    // Parent's world matrix * T(position) * R(rotation) * S(scale).
    glm::mat4 worldMatrix() const;
    // Parent's world matrix applied to (position, 1); the position itself for a root.
    glm::vec3 worldPosition() const;
    // Parent's world rotation * rotation; the rotation itself for a root.
    glm::quat worldRotation() const;
};

// A local rotation that realises world rotation `world` under `parent` (identity when null).
glm::quat localRotationFor(const PoseNode* parent, const glm::quat& world);

}  // namespace telmora
