// Host control: what a test or the headless harness uses to act as the host application and its
// user. Plug-in code never includes this header; it sees the host only through <fbsdk/fbsdk.h>.
//
// The host is single-threaded and deterministic: nothing happens in it unless the driver calls
// one of these operations, on one thread. Every call into plug-in code (library entry points,
// factories, device operations and notifications, event handlers, FBDelete) is guarded: an
// exception thrown out of it is caught here, recorded as a PluginFailure naming what was called,
// and the call reports failure (false or null).
//
// What one step of the host does (see also the overview in fbsdk_scene.h):
//   step(dt): local time += dt; for each online device, DeviceIONotify(kIOPlayModeWrite while
//             recording, else kIOStopModeRead) with the new local time; then evaluate().
//   evaluate(): (1) every animation node with keys in the current take takes its value at the
//             local time; (2) models bound to device templates take their nodes' values;
//             (3) each online device gets AnimationNodeNotify once, with its first output node
//             (Live = Online && Live); (4) bound models take their nodes' values again.
//   runIdle(): fires FBSystem::OnIdle, then FBSystem::OnUIIdle.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fbsdk/fbsdk.h"

namespace fbhost {

using ORSDK2026::FBAnimationNode;
using ORSDK2026::FBButton;
using ORSDK2026::FBCharacter;
using ORSDK2026::FBDevice;
using ORSDK2026::FBDeviceLayout;
using ORSDK2026::FBEdit;
using ORSDK2026::FBKey;
using ORSDK2026::FBLayout;
using ORSDK2026::FBList;
using ORSDK2026::FBMatrix;
using ORSDK2026::FBModel;
using ORSDK2026::FBModelTemplate;
using ORSDK2026::FBTake;
using ORSDK2026::FBTime;
using ORSDK2026::FBVector3d;

// The entry point of the TelmoraLink plug-in library; a host derives it from the library's name.
constexpr const char* kDefaultEntryPoint = "EntryPointordeviceskeleton";
constexpr const char* kLibraryInitSymbol = "LIBRARY_INIT";

// One entry of the host's object registry, as FBObject_Register received it.
struct Registration {
    std::string group;
    std::string entry;
    std::string description;
    bool flag = false;
    std::string icon;
    ORSDK2026::FBObjectCreationFunction creator = nullptr;
    const void* library = nullptr;  // the PluginLibrary it was made under; null: none
};

// An exception that came out of plug-in code, caught at the host boundary.
struct PluginFailure {
    std::string call;  // what the host called, e.g. "DeviceOperation(1) of 'TelmoraLink'"
    std::string what;  // the exception's message, or "unknown exception"
};

// A progress indicator a plug-in showed (an FBProgress begun, or given a caption or text).
struct ProgressRecord {
    std::string caption;
    std::vector<std::string> texts;  // every text it showed, in order (repeats collapsed)
    int percent = 0;                 // last percentage
    bool done = false;               // ProgressDone called (or the indicator destroyed)
};

// A plug-in library loaded by path (dlopen; LoadLibrary on Windows). Registrations made while it
// loads or while one of its entry points runs are attributed to it; unloading it first destroys
// the devices and panels made through its factories, then removes those registrations, then
// closes the library, so loading it again registers afresh.
class FBSDK_API PluginLibrary {
public:
    PluginLibrary();
    ~PluginLibrary();  // unload()
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the library (its static objects and attach routine run now). False with error() set
    // ("cannot load library '<path>': <reason>") when it does not load; a library already held
    // is unloaded first.
    bool load(const std::string& path);
    void unload();
    bool isLoaded() const;
    const std::string& path() const;
    // The last failure, naming the library and, for a missing entry point, the symbol.
    const std::string& error() const;

    bool hasSymbol(const char* name) const;
    // Calls `bool LIBRARY_INIT()`. False when the symbol is missing, the call threw, or it
    // returned false.
    bool callLibraryInit();
    // Calls `void <symbol>(kFBDllOperation)`. False when the symbol is missing or the call threw.
    bool callEntryPoint(int operation, const char* symbol = kDefaultEntryPoint);

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

// The host: one per process.
class FBSDK_API Host {
public:
    static Host& instance();

    // Clears the scene between tests: devices (offline, kOpDone, then destroyed), panels, bound
    // models, characters, the take's keys and span, recording, progress and status records,
    // failures, pause count; local time back to 0. Registrations and loaded libraries stay.
    void reset();

    // ---- Registry ----
    std::vector<Registration> registrations() const;
    // The registration of (group, entry), or null.
    const Registration* findRegistration(const std::string& group, const std::string& entry) const;

    // ---- Devices ----
    // Creates a device through the "Boxes/Devices" factory registered under entry. Null (with
    // *error set when given) for an unknown entry, a factory that fails or throws, or a handle
    // that is no FBDevice. The host does not initialise it: call deviceOperation(kOpInit) as the
    // host does right after adding a device to the scene.
    FBDevice* createDevice(const std::string& entry, const std::string& name,
                           std::string* error = nullptr);
    // Sets it offline (when online), calls DeviceOperation(kOpDone), closes its panels, clears
    // its templates' bound models, then FBDelete. False for a device this host does not hold.
    bool destroyDevice(FBDevice* device);
    std::vector<FBDevice*> devices() const;
    bool holdsDevice(const FBDevice* device) const;

