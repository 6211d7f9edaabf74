// The object model: the live-object table, events, type numbers, properties, lists, components
// and the registry.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "sdk_internal.h"

namespace fbsdk_detail {
namespace {

// Never destroyed: plug-in libraries and the host's own statics may create or destroy components
// at any point of the process's start or exit.
struct ObjectTable {
    std::mutex mutex;
    std::uintptr_t nextHandle = 1;
    std::unordered_map<HIObject, FBComponent*> byHandle;
    std::unordered_set<const FBPlug*> live;
    std::unordered_set<FBPropertyBasicList*> lists;
    // Changes with every component registered or unregistered (written under the mutex).
    std::atomic<std::uint64_t> version{1};
};
ObjectTable& table() {
    static ObjectTable* t = new ObjectTable;
    return *t;
}

}  // namespace

HIObject registerComponent(FBComponent* component) {
    ObjectTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    // Handles are small counters cast to pointers, never dereferenced and never reused, so a
    // stale handle cannot reach a newer object at the same address.
    HIObject handle = reinterpret_cast<HIObject>(t.nextHandle++ * 16);
    t.byHandle[handle] = component;
    t.live.insert(component);
    t.version.fetch_add(1, std::memory_order_release);
    return handle;
}

void unregisterComponent(FBComponent* component, HIObject handle) {
    std::vector<FBPropertyBasicList*> lists;
    {
        ObjectTable& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        t.byHandle.erase(handle);
        t.live.erase(component);
        t.version.fetch_add(1, std::memory_order_release);
        lists.assign(t.lists.begin(), t.lists.end());
    }
    for (FBPropertyBasicList* list : lists) {
        while (list->Remove(component) >= 0) {
        }
    }
}

FBComponent* componentOf(HIObject handle) {
    if (!handle) return nullptr;
    ObjectTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.byHandle.find(handle);
    return it == t.byHandle.end() ? nullptr : it->second;
}

std::vector<FBComponent*> liveComponents() {
    ObjectTable& t = table();
    std::vector<std::pair<HIObject, FBComponent*>> byAge;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        byAge.assign(t.byHandle.begin(), t.byHandle.end());
    }
    // Handles are counters: their order is the order of registration.
    std::sort(byAge.begin(), byAge.end(), [](const auto& a, const auto& b) {
        return reinterpret_cast<std::uintptr_t>(a.first) <
               reinterpret_cast<std::uintptr_t>(b.first);
    });
    std::vector<FBComponent*> components;
    for (const auto& entry : byAge) components.push_back(entry.second);
    return components;
}

// The host asks this of every object on every evaluation, tens of millions of times in a long
// replay, while objects come and go rarely: each thread remembers the objects it found live in
// the table's current version, and asks the table again once anything was added or removed.
bool isLive(const FBPlug* object) {
    if (!object) return false;
    ObjectTable& t = table();
    struct Remembered {
        const FBPlug* object = nullptr;
        std::uint64_t version = 0;
    };
    thread_local std::array<Remembered, 256> remembered;
    const std::uint64_t version = t.version.load(std::memory_order_acquire);
    Remembered& slot =
        remembered[(reinterpret_cast<std::uintptr_t>(object) >> 4) % remembered.size()];
    if (slot.object == object && slot.version == version) return true;
    std::lock_guard<std::mutex> lock(t.mutex);
    if (t.live.count(object) == 0) return false;
    slot = {object, version};
    return true;
}

void registerList(FBPropertyBasicList* list) {
    ObjectTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.lists.insert(list);
}
void unregisterList(FBPropertyBasicList* list) {
    ObjectTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.lists.erase(list);
}

std::string nameOf(const FBComponent* component) {
    return component ? std::string(component->Name.Get().Buffer()) : std::string("(null)");
}

}  // namespace fbsdk_detail

namespace ORSDK2026 {

using namespace fbsdk_detail;

ICallback::~ICallback() = default;
FBEventArgs::~FBEventArgs() = default;

// ---- FBPropertyEvent ----

FBPropertyEvent::FBPropertyEvent() : mHandlers(std::make_shared<std::vector<Handler>>()) {}
// Emptying the shared list tells a Fire under way (which holds the list) that the event is gone.
FBPropertyEvent::~FBPropertyEvent() {
    mHandlers->clear();
}

namespace {
bool sameHandler(const FBPropertyEvent::Handler& h, ICallback* owner, FBCallback handler) {
    return h.owner == owner && h.handler == handler;
}
}  // namespace

void FBPropertyEvent::Add(ICallback* owner, FBCallback handler) {
    if (!owner || !handler) return;
    for (const Handler& h : *mHandlers) {
        if (sameHandler(h, owner, handler)) return;
    }
    mHandlers->push_back({owner, handler});
}

void FBPropertyEvent::Remove(ICallback* owner, FBCallback handler) {
    auto& list = *mHandlers;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const Handler& h) { return sameHandler(h, owner, handler); }),
               list.end());
}

