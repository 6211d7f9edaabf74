// The TelmoraLink device in the stand-in host with the real test sender over loopback: a whole
// session as a user runs it, and the edges that would hide a real fault.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "capture/capture_reader.h"
#include "capture/capture_writer.h"
#include "device_session_fixture.h"
#include "live/device_texts.h"
#include "motion/channel_table.h"
#include "network/socket.h"
#include "plugin/registrations.h"
#if TELMORA_HAVE_SKELETON_TEST_SERVER
#include "tools/skeleton_test_server/skeleton_test_server.h"
#endif

namespace telmora::test {
namespace {

using namespace ORSDK2026;

// The default skeleton's channel setup values, computed here by the motion core alone.
// The records point at the table's skeleton, so the table lives as long as they do.
const ChannelSnapshot& setupChannels() {
    static ChannelTable table;
    static const ChannelSnapshot channels = [] {
        table.SetupChannels();
        return table.snapshot();
    }();
    return channels;
}

std::string boneName(int i) {
    return setupChannels().records[i].bone->name;
}

bool near3(const double* a, const double* b, double tolerance) {
    for (int k = 0; k < 3; ++k) {
        if (!(std::fabs(a[k] - b[k]) <= tolerance)) return false;
    }
    return true;
}

bool hasProgress(const std::vector<fbhost::ProgressRecord>& shown, const std::string& caption,
                 const std::vector<std::string>& texts) {
    return std::any_of(shown.begin(), shown.end(), [&](const fbhost::ProgressRecord& p) {
        return p.caption == caption && p.texts == texts && p.done;
    });
}

TEST(DeviceLibraryTest, RegistersOnceWithTypeNumbersInOrder) {
    fbhost::PluginLibrary& library = telmoraLinkLibrary();
    ASSERT_TRUE(library.isLoaded());
    // The host calls the entry point again; nothing is registered twice.
    EXPECT_TRUE(library.callEntryPoint(kFBDllLoad));
    EXPECT_TRUE(library.callEntryPoint(kFBDllLoad));
    EXPECT_TRUE(library.callLibraryInit());
    fbhost::Host& host = fbhost::Host::instance();
    const std::vector<fbhost::Registration> all = host.registrations();
    for (const Registration& row : kRegistrations) {
        SCOPED_TRACE(row.group);
        EXPECT_EQ(std::count_if(all.begin(), all.end(),
                                [&](const fbhost::Registration& r) {
                                    return r.group == row.group && r.entry == row.entry;
                                }),
                  1);
        const fbhost::Registration* r = host.findRegistration(row.group, row.entry);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->description, row.description);
        EXPECT_EQ(r->icon, row.icon);
        EXPECT_TRUE(r->flag);
        EXPECT_NE(r->creator, nullptr);
    }

