// Animation nodes, their per-take curves, and animatable vector properties.
//
// Curve evaluation between two keys follows the earlier key's interpolation:
//   constant: the earlier key's values;
//   linear:   straight-line interpolation in time;
//   cubic:    a cubic Hermite segment whose tangents are the non-uniform Catmull-Rom slopes
//             (v[i+1] - v[i-1]) / (t[i+1] - t[i-1]), one-sided at the first and last key. The
//             curve passes through every key and reproduces a straight line exactly. Tangent
//             modes (auto, TCB with default parameters, user) all use these slopes.
// Before the first key the curve holds the first key's values, after the last the last key's.
#include <algorithm>
#include <cstdio>

#include "sdk_internal.h"

namespace ORSDK2026 {

using namespace fbsdk_detail;

namespace {

fbhost::Host::Impl& host() {
    return fbhost::Host::instance().impl();
}

// The first key after `time`: at the cursor or the key after it when the time has moved on by
// at most one key since the last search, else found by bisection. The cursor is left there.
std::vector<FBKey>::const_iterator firstKeyAfter(const std::vector<FBKey>& keys, FBTime time,
                                                 std::size_t& cursor) {
    const std::size_t n = keys.size();
    auto fits = [&](std::size_t i) {
        return i <= n && (i == 0 || !(time < keys[i - 1].time)) && (i == n || time < keys[i].time);
    };
    if (!fits(cursor)) {
        if (fits(cursor + 1)) {
            ++cursor;
        } else {
            cursor = static_cast<std::size_t>(
                std::upper_bound(keys.begin(), keys.end(), time,
                                 [](const FBTime& t, const FBKey& k) { return t < k.time; }) -
                keys.begin());
        }
    }
    return keys.begin() + static_cast<std::ptrdiff_t>(cursor);
}

void interpolate(const std::vector<FBKey>& keys, FBTime time, double* out, std::size_t& cursor) {
    auto later = firstKeyAfter(keys, time, cursor);
    if (later == keys.begin()) {
        std::copy(keys.front().value, keys.front().value + 3, out);
        return;
    }
    if (later == keys.end()) {
        std::copy(keys.back().value, keys.back().value + 3, out);
        return;
    }
    const std::size_t i1 = static_cast<std::size_t>(later - keys.begin());
    const std::size_t i0 = i1 - 1;
    const FBKey& k0 = keys[i0];
    const FBKey& k1 = keys[i1];
    const double t0 = k0.time.GetSecondDouble();
    const double t1 = k1.time.GetSecondDouble();
    const double span = t1 - t0;
    const double s = (time.GetSecondDouble() - t0) / span;
    switch (k0.interpolation) {
        case kFBInterpolationConstant:
            std::copy(k0.value, k0.value + 3, out);
            return;
        case kFBInterpolationLinear:
            for (int c = 0; c < 3; ++c) out[c] = k0.value[c] + s * (k1.value[c] - k0.value[c]);
            return;
        case kFBInterpolationCubic:
        default:
            break;
    }
    // Slope at key i (value per second).
    auto slope = [&](std::size_t i, int c) {
        const std::size_t a = (i == 0) ? 0 : i - 1;
        const std::size_t b = (i + 1 < keys.size()) ? i + 1 : i;
        const double dt = keys[b].time.GetSecondDouble() - keys[a].time.GetSecondDouble();
        return dt > 0.0 ? (keys[b].value[c] - keys[a].value[c]) / dt : 0.0;
    };
    const double s2 = s * s, s3 = s2 * s;
    const double h00 = 2 * s3 - 3 * s2 + 1, h10 = s3 - 2 * s2 + s;
    const double h01 = -2 * s3 + 3 * s2, h11 = s3 - s2;
    for (int c = 0; c < 3; ++c) {
        // On the key itself (a plot on the recording's own times) the sum is the key's value
        // plus zeros: the value, without the slopes. A zero value goes through the sum, which
        // decides its sign.
        if (s == 0.0 && k0.value[c] != 0.0) {
            out[c] = k0.value[c];
            continue;
        }
        out[c] = h00 * k0.value[c] + h10 * span * slope(i0, c) + h01 * k1.value[c] +
                 h11 * span * slope(i1, c);
    }
}

}  // namespace

void evaluateCurve(const Curve& curve, FBTime time, double* out) {
    if (curve.keys.empty()) return;
    interpolate(curve.keys, time, out, curve.cursor);
}

Curve* FBAnimationNode::Impl::curve(const FBTake* take, bool create) {
    auto it = curves.find(take);
    if (it != curves.end()) return &it->second;
    return create ? &curves[take] : nullptr;
}
const Curve* FBAnimationNode::Impl::curve(const FBTake* take) const {
    auto it = curves.find(take);
    return it == curves.end() ? nullptr : &it->second;
}
void FBAnimationNode::Impl::setValue(const double* data, bool global) {
    std::copy(data, data + 3, value);
    valueGlobal = global;
    hasValue = true;
}

// ---- FBAnimationNode ----

int FBAnimationNode::TypeInfo = kTypeAnimationNode;

FBAnimationNode::FBAnimationNode(const char* name, const char* dataType, HIObject object)
    : FBComponent(object), mImpl(std::make_unique<Impl>()) {
    Name = name ? name : "";
    mImpl->dataType = dataType ? dataType : "";
    PropertyAccess::init(Reference, this, kFBPT_ULongLong, "Reference");
    PropertyAccess::init(Live, this, kFBPT_bool, "Live");
    PropertyAccess::init(Label, this, kFBPT_charptr, "Label");
    PropertyList.Add(&Reference);
    PropertyList.Add(&Live);
    PropertyList.Add(&Label);
    host().nodes.push_back(this);
}

FBAnimationNode::~FBAnimationNode() {
    auto& nodes = host().nodes;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), this), nodes.end());
    if (mImpl->device && isLive(mImpl->device)) {
        auto& owned = mImpl->device->impl()->nodes;
        owned.erase(std::remove(owned.begin(), owned.end(), this), owned.end());
    }
}

