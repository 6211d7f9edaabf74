// The host: scene, time, evaluation, recording, binding and the readers of host control.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "sdk_internal.h"

namespace fbhost {

using namespace ORSDK2026;
using fbsdk_detail::guarded;
using fbsdk_detail::isLive;
using fbsdk_detail::nameOf;

namespace {

constexpr int kMaxTemplateDepth = 256;

std::string deviceCall(const char* what, const FBDevice* device) {
    return std::string(what) + " of '" + nameOf(device) + "'";
}

FBAnimationNode* firstNode(FBDevice* device) {
    auto& nodes = device->impl()->nodes;
    return nodes.empty() ? nullptr : nodes.front();
}

// The 3x3 part of a matrix times a rotation matrix (translation ignored).
FBMatrix rotationPart(const FBMatrix& m) {
    FBMatrix r = m;
    r(0, 3) = r(1, 3) = r(2, 3) = 0.0;
    return r;
}

}  // namespace

// ---- Host::Impl ----

Host::Impl::Impl() : take(std::make_unique<FBTake>("Take 001")) {}

bool Host::Impl::deviceRecords(const FBDevice* device) const {
    return recording && device && isLive(device) && device->impl()->recording;
}

namespace {

// A bound node's value and whether it is global (in world space) or local (to the parent).
struct BoundValue {
    FBVector3d value;
    bool global = false;
};

// A model's local translation and rotation (degrees, XYZ order).
struct LocalTransform {
    FBVector3d translation;
    FBVector3d rotation;
};

// The values of the template's live, written translation and rotation nodes, if it binds them
// (the last of each), in one pass over its bindings.
struct BoundValues {
    std::optional<BoundValue> translation;
    std::optional<BoundValue> rotation;
};
BoundValues boundValues(FBModelTemplate& t) {
    BoundValues found;
    for (int i = 0; i < t.Bindings.GetCount(); ++i) {
        FBAnimationNode* node = t.Bindings[i];
        if (!node || !isLive(node) || !node->impl()->hasValue) continue;
        const std::string& dataType = node->impl()->dataType;
        std::optional<BoundValue>* slot = dataType == "Lcl Translation" ? &found.translation
                                          : dataType == "Lcl Rotation"  ? &found.rotation
                                                                        : nullptr;
        if (slot) *slot = BoundValue{FBVector3d(node->impl()->value), node->impl()->valueGlobal};
    }
    return found;
}

// The local transform a model takes from its bound values: each bound part replaces the model's
// own (`own`); when a part is global, the global transform is assembled from the global parts
// and the local ones taken through the parent (`parentGlobal`), then local = inverse(parent) *
// global.
LocalTransform resolveBoundTransform(const LocalTransform& own,
                                     const std::optional<BoundValue>& translation,
                                     const std::optional<BoundValue>& rotation,
                                     const FBMatrix& parentGlobal) {
    LocalTransform result{translation ? translation->value : own.translation,
                          rotation ? rotation->value : own.rotation};
    const bool globalT = translation && translation->global;
    const bool globalR = rotation && rotation->global;
    if (!globalT && !globalR) return result;
    FBMatrix rotationMatrix;
    FBRotationToMatrix(rotationMatrix, result.rotation);
    FBMatrix target = globalR ? rotationMatrix : rotationPart(parentGlobal) * rotationMatrix;
    FBTVector position(result.translation[0], result.translation[1], result.translation[2]);
    if (!globalT) FBVectorMatrixMult(position, parentGlobal, position);
    target(0, 3) = position[0];
    target(1, 3) = position[1];
    target(2, 3) = position[2];
    FBMatrix local;
    FBGetLocalMatrix(local, parentGlobal, target);
    FBTVector localT;
    FBMatrixToTranslation(localT, local);
    result.translation = FBVector3d(localT[0], localT[1], localT[2]);
    FBMatrixToRotation(result.rotation, local);
    return result;
}

// Bound models take their template's node values, parents before children. `parentGlobal` is
// the global matrix of `parentModel` when the caller knows it (null otherwise).
void applyTemplate(FBModelTemplate* t, const FBMatrix* parentGlobal, FBModel* parentModel,
                   int depth) {
    if (!t || !isLive(t) || depth > kMaxTemplateDepth) return;
    FBModel* model = t->Model.Get();
    FBMatrix global;
    bool haveGlobal = false;
    if (model && isLive(model)) {
        const BoundValues bound = boundValues(*t);
        const std::optional<BoundValue>& translation = bound.translation;
        const std::optional<BoundValue>& rotation = bound.rotation;
        FBModel* parent = model->Parent.Get();
        if (parent && !isLive(parent)) parent = nullptr;
        const bool parentKnown = parentGlobal && parent == parentModel;
        if (translation || rotation) {
            // The parent's matrix only when a part is global (the identity for no parent).
            FBMatrix parentMatrix;
            if ((translation && translation->global) || (rotation && rotation->global)) {
                if (parentKnown) {
                    parentMatrix = *parentGlobal;
                } else if (parent) {
                    parentMatrix = fbsdk_detail::modelGlobalMatrix(*parent, nullptr);
                }
            }
            const LocalTransform local = resolveBoundTransform(
                {model->Translation, model->Rotation}, translation, rotation, parentMatrix);
            model->Translation = local.translation;
            model->Rotation = local.rotation;
        }
        global = parentKnown ? *parentGlobal * fbsdk_detail::modelLocalMatrix(*model, nullptr)
                             : fbsdk_detail::modelGlobalMatrix(*model, nullptr);
        haveGlobal = true;
    }
    for (int i = 0; i < t->Children.GetCount(); ++i) {
        applyTemplate(t->Children[i], haveGlobal ? &global : nullptr, model, depth + 1);
    }
}

FBModel* makeModels(Host::Impl& h, FBModelTemplate* t, FBModel* parent, int depth) {
    if (!t || !isLive(t) || depth > kMaxTemplateDepth) return nullptr;
    FBModel* model = new FBModel(t->Name.Get());
    h.hostModels.push_back(model);
    if (parent) model->Parent = parent;
    t->Model = model;
    for (int i = 0; i < t->Children.GetCount(); ++i)
        makeModels(h, t->Children[i], model, depth + 1);
    return model;
}

void clearModels(FBModelTemplate* t, int depth) {
    if (!t || !isLive(t) || depth > kMaxTemplateDepth) return;
    t->Model = nullptr;
    for (int i = 0; i < t->Children.GetCount(); ++i) clearModels(t->Children[i], depth + 1);
}

}  // namespace

void Host::Impl::applyBindings() {
    const std::vector<FBDevice*> snapshot = devices;
    for (FBDevice* device : snapshot) {
        if (!isLive(device)) continue;
        for (int i = 0; i < device->ModelTemplate.GetCount(); ++i) {
            applyTemplate(device->ModelTemplate[i], nullptr, nullptr, 0);
        }
    }
}

void Host::Impl::evaluateScene() {
    // 1. Nodes with keys in the current take take their value at the local time.
    for (FBAnimationNode* node : nodes) {
        FBAnimationNode::Impl& n = *node->impl();
        const Curve* curve = n.curve(take.get());
        if (!curve || curve->keys.empty()) continue;
        double value[3];
        fbsdk_detail::evaluateCurve(*curve, localTime, value);
        n.setValue(value, curve->global || n.bufferGlobal);
        n.valueTime = localTime;
        n.valueTimed = true;
    }
    // 2. Bound models follow.
    applyBindings();
    // 3. Online devices evaluate live.
    const std::vector<FBDevice*> snapshot = devices;
    for (FBDevice* device : snapshot) {
        if (!isLive(device) || !device->Online.Get()) continue;
        FBAnimationNode* node = firstNode(device);
        if (!node) continue;
        node->Live = device->Online.Get() && device->Live.Get();
        FBEvaluateInfo info(localTime, systemTime);
        guarded([&] { device->AnimationNodeNotify(node, &info); },
                [&] { return deviceCall("AnimationNodeNotify", device); });
    }
    // 4. Bound models take what the devices wrote.
    applyBindings();
}

// ---- Host ----

Host& Host::instance() {
    // Never destroyed: plug-in libraries may still be mapped, or already gone, at exit.
    static Host* host = new Host;
    return *host;
}

Host::Host() : mImpl(std::make_unique<Impl>()) {}
Host::~Host() = default;

void Host::reset() {
    Impl& h = *mImpl;
    h.recording = false;
    h.transport = kFBTransportStop;
    for (FBDevice* device : h.devices) device->impl()->recording = false;
    const std::vector<Impl::Panel> panels = h.panels;
    for (const Impl::Panel& panel : panels) closePanel(panel.layout);
    const std::vector<FBDevice*> devices = h.devices;
    for (FBDevice* device : devices) {
        if (!isLive(device)) continue;
        if (device->impl()->madeByFactory) {
            destroyDevice(device);
        } else if (device->Online.Get()) {
            setOnline(device, false);
        }
    }
    const std::vector<FBModel*> models = h.hostModels;
    for (FBModel* model : models) {
        if (isLive(model)) delete model;
    }
    h.hostModels.clear();
    const std::vector<FBCharacter*> characters = h.characters;
    for (FBCharacter* character : characters) {
        if (h.heapCharacters.count(character)) delete character;
    }
    for (FBAnimationNode* node : h.nodes) {
        node->impl()->curves.clear();
        node->impl()->valueTimed = false;
    }
    h.take->LocalTimeSpan = FBTimeSpan();
    h.localTime = FBTime();
    h.systemTime = FBTime();
    h.pauseCount = 0;
    h.progress.clear();
    h.failures.clear();
}

std::vector<Registration> Host::registrations() const {
    return mImpl->registrations;
}

const Registration* Host::findRegistration(const std::string& group,
                                           const std::string& entry) const {
    for (const Registration& r : mImpl->registrations) {
        if (r.group == group && r.entry == entry) return &r;
    }
    return nullptr;
}

namespace {

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// Calls a registration's factory as the host does: what it registers counts as its library's,
// and an exception leaving it is recorded as a failure of `call` (`threw` set) instead of
// passing. The object made, or null.
FBComponent* callFactory(Host::Impl& host, const Registration& reg, const char* name, HIObject data,
                         const std::string& call, bool& threw) {
    CurrentLibraryScope scope(host, reg.library);
    HIObject handle = nullptr;
    threw = !guarded([&] { handle = reg.creator(nullptr, name, data); }, [&] { return call; });
    return threw ? nullptr : FBGetFBObject(handle);
}

}  // namespace

FBDevice* Host::createDevice(const std::string& entry, const std::string& name,
                             std::string* error) {
    const Registration* found = findRegistration("Boxes/Devices", entry);
    if (!found) {
        setError(error, "no device registered as '" + entry + "'");
        return nullptr;
    }
    const Registration reg = *found;  // the factory may register more (the list may move)
    bool threw = false;
    FBComponent* object =
        callFactory(*mImpl, reg, name.c_str(), nullptr, "device factory '" + entry + "'", threw);
    if (threw) {
        setError(error, "the device factory '" + entry + "' threw");
        return nullptr;
    }
    if (!object) {
        setError(error, "the device factory '" + entry + "' gave no object");
        return nullptr;
    }
    bool isDevice = false;
    guarded([&] { isDevice = object->Is(FBDevice::TypeInfo); },
            [&] { return "type test of '" + nameOf(object) + "'"; });
    if (!isDevice) {
        FBDelete(object);
        setError(error, "the device factory '" + entry + "' gave an object that is no device");
        return nullptr;
    }
    FBDevice* device = static_cast<FBDevice*>(object);
    device->impl()->madeByFactory = true;
    device->impl()->library = reg.library;
    return device;
}

bool Host::destroyDevice(FBDevice* device) {
    if (!holdsDevice(device)) return false;
    fbsdk_detail::ComponentAccess::setStatus(*device, kFBStatusDestroying, true);
    if (device->Online.Get()) setOnline(device, false);
    deviceOperation(device, kOpDone);
    const std::vector<Impl::Panel> panels = mImpl->panels;
    for (const Impl::Panel& panel : panels) {
        if (panel.device == device) closePanel(panel.layout);
    }
    unbindTemplates(device);
    device->impl()->recording = false;
    guarded([&] { device->FBDelete(); }, [&] { return deviceCall("FBDelete", device); });
    return true;
}

std::vector<FBDevice*> Host::devices() const {
    return mImpl->devices;
}

bool Host::holdsDevice(const FBDevice* device) const {
    return device && isLive(device) &&
           std::find(mImpl->devices.begin(), mImpl->devices.end(), device) != mImpl->devices.end();
}

FBDeviceLayout* Host::openPanel(FBDevice* device, std::string* error) {
    if (!holdsDevice(device)) {
        setError(error, "unknown device");
        return nullptr;
    }
    std::string className;
    guarded([&] { className = device->ClassName(); },
            [&] { return deviceCall("ClassName", device); });
    const Registration* found = findRegistration("UI_Associated_ClassName", className);
    if (!found) {
        setError(error, "no layout registered for class '" + className + "'");
        return nullptr;
    }
    const Registration reg = *found;
    bool threw = false;
    FBComponent* object = callFactory(*mImpl, reg, reg.description.c_str(), device->GetHIObject(),
                                      "layout factory of '" + className + "'", threw);
    if (!object) {
        setError(error, "the layout factory of '" + className + "' gave no object");
        return nullptr;
    }
    bool isLayout = false;
    guarded([&] { isLayout = object->Is(FBDeviceLayout::TypeInfo); },
            [&] { return "type test of '" + nameOf(object) + "'"; });
    if (!isLayout) {
        FBDelete(object);
        setError(error, "the layout factory of '" + className + "' gave no device layout");
        return nullptr;
    }
    auto* layout = static_cast<FBDeviceLayout*>(object);
    mImpl->panels.push_back({layout, device, reg.library});
    return layout;
}

void Host::closePanel(FBDeviceLayout* layout) {
    auto& panels = mImpl->panels;
    auto it = std::find_if(panels.begin(), panels.end(),
                           [&](const Impl::Panel& p) { return p.layout == layout; });
    if (it == panels.end()) return;
    panels.erase(it);
    FBDelete(layout);
}

bool Host::deviceOperation(FBDevice* device, int operation) {
    if (!holdsDevice(device)) return false;
    bool result = false;
    guarded([&] { result = device->DeviceOperation(static_cast<kDeviceOperations>(operation)); },
            [&] {
                return deviceCall(("DeviceOperation(" + std::to_string(operation) + ")").c_str(),
                                  device);
            });
    return result;
}

bool Host::setOnline(FBDevice* device, bool online) {
    if (!holdsDevice(device)) return false;
    if (online) {
        const bool started = deviceOperation(device, kOpStart);
        if (isLive(device)) {
            device->Online = started;
            device->Live = started;
        }
        return started;
    }
    deviceOperation(device, kOpStop);
    if (isLive(device)) {
        device->Online = false;
        device->Live = false;
    }
    return false;
}

void Host::setLocalTime(FBTime time) {
    mImpl->localTime = time;
}
FBTime Host::localTime() const {
    return mImpl->localTime;
}
FBTime Host::systemTime() const {
    return mImpl->systemTime;
}

void Host::step(FBTime dt) {
    Impl& h = *mImpl;
    h.localTime += dt;
    h.systemTime += dt;
    const kDeviceIOs action = h.recording ? kIOPlayModeWrite : kIOStopModeRead;
    const std::vector<FBDevice*> snapshot = h.devices;
    for (FBDevice* device : snapshot) {
        if (!isLive(device) || !device->Online.Get()) continue;
        FBDeviceNotifyInfo info(h.localTime, h.systemTime);
        guarded([&] { device->DeviceIONotify(action, info); },
                [&] { return deviceCall("DeviceIONotify", device); });
    }
    evaluate();
}

void Host::evaluate() {
    if (mImpl->pauseCount > 0) return;
    mImpl->evaluateScene();
}

bool Host::startRecording() {
    Impl& h = *mImpl;
    if (h.recording) return false;
    h.recording = true;
    h.transport = kFBTransportPlay;
    const std::vector<FBDevice*> snapshot = h.devices;
    for (FBDevice* device : snapshot) {
        if (!isLive(device) || !device->Online.Get() || !device->RecordMode.Get()) continue;
        device->impl()->recording = true;
        guarded([&] { device->DeviceTimeNotify(0, h.localTime); },
                [&] { return deviceCall("DeviceTimeNotify", device); });
        if (!isLive(device)) continue;
        FBAnimationNode* node = firstNode(device);
        guarded([&] { device->RecordingInitAnimation(node); },
                [&] { return deviceCall("RecordingInitAnimation", device); });
    }
    return true;
}

bool Host::stopRecording() {
    Impl& h = *mImpl;
    if (!h.recording) return false;
    bool anyKey = false;
    FBTime first, last;
    const std::vector<FBDevice*> snapshot = h.devices;
    for (FBDevice* device : snapshot) {
        if (!h.deviceRecords(device)) continue;
        FBAnimationNode* node = firstNode(device);
        guarded([&] { device->RecordingDoneAnimation(node); },
                [&] { return deviceCall("RecordingDoneAnimation", device); });
        if (!isLive(device)) continue;
        for (FBAnimationNode* n : device->impl()->nodes) {
            const Curve* curve = n->impl()->curve(h.take.get());
            if (!curve || curve->keys.empty()) continue;
            if (!anyKey || curve->keys.front().time < first) first = curve->keys.front().time;
            if (!anyKey || curve->keys.back().time > last) last = curve->keys.back().time;
            anyKey = true;
        }
    }
    if (anyKey) {
        FBTimeSpan span = h.take->LocalTimeSpan.Get();
        const bool empty = span.start == FBTime(0) && span.stop == FBTime(0);
        if (empty) {
            span = FBTimeSpan(first, last);
        } else {
            span = FBTimeSpan(std::min(span.start, first), std::max(span.stop, last));
        }
        h.take->LocalTimeSpan = span;
    }
    h.recording = false;
    h.transport = kFBTransportStop;
    for (FBDevice* device : h.devices) device->impl()->recording = false;
    return true;
}

bool Host::isRecording() const {
    return mImpl->recording;
}
FBTake* Host::currentTake() const {
    return mImpl->take.get();
}

void Host::runIdle() {
    FBSystem& system = FBSystem::TheOne();
    mImpl->onIdle.Fire(&system);
    mImpl->onUIIdle.Fire(&system);
}

void Host::runSystemIdle() {
    mImpl->onIdle.Fire(&FBSystem::TheOne());
}

FBModel* Host::bindTemplates(FBDevice* device) {
    if (!holdsDevice(device)) return nullptr;
    bool bound = false;
    for (int i = 0; i < device->ModelTemplate.GetCount(); ++i) {
        FBModelTemplate* t = device->ModelTemplate[i];
        if (t && t->Model.Get()) bound = true;
    }
    if (bound) unbindTemplates(device);
    std::vector<FBModel*> roots;
    for (int i = 0; i < device->ModelTemplate.GetCount(); ++i) {
        roots.push_back(makeModels(*mImpl, device->ModelTemplate[i], nullptr, 0));
    }
    for (int i = 0; i < static_cast<int>(roots.size()) && isLive(device); ++i) {
        FBModelTemplate* t = device->ModelTemplate[i];
        if (!t) continue;
        guarded([&] { device->ModelTemplateBindNotify(roots[static_cast<std::size_t>(i)], i, t); },
                [&] { return deviceCall("ModelTemplateBindNotify", device); });
    }
    mImpl->applyBindings();
    return roots.empty() ? nullptr : roots.front();
}

void Host::unbindTemplates(FBDevice* device) {
    if (!holdsDevice(device)) return;
    for (int i = 0; i < device->ModelTemplate.GetCount() && isLive(device); ++i) {
        FBModelTemplate* t = device->ModelTemplate[i];
        if (!t || !t->Model.Get()) continue;
        guarded([&] { device->ModelTemplateUnBindNotify(i, t); },
                [&] { return deviceCall("ModelTemplateUnBindNotify", device); });
    }
    if (!isLive(device)) return;
    for (int i = 0; i < device->ModelTemplate.GetCount(); ++i) {
        clearModels(device->ModelTemplate[i], 0);
    }
}

std::vector<FBModel*> Host::models() const {
    return mImpl->models;
}

FBModel* Host::findModel(const std::string& name) const {
    for (FBModel* m : mImpl->models) {
        if (m->Name.Get().str() == name) return m;
    }
    return nullptr;
}

std::vector<FBAnimationNode*> Host::deviceNodes(const FBDevice* device) const {
    if (!holdsDevice(device)) return {};
    return device->impl()->nodes;
}

FBAnimationNode* Host::findNode(const FBDevice* device, const std::string& name) const {
    for (FBAnimationNode* node : deviceNodes(device)) {
        if (node->Name.Get().str() == name) return node;
    }
    return nullptr;
}

std::vector<FBKey> Host::keys(const FBAnimationNode* node) const {
    if (!isLive(node)) return {};
    const Curve* curve = node->impl()->curve(mImpl->take.get());
    return curve ? curve->keys : std::vector<FBKey>();
}

FBVector3d Host::modelTranslation(FBModel* model, FBTime time) const {
    FBVector3d v;
    if (isLive(model)) model->Translation.GetAnimationNode()->Evaluate(v, time);
    return v;
}

FBVector3d Host::modelRotation(FBModel* model, FBTime time) const {
    FBVector3d v;
    if (isLive(model)) model->Rotation.GetAnimationNode()->Evaluate(v, time);
    return v;
}

FBMatrix Host::modelGlobalMatrix(FBModel* model, FBTime time) const {
    if (!isLive(model)) return FBMatrix();
    return fbsdk_detail::modelGlobalMatrix(*model, &time);
}

FBMatrix Host::modelLocalMatrix(FBModel* model, FBTime time) const {
    if (!isLive(model)) return FBMatrix();
    return fbsdk_detail::modelLocalMatrix(*model, &time);
}

std::vector<FBCharacter*> Host::characters() const {
    return mImpl->characters;
}

std::vector<std::pair<std::string, std::vector<FBModel*>>> Host::characterLinks(
    FBCharacter* character) const {
    std::vector<std::pair<std::string, std::vector<FBModel*>>> links;
    if (!isLive(character)) return links;
    for (int i = 0; i < character->PropertyList.GetCount(); ++i) {
        FBProperty* p = character->PropertyList[i];
        if (!p->IsList()) continue;
        auto* slot = static_cast<FBPropertyListModel*>(p);
        if (slot->GetCount() == 0) continue;
        std::vector<FBModel*> models;
        for (int k = 0; k < slot->GetCount(); ++k) models.push_back((*slot)[k]);
        links.emplace_back(p->GetName(), std::move(models));
    }
    return links;
}

int Host::samplesAcknowledged(const FBDevice* device) const {
    return holdsDevice(device) ? device->impl()->samplesAcknowledged : 0;
}

std::vector<ProgressRecord> Host::progressShown() const {
    std::vector<ProgressRecord> records;
    for (const auto& r : mImpl->progress) records.push_back(*r);
    return records;
}

std::vector<std::string> Host::statusTexts(const FBDevice* device) const {
    return holdsDevice(device) ? device->impl()->statusTexts : std::vector<std::string>();
}

std::vector<PluginFailure> Host::failures() const {
    return mImpl->failures;
}
void Host::clearFailures() {
    mImpl->failures.clear();
}

void Host::reportPluginFailure(const std::string& call, const std::string& what) {
    std::fprintf(stderr, "plug-in failure in %s: %s\n", call.c_str(), what.c_str());
    mImpl->failures.push_back({call, what});
}

}  // namespace fbhost
