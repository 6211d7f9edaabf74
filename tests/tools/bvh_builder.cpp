#include "bvh_builder.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>

namespace telmora::test {
namespace {

std::string channelName(char axis) {
    return std::string(1, axis) + "rotation";
}

void endLine(std::ostream& out, int& line) {
    out << ((line++ % 2) ? "\r\n" : "\n");
}

}  // namespace

void BvhBuilder::remove(const std::string& name) {
    joints_.erase(
        std::remove_if(joints_.begin(), joints_.end(),
                       [&](const BvhJoint& j) { return j.name == name || j.parent == name; }),
        joints_.end());
}

BvhJoint* BvhBuilder::find(const std::string& name) {
    for (BvhJoint& j : joints_)
        if (j.name == name) return &j;
    return nullptr;
}

void BvhBuilder::writeJoint(std::ostream& out, const BvhJoint& joint, int depth, int& line) const {
    const std::string pad(depth * 2, ' ');
    out << pad << (joint.parent.empty() ? "ROOT " : "JOINT ") << joint.name;
    endLine(out, line);
    out << pad << "{";
    endLine(out, line);
    out << pad << "  OFFSET " << joint.offset.x << " " << joint.offset.y << " " << joint.offset.z;
    endLine(out, line);
    out << pad << "  CHANNELS "
        << (joint.parent.empty() ? "6 Xposition Yposition Zposition " : "3 ");
    for (char axis : joint.channelOrder) out << channelName(axis) << " ";
    endLine(out, line);
    bool hasChild = false;
    for (const BvhJoint& child : joints_) {
        if (child.parent != joint.name) continue;
        hasChild = true;
        writeJoint(out, child, depth + 1, line);
    }
    if (!hasChild) {
        out << pad << "  End Site";
        endLine(out, line);
        out << pad << "  {";
        endLine(out, line);
        out << pad << "    OFFSET " << joint.endSite.x << " " << joint.endSite.y << " "
            << joint.endSite.z;
        endLine(out, line);
        out << pad << "  }";
        endLine(out, line);
    }
    out << pad << "}";
    endLine(out, line);
}

void BvhBuilder::write(const std::string& path, const std::vector<BvhFrame>& frames,
                       double frameTime) const {
    std::ostringstream out;
    int line = 0;
    out << "HIERARCHY";
    endLine(out, line);
    // Channel values follow the order the joints are written in: depth first.
    std::vector<const BvhJoint*> order;
    std::function<void(const BvhJoint&)> visit = [&](const BvhJoint& joint) {
        order.push_back(&joint);
        for (const BvhJoint& child : joints_)
            if (child.parent == joint.name) visit(child);
    };
    for (const BvhJoint& joint : joints_) {
        if (!joint.parent.empty()) continue;
        writeJoint(out, joint, 0, line);
        visit(joint);
    }
    out << "MOTION";
    endLine(out, line);
    out << "Frames: " << frames.size();
    endLine(out, line);
    out << "Frame Time: " << frameTime;
    endLine(out, line);
    for (const BvhFrame& frame : frames) {
        for (const BvhJoint* joint : order) {
            if (joint->parent.empty())
                out << frame.rootPosition.x << " " << frame.rootPosition.y << " "
                    << frame.rootPosition.z << " ";
            const auto found = frame.angles.find(joint->name);
            const glm::vec3 a = found == frame.angles.end() ? glm::vec3(0.0f) : found->second;
            out << a.x << " " << a.y << " " << a.z << " ";
        }
        endLine(out, line);
    }
    std::ofstream(path, std::ios::binary) << out.str();
}

BvhBuilder humanoidTake(bool armsDown) {
    BvhBuilder take;
    take.add({"Hips", "", {0, 0, 0}});
    take.add({"Spine", "Hips", {0, 10, 0}});
    take.add({"Spine1", "Spine", {0, 20, 0}});
    take.add({"Neck", "Spine1", {0, 20, 0}});
    take.add({"Head", "Neck", {0, 10, 0}, "ZYX", {0, 12, 0}});
    for (int side = 0; side < 2; ++side) {
        const std::string s = side == 0 ? "Left" : "Right";
        const float x = side == 0 ? 1.0f : -1.0f;
        take.add({s + "Shoulder", "Spine1", {3 * x, 15, 0}});
        take.add({s + "Arm", s + "Shoulder", {12 * x, 0, 0}, "ZXY"});
        const glm::vec3 upper = armsDown ? glm::vec3(0, -25, 0) : glm::vec3(25 * x, 0, 0);
        const glm::vec3 lower = armsDown ? glm::vec3(0, -20, 0) : glm::vec3(20 * x, 0, 0);
        const glm::vec3 palm = armsDown ? glm::vec3(0, -8, 0) : glm::vec3(8 * x, 0, 0);
        take.add({s + "ForeArm", s + "Arm", upper, "ZXY"});
        take.add({s + "Hand", s + "ForeArm", lower, "ZXY", palm});
        take.add({s + "UpLeg", "Hips", {9 * x, -5, 0}});
        take.add({s + "Leg", s + "UpLeg", {0, -42, 0}});
        take.add({s + "Foot", s + "Leg", {0, -40, 0}});
        take.add({s + "ToeBase", s + "Foot", {0, -6, 12}, "ZYX", {0, 0, 6}});
    }
    return take;
}

std::string temporaryPath(const std::string& tag) {
    return (std::filesystem::temp_directory_path() /
            ("telmora-" + std::to_string(::getpid()) + "-" + tag))
        .string();
}

}  // namespace telmora::test