    host.reset();
    FBDevice* device = host.createDevice("TelmoraLink", "TelmoraLink");
    ASSERT_NE(device, nullptr);
    FBDeviceLayout* layout = host.openPanel(device);
    ASSERT_NE(layout, nullptr);
    const int deviceType = device->GetTypeId();
    const int layoutType = layout->GetTypeId();
    EXPECT_EQ(layoutType, deviceType + 1);  // drawn in order, device first
    EXPECT_TRUE(device->Is(deviceType));
    EXPECT_TRUE(device->Is(FBDevice::TypeInfo));  // deferred to the base
    EXPECT_FALSE(device->Is(layoutType));
    EXPECT_TRUE(layout->Is(layoutType));
    EXPECT_TRUE(layout->Is(FBDeviceLayout::TypeInfo));
    EXPECT_FALSE(layout->Is(deviceType));
    EXPECT_TRUE(host.failures().empty());
    host.reset();
}

TEST_F(DeviceSessionTest, InitCreatesNamedNodesAndTheTemplateTree) {
    // The device's templates by name, each with its parent's name.
    struct Placed {
        FBModelTemplate* self;
        std::string parent;
    };
    std::map<std::string, Placed> templates;
    std::vector<std::pair<FBModelTemplate*, std::string>> pending;
    for (int i = 0; i < device->ModelTemplate.GetCount(); ++i)
        pending.emplace_back(device->ModelTemplate[i], "");
    while (!pending.empty()) {
        auto [node, parent] = pending.back();
        pending.pop_back();
        templates[node->Name.Get().str()] = {node, parent};
        for (int c = 0; c < node->Children.GetCount(); ++c)
            pending.emplace_back(node->Children[c], node->Name.Get().str());
    }
    const std::vector<FBAnimationNode*> nodes = host.deviceNodes(device);
    ASSERT_EQ(nodes.size(), 130u);
    for (int i = 0; i < kMaxChannels; ++i) {
        SCOPED_TRACE(boneName(i));
        FBAnimationNode* t = host.findNode(device, boneName(i) + " T");
        FBAnimationNode* r = host.findNode(device, boneName(i) + " R");
        ASSERT_NE(t, nullptr);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(t->Reference.Get(), 10000u + i);
        EXPECT_EQ(r->Reference.Get(), 10000u + i);
        EXPECT_STREQ(t->GetDataType(), "Lcl Translation");
        EXPECT_STREQ(r->GetDataType(), "Lcl Rotation");
        // Each bone's template, bound to its two nodes, hangs under its parent bone's, the root
        // under "Reference".
        FBModelTemplate* bone = templates.at(boneName(i)).self;
        EXPECT_EQ(bone->Style.Get(), kFBModelTemplateSkeleton);
        ASSERT_EQ(bone->Bindings.GetCount(), 2);
        EXPECT_EQ(bone->Bindings[0], t);
        EXPECT_EQ(bone->Bindings[1], r);
        const int parent = setupChannels().records[i].parentIndex;
        EXPECT_EQ(templates.at(boneName(i)).parent, parent < 0 ? "Reference" : boneName(parent));
    }
    EXPECT_EQ(templates.size(), static_cast<std::size_t>(kMaxChannels) + 1);
    ASSERT_EQ(device->ModelTemplate.GetCount(), 1);
    EXPECT_STREQ(device->ModelTemplate[0]->Name.Get().Buffer(), "Reference");
    ASSERT_EQ(device->ModelTemplate[0]->Children.GetCount(), 1);
    EXPECT_STREQ(device->ModelTemplate[0]->Children[0]->Name.Get().Buffer(), "Hips");
    EXPECT_TRUE(hasProgress(host.progressShown(), "Device", {"Initializing device..."}));
    EXPECT_TRUE(property<FBPropertyBool>("UseReferenceTransformation").Get());
}

TEST_F(DeviceSessionTest, LiveRecordedAndPlottedSessionKeepsTheChannelValues) {
    startSender(120.0);
    selectSenderInPanel();
    FBModel* root = host.bindTemplates(device);
    ASSERT_NE(root, nullptr);
    ASSERT_TRUE(host.setOnline(device, true));
    EXPECT_EQ(lastStatus(), "Retrieving channel information");
    EXPECT_TRUE(hasProgress(host.progressShown(), "Setting up device",
                            {"Device found, scanning for channel information..."}));

    // Live: the bound hips follow the stream, away from the rest pose.
    FBModel* hips = host.findModel("Hips");
    ASSERT_NE(hips, nullptr);
    const double* restHips = setupChannels().records[0].translation;
    ASSERT_TRUE(eventually(host, [&] {
        host.step(kStep);
        const FBMatrix m = host.modelGlobalMatrix(hips, host.localTime());
        const double global[3] = {m[12], m[13], m[14]};
        return !near3(global, restHips, 1.0);
    })) << "no live value reached the bound model";

    // Record two seconds of the stream: before each host step the next frame has arrived, as
    // in a host whose frames come slower than the sender's. One key per sample, every sample
    // acknowledged.
    FBAnimationNode* hipsT = host.findNode(device, "Hips T");
    auto liveHips = [&] { return liveValue(hipsT); };
    const int acknowledgedBefore = host.samplesAcknowledged(device);
    ASSERT_TRUE(host.startRecording());
    constexpr int kSteps = 120;
    std::vector<double> previous = liveHips();
    for (int s = 0; s < kSteps; ++s) {
        ASSERT_TRUE(eventually(host, [&] { return liveHips() != previous; }));
        host.step(kStep);
        previous = liveHips();
    }
    ASSERT_TRUE(host.stopRecording());
    EXPECT_EQ(host.samplesAcknowledged(device) - acknowledgedBefore, kSteps);
    const std::vector<FBKey> recorded = host.keys(hipsT);
    ASSERT_EQ(recorded.size(), static_cast<std::size_t>(kSteps));
    std::set<std::vector<double>> distinct;
    for (std::size_t k = 0; k < recorded.size(); ++k) {
        if (k > 0) {
            EXPECT_LT(recorded[k - 1].time, recorded[k].time);
        }
        distinct.insert({recorded[k].value[0], recorded[k].value[1], recorded[k].value[2]});
    }
    // The synthetic walk (builds that read no take files) passes the same hips positions more
    // than once per stride; the recorded walk never does.
    if (TELMORA_READS_TAKE_FILES) {
        EXPECT_EQ(distinct.size(), recorded.size()) << "the recording did not follow the stream";
    }

    // Stop, then the idle handler plots onto the bound models.
    EXPECT_FALSE(host.setOnline(device, false));
    EXPECT_EQ(lastStatus(), "Closing device communication");
    host.runIdle();
    ASSERT_GT(hips->Translation.GetAnimationNode()
                  ? host.keys(hips->Translation.GetAnimationNode()).size()
                  : 0u,
              0u)
        << "nothing was plotted";
    for (int i = 0; i < kMaxChannels; ++i) {
        FBModel* model = host.findModel(boneName(i));
        ASSERT_NE(model, nullptr);
        EXPECT_FALSE(model->Selected.Get()) << boneName(i);
        FBAnimationNode* plottedNode = model->Translation.GetAnimationNode();
        ASSERT_NE(plottedNode, nullptr) << boneName(i);
        FBAnimationNode* t = host.findNode(device, boneName(i) + " T");
        FBAnimationNode* r = host.findNode(device, boneName(i) + " R");
        for (const FBKey& key : host.keys(plottedNode)) {
            // The plotted model at that time sits where the recorded channels put it.
            double translation[3];
            double rotation[3];
            t->Evaluate(translation, key.time);
            r->Evaluate(rotation, key.time);
            const FBMatrix global = host.modelGlobalMatrix(model, key.time);
            const double position[3] = {global[12], global[13], global[14]};
            ASSERT_TRUE(near3(position, translation, 1e-4))
                << boneName(i) << " at " << key.time.GetSecondDouble();
            FBMatrix expected;
            FBRotationToMatrix(expected, FBRVector(rotation));
            for (int row = 0; row < 3; ++row) {
                for (int column = 0; column < 3; ++column) {
                    ASSERT_NEAR(global(row, column), expected(row, column), 1e-5)
                        << boneName(i) << " at " << key.time.GetSecondDouble();
                }
            }
        }
    }
}

TEST_F(DeviceSessionTest, UnknownSourceOrSubjectCannotOpen) {
    // Nothing chosen yet.
    EXPECT_FALSE(host.setOnline(device, true));
    EXPECT_EQ(lastStatus(), "Could not open device");
    startSender();
    selectSenderInPanel();
    struct Case {
        const char* source;
        const char* subject;
    };
    // The user picks the lists' placeholders: a source that is no server, a subject the
    // server does not offer.
    for (const Case& c : {Case{"Select", kSubject}, Case{kServerName, "Select"}}) {
        SCOPED_TRACE(std::string(c.source) + " / " + c.subject);
        host.pick(panel->listSources, indexOf(panel->listSources, c.source));
        host.pick(panel->listSubjects, indexOf(panel->listSubjects, c.subject));
        ASSERT_EQ(selectedOf(panel->listSubjects), c.subject);
        EXPECT_FALSE(host.setOnline(device, true));
        EXPECT_EQ(lastStatus(), "Could not open device");
    }
    EXPECT_TRUE(sender->clients().empty());
}

TEST_F(DeviceSessionTest, AbsentTestServerFailsTheOpenWithTheStreamConnected) {
    startSender();
    selectSenderInPanel();
    host.click(panel->buttonTestServer);  // nothing listens on TCP at the device's port
    ASSERT_EQ(panel->buttonTestServer.State.Get(), 1);
    EXPECT_FALSE(host.setOnline(device, true));
    EXPECT_EQ(lastStatus(), "Could not start data stream.");
    // The UDP stream stays connected until the next close.
    ASSERT_TRUE(eventually(host, [&] { return sender->clients().size() == 1; }));
}

#if TELMORA_HAVE_SKELETON_TEST_SERVER
TEST_F(DeviceSessionTest, TestServerRecordsPaceOneSampleEachStampedWithTheTimeBase) {
    startSender();
    selectSenderInPanel();
    SkeletonTestServerConfig config;
    config.port = static_cast<std::uint16_t>(port);
    config.recordRate = 1000.0;
    SkeletonTestServer testServer(config, nullptr, [](LogStream, const std::string&) {});
    std::string error;
    ASSERT_TRUE(testServer.Start(error)) << error;
    host.click(panel->buttonTestServer);
    ASSERT_TRUE(host.setOnline(device, true)) << lastStatus();
    ASSERT_TRUE(eventually(host, [&] { return testServer.clientsAccepted() == 1; }));

    host.step(kStep);
    const FBTime timeBase = host.localTime();
    ASSERT_TRUE(host.startRecording());
    ASSERT_TRUE(eventually(host, [&] {
        host.step(kStep);
        return testServer.recordsSent() >= 200;
    }));
    // After the server has gone, the device reads what is left: a sample for every whole
    // record sent, none for the part of one that stopping cut off.
    testServer.Stop();
    const std::uint64_t sent = testServer.recordsSent();
    EXPECT_TRUE(eventually(host, [&] {
        host.step(kStep);
        return static_cast<std::uint64_t>(host.samplesAcknowledged(device)) >= sent;
    }));
    host.step(kStep);
    ASSERT_TRUE(host.stopRecording());
    EXPECT_EQ(static_cast<std::uint64_t>(host.samplesAcknowledged(device)), sent);
    for (const char* name : {"Hips T", "Hips R", "Head T"}) {
        const std::vector<FBKey> keys = host.keys(host.findNode(device, name));
        ASSERT_EQ(keys.size(), 1u) << name;  // every sample at the one time
        EXPECT_EQ(keys[0].time, timeBase) << name;
    }
}
#endif

TEST_F(DeviceSessionTest, SenderStoppingTakesTheDeviceOfflineThroughTheIdleHandler) {
    startSender();
    selectSenderInPanel();
    ASSERT_TRUE(host.setOnline(device, true));
    ASSERT_TRUE(eventually(host, [&] { return sender->clients().size() == 1; }));
    sender->Stop();  // sends the stream-end datagram
    ASSERT_TRUE(eventually(host, [&] { return !device->Online.Get(); }));
    EXPECT_FALSE(device->Live.Get());
    EXPECT_EQ(lastStatus(), "Closing device communication");
    EXPECT_TRUE(hasProgress(host.progressShown(), "Shutting down device",
                            {"Closing device communication"}));
}

TEST_F(DeviceSessionTest, ReferenceTransformationPlacesThePerformanceOnTheReferenceModel) {
    FBModel* referenceModel = host.bindTemplates(device);
    ASSERT_NE(referenceModel, nullptr);
    ASSERT_STREQ(referenceModel->Name.Get().Buffer(), "Reference");
    FBAnimationNode* hipsT = host.findNode(device, "Hips T");
    FBAnimationNode* hipsR = host.findNode(device, "Hips R");
    hipsT->Live = true;
    const double* rest = setupChannels().records[0].translation;
    struct Case {
        const char* name;
        bool bound;
        bool useReference;
        // Expected global hips translation and rotation.
        double translation[3];
        double rotation[3];
    };
    // Reference model at (10, 0, 5) turned 90 degrees about Y: (x, y, z) -> (z + 10, y, 5 - x).
    const Case cases[] = {
        {"bound, applied", true, true, {rest[2] + 10.0, rest[1], 5.0 - rest[0]}, {0.0, 90.0, 0.0}},
        {"bound, switched off", true, false, {rest[0], rest[1], rest[2]}, {0.0, 0.0, 0.0}},
        {"unbound", false, true, {rest[0], rest[1], rest[2]}, {0.0, 0.0, 0.0}},
    };
    FBTime time(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.bound) host.unbindTemplates(device);
        referenceModel->Translation = FBVector3d(10.0, 0.0, 5.0);
        referenceModel->Rotation = FBVector3d(0.0, 90.0, 0.0);
        property<FBPropertyBool>("UseReferenceTransformation") = c.useReference;
        time += kStep;
        FBEvaluateInfo info(time);
        ASSERT_TRUE(device->AnimationNodeNotify(hipsT, &info));
        double translation[3];
        double rotation[3];
        hipsT->Evaluate(translation, time);
        hipsR->Evaluate(rotation, time);
        EXPECT_TRUE(near3(translation, c.translation, 1e-4))
            << translation[0] << ", " << translation[1] << ", " << translation[2];
        EXPECT_TRUE(near3(rotation, c.rotation, 1e-4))
            << rotation[0] << ", " << rotation[1] << ", " << rotation[2];
    }
}