    // Opens the device's settings panel through the "UI_Associated_ClassName" factory
    // registered under the device's class name (data = the device's HIObject). Null (with
    // *error) when there is none, it fails, or it gives no FBDeviceLayout.
    FBDeviceLayout* openPanel(FBDevice* device, std::string* error = nullptr);
    void closePanel(FBDeviceLayout* layout);

    // Calls DeviceOperation(op) (guarded) and returns its result; false for an unknown device.
    bool deviceOperation(FBDevice* device, int operation);
    // Online: Online = Live = DeviceOperation(kOpStart). Offline: DeviceOperation(kOpStop),
    // then Online = Live = false. Returns the new online state.
    bool setOnline(FBDevice* device, bool online);

    // ---- Time and evaluation ----
    void setLocalTime(FBTime time);
    FBTime localTime() const;
    FBTime systemTime() const;  // advanced by step() only
    void step(FBTime dt);
    void evaluate();

    // ---- Recording ----
    // Transport play; each online device with RecordMode gets DeviceTimeNotify(0, local time)
    // and RecordingInitAnimation(first output node). False when already recording.
    bool startRecording();
    // RecordingDoneAnimation(first output node) on each recording device, the current take's
    // span set (or extended) over the recorded keys, transport stop. False when not recording.
    bool stopRecording();
    bool isRecording() const;
    FBTake* currentTake() const;

    // ---- Idle ----
    void runIdle();
    // FBSystem::OnIdle alone: what a host runs between evaluations when the user interface's
    // idle, which follows the display, is not due.
    void runSystemIdle();

    // ---- Binding ----
    // One FBModel per template of the device's template tree, named after the template, with
    // the templates' hierarchy; each template's Model set; ModelTemplateBindNotify(root model,
    // index, template) for each root template. Returns the model of the first root template
    // (null when the device has no templates). Binding again unbinds first.
    FBModel* bindTemplates(FBDevice* device);
    // ModelTemplateUnBindNotify(index, template) for each root template, then every template's
    // Model cleared. The models stay in the scene.
    void unbindTemplates(FBDevice* device);

    // ---- Readers ----
    std::vector<FBModel*> models() const;  // scene models, in creation order
    FBModel* findModel(const std::string& name) const;
    std::vector<FBAnimationNode*> deviceNodes(const FBDevice* device) const;  // creation order
    FBAnimationNode* findNode(const FBDevice* device, const std::string& name) const;
    // The keys of the current take, valid until that curve or the take changes (empty for a
    // node that is gone or has none).
    const std::vector<FBKey>& keys(const FBAnimationNode* node) const;
    // A model's local translation / rotation at a time (its keys when it has any, else its
    // current value) and its global matrix at that time (the parent chain likewise).
    FBVector3d modelTranslation(FBModel* model, FBTime time) const;
    FBVector3d modelRotation(FBModel* model, FBTime time) const;
    FBMatrix modelGlobalMatrix(FBModel* model, FBTime time) const;
    // The model's own transform at `time` (translation, rotation and scaling), without its
    // parents': the global matrix is the parent's global times this.
    FBMatrix modelLocalMatrix(FBModel* model, FBTime time) const;
    std::vector<FBCharacter*> characters() const;
    // Every live component, in the order they were made, as the host's object browser lists
    // them: a panel's controls follow their layout, placed in a region or not.
    std::vector<ORSDK2026::FBComponent*> components() const;
    // The character's link slots with the models linked to each, in slot order; empty slots
    // are left out.
    std::vector<std::pair<std::string, std::vector<FBModel*>>> characterLinks(
        FBCharacter* character) const;

    int samplesAcknowledged(const FBDevice* device) const;
    std::vector<ProgressRecord> progressShown() const;
    // Every status text set on the device, in order (repeats kept).
    std::vector<std::string> statusTexts(const FBDevice* device) const;
    std::vector<PluginFailure> failures() const;
    void clearFailures();
    // Host side, also for the UI sources: records a plug-in failure.
    void reportPluginFailure(const std::string& call, const std::string& what);

    // ---- User interface (implemented with the UI controls) ----
    // Whether this build can draw panels (it needs cairo, which some platforms' builds lack).
    static bool canDrawPanels();
    // Draws the layout at the given size as a PNG. False (with *error) when it cannot be written
    // or this build cannot draw.
    bool drawPanel(FBLayout& layout, int width, int height, const std::string& pngPath,
                   std::string* error = nullptr);
    // The user clicks a button: a check box flips State first; then OnClick fires.
    void click(FBButton& button);
    // The user picks an item: ItemIndex = index (ignored out of range), then OnChange fires.
    void pick(FBList& list, int index);
    // The user types into an edit field: Text = text, then OnChange fires.
    void type(FBEdit& edit, const std::string& text);

    struct Impl;
    Impl& impl() const { return *mImpl; }

private:
    Host();
    ~Host();
    std::unique_ptr<Impl> mImpl;
};

}  // namespace fbhost
