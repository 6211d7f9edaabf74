#pragma once
// Small BVH takes written for the tests, with joint angles we choose, so what the importer and
// the retargeting make of them can be checked against values worked out by hand.

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "motion/glm_conventions.h"

namespace telmora::test {

struct BvhJoint {
    std::string name;
    std::string parent;  // "" for the root
    glm::vec3 offset;
    std::string channelOrder = "ZYX";  // rotation channel order, first letter applied outermost
    glm::vec3 endSite{0.0f};           // written for joints without children
};

// One frame: per joint, the rotation values in the joint's channel order (degrees); the root
// also gets `rootPosition`.
struct BvhFrame {
    glm::vec3 rootPosition{0.0f};
    std::map<std::string, glm::vec3> angles;
};

class BvhBuilder {
public:
    void add(const BvhJoint& joint) { joints_.push_back(joint); }
    void remove(const std::string& name);
    BvhJoint* find(const std::string& name);
    // Writes the take; every second line ends in CRLF, the others in LF.
    void write(const std::string& path, const std::vector<BvhFrame>& frames,
               double frameTime = 1.0 / 30.0) const;

private:
    void writeJoint(std::ostream& out, const BvhJoint& joint, int depth, int& line) const;
    std::vector<BvhJoint> joints_;
};

// A humanoid in centimetres with the CMU cgspeed joint names: T-pose arms, or arms hanging
// straight down when `armsDown`.
BvhBuilder humanoidTake(bool armsDown);

// A path in the system's temporary folder, unique to this process and `tag`.
std::string temporaryPath(const std::string& tag);

}  // namespace telmora::test