// A sender that stalls while the host records: the device says so, keys nothing until frames
// come again, then says they are back.
TEST_F(DeviceSessionTest, AStalledStreamIsShownAndNotKeyed) {
    startSender(120.0);
    selectSenderInPanel();
    ASSERT_NE(host.bindTemplates(device), nullptr);
    ASSERT_TRUE(host.setOnline(device, true));
    FBAnimationNode* hipsT = host.findNode(device, "Hips T");
    ASSERT_NE(hipsT, nullptr);
    auto liveHips = [&] { return liveValue(hipsT); };
    auto stepWithFrames = [&](int steps) {
        for (int s = 0; s < steps; ++s) {
            const std::vector<double> previous = liveHips();
            ASSERT_TRUE(eventually(host, [&] { return liveHips() != previous; }));
            host.step(kStep);
        }
    };
    const std::string stale = std::string("No frames from '") + kServerName + "' for ";
    auto shownStale = [&] { return lastStatus().rfind(stale, 0) == 0; };

    ASSERT_TRUE(host.startRecording());
    ASSERT_NO_FATAL_FAILURE(stepWithFrames(10));
    sender->SetStreaming(false);
    ASSERT_TRUE(eventually(host, [&] {
        host.step(kStep);
        return shownStale();
    })) << "the status never said the stream stalled";
    const std::size_t keysWhenStale = host.keys(hipsT).size();
    const int acknowledged = host.samplesAcknowledged(device);
    for (int s = 0; s < 20; ++s) host.step(kStep);
    EXPECT_EQ(host.keys(hipsT).size(), keysWhenStale) << "a stale sample was keyed";
    EXPECT_EQ(host.samplesAcknowledged(device) - acknowledged, 20);
    EXPECT_TRUE(device->Online.Get());

    sender->SetStreaming(true);
    ASSERT_NO_FATAL_FAILURE(stepWithFrames(10));
    ASSERT_TRUE(eventually(host, [&] { return !shownStale(); }));
    EXPECT_EQ(lastStatus(), std::string("Receiving frames from '") + kServerName + "' again");
    ASSERT_TRUE(host.stopRecording());
    EXPECT_GE(host.keys(hipsT).size(), keysWhenStale + 10);
    for (const std::string& text : statusTexts()) EXPECT_TRUE(isDeviceStatusText(text)) << text;
}

