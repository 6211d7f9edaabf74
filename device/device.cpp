// The device's life: made, created, its operations (init, online, offline, done), destroyed.

#include "device/device.h"

#include <filesystem>
#include <string>

#include "device/host_guards.h"
#include "live/device_texts.h"

using namespace ORSDK2026;
using namespace telmora::device;

ORDeviceSkeleton::ORDeviceSkeleton(const char* name) : FBDevice(name) {}

ORDeviceSkeleton::~ORDeviceSkeleton() {
    guardedVoid([this] {
        // The handler points at this device: gone before the stream is stopped, so neither the
        // marker that stopping delivers nor one the server sends meanwhile reaches it.
        hardware.SetStreamEndHandler(nullptr);
        hardware.StopTestServerStream();
        hardware.DisconnectStream();
        if (idleHandlerAdded) {
            FBSystem::TheOne().OnIdle.Remove(this, (FBCallback)&ORDeviceSkeleton::EventIdle);
            idleHandlerAdded = false;
        }
        // The templates are the device's own (the base device only takes its nodes with it):
        // the bone templates left by a device never finished with operation 5, then
        // "Reference".
        DestroyBoneTemplates();
        if (referenceTemplate != nullptr) {
            ModelTemplate.Remove(referenceTemplate);
            referenceTemplate->Children.RemoveAll();
            ORSDK2026::FBDelete(referenceTemplate);
            referenceTemplate = nullptr;
        }
    });
}

const char* ORDeviceSkeleton::ClassName() {
    return telmora::kDeviceClassName;
}

bool ORDeviceSkeleton::Is(int typeId) {
    return typeId == classTypeId || FBDevice::Is(typeId);
}

int ORDeviceSkeleton::GetTypeId() {
    return classTypeId;
}

void ORDeviceSkeleton::FBDelete() {
    FBComponent::FBDelete();
}

bool ORDeviceSkeleton::FBCreate() {
    return guarded(false, [this] {
        referenceTemplate =
            new FBModelTemplate("SkeletonDevice", "Reference", kFBModelTemplateRoot);
        ModelTemplate.Add(referenceTemplate);
        templatesLinked = false;
        recordingDone = false;
        plotting = false;
        SamplingMode = kFBHardwareTimestamp;
        SamplingPeriod = FBTime(0, 0, 1, 0) / 60.0;
        useReferenceTransformation.CreateInternal(this, kFBPT_bool, "UseReferenceTransformation",
                                                  nullptr, nullptr);
        PropertyAdd(&useReferenceTransformation);
        useReferenceTransformation = true;
        framesReceived.CreateInternal(this, kFBPT_ULongLong, "FramesReceived");
        PropertyAdd(&framesReceived);
        framesSolved.CreateInternal(this, kFBPT_ULongLong, "FramesSolved");
        PropertyAdd(&framesSolved);
        staleTime.CreateInternal(this, kFBPT_double, "StaleTime");
        PropertyAdd(&staleTime);
        staleTime = telmora::StreamHealth::kDefaultStaleSeconds;
        captureRawStream.CreateInternal(this, kFBPT_bool, "CaptureRawStream");
        PropertyAdd(&captureRawStream);
        captureRawStream = false;
        captureFolder.CreateInternal(this, kFBPT_charptr, "CaptureFolder");
        PropertyAdd(&captureFolder);
        {
            std::error_code ec;
            const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
            captureFolder =
                (ec ? std::filesystem::path("captures") : temp / "TelmoraLink" / "captures")
                    .string()
                    .c_str();
        }
        capturePath.CreateInternal(this, kFBPT_charptr, "CapturePath");
        PropertyAdd(&capturePath);
        replayFile.CreateInternal(this, kFBPT_charptr, "ReplayFile");
        PropertyAdd(&replayFile);
        FBSystem::TheOne().OnIdle.Add(this, (FBCallback)&ORDeviceSkeleton::EventIdle);
        idleHandlerAdded = true;
        return true;
    });
}

void ORDeviceSkeleton::FBDestroy() {
    guardedVoid([this] {
        FBDevice::FBDestroy();
        FBSystem::TheOne().OnIdle.Remove(this, (FBCallback)&ORDeviceSkeleton::EventIdle);
        idleHandlerAdded = false;
    });
}

bool ORDeviceSkeleton::SetStdCandidateTranslation() {
    return true;
}

bool ORDeviceSkeleton::SetStdCandidateRotation() {
    return true;
}

bool ORDeviceSkeleton::DeviceOperation(kDeviceOperations operation) {
    return guarded(false, [&] {
        switch (operation) {
            case kOpInit:
                return Init();
            case kOpStart:
                return Open();
            case kOpStop:
                return Close();
            case kOpReset:
                Close();
                return Open();
            case kOpDone:
                return ReleaseChannels();
            default:
                return FBDevice::DeviceOperation(operation);
        }
    });
}

bool ORDeviceSkeleton::Init() {
    ScopedProgress progress("Device", "Initializing device...");
    const char* failed = telmora::kStatusNoChannelInformation;
    if (!hardware.SetupChannels()) {
        Status = failed;
        return false;
    }
    templatesLinked = false;
    bool built = false;
    try {
        built = BuildNodesAndTemplates(hardware.channelSnapshot());
    } catch (...) {
        built = false;
    }
    if (!built) {
        Status = failed;
        return false;
    }
    hardware.SetStreamEndHandler([this] { streamEnded.store(true); });
    return true;
}

bool ORDeviceSkeleton::Open() {
    streamEnded.store(false);
    staleShown = false;
    gapsLogged = 0;
    ScopedProgress progress("Setting up device");
    WatchCaptureAndReplay();
    // The capture starts before the stream, so it holds the first keep-alive.
    StartCapture();
    if (!hardware.ConnectStream()) {
        hardware.StopCapture();
        Status = telmora::kStatusOpenFailed;
        return false;
    }
    progress.text("Device found, scanning for channel information...");
    Status = telmora::kStatusRetrievingChannels;
    if (!hardware.StartTestServerStream()) {
        Status = telmora::kStatusStartFailed;
        return false;
    }
    return true;
}

bool ORDeviceSkeleton::Close() {
    ScopedProgress progress("Shutting down device");
    if (!hardware.StopTestServerStream()) {
        Status = telmora::kStatusStopFailed;
        return false;
    }
    progress.text(telmora::kStatusClosing);
    Status = telmora::kStatusClosing;
    if (!hardware.DisconnectStream()) Status = telmora::kStatusCloseFailed;
    hardware.StopCapture();
    return false;  // offline now: the online state, not a failure
}
