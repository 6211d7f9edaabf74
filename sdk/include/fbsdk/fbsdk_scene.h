// The scene: animation nodes, models, templates, takes, transport, devices, characters, and
// the host's TCP client.
//
// How the stand-in host works, as far as a device relies on it:
// - Evaluation. Each host evaluation at local time t (the driver steps time) runs four passes:
//   (1) every animation node with keys in the current take takes its curve's value at t (a
//   device node's keys count as global when they were added while its values were global, or
//   while its buffer type is global); (2) models bound to device templates take the values of
//   the nodes bound to their template, parents first (global values are turned into local ones
//   through the parent model); (3) each online device gets AnimationNodeNotify once, with its
//   first output node, whose Live flag is set to Online && Live; the values it writes land in
//   the nodes (WriteData local, WriteGlobalData global); (4) the bound models take those values.
//   A device with no output node is not notified. Evaluation is skipped while paused.
// - Values and curves. A value written or set on a node at local time T (WriteData,
//   WriteGlobalData, SetCandidate, a model property's assignment) wins over the node's curve
//   when it is evaluated at T; at other times the curve decides, and without keys the last value.
// - Input. While a device is online, each host step first calls its input notification
//   (DeviceIONotify, action kIOPlayModeWrite while recording, kIOStopModeRead otherwise) with the
//   step's local time, then evaluates.
// - Recording. Starting a recording sets the transport to play and gives each online device
//   with RecordMode (default true) DeviceTimeNotify(0, local time) and RecordingInitAnimation.
//   While the host records, GetAnimationToRecord gives the node itself (null for nodes of
//   devices not recording), and KeyAdd keys go into the current take. Stopping calls
//   RecordingDoneAnimation once on each recording device (with its first output node), sets the
//   take's span over the recorded keys (extends it when it was already set), and stops the
//   transport.
// - Plotting. FBTake::PlotTakeOnSelected evaluates the scene at every period step over the
//   take's span and keys the selected models' local translation and rotation there.
// - Models. A model's translation and rotation are animated from its creation, so their
//   GetAnimationNode is never null.
#pragma once

#include "fbsdk/fbsdk_core.h"

namespace ORSDK2026 {

class FBModel;
class FBModelTemplate;
class FBDevice;

// What an evaluation is about: its local and system time.
class FBSDK_API FBEvaluateInfo {
public:
    FBEvaluateInfo(FBTime localTime = FBTime(), FBTime systemTime = FBTime());
    FBTime GetLocalTime() const;
    FBTime GetSystemTime() const;

private:
    FBTime mLocalTime;
    FBTime mSystemTime;
};

// What a device input notification is about.
class FBSDK_API FBDeviceNotifyInfo {
public:
    FBDeviceNotifyInfo(FBTime localTime = FBTime(), FBTime systemTime = FBTime());
    FBTime GetLocalTime() const;
    FBTime GetSystemTime() const;

private:
    FBTime mLocalTime;
    FBTime mSystemTime;
};

class FBSDK_API FBBox : public FBComponent {
public:
    static int TypeInfo;
    explicit FBBox(HIObject object = nullptr);
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;
};

enum FBInterpolation {
    kFBInterpolationConstant = 0,
    kFBInterpolationLinear = 1,
    kFBInterpolationCubic = 2,
};
enum FBTangentMode {
    kFBTangentModeAuto = 0,
    kFBTangentModeTCB = 1,
    kFBTangentModeUser = 2,
};

// One key of a node's curve in a take: time, up to three values, interpolation and tangent mode.
struct FBKey {
    FBTime time;
    double value[3];
    FBInterpolation interpolation;
    FBTangentMode tangentMode;
};

// A channel of animation data: up to three doubles (a translation or an Euler rotation), with a
// curve of keys per take. A device's output nodes carry the device's values to the host.
class FBSDK_API FBAnimationNode : public FBComponent {
public:
    static int TypeInfo;
    FBAnimationNode(const char* name, const char* dataType, HIObject object = nullptr);
    ~FBAnimationNode() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyULongLong Reference;  // the user reference given at creation
    FBPropertyBool Live;            // true while the owning device is evaluated live
    FBPropertyString Label;