// The server dies without a word and comes back under its name, first on the same stream port
// (the keep-alives find it again), then on another one (the device follows the announcement):
// frames flow again each time, the device online throughout.
TEST_F(DeviceSessionTest, FollowsItsServerBackOnItsPortAndToAnotherPort) {
    startSender(120.0);
    selectSenderInPanel();
    ASSERT_TRUE(host.setOnline(device, true));
    FBAnimationNode* hipsT = host.findNode(device, "Hips T");
    ASSERT_NE(hipsT, nullptr);
    auto liveHips = [&] { return liveValue(hipsT); };
    auto framesFlow = [&] {
        const std::vector<double> before = liveHips();
        return eventually(host, [&] {
            host.step(kStep);
            return liveHips() != before;
        });
    };
    auto restart = [&](std::uint16_t streamPort) {
        SimServerConfig config;
        config.serverName = kServerName;
        config.announcePort = static_cast<std::uint16_t>(port);
        config.announceInterval = std::chrono::milliseconds(100);
        config.frameRate = 120.0;
        config.streamPort = streamPort;
        auto server =
            std::make_unique<SimServer>(config, std::vector<SimSubject>{{kSubject, recordedWalk()}},
                                        [](LogStream, const std::string&) {});
        std::string error;
        EXPECT_TRUE(server->Start(error)) << error;
        return server;
    };
    ASSERT_TRUE(framesFlow());
    const std::uint16_t firstPort = sender->streamPort();

    sender->Kill();
    sender = restart(firstPort);
    ASSERT_EQ(sender->streamPort(), firstPort);
    EXPECT_TRUE(framesFlow()) << "no frame after the server came back on its port";

    sender->Kill();
    sender = restart(0);
    ASSERT_NE(sender->streamPort(), firstPort);
    EXPECT_TRUE(eventually(host, [&] { return sender->clients().size() == 1; }))
        << "the device never asked the moved server for its subject";
    EXPECT_TRUE(framesFlow()) << "no frame from the moved server reached the node";
    EXPECT_TRUE(device->Online.Get());
    host.setOnline(device, false);
}

