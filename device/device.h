#pragma once
// The live device "TelmoraLink": one translation and one rotation node per bone of the default
// skeleton, bound to a tree of model templates under "Reference". It writes the hardware's
// live channel values into its nodes on every evaluation, keys them while the host records and
// plots the take onto the bound models when recording ends.
//
// Every host-facing operation catches whatever escapes it: nothing unwinds into the host.

#include <fbsdk/fbsdk.h>

#include <atomic>
#include <glm/glm.hpp>

#include "device/device_controls.h"
#include "device/device_hardware.h"
#include "motion/channel_table.h"
#include "network/log_writer.h"

// The host objects of one channel (bone); index = channel index. Null until Init.
struct BoneNodes {
    ORSDK2026::FBAnimationNode* translationNode = nullptr;
    ORSDK2026::FBAnimationNode* rotationNode = nullptr;
    ORSDK2026::FBModelTemplate* modelTemplate = nullptr;
};

class ORDeviceSkeleton : public ORSDK2026::FBDevice, public telmora::DeviceControls {
public:
    // Drawn from the SDK's type counter when the library loads (before the layout's number).
    static int classTypeId;
    // Nodes of channel i carry the user reference kFirstChannelReference + i; nodes with a
    // smaller reference are left to the base device.
    static constexpr ORSDK2026::kReference kFirstChannelReference = 10000;

    explicit ORDeviceSkeleton(const char* name);
    // Stops a stream that is still running before anything of the device goes away.
    ~ORDeviceSkeleton() override;

    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    void FBDelete() override;
    // Creation hook: the "Reference" template, sampling settings, "UseReferenceTransformation",
    // the idle handler. Always true.
    bool FBCreate() override;
    void FBDestroy() override;

    bool AnimationNodeNotify(ORSDK2026::FBAnimationNode* node,
                             ORSDK2026::FBEvaluateInfo* info) override;
    bool SetStdCandidateTranslation() override;
    bool SetStdCandidateRotation() override;
    bool DeviceOperation(ORSDK2026::kDeviceOperations operation) override;
    void DeviceTimeNotify(int action, ORSDK2026::FBTime time) override;
    void DeviceIONotify(ORSDK2026::kDeviceIOs action, ORSDK2026::FBDeviceNotifyInfo& info) override;
    bool ModelTemplateUnBindNotify(int index, ORSDK2026::FBModelTemplate* modelTemplate) override;
    void RecordingDoneAnimation(ORSDK2026::FBAnimationNode* node) override;

    // DeviceOperation 0: channels, nodes and templates, the stream-end handler.
    bool Init();

    // What the settings panel uses (telmora::DeviceControls).
    std::int32_t ListeningPort() const override { return hardware.port(); }
    void SetListeningPort(std::int32_t port) override { hardware.SetPort(port); }
    bool Listening() const override { return hardware.discovery.Listening(); }
    std::string StreamHealthLine() const override;
    std::string SourceName() const override { return hardware.sourceName(); }
    std::string SubjectName() const override { return hardware.subjectName(); }
    void SelectSource(const std::string& name) override { hardware.SelectSource(name); }
    void SelectSubject(const std::string& name) override { hardware.SelectSubject(name); }
    bool UseTestServer() const override { return hardware.useTestServer(); }
    void SetUseTestServer(bool use) override { hardware.SetUseTestServer(use); }
    std::string TestServerAddress() const override { return hardware.testServerAddress().Buffer(); }
    void SetTestServerAddress(const std::string& address) override {
        hardware.SetTestServerAddress(address.c_str());
    }
    bool CaptureRawStream() const override { return captureRawStream.Get(); }
    void SetCaptureRawStream(bool capture) override { captureRawStream = capture; }
    std::string CaptureFolder() const override { return captureFolder.Get().str(); }
    void SetCaptureFolder(const std::string& folder) override { captureFolder = folder.c_str(); }
    telmora::ServerMap Servers() const override { return hardware.discovery.GetServers(); }
    std::shared_ptr<void> OnServersChanged(std::function<void()> changed) override {
        return hardware.discovery.RegisterUpdateCallback(std::move(changed));
    }
    telmora::ChannelSnapshot Channels() const override { return hardware.channelSnapshot(); }
    int LinkedBoneCount() const override { return templatesLinked ? hardware.channelCount() : 0; }
    ORSDK2026::FBModel* ReferenceModel() const override;