    // "Lcl Translation", "Lcl Rotation", ...
    const char* GetDataType() const;
    int GetDataSize() const;  // number of doubles: 3

    // Writes this evaluation's value: local (WriteData) or global (WriteGlobalData). The data
    // holds GetDataSize() doubles. Non-finite values are refused (false, nothing written).
    bool WriteData(double* data, FBEvaluateInfo* info = nullptr);
    bool WriteGlobalData(double* data, FBEvaluateInfo* info = nullptr);
    // The node's value at a time: the current take's curve interpolated when it has keys,
    // otherwise the last value written or set.
    void Evaluate(double* data, FBTime time, bool evaluateCandidate = true);
    // Adds (or replaces, at the same time) a key in the current take's curve.
    void KeyAdd(const FBTime& time, double* data,
                FBInterpolation interpolation = kFBInterpolationCubic,
                FBTangentMode tangentMode = kFBTangentModeAuto);
    // The node to key while the host records; null when it does not record.
    FBAnimationNode* GetAnimationToRecord();
    // true: values written while plotting are buffered as global values.
    void SetBufferType(bool global);
    // The candidate value (what the node holds between keys when set by the user).
    bool SetCandidate(double* data, bool checkLocked = false);
    // The current take's keys of this node.
    int KeyCount() const;
    FBKey GetKey(int index) const;

    struct Impl;
    Impl* impl() const { return mImpl.get(); }

private:
    std::unique_ptr<Impl> mImpl;
};
using FBPropertyListAnimationNode = FBPropertyListOf<FBAnimationNode>;

// A three-double property that can be animated (a model's translation or rotation). Its value
// is local to the model's parent.
class FBSDK_API FBPropertyAnimatableVector3d : public FBProperty {
public:
    FBPropertyAnimatableVector3d();
    ~FBPropertyAnimatableVector3d() override;
    bool IsAnimatable() const override;
    std::string AsString() const override;
    operator FBVector3d() const;
    FBPropertyAnimatableVector3d& operator=(const FBVector3d& value);
    // Makes the property animated (it gets an animation node); false removes the node.
    bool SetAnimated(bool animated, bool keepValues = false);
    bool IsAnimated() const;
    // The property's animation node (take null: the current take); null while not animated.
    FBAnimationNode* GetAnimationNode(FBTake* take = nullptr);
    // Reads or sets the value (size in bytes; at most three doubles are used).
    void GetData(void* data, int size, FBEvaluateInfo* info = nullptr) const;
    void SetData(void* data);

    struct Impl;
    Impl* impl() const { return mImpl.get(); }

private:
    std::unique_ptr<Impl> mImpl;
};

enum FBModelTransformationType {
    kModelTransformation = 0,  // translation, rotation and scaling
    kModelRotation = 1,
    kModelTranslation = 2,
    kModelScaling = 3,
};

// A model in the scene: a transform in a hierarchy.
class FBSDK_API FBModel : public FBBox {
public:
    static int TypeInfo;
    explicit FBModel(const char* name, HIObject object = nullptr);
    ~FBModel() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyAnimatableVector3d Translation;  // local, centimetres
    FBPropertyAnimatableVector3d Rotation;     // local, Euler degrees, order kFBXYZ
    FBPropertyAnimatableVector3d Scaling;      // local
    FBPropertyBool Selected;
    FBPropertyObject<FBModel> Parent;
    FBPropertyListOf<FBModel> Children;