// The recording path places the keys as the live path places the pose. A server that announces
// itself but never streams keeps the channels at the setup pose, so every key is known exactly:
// the rest transform moved onto the reference model.
TEST_F(DeviceSessionTest, RecordedKeysAreTheChannelsPlacedOnAMovedReferenceModel) {
    UdpSocket silentServer;  // the stream port: it hears the keep-alives and never answers
    ASSERT_EQ(silentServer.open(), 0);
    ASSERT_EQ(silentServer.bind({loopback(1), 0}), 0);
    const std::uint16_t streamPort = silentServer.localEndpoint()->port;
    UdpSocket announcer;
    ASSERT_EQ(announcer.open(), 0);
    const std::vector<std::uint8_t> announcement =
        bytesOf("{\"serverName\": \"Silent\", \"streamPort\": " + std::to_string(streamPort) +
                ", \"subjects\": [\"walk\"]}");
    ASSERT_TRUE(eventually(host, [&] {
        announcer.sendTo(announcement.data(), announcement.size(),
                         {loopback(1), static_cast<std::uint16_t>(port)});
        return panel->listSources.Items.Find("Silent") >= 0;
    })) << "the silent server was never listed";
    host.pick(panel->listSources, panel->listSources.Items.Find("Silent"));
    host.pick(panel->listSubjects, panel->listSubjects.Items.Find("walk"));

    FBModel* referenceModel = host.bindTemplates(device);
    ASSERT_NE(referenceModel, nullptr);
    referenceModel->Translation = FBVector3d(10.0, 0.0, 5.0);
    referenceModel->Rotation = FBVector3d(0.0, 90.0, 0.0);
    ASSERT_TRUE(host.setOnline(device, true)) << lastStatus();
    ASSERT_TRUE(host.startRecording());
    for (int s = 0; s < 10; ++s) host.step(kStep);
    ASSERT_TRUE(host.stopRecording());

    // (x, y, z) -> (z + 10, y, 5 - x); the rest rotations are zero, so each becomes the turn.
    const ChannelSnapshot& rest = setupChannels();
    const double turned[3] = {0.0, 90.0, 0.0};
    for (int i = 0; i < rest.channelCount; ++i) {
        SCOPED_TRACE(boneName(i));
        const double* x = rest.records[i].translation;
        const double placed[3] = {x[2] + 10.0, x[1], 5.0 - x[0]};
        const std::vector<FBKey> translations =
            host.keys(host.findNode(device, boneName(i) + " T"));
        const std::vector<FBKey> rotations = host.keys(host.findNode(device, boneName(i) + " R"));
        ASSERT_FALSE(translations.empty());
        ASSERT_EQ(rotations.size(), translations.size());
        for (std::size_t k = 0; k < translations.size(); ++k) {
            ASSERT_TRUE(near3(translations[k].value, placed, 1e-6)) << "key " << k;
            ASSERT_TRUE(near3(rotations[k].value, turned, 1e-6)) << "key " << k;
        }
    }
}

