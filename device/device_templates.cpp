// The device's model templates: one per bone under "Reference", built once, each bound to its
// bone's two nodes; taken down in one place; and the bound models left where they are when
// the device lets go of them.

#include "device/device.h"
#include "device/host_guards.h"

using namespace ORSDK2026;
using namespace telmora::device;

bool ORDeviceSkeleton::BuildNodesAndTemplates(const telmora::ChannelSnapshot& channels) {
    const int count = channels.channelCount < telmora::kMaxChannels ? channels.channelCount
                                                                    : telmora::kMaxChannels;
    for (int i = 0; i < count; ++i) {
        const telmora::ChannelRecord& record = channels.records[i];
        if (record.bone == nullptr) return false;
        const FBString name(record.bone->name);
        BoneNodes& nodes = boneNodes[i];
        const int reference = static_cast<int>(kFirstChannelReference) + i;
        if (nodes.translationNode == nullptr) {
            nodes.translationNode = AnimationNodeOutCreate(
                reference, name + " T", "Lcl Translation", true, nullptr, nullptr, false);
        }
        if (nodes.rotationNode == nullptr) {
            nodes.rotationNode = AnimationNodeOutCreate(reference, name + " R", "Lcl Rotation",
                                                        true, nullptr, nullptr, false);
        }
        // The host refused a node: no channel can work without both.
        if (nodes.translationNode == nullptr || nodes.rotationNode == nullptr) return false;
        if (nodes.modelTemplate == nullptr) {
            nodes.modelTemplate =
                new FBModelTemplate("SkeletonDevice", name, kFBModelTemplateSkeleton);
            nodes.modelTemplate->Bindings.Add(nodes.translationNode);
            nodes.modelTemplate->Bindings.Add(nodes.rotationNode);
        }
    }
    if (!templatesLinked) {
        for (int i = 0; i < count; ++i) {
            const std::int32_t parent = channels.records[i].parentIndex;
            FBModelTemplate* parentTemplate = nullptr;
            if (parent == -1) {
                parentTemplate = referenceTemplate;
            } else if (parent >= 0 && parent < count) {
                parentTemplate = boneNodes[parent].modelTemplate;
            }
            if (parentTemplate != nullptr) parentTemplate->Children.Add(boneNodes[i].modelTemplate);
        }
        templatesLinked = true;
    }
    return true;
}

bool ORDeviceSkeleton::ReleaseChannels() {
    ScopedProgress progress("Device", "Shutting down device...");
    // The templates go first: none is left bound to a node destroyed here.
    DestroyBoneTemplates();
    for (BoneNodes& nodes : boneNodes) {
        if (nodes.translationNode != nullptr) AnimationNodeDestroy(nodes.translationNode);
        if (nodes.rotationNode != nullptr) AnimationNodeDestroy(nodes.rotationNode);
        nodes.translationNode = nullptr;
        nodes.rotationNode = nullptr;
    }
    return true;
}

void ORDeviceSkeleton::DestroyBoneTemplates() {
    // Unbound and unlinked, all of them, before the first is deleted.
    for (BoneNodes& nodes : boneNodes) {
        if (nodes.modelTemplate == nullptr) continue;
        nodes.modelTemplate->Bindings.RemoveAll();
        if (referenceTemplate != nullptr &&
            referenceTemplate->Children.Find(nodes.modelTemplate) >= 0)
            referenceTemplate->Children.Remove(nodes.modelTemplate);
        nodes.modelTemplate->Children.RemoveAll();
    }
    for (BoneNodes& nodes : boneNodes) {
        if (nodes.modelTemplate != nullptr) ORSDK2026::FBDelete(nodes.modelTemplate);
        nodes.modelTemplate = nullptr;
    }
    templatesLinked = false;
}

FBModel* ORDeviceSkeleton::ReferenceModel() const {
    return boundModel(referenceTemplate);
}

bool ORDeviceSkeleton::ModelTemplateUnBindNotify(int /*index*/, FBModelTemplate* modelTemplate) {
    return guarded(true, [&] {
        const bool busy = GetObjectStatus(kFBStatusCreating) || GetObjectStatus(kFBStatusMerging) ||
                          GetObjectStatus(kFBStatusDestroying);
        FBModel* model = boundModel(modelTemplate);
        if (model == nullptr || referenceTemplate == nullptr ||
            model != boundModel(referenceTemplate) || busy) {
            return true;
        }
        CandidatesFromReferenceModel();
        return true;
    });
}

void ORDeviceSkeleton::CandidatesFromReferenceModel() {
    // Keeps the bound models where they are once the device stops driving them.
    struct PauseEvaluation {
        FBPlayerControl& control;
        explicit PauseEvaluation(FBPlayerControl& c) : control(c) { control.EvaluationPause(); }
        ~PauseEvaluation() { control.EvaluationResume(); }
    } pause(FBPlayerControl::TheOne());
    auto makeCandidate = [](FBPropertyAnimatableVector3d& property) {
        property.SetAnimated(true, false);
        double values[3] = {0.0, 0.0, 0.0};
        property.GetData(values, sizeof values);
        if (FBAnimationNode* node = property.GetAnimationNode()) node->SetCandidate(values);
    };
    for (BoneNodes& nodes : boneNodes) {
        FBModel* model = boundModel(nodes.modelTemplate);
        if (model == nullptr) continue;
        if (nodes.translationNode != nullptr) makeCandidate(model->Translation);
        if (nodes.rotationNode != nullptr) makeCandidate(model->Rotation);
    }
}