int FBPropertyEvent::GetCount() const {
    return static_cast<int>(mHandlers->size());
}

// Calls a snapshot of the handlers; before each call the handler must still be in the live list
// (a handler removed by an earlier one is skipped). The local shared_ptr keeps the list alive if
// a handler destroys the event's owner, and `this` is not touched after the first call.
void FBPropertyEvent::Fire(HISender sender, HKEvent event) {
    std::shared_ptr<std::vector<Handler>> live = mHandlers;
    const std::vector<Handler> snapshot = *live;
    for (const Handler& h : snapshot) {
        const bool present = std::any_of(live->begin(), live->end(), [&](const Handler& l) {
            return sameHandler(l, h.owner, h.handler);
        });
        if (!present) continue;
        guarded([&] { (h.owner->*h.handler)(sender, event); },
                [&] { return "event handler for '" + nameOf(sender) + "'"; });
    }
}

// ---- FBPlug ----

int FBPlug::mGlobalTypeInfo = kFirstPluginType;
int FBPlug::TypeInfo = kTypePlug;

FBPlug::FBPlug() = default;
FBPlug::~FBPlug() = default;
bool FBPlug::SetHIObject(HIObject, bool) {
    return true;
}
const char* FBPlug::ClassName() {
    return "FBPlug";
}
bool FBPlug::Is(int typeId) {
    return typeId == TypeInfo;
}
int FBPlug::GetTypeId() {
    return TypeInfo;
}

// ---- Properties ----

FBProperty::FBProperty() = default;
FBProperty::~FBProperty() = default;
void FBProperty::CreateInternal(FBComponent* owner, FBPropertyType type, const char* name, void*,
                                void*) {
    Init(owner, type, name);
}
void FBProperty::Init(FBComponent* owner, FBPropertyType type, const char* name) {
    mOwner = owner;
    mType = type;
    mName = name ? name : "";
}
const char* FBProperty::GetName() const {
    return mName.c_str();
}
FBPropertyType FBProperty::GetPropertyType() const {
    return mType;
}
FBComponent* FBProperty::GetOwner() const {
    return mOwner;
}
bool FBProperty::IsList() const {
    return false;
}
bool FBProperty::IsAnimatable() const {
    return false;
}
std::string FBProperty::AsString() const {
    return std::string();
}

namespace {
std::string formatDouble(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}
}  // namespace

std::string FBPropertyBool::AsString() const {
    return Get() ? "true" : "false";
}
std::string FBPropertyInt::AsString() const {
    return std::to_string(Get());
}
std::string FBPropertyDouble::AsString() const {
    return formatDouble(Get());
}
std::string FBPropertyTime::AsString() const {
    return formatDouble(Get().GetSecondDouble());
}
std::string FBPropertyULongLong::AsString() const {
    return std::to_string(Get());
}
std::string FBPropertyString::AsString() const {
    return Get().str();
}

// ---- Lists ----

FBPropertyBasicList::FBPropertyBasicList() {
    registerList(this);
}
FBPropertyBasicList::~FBPropertyBasicList() {
    unregisterList(this);
}
bool FBPropertyBasicList::IsList() const {
    return true;
}
int FBPropertyBasicList::Add(FBPlug* item) {
    if (!item) return -1;
    const int existing = Find(item);
    if (existing >= 0) return existing;
    mItems.push_back(item);
    return static_cast<int>(mItems.size()) - 1;
}
int FBPropertyBasicList::Remove(FBPlug* item) {
    const int index = Find(item);
    if (index >= 0) mItems.erase(mItems.begin() + index);
    return index;
}
void FBPropertyBasicList::RemoveAt(int index) {
    if (index >= 0 && index < GetCount()) mItems.erase(mItems.begin() + index);
}
void FBPropertyBasicList::RemoveAll() {
    mItems.clear();
}
int FBPropertyBasicList::GetCount() const {
    return static_cast<int>(mItems.size());
}
FBPlug* FBPropertyBasicList::GetAt(int index) const {
    return (index >= 0 && index < GetCount()) ? mItems[index] : nullptr;
}
int FBPropertyBasicList::Find(FBPlug* item) const {
    if (!item) return -1;
    auto it = std::find(mItems.begin(), mItems.end(), item);
    return it == mItems.end() ? -1 : static_cast<int>(it - mItems.begin());
}

