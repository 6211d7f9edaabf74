#include "device/device.h"

#include <chrono>
#include <ctime>
#include <exception>
#include <filesystem>
#include <glm/gtc/type_ptr.hpp>
#include <string>

#include "live/channel_output.h"
#include "live/device_texts.h"

using namespace ORSDK2026;

namespace {

// Runs a host-facing operation; anything it throws ends here with `fallback` as the answer.
template <typename Result, typename Body>
Result guarded(Result fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

template <typename Body>
void guardedVoid(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

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

// The host's vectors take the values as arrays of doubles.
FBTVector translationOf(const telmora::BoneTransform& bone) {
    return FBTVector(bone.translation.x, bone.translation.y, bone.translation.z);
}
FBRVector rotationOf(const telmora::BoneTransform& bone) {
    return FBRVector(bone.rotationDegrees.x, bone.rotationDegrees.y, bone.rotationDegrees.z);
}

FBModel* boundModel(FBModelTemplate* modelTemplate) {
    return modelTemplate != nullptr ? modelTemplate->Model.Get() : nullptr;
}

// Sets an indicator's caption (and text) before it is shown, and always closes it.
class ScopedProgress {
public:
    explicit ScopedProgress(const char* caption, const char* text = nullptr) {
        progress_.Caption = caption;
        if (text != nullptr) progress_.Text = text;
        progress_.ProgressBegin();
    }
    ~ScopedProgress() { progress_.ProgressDone(); }
    void text(const char* value) { progress_.Text = value; }

private:
    FBProgress progress_;
};

}  // namespace

ORDeviceSkeleton::ORDeviceSkeleton(const char* name) : FBDevice(name) {}

ORDeviceSkeleton::~ORDeviceSkeleton() {
    guardedVoid([this] {
        // The handler points at this device: gone before the stream is stopped, so neither the
        // marker that stopping delivers nor one the server sends meanwhile reaches it.
        hardware.SetStreamEndHandler(nullptr);
        hardware.StopTestServerStream();
        hardware.DisconnectStream();
        if (idleHandlerAdded) {
            FBSystem::TheOne().OnIdle.Remove(this, (FBCallback)&ORDeviceSkeleton::EventIdle);
            idleHandlerAdded = false;
        }
        // The templates are the device's own (the base device only takes its nodes with it):
        // the bone templates left by a device never finished with operation 5, then
        // "Reference".
        for (BoneNodes& nodes : boneNodes) {
            if (nodes.modelTemplate == nullptr) continue;
            if (referenceTemplate != nullptr)
                referenceTemplate->Children.Remove(nodes.modelTemplate);
            nodes.modelTemplate->Children.RemoveAll();
            nodes.modelTemplate->Bindings.RemoveAll();
        }
        for (BoneNodes& nodes : boneNodes) {
            if (nodes.modelTemplate != nullptr) ORSDK2026::FBDelete(nodes.modelTemplate);
            nodes.modelTemplate = nullptr;
        }
        if (referenceTemplate != nullptr) {
            ModelTemplate.Remove(referenceTemplate);
            referenceTemplate->Children.RemoveAll();
            ORSDK2026::FBDelete(referenceTemplate);
            referenceTemplate = nullptr;
        }
    });
}

const char* ORDeviceSkeleton::ClassName() {
    return telmora::kDeviceClassName;
}

bool ORDeviceSkeleton::Is(int typeId) {
    return typeId == classTypeId || FBDevice::Is(typeId);
}

int ORDeviceSkeleton::GetTypeId() {
    return classTypeId;
}

void ORDeviceSkeleton::FBDelete() {
    FBComponent::FBDelete();
}

bool ORDeviceSkeleton::FBCreate() {
    return guarded(false, [this] {
        referenceTemplate =
            new FBModelTemplate("SkeletonDevice", "Reference", kFBModelTemplateRoot);
        ModelTemplate.Add(referenceTemplate);
        templatesLinked = false;
        recordingDone = false;
        plotting = false;
        SamplingMode = kFBHardwareTimestamp;
        SamplingPeriod = FBTime(0, 0, 1, 0) / 60.0;
        useReferenceTransformation.CreateInternal(this, kFBPT_bool, "UseReferenceTransformation",
                                                  nullptr, nullptr);
        PropertyAdd(&useReferenceTransformation);
        useReferenceTransformation = true;
        framesReceived.CreateInternal(this, kFBPT_ULongLong, "FramesReceived");
        PropertyAdd(&framesReceived);
        framesSolved.CreateInternal(this, kFBPT_ULongLong, "FramesSolved");
        PropertyAdd(&framesSolved);
        staleTime.CreateInternal(this, kFBPT_double, "StaleTime");
        PropertyAdd(&staleTime);
        staleTime = telmora::StreamHealth::kDefaultStaleSeconds;
        captureRawStream.CreateInternal(this, kFBPT_bool, "CaptureRawStream");
        PropertyAdd(&captureRawStream);
        captureRawStream = false;
        captureFolder.CreateInternal(this, kFBPT_charptr, "CaptureFolder");
        PropertyAdd(&captureFolder);
        {
            std::error_code ec;
            const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
            captureFolder =
                (ec ? std::filesystem::path("captures") : temp / "TelmoraLink" / "captures")
                    .string()
                    .c_str();
        }
        capturePath.CreateInternal(this, kFBPT_charptr, "CapturePath");
        PropertyAdd(&capturePath);
        replayFile.CreateInternal(this, kFBPT_charptr, "ReplayFile");
        PropertyAdd(&replayFile);
        FBSystem::TheOne().OnIdle.Add(this, (FBCallback)&ORDeviceSkeleton::EventIdle);
        idleHandlerAdded = true;
        return true;
    });
}

void ORDeviceSkeleton::FBDestroy() {
    guardedVoid([this] {
        FBDevice::FBDestroy();
        FBSystem::TheOne().OnIdle.Remove(this, (FBCallback)&ORDeviceSkeleton::EventIdle);
        idleHandlerAdded = false;
    });
}

bool ORDeviceSkeleton::SetStdCandidateTranslation() {
    return true;
}

bool ORDeviceSkeleton::SetStdCandidateRotation() {
    return true;
}

bool ORDeviceSkeleton::DeviceOperation(kDeviceOperations operation) {
    return guarded(false, [&] {
        switch (operation) {
            case kOpInit:
                return Init();
            case kOpStart:
                return Open();
            case kOpStop:
                return Close();
            case kOpReset:
                Close();
                return Open();
            case kOpDone:
                return ReleaseChannels();
            default:
                return FBDevice::DeviceOperation(operation);
        }
    });
}

bool ORDeviceSkeleton::Init() {
    ScopedProgress progress("Device", "Initializing device...");
    const char* failed = telmora::kStatusNoChannelInformation;
    if (!hardware.SetupChannels()) {
        Status = failed;
        return false;
    }
    templatesLinked = false;
    bool built = false;
    try {
        built = BuildNodesAndTemplates(hardware.channelSnapshot());
    } catch (...) {
        built = false;
    }
    if (!built) {
        Status = failed;
        return false;
    }
    hardware.SetStreamEndHandler([this] { streamEnded.store(true); });
    return true;
}

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

bool ORDeviceSkeleton::Open() {
    streamEnded.store(false);
    staleShown = false;
    gapsLogged = 0;
    ScopedProgress progress("Setting up device");
    WatchCaptureAndReplay();
    // The capture starts before the stream, so it holds the first keep-alive.
    StartCapture();
    if (!hardware.ConnectStream()) {
        hardware.StopCapture();
        Status = telmora::kStatusOpenFailed;
        return false;
    }
    progress.text("Device found, scanning for channel information...");
    Status = telmora::kStatusRetrievingChannels;
    if (!hardware.StartTestServerStream()) {
        Status = telmora::kStatusStartFailed;
        return false;
    }
    return true;
}

bool ORDeviceSkeleton::Close() {
    ScopedProgress progress("Shutting down device");
    if (!hardware.StopTestServerStream()) {
        Status = telmora::kStatusStopFailed;
        return false;
    }
    progress.text(telmora::kStatusClosing);
    Status = telmora::kStatusClosing;
    if (!hardware.DisconnectStream()) Status = telmora::kStatusCloseFailed;
    hardware.StopCapture();
    return false;
}

void ORDeviceSkeleton::StartCapture() {
    captureErrorShown = false;
    if (!captureRawStream.Get() || hardware.replaying()) return;
    // UTC, to the second: one file per online period, in the order they were made.
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::filesystem::path folder(captureFolder.Get().str());
    const std::filesystem::path path =
        folder / telmora::captureFileName(hardware.sourceName(), hardware.subjectName(), stamp);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::string error;
    if (!hardware.StartCapture(path.string(), error)) {
        // The stream goes on without its capture.
        const std::string text = telmora::kStatusCaptureFailedPrefix + error;
        telmora::writeLine(log, telmora::LogStream::Err, text + "\n");
        Status = text.c_str();
        return;
    }
    capturePath = path.string().c_str();
}

void ORDeviceSkeleton::WatchCaptureAndReplay() {
    const std::string wanted = replayFile.Get().str();
    // A new replay file waits until the device is offline: it never cuts a running stream.
    if (wanted != replayLoaded && !(Online.Get() && hardware.streaming())) {
        replayLoaded = wanted;
        std::string error;
        if (!hardware.LoadReplay(wanted, error)) {
            const std::string text = telmora::kStatusReplayFailedPrefix + error;
            telmora::writeLine(log, telmora::LogStream::Err, text + "\n");
            Status = text.c_str();
        }
    }
    const telmora::CaptureFigures capture = hardware.captureFigures();
    if (!capture.error.empty() && !captureErrorShown) {
        captureErrorShown = true;
        Status = (telmora::kStatusCaptureStoppedPrefix + capture.error).c_str();
    }
}

bool ORDeviceSkeleton::ReleaseChannels() {
    ScopedProgress progress("Device", "Shutting down device...");
    for (BoneNodes& nodes : boneNodes) {
        if (nodes.modelTemplate != nullptr) {
            if (nodes.translationNode != nullptr && nodes.rotationNode != nullptr) {
                nodes.modelTemplate->Bindings.Remove(nodes.translationNode);
                nodes.modelTemplate->Bindings.Remove(nodes.rotationNode);
            }
            if (referenceTemplate != nullptr &&
                referenceTemplate->Children.Find(nodes.modelTemplate) >= 0) {
                referenceTemplate->Children.Remove(nodes.modelTemplate);
            }
        }
        if (nodes.translationNode != nullptr) AnimationNodeDestroy(nodes.translationNode);
        if (nodes.rotationNode != nullptr) AnimationNodeDestroy(nodes.rotationNode);
        nodes.translationNode = nullptr;
        nodes.rotationNode = nullptr;
        if (nodes.modelTemplate != nullptr) nodes.modelTemplate->Children.RemoveAll();
    }
    for (BoneNodes& nodes : boneNodes) {
        if (nodes.modelTemplate != nullptr) ORSDK2026::FBDelete(nodes.modelTemplate);
        nodes.modelTemplate = nullptr;
    }
    return true;
}

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
    const bool referenceApplies = ReferenceMatrix(reference, info);
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
        if (referenceApplies && !telmora::applyReference(reference, bone, bone)) continue;
        if (!telmora::isFinite(bone)) continue;
        FBTVector translation = translationOf(bone);
        FBRVector rotation = rotationOf(bone);
        // Live values are global: the host places the bound models with them. A model's own
        // values (offline, plotting) go back as the node's data.
        if (live && !plotting) {
            nodes.rotationNode->WriteGlobalData(rotation, info);
            nodes.translationNode->WriteGlobalData(translation, info);
        } else {
            nodes.rotationNode->WriteData(rotation, info);
            nodes.translationNode->WriteData(translation, info);
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
            const bool referenceApplies = ReferenceMatrix(reference, nullptr);
            for (int i = 0; i < channels.channelCount; ++i) {
                const BoneNodes& nodes = boneNodes[i];
                telmora::BoneTransform bone = liveTransform(channels.records[i]);
                // The same transformation as the live path: the keys are the live pose.
                if (referenceApplies && !telmora::applyReference(reference, bone, bone)) continue;
                if (!telmora::isFinite(bone)) continue;
                if (nodes.translationNode != nullptr) {
                    if (FBAnimationNode* target = nodes.translationNode->GetAnimationToRecord()) {
                        FBTVector translation = translationOf(bone);
                        target->KeyAdd(time, translation, kFBInterpolationCubic,
                                       kFBTangentModeAuto);
                    }
                }
                if (nodes.rotationNode != nullptr) {
                    if (FBAnimationNode* target = nodes.rotationNode->GetAnimationToRecord()) {
                        FBRVector rotation = rotationOf(bone);
                        target->KeyAdd(time, rotation, kFBInterpolationCubic, kFBTangentModeAuto);
                    }
                }
            }
        }
        AckOneSampleReceived();
    }
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

void ORDeviceSkeleton::RecordingDoneAnimation(FBAnimationNode* node) {
    guardedVoid([&] {
        FBDevice::RecordingDoneAnimation(node);
        recordingDone = true;
    });
}

void ORDeviceSkeleton::RefreshFrameFigures() {
    const telmora::ChannelTable& table = hardware.channelTable();
    const std::uint64_t solved = table.framesSolved();
    framesSolved = solved;
    framesReceived = solved + table.framesDropped();
}

std::string ORDeviceSkeleton::StreamHealthLine() const {
    if (!Online.Get() || !hardware.streaming()) return {};
    const telmora::StreamHealthSnapshot health = hardware.streamHealth();
    const std::string source = telmora::escapeControlCharacters(hardware.sourceName());
    if (health.stale) return telmora::noFramesStatus(source, health.silenceSeconds);
    return telmora::streamHealthLine(health.rateHz, health.silenceSeconds, health.refused(),
                                     health.gapCount);
}

void ORDeviceSkeleton::WatchStream() {
    hardware.SetStaleSeconds(staleTime.Get());
    if (!Online.Get() || !hardware.streaming()) return;
    const std::string moved = hardware.FollowMovedServer();
    if (!moved.empty()) telmora::writeLine(log, telmora::LogStream::Out, moved);
    const std::string source = telmora::escapeControlCharacters(hardware.sourceName());
    const telmora::StreamHealthSnapshot health = hardware.streamHealth();
    const double now = system.LocalTime.Get().GetSecondDouble();
    auto show = [this](const std::string& text) {
        if (std::string(Status.Get().str()) != text) Status = text.c_str();
    };
    if (health.stale) {
        staleShown = true;
        show(telmora::noFramesStatus(source, health.silenceSeconds));
        return;
    }
    if (health.gapCount > gapsLogged) {
        // The gap ended with the last frame: it began its own length before that.
        const double start = now - health.silenceSeconds - health.lastGapSeconds;
        telmora::writeLine(log, telmora::LogStream::Out,
                           telmora::streamGapLine(health.lastGapSeconds, source, start));
        gapsLogged = health.gapCount;
    }
    if (staleShown) {
        staleShown = false;
        show(telmora::framesBackStatus(source));
    }
}

void ORDeviceSkeleton::EventIdle(HISender /*sender*/, HKEvent /*event*/) {
    guardedVoid([this] {
        WatchCaptureAndReplay();
        hardware.AdvanceReplay();
        RefreshFrameFigures();
        WatchStream();
        if (streamEnded.exchange(false)) {
            Close();
            Online = false;
            Live = false;
            DeviceOperation(kOpStop);
        }
        if (recordingDone) {
            recordingDone = false;
            Plot();
        }
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
