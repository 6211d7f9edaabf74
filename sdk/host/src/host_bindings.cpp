// The host's bindings: the model tree made from a device's templates, each bound model taking
// its template's node values at every evaluation (global or local, parents first), and the
// readers of the models' transforms.
#include <optional>

#include "host_calls.h"
#include "sdk_internal.h"

namespace fbhost {

using namespace ORSDK2026;
using fbsdk_detail::guarded;
using fbsdk_detail::isLive;
using namespace host_calls;

namespace {

constexpr int kMaxTemplateDepth = 256;

// The 3x3 part of a matrix times a rotation matrix (translation ignored).
FBMatrix rotationPart(const FBMatrix& m) {
    FBMatrix r = m;
    r(0, 3) = r(1, 3) = r(2, 3) = 0.0;
    return r;
}

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

}  // namespace fbhost
