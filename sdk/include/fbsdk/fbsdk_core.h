// Objects, properties, events and registration: the host's object model.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fbsdk/fbsdk_types.h"

namespace ORSDK2026 {

class FBComponent;
class FBPlug;
class FBEventArgs;

// Base of every object that can handle events. An event handler is a member function of a class
// derived from ICallback, registered with the object that owns it:
//   button.OnClick.Add(this, (FBCallback)&MyLayout::OnButtonClick);
class FBSDK_API ICallback {
public:
    virtual ~ICallback();
};

using HISender = FBComponent*;  // the object whose event fired
using HKEvent = FBEventArgs*;   // what the event carries (may be null)
using FBCallback = void (ICallback::*)(HISender sender, HKEvent event);

class FBSDK_API FBEventArgs {
public:
    virtual ~FBEventArgs();
};

// An event of an object. Handlers run synchronously, in the order added, on the host's thread,
// when the host (or the driver acting as its user) fires the event. An exception thrown by a
// handler is caught at the host boundary and reported as a plug-in failure.
class FBSDK_API FBPropertyEvent {
public:
    FBPropertyEvent();
    ~FBPropertyEvent();
    FBPropertyEvent(const FBPropertyEvent&) = delete;
    FBPropertyEvent& operator=(const FBPropertyEvent&) = delete;
    // Adds a handler; adding the same (owner, handler) pair again does nothing.
    void Add(ICallback* owner, FBCallback handler);
    // Removes a handler; removing one that is not there does nothing.
    void Remove(ICallback* owner, FBCallback handler);
    int GetCount() const;
    // Host side: calls every handler. A handler may add or remove handlers while it runs; a
    // handler removed during the firing is not called afterwards.
    void Fire(HISender sender, HKEvent event = nullptr);

    struct Handler {
        ICallback* owner;
        FBCallback handler;
    };

private:
    std::shared_ptr<std::vector<Handler>> mHandlers;
};

// The host's registry of object types: every class with a type number answers Is() for its own
// number and defers others to its base class.
class FBSDK_API FBPlug : public ICallback {
public:
    // The next free type number. Starts above the host's own class numbers; a plug-in takes one
    // number per class at load (value, then increment).
    static int mGlobalTypeInfo;
    static int TypeInfo;  // FBPlug's own number

    FBPlug();
    ~FBPlug() override;
    virtual bool SetHIObject(HIObject object, bool sdkComponent);
    // Class identity: name, type test and type number.
    virtual const char* ClassName();
    virtual bool Is(int typeId);
    virtual int GetTypeId();
};

// Object status flags, tested with GetObjectStatus.
enum FBObjectStatus {
    kFBStatusNone = 0,
    kFBStatusCreating = 1,
    kFBStatusStoring = 2,
    kFBStatusRetrieving = 4,
    kFBStatusDestroying = 8,
    kFBStatusMerging = 16,
};

// Property types, as CreateInternal declares them.
enum FBPropertyType {
    kFBPT_unknown = -1,
    kFBPT_int = 0,
    kFBPT_bool,
    kFBPT_float,
    kFBPT_double,
    kFBPT_charptr,
    kFBPT_enum,
    kFBPT_Time,
    kFBPT_object,
    kFBPT_event,
    kFBPT_stringlist,
    kFBPT_Vector3D,
    kFBPT_ULongLong,
};

class FBAnimationNode;
class FBTake;

// A named value of a component. Properties that are members of an SDK class are created with
// it; a plug-in's own published property is created with CreateInternal and added to its owner
// with FBComponent::PropertyAdd, which makes FBPropertyManager::Find see it.
class FBSDK_API FBProperty {
public:
    FBProperty();
    virtual ~FBProperty();
    FBProperty(const FBProperty&) = delete;
    FBProperty& operator=(const FBProperty&) = delete;