TEST_F(DeviceSessionTest, OnlyChannelReferencesLeadToWrites) {
    FBAnimationNode* other = device->AnimationNodeOutCreate(9999, "Other", "Lcl Translation");
    ASSERT_NE(other, nullptr);
    FBAnimationNode* first = host.findNode(device, "Hips T");
    // Counts the channel nodes holding their channel's value at `time`.
    auto channelsWritten = [&](FBTime time) {
        int written = 0;
        for (int i = 0; i < kMaxChannels; ++i) {
            const ChannelRecord& record = setupChannels().records[i];
            double t[3];
            double r[3];
            host.findNode(device, boneName(i) + " T")->Evaluate(t, time);
            host.findNode(device, boneName(i) + " R")->Evaluate(r, time);
            if (near3(t, record.translation, 1e-9) && near3(r, record.rotation, 1e-9)) ++written;
        }
        return written;
    };
    struct Case {
        FBAnimationNode* notified;
        int written;
    };
    // Bone 0 rests above the origin: its unwritten translation node (zero) does not match.
    ASSERT_FALSE(near3(setupChannels().records[0].translation, FBVector3d(), 1.0));
    FBTime time(0);
    for (const Case& c : {Case{other, 0}, Case{first, kMaxChannels}}) {
        SCOPED_TRACE(c.notified->Reference.Get());
        c.notified->Live = true;
        time += kStep;
        FBEvaluateInfo info(time);
        ASSERT_TRUE(device->AnimationNodeNotify(c.notified, &info));
        if (c.written == 0) {
            double hips[3];
            first->Evaluate(hips, time);
            EXPECT_FALSE(near3(hips, setupChannels().records[0].translation, 1e-9));
        } else {
            EXPECT_EQ(channelsWritten(time), c.written);
        }
    }
}