    ORDeviceSkeletonHardware hardware;
    ORSDK2026::FBModelTemplate* referenceTemplate = nullptr;
    BoneNodes boneNodes[telmora::kMaxChannels];
    ORSDK2026::FBPropertyBool useReferenceTransformation;
    // The stream's figures as the host's property view shows them ("FramesReceived",
    // "FramesSolved"): sensor frames received (solved or dropped) and solved since the device
    // was made. Refreshed at every host idle; written by the device only.
    ORSDK2026::FBPropertyULongLong framesReceived;
    ORSDK2026::FBPropertyULongLong framesSolved;
    // "StaleTime": seconds without a frame after which the stream counts as stale (its status
    // says so and recorded samples are not keyed). 0.25 by default; the user may change it.
    ORSDK2026::FBPropertyDouble staleTime;
    // Raw capture: "CaptureRawStream" on writes every datagram of each online period to
    // "CaptureFolder"/<server>-<subject>-<UTC date-time>.pcap; "CapturePath" names the file
    // being (or last) written.
    ORSDK2026::FBPropertyBool captureRawStream;
    ORSDK2026::FBPropertyString captureFolder;
    ORSDK2026::FBPropertyString capturePath;
    // "ReplayFile": a capture to stream from instead of the network (empty: the network). Its
    // servers are listed at the next idle while offline (a change while online waits for the
    // device to go offline); going online plays the chosen stream on the host's clock.
    ORSDK2026::FBPropertyString replayFile;
    bool templatesLinked = false;

    // Set on the receive thread by the stream-end handler, taken by the idle handler.
    bool streamEndedPending() const { return streamEnded.load(); }

private:
    // DeviceOperation 1: true when the device is online.
    bool Open();
    // DeviceOperation 2. Returns the device's online state afterwards, as DeviceOperation does:
    // false once it has gone offline, which is its success (true never comes back).
    bool Close();
    bool ReleaseChannels();
    // Unbinds, unlinks and deletes every bone template ("Reference" stays).
    void DestroyBoneTemplates();
    bool BuildNodesAndTemplates(const telmora::ChannelSnapshot& channels);
    void Plot();
    void EventIdle(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    // The global matrix of the model bound to "Reference", when the reference applies (the
    // property is on, a model is bound and its matrix is finite).
    bool ReferenceMatrix(glm::dmat4& reference, ORSDK2026::FBEvaluateInfo* info);
    bool AnimationNodeNotifyUnguarded(ORSDK2026::FBAnimationNode* node,
                                      ORSDK2026::FBEvaluateInfo* info);
    void RecordSamples(ORSDK2026::FBDeviceNotifyInfo& info);
    void CandidatesFromReferenceModel();
    void RefreshFrameFigures();
    // Idle: follows a server that moved, and says when the stream goes stale and comes back.
    void WatchStream();
    // Idle: loads a changed "ReplayFile", and says once when a capture stopped by itself.
    void WatchCaptureAndReplay();
    void StartCapture();

    std::atomic<bool> streamEnded{false};
    ORSDK2026::FBPlayerControl playerControl;
    ORSDK2026::FBSystem system;
    bool recordingDone = false;
    bool plotting = false;
    bool idleHandlerAdded = false;
    // The stream as last shown: stale or not, and the gaps already logged.
    bool staleShown = false;
    std::uint64_t gapsLogged = 0;
    std::string replayLoaded;  // the "ReplayFile" last acted on
    bool captureErrorShown = false;
    telmora::LogWriter log = telmora::boundedLogWriter(telmora::standardLogWriter());
};
