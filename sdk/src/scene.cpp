// Models, templates, takes and plotting, the system, the transport and progress indicators.
#include <algorithm>

#include "sdk_internal.h"

namespace fbsdk_detail {

namespace {
fbhost::Host::Impl& host() {
    return fbhost::Host::instance().impl();
}

void readVector(FBPropertyAnimatableVector3d& property, const FBTime* time, double* out) {
    FBAnimationNode* node = property.GetAnimationNode();
    if (time && node) {
        node->Evaluate(out, *time);
    } else {
        property.GetData(out, 3 * sizeof(double));
    }
}
}  // namespace

FBMatrix modelLocalMatrix(FBModel& model, const FBTime* time) {
    FBVector3d t, r;
    readVector(model.Translation, time, t);
    readVector(model.Rotation, time, r);
    double s[3];
    model.Scaling.GetData(s, sizeof(s));
    FBMatrix m;
    FBTRSToMatrix(m, FBTVector(t[0], t[1], t[2]), r, FBSVector(s[0], s[1], s[2]));
    return m;
}

// The parent chain is followed at most kMaxDepth levels, so a parent cycle cannot hang the host.
FBMatrix modelGlobalMatrix(FBModel& model, const FBTime* time) {
    constexpr int kMaxDepth = 256;
    FBMatrix global = modelLocalMatrix(model, time);
    FBModel* parent = model.Parent.Get();
    for (int depth = 0; parent && depth < kMaxDepth; ++depth) {
        if (!isLive(parent)) break;
        global = modelLocalMatrix(*parent, time) * global;
        parent = parent->Parent.Get();
    }
    return global;
}

}  // namespace fbsdk_detail