TEST_F(DeviceSessionTest, OperationsTwoAndSixGoToTheBaseDevice) {
    const std::size_t progressBefore = host.progressShown().size();
    for (int operation : {kOpAutoDetect, kOpDetect}) {
        SCOPED_TRACE(operation);
        EXPECT_FALSE(host.deviceOperation(device, operation));  // the base device's answer
    }
    EXPECT_TRUE(statusTexts().empty());
    EXPECT_EQ(host.progressShown().size(), progressBefore);
    EXPECT_FALSE(device->Online.Get());
}

TEST_F(DeviceSessionTest, DestroyingAnOnlineDeviceStopsItsStreamFirst) {
    startSender(1000.0);
    selectSenderInPanel();
    ASSERT_TRUE(host.setOnline(device, true));
    ASSERT_TRUE(eventually(host, [&] { return sender->clients().size() == 1; }));
    host.closePanel(&panel->layout);
    panel.reset();
    // Destroyed as it is, online and streaming; then the sender ends its stream.
    device->FBDelete();
    EXPECT_FALSE(host.holdsDevice(device));
    sender->Stop();
    host.runIdle();
}

}  // namespace
}  // namespace telmora::test

namespace telmora::test {
namespace {

// Raw capture from the panel: a folder that cannot be made says so and the stream goes on; a
// good folder gets one capture file per online period, its stream readable again.
TEST_F(DeviceSessionTest, CaptureFollowsThePanelAndNeverStopsTheStream) {
    startSender();
    selectSenderInPanel();
    ASSERT_NE(host.bindTemplates(device), nullptr);
    FBAnimationNode* hipsT = host.findNode(device, "Hips T");
    ASSERT_NE(hipsT, nullptr);
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("telmora-device-capture-" + std::to_string(port));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "a-file") << "not a folder";

    host.type(panel->editCaptureFolder, (folder / "a-file" / "captures").string());
    host.click(panel->buttonCapture);
    ASSERT_TRUE(property<FBPropertyBool>("CaptureRawStream").Get());
    ASSERT_TRUE(host.setOnline(device, true));
    const std::vector<std::string> texts = statusTexts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
        return text.rfind("Capture failed: ", 0) == 0;
    }));
    const std::vector<double> before = liveValue(hipsT);
    EXPECT_TRUE(eventually(host, [&] { return liveValue(hipsT) != before; }))
        << "the stream stopped with its capture";
    host.setOnline(device, false);

    if (!CaptureWriter::Available()) return;
    host.type(panel->editCaptureFolder, folder.string());
    ASSERT_TRUE(host.setOnline(device, true));
    const std::string path = property<FBPropertyString>("CapturePath").Get().str();
    // Flushed at least once a second: a second's frames are in the file while it is written.
    ASSERT_TRUE(eventually(host, [&] {
        std::error_code ec;
        return std::filesystem::file_size(path, ec) > 40 * (246 + 44) && !ec;
    })) << path;
    host.setOnline(device, false);
    EXPECT_EQ(std::filesystem::path(path).parent_path(), folder);
    EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("Session_Sim-walk-", 0), 0u)
        << path;
    std::string error;
    const std::optional<TelmoraCapture> capture = readTelmoraCapture(path, error);
    ASSERT_TRUE(capture) << error;
    const CapturedStream* stream = pickStream(*capture, kServerName, kSubject, error);
    ASSERT_NE(stream, nullptr) << error;
    EXPECT_GE(stream->datagrams.size(), 40u);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace telmora::test
