#pragma once
// A picture of skeleton poses for a person to check at a glance: for each chosen moment a front
// view (the character facing the viewer, so their left, +x, is on the picture's right) above a
// side view (seen from the character's right, facing right: screen x is world z), y up, the floor
// at y = 0. Bones are drawn as lines from parent to child (left side blue, right side red, trunk
// grey; thin bones, such as fingers, thinner) and optional marker points as green rings.

#include <glm/glm.hpp>
#include <string>
#include <vector>

namespace telmora {

enum class BoneSide { kLeft, kRight, kCentre };

// How one bone is drawn.
struct PictureBone {
    // Index of the parent bone, -1 for a root (drawn as a point only).
    int parent = -1;
    BoneSide side = BoneSide::kCentre;
    // Drawn with a thin line (fingers).
    bool thin = false;
};

// The style a bone of a humanoid gets from its name: "Left..." and "Right..." (any case) give
// the side; a name continuing after "Hand" (a finger: "LeftHandIndex2") is thin.
PictureBone pictureBoneFromName(const std::string& name, int parent);

// One moment: its caption time and every bone's global position.
struct PictureMoment {
    // Shown in the panel's caption, seconds.
    double seconds = 0.0;
    // One global position per bone, centimetres, y up. Bone 0 is kept at the panels' centre.
    std::vector<glm::dvec3> positions;
    // Points drawn as rings (e.g. the targets a frame asked for), centimetres; may be empty.
    std::vector<glm::dvec3> markers;
};

// Writes a PNG of up to `maxMoments` moments, evenly chosen from `moments` (first and last
// included), each as a front and a side panel of 230 cm height. False, with the reason in
// `error`, when there is nothing to draw, a moment's positions do not match `bones`, or the file
// cannot be written.
bool writeSkeletonPicture(const std::string& path, const std::vector<PictureBone>& bones,
                          const std::vector<PictureMoment>& moments, const std::string& title,
                          std::string& error, int maxMoments = 6);

}  // namespace telmora