    // The model's matrix: global (the parent chain applied) or local, of the whole transform or
    // one part of it, at the evaluation's time (null: the current values).
    void GetMatrix(FBMatrix& matrix, FBModelTransformationType what = kModelTransformation,
                   bool global = true, FBEvaluateInfo* info = nullptr);
};
using FBPropertyListModel = FBPropertyListOf<FBModel>;

// A growable array of models, as FBGetSelectedModels fills it.
class FBSDK_API FBModelList {
public:
    FBModelList();
    ~FBModelList();
    int GetCount() const;
    FBModel* operator[](int index) const;
    int Add(FBModel* model);
    // Inserts before index (index == count appends); returns the index used.
    int InsertAt(int index, FBModel* model);
    void RemoveAt(int index);
    void Clear();

private:
    std::vector<FBModel*> mModels;
};

// Fills the list with the models under parent (null: the whole scene) whose selection matches.
FBSDK_API void FBGetSelectedModels(FBModelList& list, FBModel* parent = nullptr,
                                   bool selected = true, bool sortBySelectOrder = false);

enum FBModelTemplateType {
    kFBModelTemplateUnknown = 0,
    kFBModelTemplateModel = 1,
    kFBModelTemplateMarker = 2,
    kFBModelTemplateRoot = 3,
    kFBModelTemplateSensor = 4,
    kFBModelTemplateSkeleton = 5,
};

// A node of a device's model-template tree: the host binds a model to each template (a model
// named after it, with the templates' hierarchy); the model then follows the animation nodes in
// the template's bindings.
class FBSDK_API FBModelTemplate : public FBComponent {
public:
    static int TypeInfo;
    FBModelTemplate(const char* prefix, const char* name, FBModelTemplateType style,
                    HIObject object = nullptr);
    ~FBModelTemplate() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyString Prefix;
    FBPropertyEnum<FBModelTemplateType> Style;
    FBPropertyListOf<FBModelTemplate> Children;
    FBPropertyListAnimationNode Bindings;
    FBPropertyObject<FBModel> Model;  // the bound model, null when unbound
};
using FBPropertyListModelTemplate = FBPropertyListOf<FBModelTemplate>;

// A take: the animation of the scene over a span.
class FBSDK_API FBTake : public FBComponent {
public:
    static int TypeInfo;
    explicit FBTake(const char* name, HIObject object = nullptr);
    ~FBTake() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyValue<FBTimeSpan> LocalTimeSpan;
    // Evaluates the scene at every period step over LocalTimeSpan (start included, stop
    // included when it falls on a step) and keys the selected models' translation and rotation
    // there. A non-positive period plots nothing and returns false.
    bool PlotTakeOnSelected(FBTime period);
};

// The host system: time, the current take and the idle events.
class FBSDK_API FBSystem : public FBComponent {
public:
    FBSystem();
    ~FBSystem() override;
    static FBSystem& TheOne();

    FBPropertyObject<FBTake> CurrentTake;
    FBPropertyTime LocalTime;   // the host's current local time
    FBPropertyTime SystemTime;  // the host's clock
    // Fired by the host when it has nothing else to do, outside any device notification.
    FBPropertyEvent& OnIdle;
    // Fired by the host's user-interface loop when idle.
    FBPropertyEvent& OnUIIdle;
};

enum FBTransportMode {
    kFBTransportPlay = 0,  // the transport runs (playing or recording)
    kFBTransportStop = 1,
    kFBTransportTimecode = 2,
};

class FBSDK_API FBPlayerControl : public FBComponent {
public:
    FBPlayerControl();
    ~FBPlayerControl() override;
    static FBPlayerControl& TheOne();
    FBTransportMode GetTransportMode();
    // Pauses the host's evaluation until the matching resume (calls nest).
    void EvaluationPause();
    void EvaluationResume();
};

// A progress indicator. Every indicator begun is recorded by the host with its caption, texts
// and whether it was done, so a test can read what a device showed.
class FBSDK_API FBProgress : public FBComponent {
public:
    FBProgress();
    ~FBProgress() override;  // an indicator not done is done here
    FBPropertyString Caption;
    FBPropertyString Text;
    FBPropertyInt Percent;
    void ProgressBegin();
    void ProgressDone();

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

enum kDeviceOperations {
    kOpInit = 0,
    kOpStart = 1,
    kOpAutoDetect = 2,
    kOpStop = 3,
    kOpReset = 4,
    kOpDone = 5,
    kOpDetect = 6,
};
enum kDeviceIOs {
    kIOStopModeRead = 0,
    kIOPlayModeWrite = 1,
    kIOPlayModeRead = 2,
};
enum FBDeviceSamplingMode {
    kFBHardwareTimestamp = 0,
    kFBHardwareFrequency = 1,
    kFBAutoFrequency = 2,
    kFBSoftwareTimestamp = 3,
};

// A live device. The host drives it through DeviceOperation (its result is the device's new
// online state for start/stop/reset), the notifications and the idle events.
class FBSDK_API FBDevice : public FBBox {
public:
    static int TypeInfo;
    explicit FBDevice(const char* name, HIObject object = nullptr);
    ~FBDevice() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;
    void FBDestroy() override;

