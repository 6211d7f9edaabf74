// A small plug-in for the host's own tests: the device "TestProbe" with one template "Probe"
// bound to a translation node and a rotation node, and its panel.
//
// Online and live, it writes global values that follow the local time t (seconds):
// translation (10 t, 1, 2), rotation (0, 30 t, 0). While the host records, each input
// notification keys the same values at the notification's time and acknowledges the sample.
// DeviceOperation(kOpDetect) throws, so a test can see the host catch it.
#include <fbsdk/fbsdk.h>

#include <stdexcept>

#if defined(_WIN32)
#define TEST_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace ORSDK2026;

namespace {

int gDeviceType = FBPlug::mGlobalTypeInfo++;
int gLayoutType = FBPlug::mGlobalTypeInfo++;

void probeValues(FBTime time, double* translation, double* rotation) {
    const double t = time.GetSecondDouble();
    translation[0] = 10.0 * t;
    translation[1] = 1.0;
    translation[2] = 2.0;
    rotation[0] = 0.0;
    rotation[1] = 30.0 * t;
    rotation[2] = 0.0;
}

class TestProbe : public FBDevice {
public:
    explicit TestProbe(const char* name) : FBDevice(name) {}
    const char* ClassName() override { return "TestProbe"; }
    bool Is(int typeId) override { return typeId == gDeviceType || FBDevice::Is(typeId); }
    int GetTypeId() override { return gDeviceType; }

    bool DeviceOperation(kDeviceOperations operation) override {
        switch (operation) {
            case kOpInit:
                if (!translation) {
                    translation = AnimationNodeOutCreate(1, "Probe T", "Lcl Translation");
                    rotation = AnimationNodeOutCreate(2, "Probe R", "Lcl Rotation");
                    probe = new FBModelTemplate("Test", "Probe", kFBModelTemplateSkeleton);
                    probe->Bindings.Add(translation);
                    probe->Bindings.Add(rotation);
                    ModelTemplate.Add(probe);
                }
                return true;
            case kOpStart:
                Status = "Online";
                return true;
            case kOpStop:
                Status = "Offline";
                return false;
            case kOpDone:
                if (probe) {
                    ModelTemplate.Remove(probe);
                    delete probe;
                    probe = nullptr;
                }
                AnimationNodeDestroy(translation);
                AnimationNodeDestroy(rotation);
                translation = rotation = nullptr;
                return true;
            case kOpDetect:
                throw std::runtime_error("probe cannot detect");
            default:
                return FBDevice::DeviceOperation(operation);
        }
    }

    bool AnimationNodeNotify(FBAnimationNode* node, FBEvaluateInfo* info) override {
        if (node->Live && translation) {
            double t[3], r[3];
            probeValues(info->GetLocalTime(), t, r);
            translation->WriteGlobalData(t, info);
            rotation->WriteGlobalData(r, info);
        }
        return FBDevice::AnimationNodeNotify(node, info);
    }

    void DeviceIONotify(kDeviceIOs, FBDeviceNotifyInfo& info) override {
        if (!translation || !translation->GetAnimationToRecord()) return;
        double t[3], r[3];
        probeValues(info.GetLocalTime(), t, r);
        translation->GetAnimationToRecord()->KeyAdd(info.GetLocalTime(), t, kFBInterpolationLinear);
        rotation->GetAnimationToRecord()->KeyAdd(info.GetLocalTime(), r, kFBInterpolationLinear);
        AckOneSampleReceived();
    }

    FBAnimationNode* translation = nullptr;
    FBAnimationNode* rotation = nullptr;
    FBModelTemplate* probe = nullptr;
};

class TestProbeLayout : public FBDeviceLayout {
public:
    explicit TestProbeLayout(FBDevice* device) : FBDeviceLayout(device) {
        AddRegion("Title", "Title", 5, kFBAttachLeft, "", 1.0, 5, kFBAttachTop, "", 1.0, -5,
                  kFBAttachRight, "", 1.0, 25, kFBAttachNone, "", 1.0);
        AddRegion("Go", "Go", 5, kFBAttachLeft, "", 1.0, 5, kFBAttachBottom, "Title", 1.0, 80,
                  kFBAttachNone, "", 1.0, 25, kFBAttachNone, "", 1.0);
        title.Caption = "Test probe";
        go.Caption = "Go";
        SetControl("Title", title);
        SetControl("Go", go);
    }
    const char* ClassName() override { return "TestProbeLayout"; }
    bool Is(int typeId) override { return typeId == gLayoutType || FBDeviceLayout::Is(typeId); }
    int GetTypeId() override { return gLayoutType; }

    FBLabel title;
    FBButton go;
};

HIObject createDevice(HIObject, const char* name, void*) {
    auto* device = new TestProbe(name);
    device->mAllocated = true;
    device->mClassName = "TestProbe";
    if (!device->FBCreate()) {
        device->FBDelete();
        return nullptr;
    }
    return device->GetHIObject();
}

HIObject createLayout(HIObject, const char*, void* data) {
    auto* device = static_cast<FBDevice*>(FBGetFBObject(static_cast<HIObject>(data)));
    if (!device) return nullptr;
    auto* layout = new TestProbeLayout(device);
    return layout->GetHIObject();
}

}  // namespace

TEST_PLUGIN_EXPORT bool LIBRARY_INIT() {
    return true;
}

TEST_PLUGIN_EXPORT void EntryPointtestprobe(kFBDllOperation operation) {
    if (operation != kFBDllLoad) return;
    FBObject_Register("Boxes/Devices", "TestProbe", "Test probe", createDevice, true, "probe.png");
    FBObject_Register("UI_Associated_ClassName", "TestProbe", "TestProbe Device Layout",
                      createLayout, true, "probe.png");
}
