#include "tools/host/session_take.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "tools/host/host_driver.h"

namespace telmora::host {

using namespace ORSDK2026;

namespace {

struct PlottedJoint {
    FBModel* model = nullptr;
    int parent = -1;
};

// The bone models under the model bound to "Reference", parents before children.
std::vector<PlottedJoint> boneModels(FBModel* reference) {
    std::vector<PlottedJoint> joints;
    std::vector<std::pair<FBModel*, int>> pending;
    for (int i = reference->Children.GetCount() - 1; i >= 0; --i)
        pending.emplace_back(reference->Children[i], -1);
    while (!pending.empty()) {
        auto [model, parent] = pending.back();
        pending.pop_back();
        const int index = static_cast<int>(joints.size());
        joints.push_back({model, parent});
        for (int i = model->Children.GetCount() - 1; i >= 0; --i)
            pending.emplace_back(model->Children[i], index);
    }
    return joints;
}

std::vector<FBTime> keyTimes(FBAnimationNode* node) {
    std::vector<FBTime> times;
    for (int i = 0; i < node->KeyCount(); ++i) times.push_back(node->GetKey(i).time);
    return times;
}

}  // namespace

std::vector<StreamGap> keyGaps(const std::vector<double>& keyTimes, double start, double end,
                               double period) {
    std::vector<StreamGap> gaps;
    const double longest = 3.0 * period;
    double previous = start;
    for (double t : keyTimes) {
        if (t - previous > longest) gaps.push_back({previous, t - previous});
        previous = t;
    }
    if (end - previous > longest) gaps.push_back({previous, end - previous});
    return gaps;
}

void readFrameCounters(FBDevice* device, SessionReport& report) {
    fbhost::Host::instance().runIdle();
    report.framesSolved = deviceFigure(device, "FramesSolved").value_or(0);
    report.framesReceived = deviceFigure(device, "FramesReceived").value_or(0);
}

void takeFromPlottedModels(FBModel* reference, double framePeriod, SessionReport& report,
                           ProgressBar& bar) {
    fbhost::Host& host = fbhost::Host::instance();
    const std::vector<PlottedJoint> joints = boneModels(reference);
    if (joints.empty()) throw StepFailure{kExitFailed, "no bone model under 'Reference'"};
    const std::vector<FBTime> times =
        keyTimes(joints.front().model->Translation.GetAnimationNode());
    if (times.empty()) throw StepFailure{kExitFailed, "the plot left no keys"};
    Take& take = report.take;
    take.framePeriod = framePeriod;
    for (const PlottedJoint& joint : joints)
        take.joints.push_back({joint.model->Name.Get().str(), joint.parent});
    std::vector<FBMatrix> jointGlobals(joints.size());
    for (std::size_t k = 0; k < times.size(); ++k) {
        const FBTime t = times[k];
        take.times.push_back(t.GetSecondDouble());
        std::vector<JointPose> poses;
        std::vector<glm::dvec3> globals;
        // The host's own transforms, each joint's global from its parent's (parents come
        // first): one matrix product per joint rather than a walk up the chain.
        const FBMatrix referenceGlobal = host.modelGlobalMatrix(reference, t);
        for (std::size_t j = 0; j < joints.size(); ++j) {
            const PlottedJoint& joint = joints[j];
            const FBVector3d translation = host.modelTranslation(joint.model, t);
            const FBVector3d rotation = host.modelRotation(joint.model, t);
            JointPose pose;
            pose.translation = {translation[0], translation[1], translation[2]};
            pose.rotation = {rotation[0], rotation[1], rotation[2]};
            poses.push_back(pose);
            const FBMatrix& parentGlobal =
                joint.parent < 0 ? referenceGlobal
                                 : jointGlobals[static_cast<std::size_t>(joint.parent)];
            jointGlobals[j] = parentGlobal * host.modelLocalMatrix(joint.model, t);
            const FBMatrix& global = jointGlobals[j];
            globals.emplace_back(global(0, 3), global(1, 3), global(2, 3));
        }
        take.poses.push_back(std::move(poses));
        report.plottedGlobalPositions.push_back(std::move(globals));
        bar.update(static_cast<double>(k + 1) / static_cast<double>(times.size()),
                   std::to_string(k + 1) + "/" + std::to_string(times.size()) + " keys read");
    }
    // Every bone must be keyed at the same times as the first.
    for (const PlottedJoint& joint : joints) {
        if (keyTimes(joint.model->Translation.GetAnimationNode()) != times ||
            keyTimes(joint.model->Rotation.GetAnimationNode()) != times)
            throw StepFailure{kExitFailed, "bone '" + std::string(joint.model->Name.Get().str()) +
                                               "' is plotted at other times than the hips"};
    }
    // The root joints' poses are relative to "Reference", which the plot leaves at rest.
    const FBMatrix referenceMatrix = host.modelGlobalMatrix(reference, times.front());
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (std::abs(referenceMatrix(r, c) - (r == c ? 1.0 : 0.0)) > 1e-9)
                throw StepFailure{kExitFailed, "the 'Reference' model is not at rest"};
}

TakeCsvRowSource recordedRows(FBDevice* device, SessionReport& report) {
    fbhost::Host& host = fbhost::Host::instance();
    const std::vector<FBAnimationNode*> nodes = host.deviceNodes(device);
    for (FBAnimationNode* node : nodes)
        report.keysPerNode[node->Name.Get().str()] = node->KeyCount();
    struct Bone {
        std::string name;
        const std::vector<FBKey>* translation;
        const std::vector<FBKey>* rotation;
    };
    auto bones = std::make_shared<std::vector<Bone>>();
    for (FBAnimationNode* node : nodes) {
        const std::string name = node->Name.Get().str();
        if (name.size() < 3 || name.compare(name.size() - 2, 2, " T") != 0) continue;
        const std::string bone = name.substr(0, name.size() - 2);
        FBAnimationNode* rotation = host.findNode(device, bone + " R");
        if (!rotation) continue;
        bones->push_back({bone, &host.keys(node), &host.keys(rotation)});
    }
    std::size_t keyCount = 0;
    for (const Bone& bone : *bones) keyCount = std::max(keyCount, bone.translation->size());
    // The cursor: the key, and the bone within it.
    return [bones, keyCount, k = std::size_t{0}, b = std::size_t{0}](TakeCsvRow& row) mutable {
        for (; k < keyCount; ++k, b = 0) {
            while (b < bones->size()) {
                const Bone& bone = (*bones)[b++];
                if (k >= bone.translation->size() || k >= bone.rotation->size()) continue;
                const FBKey& t = (*bone.translation)[k];
                const FBKey& r = (*bone.rotation)[k];
                row.time = t.time.GetSecondDouble();
                row.bone = bone.name;
                row.translation = {t.value[0], t.value[1], t.value[2]};
                row.rotation = {r.value[0], r.value[1], r.value[2]};
                return true;
            }
        }
        return false;
    };
}

}  // namespace telmora::host
