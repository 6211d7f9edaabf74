#pragma once
// A recorded take as the importer gives it: the performer's joints (parents first) and, for
// every captured frame, each joint's world position and world rotation in the take's own units
// and axes. The clips we ship are BVH (y up, performer's left +x, facing +z), but any format the
// importer reads gives the same record.

#include <optional>
#include <string>
#include <vector>

#include "motion/glm_conventions.h"

struct aiScene;

namespace telmora {

struct ClipJoint {
    std::string name;
    // Index of the parent joint in the same clip, -1 for a root. Parents come first.
    int parent = -1;
};

class PerformanceClip {
public:
    // Imports a take. On failure returns nothing and puts the importer's message in `error`.
    static std::optional<PerformanceClip> load(const std::string& path, std::string& error);
    // The same from a scene the importer has already read (`path` names it in messages). A
    // node track without position, rotation or scaling keys holds the node's rest value.
    static std::optional<PerformanceClip> fromScene(const aiScene& scene, const std::string& path,
                                                    std::string& error);

    const std::vector<ClipJoint>& joints() const { return joints_; }
    int jointCount() const { return static_cast<int>(joints_.size()); }
    // Index of the joint with exactly this name, or -1.
    int findJoint(const std::string& name) const;

    int frameCount() const { return frameCount_; }
    // Captured frames per second.
    double frameRate() const { return frameRate_; }
    // Length of one take unit in metres, guessed from the height of the rest pose (CMU BVH:
    // 0.056444; centimetre, millimetre, inch and metre takes are recognised too).
    float metresPerUnit() const { return metresPerUnit_; }

    // World values of joint j in frame f (take units and axes).
    const glm::vec3& worldPosition(int frame, int joint) const {
        return worldPositions_[static_cast<size_t>(frame * jointCount() + joint)];
    }
    const glm::quat& worldRotation(int frame, int joint) const {
        return worldRotations_[static_cast<size_t>(frame * jointCount() + joint)];
    }
    // The rest pose: every joint at its file offset, unanimated.
    const glm::vec3& restWorldPosition(int joint) const { return restPositions_[joint]; }
    const glm::quat& restWorldRotation(int joint) const { return restRotations_[joint]; }

private:
    std::vector<ClipJoint> joints_;
    int frameCount_ = 0;
    double frameRate_ = 0.0;
    float metresPerUnit_ = 1.0f;
    std::vector<glm::vec3> worldPositions_;
    std::vector<glm::quat> worldRotations_;
    std::vector<glm::vec3> restPositions_;
    std::vector<glm::quat> restRotations_;
};

// The unit, among those takes are kept in, that makes a rest pose `restHeightUnits` tall (lowest
// to highest joint) a plausible human.
float guessMetresPerUnit(float restHeightUnits);

}  // namespace telmora
