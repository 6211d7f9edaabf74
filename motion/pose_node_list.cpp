#include "motion/pose_node_list.h"

#include <new>

namespace telmora {

PoseNodeList::PoseNodeList(const Skeleton& skeleton, float scale, NodeEvaluation evaluation,
                           std::int32_t nodeCount)
    : count_(nodeCount < 0 ? 0 : (nodeCount > kMaxBones ? kMaxBones : nodeCount)),
      evaluation_(evaluation) {
    PoseNode* const list = nodes();
    for (std::int32_t i = 0; i < count_; ++i) {
        const Bone& bone = skeleton.bones[i];
        const bool linked = bone.parent >= 0 && bone.parent < i;
        parents_[i] = linked ? bone.parent : -1;
        // Built with its values in one go: default members first and then assigning would
        // write every node twice.
        new (&list[i]) PoseNode{scale * bone.offset, bone.rotation, glm::vec3(1.0f),
                                linked ? &list[bone.parent] : nullptr};
    }
}

void PoseNodeList::buildSubtrees() {
    for (std::int32_t i = 0; i < count_; ++i) {
        subtree_[i] = BoneMask{{0, 0}};
        subtree_[i].set(i);
    }
    // Children follow their parents, so one backward pass collects every subtree.
    for (std::int32_t i = count_ - 1; i > 0; --i) {
        if (parents_[i] >= 0) subtree_[parents_[i]].add(subtree_[i]);
    }
    subtreesBuilt_ = true;
}

void PoseNodeList::refresh(std::int32_t index) const {
    // Climb to the nearest fresh ancestor (or past the root), then rebuild downwards.
    std::int32_t chain[kMaxBones];
    int depth = 0;
    for (std::int32_t i = index; i >= 0 && !fresh_.test(i); i = parents_[i]) chain[depth++] = i;
    while (depth > 0) {
        const std::int32_t i = chain[--depth];
        const PoseNode& node = nodes()[i];
        const std::int32_t p = parents_[i];
        if (p < 0) {
            worldRot_[i] = node.rotation;
            worldPos_[i] = node.position;
        } else {
            worldRot_[i] = worldRot_[p] * node.rotation;
            worldPos_[i] = worldPos_[p] + worldRot_[p] * node.position;
        }
        fresh_.set(i);
    }
}

glm::mat4 PoseNodeList::worldMatrix(std::int32_t index) const {
    if (evaluation_ == NodeEvaluation::kRecursive) return nodes()[index].worldMatrix();
    if (!fresh_.test(index)) refresh(index);
    // translate(I, p) * mat4_cast(r): the rotation's columns with p as column 3.
    glm::mat4 world = glm::mat4_cast(worldRot_[index]);
    world[3] = glm::vec4(worldPos_[index], 1.0f);
    return world;
}

}  // namespace telmora
