// Inside the stand-in host: what the SDK sources and the host-control sources share and plug-in
// code never sees. The host state itself (Host::Impl) is declared here.
#pragma once

#include <cmath>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fbhost/host.h"
#include "fbsdk/fbsdk.h"

namespace fbsdk_detail {

using namespace ORSDK2026;

// The host's own class numbers. FBPlug::mGlobalTypeInfo starts at kFirstPluginType.
enum TypeNumber {
    kTypePlug = 1,
    kTypeComponent,
    kTypeBox,
    kTypeAnimationNode,
    kTypeModel,
    kTypeModelTemplate,
    kTypeTake,
    kTypeDevice,
    kTypeCharacter,
    // The UI classes take 20 and up.
    kTypeVisualComponent = 20,
    kTypeLayout,
    kTypeButton,
    kTypeLabel,
    kTypeEdit,
    kTypeList,
    kTypeSpread,
    kTypeTabPanel,
    kTypeDeviceLayout,
    kFirstPluginType = 1000,
};

// ---- The live-object table ----
// Every FBComponent gets a handle that is never reused; FBGetFBObject answers only for handles of
// live components, so a stale, foreign or null handle gives null.
HIObject registerComponent(FBComponent* component);
void unregisterComponent(FBComponent* component, HIObject handle);
FBComponent* componentOf(HIObject handle);
// Every live component, in the order they were registered.
std::vector<FBComponent*> liveComponents();
bool isLive(const FBPlug* object);

// Every list property registers itself; a component being destroyed leaves every list.
void registerList(FBPropertyBasicList* list);
void unregisterList(FBPropertyBasicList* list);

// Protected-member access for the host (the classic pointer-to-member route through a derived
// class, which C++ allows).
struct ComponentAccess : FBComponent {
    static void setStatus(FBComponent& component, FBObjectStatus status, bool on) {
        (component.*(&ComponentAccess::SetObjectStatus))(status, on);
    }
};
struct PropertyAccess : FBProperty {
    static void init(FBProperty& property, FBComponent* owner, FBPropertyType type,
                     const char* name) {
        (property.*(&PropertyAccess::Init))(owner, type, name);
    }
};

inline bool finite3(const double* v) {
    return v && std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Runs plug-in code; an exception coming out of it is recorded as a plug-in failure (what() and
// the call's description) and the result is false.
template <typename Call, typename Describe>
bool guarded(Call&& call, Describe&& describe) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        fbhost::Host::instance().reportPluginFailure(describe(), e.what());
    } catch (...) {
        fbhost::Host::instance().reportPluginFailure(describe(), "unknown exception");
    }
    return false;
}

std::string nameOf(const FBComponent* component);

// A model's local / global matrix at a time (its curves), or at its current values (time null).
FBMatrix modelLocalMatrix(FBModel& model, const FBTime* time);
FBMatrix modelGlobalMatrix(FBModel& model, const FBTime* time);

}  // namespace fbsdk_detail

// ---- Object insides ----

namespace ORSDK2026 {

// One take's curve of a node. `global`: the keys hold global values (the node's space when the
// latest key was added).
struct Curve {
    std::vector<FBKey> keys;  // sorted by time, one key per time
    bool global = false;
    // Where the last evaluation found its time: the index of the first key after it. Playback,
    // recording and plotting evaluate at times that follow each other, so the next search
    // mostly starts and ends here. Host thread only.
    mutable std::size_t cursor = 0;
};

struct FBAnimationNode::Impl {
    std::string dataType;
    FBDevice* device = nullptr;  // owning device of an output node
    // The node's current value, its space, and the local time it was written at. A value written
    // (or set) at time T wins over the curve when the node is evaluated at T.
    double value[3] = {0.0, 0.0, 0.0};
    bool valueGlobal = false;
    bool hasValue = false;  // written, set or given a key value since creation
    FBTime valueTime;
    bool valueTimed = false;
    bool bufferGlobal = false;
    std::map<const FBTake*, Curve> curves;

    Curve* curve(const FBTake* take, bool create);
    const Curve* curve(const FBTake* take) const;
    void setValue(const double* data, bool global);
};

// The curve's value at a time (see animation.cpp for the interpolation).
void evaluateCurve(const Curve& curve, FBTime time, double* out);

struct FBPropertyAnimatableVector3d::Impl {
    double value[3] = {0.0, 0.0, 0.0};
    std::unique_ptr<FBAnimationNode> node;  // while animated
    const char* dataType = "";

    void current(double* out) const;
    void setCurrent(const double* in);
};

struct FBDevice::Impl {
    std::vector<FBAnimationNode*> nodes;  // output nodes, owned, in creation order
    int samplesAcknowledged = 0;
    std::vector<std::string> statusTexts;
    bool recording = false;         // part of the recording under way
    const void* library = nullptr;  // the PluginLibrary whose factory made it
    bool madeByFactory = false;
};

struct FBCharacter::Impl {
    std::vector<std::unique_ptr<FBPropertyListModel>> links;
    bool characterized = false;
};

struct FBProgress::Impl {
    std::shared_ptr<fbhost::ProgressRecord> record;
    bool begun = false;
    void ensureRecord(FBProgress& progress);
};

}  // namespace ORSDK2026

// ---- The host state ----

namespace fbhost {

struct Host::Impl {
    Impl();

    std::vector<Registration> registrations;
    const void* currentLibrary = nullptr;  // the PluginLibrary loading or being called

    std::vector<ORSDK2026::FBDevice*> devices;  // live devices, creation order
    struct Panel {
        FBDeviceLayout* layout;
        FBDevice* device;
        const void* library;
    };
    std::vector<Panel> panels;
    std::vector<FBModel*> models;      // scene models, creation order
    std::vector<FBModel*> hostModels;  // made by binding: deleted by reset
    std::vector<FBCharacter*> characters;
    std::unordered_set<const FBCharacter*> heapCharacters;
    std::unordered_set<FBModelTemplate*> templates;
    std::vector<FBAnimationNode*> nodes;  // every live node

    std::unique_ptr<FBTake> take;
    FBTime localTime;
    FBTime systemTime;
    bool recording = false;
    ORSDK2026::FBTransportMode transport = ORSDK2026::kFBTransportStop;
    int pauseCount = 0;

    std::vector<std::shared_ptr<ProgressRecord>> progress;
    std::vector<PluginFailure> failures;

    ORSDK2026::FBPropertyEvent onIdle;
    ORSDK2026::FBPropertyEvent onUIIdle;

    // Evaluates the scene at the local time (the four passes of evaluate()).
    void evaluateScene();
    // Bound models take the values of their templates' nodes.
    void applyBindings();
    bool deviceRecords(const FBDevice* device) const;
};

// While it lives, registrations made count as `library`'s (the PluginLibrary being loaded or
// called, or the library whose factory runs); the library before it is current again after.
class CurrentLibraryScope {
public:
    CurrentLibraryScope(Host::Impl& host, const void* library)
        : mHost(host), mPrevious(host.currentLibrary) {
        host.currentLibrary = library;
    }
    ~CurrentLibraryScope() { mHost.currentLibrary = mPrevious; }
    CurrentLibraryScope(const CurrentLibraryScope&) = delete;
    CurrentLibraryScope& operator=(const CurrentLibraryScope&) = delete;

private:
    Host::Impl& mHost;
    const void* mPrevious;
};

}  // namespace fbhost