    // Declares the property: its owner, type and name. Getter and setter are not used by this
    // host (pass null).
    void CreateInternal(FBComponent* owner, FBPropertyType type, const char* name,
                        void* getter = nullptr, void* setter = nullptr);
    const char* GetName() const;
    FBPropertyType GetPropertyType() const;
    FBComponent* GetOwner() const;
    // True for list properties (FBPropertyBasicList and its kinds).
    virtual bool IsList() const;
    virtual bool IsAnimatable() const;
    // The value as text ("%g" for numbers, "true"/"false" for bools); for tests and pictures.
    virtual std::string AsString() const;

protected:
    // Host side: names the property when its owner constructs it.
    void Init(FBComponent* owner, FBPropertyType type, const char* name);

private:
    FBComponent* mOwner = nullptr;
    FBPropertyType mType = kFBPT_unknown;
    std::string mName;
};

// A property holding one value. Reading and assigning go through Get and Set, which some host
// properties (the system's current time, a template's bound model) compute instead of store.
template <typename T>
class FBPropertyValue : public FBProperty {
public:
    using Getter = std::function<T()>;
    using Setter = std::function<void(const T&)>;
    FBPropertyValue() : mValue() {}
    operator T() const { return Get(); }
    FBPropertyValue& operator=(const T& value) {
        Set(value);
        return *this;
    }
    T Get() const { return mGetter ? mGetter() : mValue; }
    void Set(const T& value) {
        if (!mGetter) mValue = value;
        if (mSetter) mSetter(value);
    }
    // Host side: makes the property read its value from elsewhere (read-only from then on).
    void BindGetter(Getter getter) { mGetter = std::move(getter); }
    // Host side: a hook run after every assignment (a status text shown, a parent changed).
    void BindSetter(Setter setter) { mSetter = std::move(setter); }

private:
    T mValue;
    Getter mGetter;
    Setter mSetter;
};

class FBSDK_API FBPropertyBool : public FBPropertyValue<bool> {
public:
    using FBPropertyValue<bool>::operator=;
    std::string AsString() const override;
};
class FBSDK_API FBPropertyInt : public FBPropertyValue<int> {
public:
    using FBPropertyValue<int>::operator=;
    std::string AsString() const override;
};
class FBSDK_API FBPropertyDouble : public FBPropertyValue<double> {
public:
    using FBPropertyValue<double>::operator=;
    std::string AsString() const override;
};
class FBSDK_API FBPropertyTime : public FBPropertyValue<FBTime> {
public:
    using FBPropertyValue<FBTime>::operator=;
    std::string AsString() const override;
};
class FBSDK_API FBPropertyULongLong : public FBPropertyValue<kULongLong> {
public:
    using FBPropertyValue<kULongLong>::operator=;
    std::string AsString() const override;
};
class FBSDK_API FBPropertyString : public FBPropertyValue<FBString> {
public:
    using FBPropertyValue<FBString>::operator=;
    FBPropertyString& operator=(const char* text) {
        Set(FBString(text));
        return *this;
    }
    std::string AsString() const override;
};
// An enumerated property; assigned and read as its enum type (or as int).
template <typename E>
class FBPropertyEnum : public FBPropertyValue<E> {
public:
    using FBPropertyValue<E>::operator=;
    std::string AsString() const override { return std::to_string(static_cast<int>(this->Get())); }
};
// A property naming another object (null when unset), e.g. a template's bound model.
template <typename T>
class FBPropertyObject : public FBPropertyValue<T*> {
public:
    using FBPropertyValue<T*>::operator=;
    T* operator->() const { return this->Get(); }
};

// A list property of objects: a template's children, a node list, a character's link slot.
class FBSDK_API FBPropertyBasicList : public FBProperty {
public:
    FBPropertyBasicList();
    ~FBPropertyBasicList() override;
    bool IsList() const override;
    // Appends an object and returns its index; an object already in the list is not added again
    // (its index is returned). A null object is refused with -1.
    virtual int Add(FBPlug* item);
    // Removes an object; returns its former index, or -1 if it was not there.
    virtual int Remove(FBPlug* item);
    virtual void RemoveAt(int index);
    virtual void RemoveAll();
    virtual int GetCount() const;
    virtual FBPlug* GetAt(int index) const;
    // Index of an object, -1 if absent.
    virtual int Find(FBPlug* item) const;

private:
    std::vector<FBPlug*> mItems;
};

// A typed view of a list property.
template <typename T>
class FBPropertyListOf : public FBPropertyBasicList {
public:
    int Add(T* item) { return FBPropertyBasicList::Add(item); }
    int Remove(T* item) { return FBPropertyBasicList::Remove(item); }
    T* operator[](int index) const { return static_cast<T*>(GetAt(index)); }
};
using FBPropertyListComponent = FBPropertyListOf<FBComponent>;

// A component's property list.
class FBSDK_API FBPropertyManager {
public:
    FBPropertyManager();
    ~FBPropertyManager();
    // The property of that name, or null. multilangLookup is accepted and ignored.
    FBProperty* Find(const char* name, bool multilangLookup = true) const;
    int GetCount() const;
    FBProperty* operator[](int index) const;
    // Host side.
    void Add(FBProperty* property);
    void Remove(FBProperty* property);

private:
    std::vector<FBProperty*> mProperties;
};

// The base of every host object with a name, properties and a host handle.
class FBSDK_API FBComponent : public FBPlug {
public:
    static int TypeInfo;
    explicit FBComponent(HIObject object = nullptr);
    ~FBComponent() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    // Runs after construction (a creation hook); false makes the factory discard the object.
    virtual bool FBCreate();
    // Runs before destruction: release what the object holds in the host.
    virtual void FBDestroy();
    // Destroys the object the way the host does: FBDestroy, then delete.
    virtual void FBDelete();

