#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/take_export/take_export.h"
#include "tools/take_export/text_output.h"

namespace telmora {
namespace {

void appendVector(std::string& text, const glm::dvec3& v) {
    appendFixed6(text, v.x);
    text += ' ';
    appendFixed6(text, v.y);
    text += ' ';
    appendFixed6(text, v.z);
}

struct HierarchyWriter {
    const Take& take;
    const std::vector<std::vector<int>>& children;
    std::string& text;

    void joint(int j, int depth) {
        const std::string indent(static_cast<std::size_t>(depth), '\t');
        const JointPose& rest = take.poses[0][static_cast<std::size_t>(j)];
        text += indent + (take.joints[j].parent < 0 ? "ROOT " : "JOINT ") + take.joints[j].name;
        text += '\n' + indent + "{\n" + indent + "\tOFFSET ";
        appendVector(text, rest.translation);
        text += '\n' + indent +
                "\tCHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n";
        if (children[j].empty()) {
            // The End Site carries the leaf's length for packages that draw bones to it: a
            // quarter of the bone leading to the leaf, continued in the leaf's own frame.
            glm::dvec3 end =
                0.25 * (glm::transpose(eulerDegreesToMatrix(rest.rotation)) * rest.translation);
            if (glm::dot(end, end) < 1e-12) end = glm::dvec3(0.0, 1.0, 0.0);
            text += indent + "\tEnd Site\n" + indent + "\t{\n" + indent + "\t\tOFFSET ";
            appendVector(text, end);
            text += '\n' + indent + "\t}\n";
        }
        for (int child : children[j]) joint(child, depth + 1);
        text += indent + "}\n";
    }
};

}  // namespace

bool writeTakeBvh(const std::string& path, const Take& take, std::string& error) {
    return writeWithoutThrowing("the BVH file", error, [&] {
        if (!validateTake(take, error)) return false;
        const int jointCount = static_cast<int>(take.joints.size());
        std::vector<std::vector<int>> children(take.joints.size());
        int roots = 0;
        for (int j = 0; j < jointCount; ++j) {
            if (take.joints[j].parent < 0)
                ++roots;
            else
                children[take.joints[j].parent].push_back(j);
        }
        if (roots != 1) {
            error = "a BVH file holds one root joint; the take has " + std::to_string(roots);
            return false;
        }
        // BVH has no key times, only frames every Frame Time: refuse keys off that grid rather
        // than write a take that plays at the wrong times.
        for (std::size_t k = 0; k < take.times.size(); ++k) {
            const double expected = take.times[0] + static_cast<double>(k) * take.framePeriod;
            if (std::fabs(take.times[k] - expected) > 0.01 * take.framePeriod) {
                error = "key " + std::to_string(k) + " at " + std::to_string(take.times[k]) +
                        " s is not on the BVH frame grid (expected " + std::to_string(expected) +
                        " s for a frame time of " + std::to_string(take.framePeriod) + " s)";
                return false;
            }
        }

        ChunkedTextFile file;
        if (!file.open(path, error)) return false;
        std::string& text = file.text;
        text = "HIERARCHY\n";
        HierarchyWriter{take, children, text}.joint(0, 0);
        // Channel order in the frames follows the hierarchy's depth-first order, which is not
        // necessarily the take's order.
        std::vector<int> order;
        order.reserve(take.joints.size());
        std::vector<int> stack{0};
        while (!stack.empty()) {
            const int j = stack.back();
            stack.pop_back();
            order.push_back(j);
            for (auto c = children[j].rbegin(); c != children[j].rend(); ++c) stack.push_back(*c);
        }
        text += "MOTION\nFrames: " + std::to_string(take.times.size()) + "\nFrame Time: ";
        char period[32];
        std::snprintf(period, sizeof period, "%.9g", take.framePeriod);
        text += period;
        text += '\n';

        std::vector<glm::dvec3> angles(take.joints.size());
        for (std::size_t k = 0; k < take.times.size(); ++k) {
            for (std::size_t i = 0; i < order.size(); ++i) {
                const auto j = static_cast<std::size_t>(order[i]);
                const JointPose& pose = take.poses[k][j];
                angles[j] = k == 0 ? pose.rotation : unrollEulerDegrees(pose.rotation, angles[j]);
                if (i > 0) text += ' ';
                appendVector(text, pose.translation);
                text += ' ';
                appendVector(text, glm::dvec3(angles[j].z, angles[j].y, angles[j].x));
            }
            text += '\n';
            if (!file.flushIfFull(error)) return false;
        }
        return file.finish(error);
    });
}

}  // namespace telmora
