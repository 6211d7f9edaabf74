// The pose going to the host: every evaluation writes each bone's live value (or a bound
// model's own, offline and while plotting) into its nodes; recording keys the same values; the
// finished recording is plotted onto the bound models.

#include <glm/gtc/type_ptr.hpp>

#include "device/device.h"
#include "device/host_guards.h"
#include "live/channel_output.h"

using namespace ORSDK2026;
using namespace telmora::device;

namespace {

// The value of a model's translation or rotation at `time`: from its animation node when it
// has one, otherwise its current value.
glm::dvec3 evaluateProperty(FBPropertyAnimatableVector3d& property, FBTime time) {
    double values[3] = {0.0, 0.0, 0.0};
    if (FBAnimationNode* node = property.GetAnimationNode()) {
        node->Evaluate(values, time);
    } else {
        property.GetData(values, sizeof values);
    }
    return glm::make_vec3(values);
}

telmora::BoneTransform liveTransform(const telmora::ChannelRecord& record) {
    telmora::BoneTransform bone;
    bone.translation = glm::make_vec3(record.translation);
    bone.rotationDegrees = glm::make_vec3(record.rotation);
    return bone;
}

// One bone's values as the host takes them (arrays of doubles).
struct HostValues {
    FBTVector translation;
    FBRVector rotation;
};

// The one way a bone's values go to the host, live and recorded alike: moved by the reference
// when it applies (null when it does not), and only when every value is finite.
bool toHost(telmora::BoneTransform bone, const glm::dmat4* reference, HostValues& out) {
    if (reference != nullptr && !telmora::applyReference(*reference, bone, bone)) return false;
    if (!telmora::isFinite(bone)) return false;
    out.translation = FBTVector(bone.translation.x, bone.translation.y, bone.translation.z);
    out.rotation =
        FBRVector(bone.rotationDegrees.x, bone.rotationDegrees.y, bone.rotationDegrees.z);
    return true;
}

}  // namespace

bool ORDeviceSkeleton::ReferenceMatrix(glm::dmat4& reference, FBEvaluateInfo* info) {
    if (!useReferenceTransformation.Get() || referenceTemplate == nullptr) return false;
    FBModel* model = boundModel(referenceTemplate);
    if (model == nullptr) return false;
    FBMatrix global;
    model->GetMatrix(global, kModelTransformation, true, info);
    // Both store 16 doubles column by column.
    reference = glm::make_mat4(static_cast<const double*>(global));
    // A broken reference moves nothing: the values go out as the stream gives them.
    return telmora::isFinite(reference);
}

bool ORDeviceSkeleton::AnimationNodeNotify(FBAnimationNode* node, FBEvaluateInfo* info) {
    return guarded(false, [&] { return AnimationNodeNotifyUnguarded(node, info); });
}

bool ORDeviceSkeleton::AnimationNodeNotifyUnguarded(FBAnimationNode* node, FBEvaluateInfo* info) {
    if (node == nullptr || node->Reference.Get() < kFirstChannelReference) {
        return FBDevice::AnimationNodeNotify(node, info);
    }
    glm::dmat4 reference(1.0);
    const glm::dmat4* referenceApplied = ReferenceMatrix(reference, info) ? &reference : nullptr;
    const bool live = node->Live.Get();
    const FBTime localTime = info != nullptr ? info->GetLocalTime() : system.LocalTime.Get();
    // One publication for the whole evaluation: every bone from the same frame.
    const telmora::ChannelSnapshot channels = hardware.channelSnapshot();
    for (int i = 0; i < channels.channelCount; ++i) {
        BoneNodes& nodes = boneNodes[i];
        if (nodes.translationNode == nullptr || nodes.rotationNode == nullptr) continue;
        FBModel* model = boundModel(nodes.modelTemplate);
        telmora::BoneTransform bone;
        const telmora::ValueSource source =
            telmora::valueSourceFor(live, plotting, model != nullptr);
        if (source == telmora::ValueSource::kNothing) continue;
        if (source == telmora::ValueSource::kLiveChannel) {
            bone = liveTransform(channels.records[i]);
        } else {
            bone.translation = evaluateProperty(model->Translation, localTime);
            bone.rotationDegrees = evaluateProperty(model->Rotation, localTime);
        }
        HostValues values;
        if (!toHost(bone, referenceApplied, values)) continue;
        // Live values are global: the host places the bound models with them. A model's own
        // values (offline, plotting) go back as the node's data.
        if (live && !plotting) {
            nodes.rotationNode->WriteGlobalData(values.rotation, info);
            nodes.translationNode->WriteGlobalData(values.translation, info);
        } else {
            nodes.rotationNode->WriteData(values.rotation, info);
            nodes.translationNode->WriteData(values.translation, info);
        }
    }
    return FBDevice::AnimationNodeNotify(node, info);
}