    FBPropertyString Status;    // the status text the host shows; setting it fires OnStatusChange
    FBPropertyBool Online;      // the online state the user switches
    FBPropertyBool Live;        // evaluated live while online
    FBPropertyBool RecordMode;  // recorded when the host records
    FBPropertyEnum<FBDeviceSamplingMode> SamplingMode;
    FBPropertyTime SamplingPeriod;
    FBPropertyListModelTemplate ModelTemplate;
    FBPropertyEvent OnStatusChange;

    virtual bool DeviceOperation(kDeviceOperations operation);
    // A live evaluation of the device's nodes.
    virtual bool AnimationNodeNotify(FBAnimationNode* node, FBEvaluateInfo* info);
    virtual bool SetStdCandidateTranslation();
    virtual bool SetStdCandidateRotation();
    virtual bool DeviceEvaluationNotify(int action, FBEvaluateInfo* info);
    // The host's time base, e.g. when recording starts (action 0).
    virtual void DeviceTimeNotify(int action, FBTime time);
    // Input: called once per host step while online, before the evaluation.
    virtual void DeviceIONotify(kDeviceIOs action, FBDeviceNotifyInfo& info);
    virtual bool ModelTemplateBindNotify(FBModel* rootModel, int index,
                                         FBModelTemplate* modelTemplate);
    virtual bool ModelTemplateUnBindNotify(int index, FBModelTemplate* modelTemplate);
    virtual void RecordingInitAnimation(FBAnimationNode* node);
    virtual void RecordingDoneAnimation(FBAnimationNode* node);

    // Creates an output node owned by the device; null if the host refuses.
    FBAnimationNode* AnimationNodeOutCreate(int userId, const char* name, const char* dataType,
                                            bool animatable = false, double* min = nullptr,
                                            double* max = nullptr, bool userData = false);
    // Destroys one of the device's nodes; a node not (or no longer) the device's is ignored.
    void AnimationNodeDestroy(FBAnimationNode* node);
    // Counts one recorded sample.
    void AckOneSampleReceived();

    struct Impl;
    Impl* impl() const { return mImpl.get(); }

private:
    std::unique_ptr<Impl> mImpl;
};

// A character: named link slots for the body's bones ("HipsLink", "LeftUpLegLink", ...: list
// properties found through PropertyList) and characterisation.
class FBSDK_API FBCharacter : public FBComponent {
public:
    static int TypeInfo;
    explicit FBCharacter(const char* name, HIObject object = nullptr);
    ~FBCharacter() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;
    // Switches characterisation on: true only when hips, spine, head, both arms, forearms,
    // hands, up-legs, legs and feet are linked; otherwise false and the character stays
    // uncharacterised. Off always succeeds.
    bool SetCharacterizeOn(bool on);
    bool GetCharacterize() const;

    // A character made with new belongs to the scene (the host deletes it when the scene is
    // cleared); one made otherwise belongs to its maker.
    static void* operator new(std::size_t size);
    static void operator delete(void* memory);

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

enum kFBTCPIPSocketType { kFBTCPIP_Stream = 0, kFBTCPIP_DGRAM = 1 };

// The host's TCP client: small, socket handles are ints, 0 meaning none.
class FBSDK_API FBTCPIP {
public:
    FBTCPIP();
    ~FBTCPIP();  // closes the sockets it still holds
    // Creates a socket (only stream sockets are supported); socket = its handle.
    bool CreateSocket(int& socket, kFBTCPIPSocketType type = kFBTCPIP_Stream,
                      const char* protocol = "ip", bool nonBlocking = true);
    // Connects to address:port (dotted IPv4 or "localhost"), waiting at most a second.
    bool Connect(int socket, const char* address, int port);
    // Non-blocking: reads what is there now, up to size bytes. False on error or when the peer
    // has closed; true with numRead 0 when nothing is there yet.
    bool Read(int socket, void* buffer, int size, int* numRead = nullptr);
    bool Write(int socket, const void* buffer, int size, int* numWritten = nullptr);
    bool CloseSocket(int socket);

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

}  // namespace ORSDK2026