const char* FBAnimationNode::ClassName() {
    return "FBAnimationNode";
}
bool FBAnimationNode::Is(int typeId) {
    return typeId == TypeInfo || FBComponent::Is(typeId);
}
int FBAnimationNode::GetTypeId() {
    return TypeInfo;
}
const char* FBAnimationNode::GetDataType() const {
    return mImpl->dataType.c_str();
}
int FBAnimationNode::GetDataSize() const {
    return 3;
}

namespace {
FBTime writeTime(FBEvaluateInfo* info) {
    return info ? info->GetLocalTime() : fbhost::Host::instance().localTime();
}
}  // namespace

bool FBAnimationNode::WriteData(double* data, FBEvaluateInfo* info) {
    if (!finite3(data)) return false;
    mImpl->setValue(data, false);
    mImpl->valueTime = writeTime(info);
    mImpl->valueTimed = true;
    return true;
}

bool FBAnimationNode::WriteGlobalData(double* data, FBEvaluateInfo* info) {
    if (!finite3(data)) return false;
    mImpl->setValue(data, true);
    mImpl->valueTime = writeTime(info);
    mImpl->valueTimed = true;
    return true;
}

void FBAnimationNode::Evaluate(double* data, FBTime time, bool) {
    if (!data) return;
    if (mImpl->valueTimed && mImpl->valueTime == time) {
        std::copy(mImpl->value, mImpl->value + 3, data);
        return;
    }
    const Curve* c = mImpl->curve(host().take.get());
    if (c && !c->keys.empty()) {
        interpolate(c->keys, time, data, c->cursor);
        return;
    }
    std::copy(mImpl->value, mImpl->value + 3, data);
}

void FBAnimationNode::KeyAdd(const FBTime& time, double* data, FBInterpolation interpolation,
                             FBTangentMode tangentMode) {
    if (!finite3(data)) return;
    Curve* c = mImpl->curve(host().take.get(), true);
    FBKey key{time, {data[0], data[1], data[2]}, interpolation, tangentMode};
    auto& keys = c->keys;
    if (keys.empty() || keys.back().time < time) {
        keys.push_back(key);  // the usual case while recording or plotting: appended in order
    } else {
        auto it = std::lower_bound(keys.begin(), keys.end(), time,
                                   [](const FBKey& k, const FBTime& t) { return k.time < t; });
        if (it != keys.end() && it->time == time) {
            *it = key;
        } else {
            keys.insert(it, key);
        }
    }
    c->global = mImpl->valueGlobal;
    // A key at the time of the written value takes over from it.
    if (mImpl->valueTimed && mImpl->valueTime == time) mImpl->valueTimed = false;
}

