#include "common/reimported.h"

#include <glm/gtc/quaternion.hpp>

namespace telmora::test {

glm::dmat4 toGlm(const aiMatrix4x4& m) {
    glm::dmat4 out;
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) out[col][row] = m[row][col];
    return out;
}

Reimported::Reimported(const std::string& path) {
    scene_ = importer_.ReadFile(path, 0);
    if (!scene_ || !scene_->mRootNode) return;
    index(scene_->mRootNode);
    if (scene_->mNumAnimations == 1) {
        const aiAnimation* animation = scene_->mAnimations[0];
        for (unsigned c = 0; c < animation->mNumChannels; ++c)
            channels_[animation->mChannels[c]->mNodeName.C_Str()] = animation->mChannels[c];
    }
}

const aiNode* Reimported::node(const std::string& name) const {
    const auto found = nodes_.find(name);
    return found == nodes_.end() ? nullptr : found->second;
}

const aiNodeAnim* Reimported::channel(const std::string& name) const {
    const auto found = channels_.find(name);
    return found == channels_.end() ? nullptr : found->second;
}

double Reimported::ticksPerSecond() const {
    const double ticks = scene_->mAnimations[0]->mTicksPerSecond;
    return ticks > 0.0 ? ticks : 1.0;
}

glm::dvec3 Reimported::position(const std::string& name, unsigned key) const {
    glm::dmat4 global(1.0);
    for (const aiNode* n = node(name); n; n = n->mParent) global = local(n, key) * global;
    return glm::dvec3(global[3]);
}

void Reimported::index(const aiNode* n) {
    nodes_[n->mName.C_Str()] = n;
    for (unsigned c = 0; c < n->mNumChildren; ++c) index(n->mChildren[c]);
}

glm::dmat4 Reimported::local(const aiNode* n, unsigned key) const {
    const aiNodeAnim* anim = channel(n->mName.C_Str());
    if (!anim) return toGlm(n->mTransformation);
    const aiVector3D& t = anim->mPositionKeys[key].mValue;
    const aiQuaternion& q = anim->mRotationKeys[key].mValue;
    glm::dmat4 m(glm::mat3_cast(glm::dquat(q.w, q.x, q.y, q.z)));
    m[3] = glm::dvec4(t.x, t.y, t.z, 1.0);
    return m;
}

}  // namespace telmora::test