FBPropertyManager::FBPropertyManager() = default;
FBPropertyManager::~FBPropertyManager() = default;
FBProperty* FBPropertyManager::Find(const char* name, bool) const {
    if (!name) return nullptr;
    for (FBProperty* p : mProperties) {
        if (std::string(p->GetName()) == name) return p;
    }
    return nullptr;
}
int FBPropertyManager::GetCount() const {
    return static_cast<int>(mProperties.size());
}
FBProperty* FBPropertyManager::operator[](int index) const {
    return (index >= 0 && index < GetCount()) ? mProperties[index] : nullptr;
}
void FBPropertyManager::Add(FBProperty* property) {
    if (property &&
        std::find(mProperties.begin(), mProperties.end(), property) == mProperties.end())
        mProperties.push_back(property);
}
void FBPropertyManager::Remove(FBProperty* property) {
    mProperties.erase(std::remove(mProperties.begin(), mProperties.end(), property),
                      mProperties.end());
}

// ---- FBComponent ----

int FBComponent::TypeInfo = kTypeComponent;

FBComponent::FBComponent(HIObject) : mHIObject(registerComponent(this)) {
    PropertyAccess::init(Name, this, kFBPT_charptr, "Name");
    PropertyList.Add(&Name);
}
FBComponent::~FBComponent() {
    unregisterComponent(this, mHIObject);
}
const char* FBComponent::ClassName() {
    return "FBComponent";
}
bool FBComponent::Is(int typeId) {
    return typeId == TypeInfo || FBPlug::Is(typeId);
}
int FBComponent::GetTypeId() {
    return TypeInfo;
}
bool FBComponent::FBCreate() {
    return true;
}
void FBComponent::FBDestroy() {}
void FBComponent::FBDelete() {
    SetObjectStatus(kFBStatusDestroying, true);
    FBDestroy();
    delete this;
}
HIObject FBComponent::GetHIObject() const {
    return mHIObject;
}
bool FBComponent::GetObjectStatus(FBObjectStatus status) const {
    return (mStatus & status) != 0;
}
int FBComponent::PropertyAdd(FBProperty* property) {
    if (!property) return -1;
    PropertyList.Add(property);
    for (int i = 0; i < PropertyList.GetCount(); ++i) {
        if (PropertyList[i] == property) return i;
    }
    return -1;
}
void FBComponent::SetObjectStatus(FBObjectStatus status, bool on) {
    if (on) {
        mStatus |= status;
    } else {
        mStatus &= ~static_cast<int>(status);
    }
}

FBComponent* FBGetFBObject(HIObject object) {
    return componentOf(object);
}

// Only live components are deleted: a pointer the host does not know (already deleted, foreign)
// is left alone.
void FBDelete(FBComponent* component) {
    if (!isLive(component)) return;
    guarded([&] { component->FBDelete(); },
            [&] { return "FBDelete of '" + nameOf(component) + "'"; });
}
void* FBMalloc(std::size_t size) {
    return std::malloc(size);
}
void FBFree(void* memory) {
    std::free(memory);
}

// ---- FBLibraryBase ----

FBLibraryBase::FBLibraryBase() = default;
void* FBLibraryBase::IQuery(int) {
    return nullptr;
}
void FBLibraryBase::Destroy() {}
FBLibraryBase::~FBLibraryBase() = default;
bool FBLibraryBase::LibInit() {
    return true;
}
bool FBLibraryBase::LibOpen() {
    return true;
}
bool FBLibraryBase::LibReady() {
    return true;
}
bool FBLibraryBase::LibClose() {
    return true;
}
bool FBLibraryBase::LibRelease() {
    return true;
}

// ---- Registry ----

bool FBObject_Register(const char* group, const char* entry, const char* description,
                       FBObjectCreationFunction creator, bool flag, const char* icon) {
    if (!group || !entry || !*group || !*entry || !creator) return false;
    fbhost::Host::Impl& host = fbhost::Host::instance().impl();
    for (const fbhost::Registration& r : host.registrations) {
        if (r.group == group && r.entry == entry) return false;
    }
    fbhost::Registration r;
    r.group = group;
    r.entry = entry;
    r.description = description ? description : "";
    r.flag = flag;
    r.icon = icon ? icon : "";
    r.creator = creator;
    r.library = host.currentLibrary;
    host.registrations.push_back(std::move(r));
    return true;
}

}  // namespace ORSDK2026