FBAnimationNode* FBAnimationNode::GetAnimationToRecord() {
    const fbhost::Host::Impl& h = host();
    if (!h.recording) return nullptr;
    if (mImpl->device && !h.deviceRecords(mImpl->device)) return nullptr;
    return this;
}

void FBAnimationNode::SetBufferType(bool global) {
    mImpl->bufferGlobal = global;
}

bool FBAnimationNode::SetCandidate(double* data, bool) {
    if (!finite3(data)) return false;
    mImpl->setValue(data, mImpl->valueGlobal);
    mImpl->valueTime = host().localTime;
    mImpl->valueTimed = true;
    return true;
}

int FBAnimationNode::KeyCount() const {
    const Curve* c = mImpl->curve(host().take.get());
    return c ? static_cast<int>(c->keys.size()) : 0;
}

FBKey FBAnimationNode::GetKey(int index) const {
    const Curve* c = mImpl->curve(host().take.get());
    if (!c || index < 0 || index >= static_cast<int>(c->keys.size())) {
        return FBKey{FBTime(), {0.0, 0.0, 0.0}, kFBInterpolationConstant, kFBTangentModeAuto};
    }
    return c->keys[static_cast<std::size_t>(index)];
}

// ---- FBPropertyAnimatableVector3d ----

void FBPropertyAnimatableVector3d::Impl::current(double* out) const {
    const double* v = node ? node->impl()->value : value;
    std::copy(v, v + 3, out);
}
void FBPropertyAnimatableVector3d::Impl::setCurrent(const double* in) {
    std::copy(in, in + 3, value);
    if (node) {
        node->impl()->setValue(in, false);
        node->impl()->valueTime = host().localTime;
        node->impl()->valueTimed = true;
    }
}

FBPropertyAnimatableVector3d::FBPropertyAnimatableVector3d() : mImpl(std::make_unique<Impl>()) {}
FBPropertyAnimatableVector3d::~FBPropertyAnimatableVector3d() = default;
bool FBPropertyAnimatableVector3d::IsAnimatable() const {
    return true;
}

std::string FBPropertyAnimatableVector3d::AsString() const {
    double v[3];
    mImpl->current(v);
    char text[96];
    std::snprintf(text, sizeof(text), "%g, %g, %g", v[0], v[1], v[2]);
    return text;
}

FBPropertyAnimatableVector3d::operator FBVector3d() const {
    FBVector3d v;
    mImpl->current(v);
    return v;
}

FBPropertyAnimatableVector3d& FBPropertyAnimatableVector3d::operator=(const FBVector3d& value) {
    if (finite3(value)) mImpl->setCurrent(value);
    return *this;
}

// The node is named after the property and carries its data type ("Lcl Translation", ...).
bool FBPropertyAnimatableVector3d::SetAnimated(bool animated, bool) {
    if (!animated) {
        mImpl->node.reset();
        return true;
    }
    if (!mImpl->node) {
        mImpl->node = std::make_unique<FBAnimationNode>(GetName(), GetName());
        mImpl->node->impl()->setValue(mImpl->value, false);
    }
    return true;
}

bool FBPropertyAnimatableVector3d::IsAnimated() const {
    return mImpl->node != nullptr;
}

FBAnimationNode* FBPropertyAnimatableVector3d::GetAnimationNode(FBTake*) {
    return mImpl->node.get();
}

void FBPropertyAnimatableVector3d::GetData(void* data, int size, FBEvaluateInfo* info) const {
    if (!data || size <= 0) return;
    double v[3];
    if (info && mImpl->node) {
        mImpl->node->Evaluate(v, info->GetLocalTime());
    } else {
        mImpl->current(v);
    }
    const int count = std::min(3, size / static_cast<int>(sizeof(double)));
    std::copy(v, v + count, static_cast<double*>(data));
}

void FBPropertyAnimatableVector3d::SetData(void* data) {
    const double* v = static_cast<const double*>(data);
    if (finite3(v)) mImpl->setCurrent(v);
}

}  // namespace ORSDK2026