void ORDeviceSkeleton::DeviceTimeNotify(int action, FBTime time) {
    guardedVoid([&] {
        if (action == 0) hardware.SetTimeBase(time);
    });
}

void ORDeviceSkeleton::DeviceIONotify(kDeviceIOs action, FBDeviceNotifyInfo& info) {
    guardedVoid([&] {
        hardware.AdvanceReplay();
        if (action == kIOStopModeRead || action == kIOPlayModeWrite) RecordSamples(info);
    });
}

void ORDeviceSkeleton::RecordSamples(FBDeviceNotifyInfo& info) {
    FBTime time = info.GetLocalTime();
    bool haveChannels = false;
    telmora::ChannelSnapshot channels;
    // A stale stream holds a frozen pose: its samples are acknowledged but not keyed, so the
    // curves run across the gap between real frames.
    const bool stale = hardware.streamStale();
    while (hardware.FetchSample(time)) {
        if (playerControl.GetTransportMode() == kFBTransportPlay && !stale) {
            if (!haveChannels) {
                // One publication per notification: all its samples carry the same frame.
                channels = hardware.channelSnapshot();
                haveChannels = true;
            }
            glm::dmat4 reference(1.0);
            const glm::dmat4* referenceApplied =
                ReferenceMatrix(reference, nullptr) ? &reference : nullptr;
            for (int i = 0; i < channels.channelCount; ++i) {
                const BoneNodes& nodes = boneNodes[i];
                // The same values as the live path: the keys are the live pose.
                HostValues values;
                if (!toHost(liveTransform(channels.records[i]), referenceApplied, values)) continue;
                if (nodes.translationNode != nullptr) {
                    if (FBAnimationNode* target = nodes.translationNode->GetAnimationToRecord())
                        target->KeyAdd(time, values.translation, kFBInterpolationCubic,
                                       kFBTangentModeAuto);
                }
                if (nodes.rotationNode != nullptr) {
                    if (FBAnimationNode* target = nodes.rotationNode->GetAnimationToRecord())
                        target->KeyAdd(time, values.rotation, kFBInterpolationCubic,
                                       kFBTangentModeAuto);
                }
            }
        }
        AckOneSampleReceived();
    }
}

void ORDeviceSkeleton::RecordingDoneAnimation(FBAnimationNode* node) {
    guardedVoid([&] {
        FBDevice::RecordingDoneAnimation(node);
        recordingDone = true;
    });
}

void ORDeviceSkeleton::Plot() {
    auto setBufferType = [this](bool global) {
        for (BoneNodes& nodes : boneNodes) {
            if (nodes.translationNode != nullptr) nodes.translationNode->SetBufferType(global);
            if (nodes.rotationNode != nullptr) nodes.rotationNode->SetBufferType(global);
        }
    };
    setBufferType(true);
    FBModelList models;
    FBGetSelectedModels(models, nullptr, true, false);
    for (int i = 0; i < models.GetCount(); ++i) models[i]->Selected = false;
    models.Clear();
    for (BoneNodes& nodes : boneNodes) {
        if (FBModel* model = boundModel(nodes.modelTemplate)) {
            model->Selected = true;
            models.InsertAt(models.GetCount(), model);
        }
    }
    {
        struct Plotting {
            bool& flag;
            explicit Plotting(bool& f) : flag(f) { flag = true; }
            ~Plotting() { flag = false; }
        } plottingNow(plotting);
        if (FBTake* take = system.CurrentTake.Get()) take->PlotTakeOnSelected(SamplingPeriod.Get());
    }
    for (int i = 0; i < models.GetCount(); ++i) models[i]->Selected = false;
    setBufferType(false);
    if (useReferenceTransformation.Get()) {
        if (FBModel* reference = boundModel(referenceTemplate)) {
            FBVector4d zero;
            reference->Translation.SetData(zero);
            reference->Rotation.SetData(zero);
        }
    }
}
