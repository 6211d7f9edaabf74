// The base device: its output nodes, status text, sample count and default notifications.
#include <algorithm>

#include "sdk_internal.h"

namespace ORSDK2026 {

using namespace fbsdk_detail;

namespace {
fbhost::Host::Impl& host() {
    return fbhost::Host::instance().impl();
}
}  // namespace

int FBDevice::TypeInfo = kTypeDevice;

FBDevice::FBDevice(const char* name, HIObject object)
    : FBBox(object), mImpl(std::make_unique<Impl>()) {
    Name = name ? name : "";
    PropertyAccess::init(Status, this, kFBPT_charptr, "Status");
    PropertyAccess::init(Online, this, kFBPT_bool, "Online");
    PropertyAccess::init(Live, this, kFBPT_bool, "Live");
    PropertyAccess::init(RecordMode, this, kFBPT_bool, "RecordMode");
    PropertyAccess::init(SamplingMode, this, kFBPT_enum, "SamplingMode");
    PropertyAccess::init(SamplingPeriod, this, kFBPT_Time, "SamplingPeriod");
    PropertyAccess::init(ModelTemplate, this, kFBPT_object, "ModelTemplate");
    for (FBProperty* p :
         std::initializer_list<FBProperty*>{&Status, &Online, &Live, &RecordMode, &SamplingMode,
                                            &SamplingPeriod, &ModelTemplate}) {
        PropertyList.Add(p);
    }
    RecordMode = true;
    SamplingPeriod = FBTime(0, 0, 1) / 60.0;
    Status.BindSetter([this](const FBString& text) {
        mImpl->statusTexts.push_back(text.str());
        OnStatusChange.Fire(this);
    });
    host().devices.push_back(this);
}

FBDevice::~FBDevice() {
    fbhost::Host::Impl& h = host();
    h.devices.erase(std::remove(h.devices.begin(), h.devices.end(), this), h.devices.end());
    // Nodes the device still holds go with it.
    std::vector<FBAnimationNode*> nodes;
    nodes.swap(mImpl->nodes);
    for (FBAnimationNode* node : nodes) {
        node->impl()->device = nullptr;
        delete node;
    }
}

const char* FBDevice::ClassName() {
    return "FBDevice";
}
bool FBDevice::Is(int typeId) {
    return typeId == TypeInfo || FBBox::Is(typeId);
}
int FBDevice::GetTypeId() {
    return TypeInfo;
}
void FBDevice::FBDestroy() {}

bool FBDevice::DeviceOperation(kDeviceOperations) {
    return false;
}
bool FBDevice::AnimationNodeNotify(FBAnimationNode*, FBEvaluateInfo*) {
    return true;
}
bool FBDevice::SetStdCandidateTranslation() {
    return true;
}
bool FBDevice::SetStdCandidateRotation() {
    return true;
}
bool FBDevice::DeviceEvaluationNotify(int, FBEvaluateInfo*) {
    return true;
}
void FBDevice::DeviceTimeNotify(int, FBTime) {}
void FBDevice::DeviceIONotify(kDeviceIOs, FBDeviceNotifyInfo&) {}
bool FBDevice::ModelTemplateBindNotify(FBModel*, int, FBModelTemplate*) {
    return true;
}
bool FBDevice::ModelTemplateUnBindNotify(int, FBModelTemplate*) {
    return true;
}
void FBDevice::RecordingInitAnimation(FBAnimationNode*) {}
void FBDevice::RecordingDoneAnimation(FBAnimationNode*) {}

FBAnimationNode* FBDevice::AnimationNodeOutCreate(int userId, const char* name,
                                                  const char* dataType, bool, double*, double*,
                                                  bool) {
    FBAnimationNode* node = new FBAnimationNode(name, dataType);
    node->Reference = static_cast<kULongLong>(static_cast<kLongLong>(userId));
    node->impl()->device = this;
    mImpl->nodes.push_back(node);
    return node;
}

// The node is looked up among the device's own before anything of it is touched, so a node
// destroyed before (or never the device's) is ignored.
void FBDevice::AnimationNodeDestroy(FBAnimationNode* node) {
    auto& nodes = mImpl->nodes;
    auto it = std::find(nodes.begin(), nodes.end(), node);
    if (it == nodes.end()) return;
    nodes.erase(it);
    node->impl()->device = nullptr;
    delete node;
}

void FBDevice::AckOneSampleReceived() {
    ++mImpl->samplesAcknowledged;
}

}  // namespace ORSDK2026