namespace ORSDK2026 {

using namespace fbsdk_detail;

// ---- Notification infos ----

FBEvaluateInfo::FBEvaluateInfo(FBTime localTime, FBTime systemTime)
    : mLocalTime(localTime), mSystemTime(systemTime) {}
FBTime FBEvaluateInfo::GetLocalTime() const {
    return mLocalTime;
}
FBTime FBEvaluateInfo::GetSystemTime() const {
    return mSystemTime;
}
FBDeviceNotifyInfo::FBDeviceNotifyInfo(FBTime localTime, FBTime systemTime)
    : mLocalTime(localTime), mSystemTime(systemTime) {}
FBTime FBDeviceNotifyInfo::GetLocalTime() const {
    return mLocalTime;
}
FBTime FBDeviceNotifyInfo::GetSystemTime() const {
    return mSystemTime;
}

// ---- FBBox ----

int FBBox::TypeInfo = kTypeBox;
FBBox::FBBox(HIObject object) : FBComponent(object) {}
const char* FBBox::ClassName() {
    return "FBBox";
}
bool FBBox::Is(int typeId) {
    return typeId == TypeInfo || FBComponent::Is(typeId);
}
int FBBox::GetTypeId() {
    return TypeInfo;
}

// ---- FBModel ----

int FBModel::TypeInfo = kTypeModel;

FBModel::FBModel(const char* name, HIObject object) : FBBox(object) {
    Name = name ? name : "";
    PropertyAccess::init(Translation, this, kFBPT_Vector3D, "Lcl Translation");
    PropertyAccess::init(Rotation, this, kFBPT_Vector3D, "Lcl Rotation");
    PropertyAccess::init(Scaling, this, kFBPT_Vector3D, "Lcl Scaling");
    PropertyAccess::init(Selected, this, kFBPT_bool, "Selected");
    PropertyAccess::init(Parent, this, kFBPT_object, "Parent");
    PropertyAccess::init(Children, this, kFBPT_object, "Children");
    for (FBProperty* p : std::initializer_list<FBProperty*>{&Translation, &Rotation, &Scaling,
                                                            &Selected, &Parent, &Children}) {
        PropertyList.Add(p);
    }
    Scaling = FBVector3d(1.0, 1.0, 1.0);
    // Translation and rotation are animated from the start: their nodes always exist.
    Translation.SetAnimated(true);
    Rotation.SetAnimated(true);
    // Assigning Parent moves the model into the new parent's children.
    Parent.BindSetter([this](FBModel* const& parent) {
        for (FBModel* m : host().models) m->Children.Remove(this);
        if (parent && parent != this && isLive(parent)) parent->Children.Add(this);
    });
    host().models.push_back(this);
}

FBModel::~FBModel() {
    for (int i = Children.GetCount() - 1; i >= 0; --i) {
        FBModel* child = Children[i];
        if (child && isLive(child)) child->Parent = nullptr;
    }
    fbhost::Host::Impl& h = host();
    for (FBModelTemplate* t : h.templates) {
        if (t->Model.Get() == this) t->Model = nullptr;
    }
    for (FBModel* m : h.models) {
        if (m != this && m->Parent.Get() == this) m->Parent = nullptr;
    }
    h.models.erase(std::remove(h.models.begin(), h.models.end(), this), h.models.end());
    h.hostModels.erase(std::remove(h.hostModels.begin(), h.hostModels.end(), this),
                       h.hostModels.end());
}

const char* FBModel::ClassName() {
    return "FBModel";
}
bool FBModel::Is(int typeId) {
    return typeId == TypeInfo || FBBox::Is(typeId);
}
int FBModel::GetTypeId() {
    return TypeInfo;
}

void FBModel::GetMatrix(FBMatrix& matrix, FBModelTransformationType what, bool global,
                        FBEvaluateInfo* info) {
    FBTime time;
    const FBTime* at = nullptr;
    if (info) {
        time = info->GetLocalTime();
        at = &time;
    }
    const FBMatrix m = global ? modelGlobalMatrix(*this, at) : modelLocalMatrix(*this, at);
    matrix.Identity();
    switch (what) {
        case kModelTranslation:
            for (int r = 0; r < 3; ++r) matrix(r, 3) = m(r, 3);
            return;
        case kModelRotation:
        case kModelScaling: {
            for (int c = 0; c < 3; ++c) {
                const double len =
                    std::sqrt(m(0, c) * m(0, c) + m(1, c) * m(1, c) + m(2, c) * m(2, c));
                for (int r = 0; r < 3; ++r) {
                    if (what == kModelScaling) {
                        matrix(r, c) = (r == c) ? len : 0.0;
                    } else {
                        matrix(r, c) = len > 1e-300 ? m(r, c) / len : (r == c ? 1.0 : 0.0);
                    }
                }
            }
            return;
        }
        case kModelTransformation:
        default:
            matrix = m;
            return;
    }
}

// ---- FBModelList ----

FBModelList::FBModelList() = default;
FBModelList::~FBModelList() = default;
int FBModelList::GetCount() const {
    return static_cast<int>(mModels.size());
}
FBModel* FBModelList::operator[](int index) const {
    return (index >= 0 && index < GetCount()) ? mModels[static_cast<std::size_t>(index)] : nullptr;
}
int FBModelList::Add(FBModel* model) {
    mModels.push_back(model);
    return GetCount() - 1;
}
int FBModelList::InsertAt(int index, FBModel* model) {
    index = std::max(0, std::min(index, GetCount()));
    mModels.insert(mModels.begin() + index, model);
    return index;
}
void FBModelList::RemoveAt(int index) {
    if (index >= 0 && index < GetCount()) mModels.erase(mModels.begin() + index);
}
void FBModelList::Clear() {
    mModels.clear();
}

// Scene order (creation order); sortBySelectOrder is accepted and gives the same order.
void FBGetSelectedModels(FBModelList& list, FBModel* parent, bool selected, bool) {
    list.Clear();
    if (parent && !isLive(parent)) return;
    for (FBModel* m : host().models) {
        if (m->Selected.Get() != selected) continue;
        if (parent) {
            bool under = false;
            for (FBModel* p = m->Parent.Get(); p && !under; p = p->Parent.Get())
                under = (p == parent);
            if (!under) continue;
        }
        list.Add(m);
    }
}

// ---- FBModelTemplate ----

int FBModelTemplate::TypeInfo = kTypeModelTemplate;

FBModelTemplate::FBModelTemplate(const char* prefix, const char* name, FBModelTemplateType style,
                                 HIObject object)
    : FBComponent(object) {
    Name = name ? name : "";
    Prefix = prefix ? prefix : "";
    Style = style;
    PropertyAccess::init(Prefix, this, kFBPT_charptr, "Prefix");
    PropertyAccess::init(Style, this, kFBPT_enum, "Style");
    PropertyAccess::init(Children, this, kFBPT_object, "Children");
    PropertyAccess::init(Bindings, this, kFBPT_object, "Bindings");
    PropertyAccess::init(Model, this, kFBPT_object, "Model");
    for (FBProperty* p :
         std::initializer_list<FBProperty*>{&Prefix, &Style, &Children, &Bindings, &Model}) {
        PropertyList.Add(p);
    }
    host().templates.insert(this);
}
FBModelTemplate::~FBModelTemplate() {
    host().templates.erase(this);
}
const char* FBModelTemplate::ClassName() {
    return "FBModelTemplate";
}
bool FBModelTemplate::Is(int typeId) {
    return typeId == TypeInfo || FBComponent::Is(typeId);
}
int FBModelTemplate::GetTypeId() {
    return TypeInfo;
}

// ---- FBTake ----

int FBTake::TypeInfo = kTypeTake;

FBTake::FBTake(const char* name, HIObject object) : FBComponent(object) {
    Name = name ? name : "";
    PropertyAccess::init(LocalTimeSpan, this, kFBPT_unknown, "LocalTimeSpan");
    PropertyList.Add(&LocalTimeSpan);
}
FBTake::~FBTake() = default;
const char* FBTake::ClassName() {
    return "FBTake";
}
bool FBTake::Is(int typeId) {
    return typeId == TypeInfo || FBComponent::Is(typeId);
}
int FBTake::GetTypeId() {
    return TypeInfo;
}

// Steps are start + k * period (no accumulated rounding). Keys go into the current take. The
// host's local time is restored afterwards and the scene evaluated there once more.
bool FBTake::PlotTakeOnSelected(FBTime period) {
    if (period <= FBTime(0)) return false;
    fbhost::Host::Impl& h = host();
    const FBTimeSpan span = LocalTimeSpan.Get();
    if (span.stop < span.start) return false;
    std::vector<FBModel*> selected;
    for (FBModel* m : h.models) {
        if (m->Selected.Get()) selected.push_back(m);
    }
    // Each selected curve gets one key a step: room for them all at once, so a long take's
    // curves are not copied over and over while they grow.
    const kLongLong steps = (span.stop - span.start).Get() / period.Get() + 1;
    constexpr kLongLong kMostReserved = 1 << 20;  // beyond, the curves grow as they go
    for (FBModel* m : selected) {
        for (FBPropertyAnimatableVector3d* p : {&m->Translation, &m->Rotation}) {
            p->SetAnimated(true);
            auto& keys = p->GetAnimationNode()->impl()->curve(h.take.get(), true)->keys;
            keys.reserve(keys.size() + static_cast<std::size_t>(std::min(steps, kMostReserved)));
        }
    }
    const FBTime saved = h.localTime;
    for (kLongLong k = 0; k < steps; ++k) {
        const FBTime t = span.start + FBTime(period.Get() * k);
        h.localTime = t;
        h.evaluateScene();
        for (FBModel* m : selected) {
            if (!isLive(m)) continue;
            for (FBPropertyAnimatableVector3d* p : {&m->Translation, &m->Rotation}) {
                p->SetAnimated(true);
                double v[3];
                p->GetData(v, sizeof(v));
                p->GetAnimationNode()->KeyAdd(t, v);
            }
        }
    }
    h.localTime = saved;
    h.evaluateScene();
    return true;
}

// ---- FBSystem ----

FBSystem::FBSystem() : OnIdle(host().onIdle), OnUIIdle(host().onUIIdle) {
    Name = "System";
    CurrentTake.BindGetter([] { return host().take.get(); });
    LocalTime.BindGetter([] { return host().localTime; });
    SystemTime.BindGetter([] { return host().systemTime; });
}
FBSystem::~FBSystem() = default;
FBSystem& FBSystem::TheOne() {
    static FBSystem* system = new FBSystem;
    return *system;
}

// ---- FBPlayerControl ----

FBPlayerControl::FBPlayerControl() {
    Name = "PlayerControl";
}
FBPlayerControl::~FBPlayerControl() = default;
FBPlayerControl& FBPlayerControl::TheOne() {
    static FBPlayerControl* control = new FBPlayerControl;
    return *control;
}
FBTransportMode FBPlayerControl::GetTransportMode() {
    return host().transport;
}
void FBPlayerControl::EvaluationPause() {
    ++host().pauseCount;
}
void FBPlayerControl::EvaluationResume() {
    if (host().pauseCount > 0) --host().pauseCount;
}

// ---- FBProgress ----

// A record starts when the indicator is begun or first given a caption or text, and a new one
// when that happens again after it was done.
void FBProgress::Impl::ensureRecord(FBProgress& progress) {
    if (record && !record->done) return;
    record = std::make_shared<fbhost::ProgressRecord>();
    record->caption = progress.Caption.Get().str();
    const std::string text = progress.Text.Get().str();
    if (!text.empty()) record->texts.push_back(text);
    host().progress.push_back(record);
}

FBProgress::FBProgress() : mImpl(std::make_unique<Impl>()) {
    Name = "Progress";
    Caption.BindSetter([this](const FBString& caption) {
        mImpl->ensureRecord(*this);
        mImpl->record->caption = caption.str();
    });
    Text.BindSetter([this](const FBString& text) {
        mImpl->ensureRecord(*this);
        auto& texts = mImpl->record->texts;
        if (texts.empty() || texts.back() != text.str()) texts.push_back(text.str());
    });
    Percent.BindSetter([this](const int& percent) {
        if (mImpl->record && !mImpl->record->done) mImpl->record->percent = percent;
    });
}
FBProgress::~FBProgress() {
    if (mImpl->record) mImpl->record->done = true;
}
void FBProgress::ProgressBegin() {
    mImpl->ensureRecord(*this);
}
void FBProgress::ProgressDone() {
    if (mImpl->record) mImpl->record->done = true;
}

}  // namespace ORSDK2026