    HIObject GetHIObject() const;
    bool GetObjectStatus(FBObjectStatus status) const;
    // Adds a property created with CreateInternal to PropertyList; returns its index.
    int PropertyAdd(FBProperty* property);

    FBPropertyString Name;
    FBPropertyManager PropertyList;

    // Set by a factory: the object was allocated by a plug-in and its class name.
    bool mAllocated = false;
    FBString mClassName;

protected:
    // Host side: sets or clears status flags.
    void SetObjectStatus(FBObjectStatus status, bool on);

private:
    HIObject mHIObject = nullptr;
    int mStatus = kFBStatusNone;
};

// The SDK object behind a host handle; null for null or unknown handles.
FBSDK_API FBComponent* FBGetFBObject(HIObject object);
// Deletes a host-created object (FBDelete); does nothing for null.
FBSDK_API void FBDelete(FBComponent* component);
FBSDK_API void* FBMalloc(std::size_t size);
FBSDK_API void FBFree(void* memory);

// A plug-in's library object: one static instance per plug-in library.
class FBSDK_API FBLibraryBase {
public:
    FBLibraryBase();
    virtual void* IQuery(int interfaceId);
    virtual void Destroy();
    virtual ~FBLibraryBase();
    virtual bool LibInit();
    virtual bool LibOpen();
    virtual bool LibReady();
    virtual bool LibClose();
    virtual bool LibRelease();
};

// What the host asks of a library's entry point.
enum kFBDllOperation { kFBDllLoad = 0, kFBDllConfig = 1, kFBDllUnload = 2 };

// Creates an object for the registry: the owner, the object name and a data pointer (for a
// device layout: the host handle of the device whose panel is wanted). Returns the new object's
// host handle, or null.
using FBObjectCreationFunction = HIObject (*)(HIObject owner, const char* name, void* data);

// Registers a factory under (group, entry). A second registration of the same pair is refused
// with false.
FBSDK_API bool FBObject_Register(const char* group, const char* entry, const char* description,
                                 FBObjectCreationFunction creator, bool flag, const char* icon);

}  // namespace ORSDK2026
