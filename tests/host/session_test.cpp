// A whole session run by the headless host against the test sender over loopback, and the
// take it exports read back by an independent reader (Assimp).

#include "tools/host/session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "common/reimported.h"
#include "motion/skeleton.h"
#include "network/socket.h"
#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"
#include "walk_session.h"

namespace telmora::host {
namespace {

namespace fs = std::filesystem;
using test::Reimported;

constexpr double kSenderRate = 120.0;
constexpr double kRecordSeconds = 2.0;

// One session for the whole suite: the recorded walk streamed at 120 Hz, two seconds recorded.
class HostSessionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder = new fs::path(fs::temp_directory_path() /
                              ("telmora-host-session-" + std::to_string(::getpid())));
        fs::remove_all(*folder);
        report = new SessionReport(
            runWalkSession("Session Test Sender", kSenderRate, kRecordSeconds, folder->string()));
    }
    static void TearDownTestSuite() {
        if (folder) fs::remove_all(*folder);
        delete report;
        delete folder;
        report = nullptr;
        folder = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(report);
        ASSERT_EQ(report->status, kExitOk) << report->failedStep << ": " << report->failure;
    }

    static std::string file(const char* name) { return (*folder / name).string(); }

    // The file holds the default skeleton's joints and hierarchy, one key per plotted key over
    // the plotted span, and at every key every joint where the host's plotted models put it.
    static void expectPlottedTake(const char* name, double centimetresPerUnit, double toleranceCm,
                                  bool keepsStartTime) {
        const Take& take = report->take;
        const Reimported reimported(file(name));
        ASSERT_TRUE(reimported.scene()) << reimported.error();
        ASSERT_EQ(reimported.scene()->mNumAnimations, 1u);

        const Skeleton& skeleton = defaultSkeleton().skeleton;
        ASSERT_EQ(take.joints.size(), static_cast<std::size_t>(skeleton.boneCount));
        for (std::int32_t b = 0; b < skeleton.boneCount; ++b) {
            const Bone& bone = skeleton.bones[b];
            const aiNode* node = reimported.node(bone.name);
            ASSERT_TRUE(node) << bone.name << " missing from " << name;
            if (bone.parent >= 0) {
                ASSERT_TRUE(node->mParent) << bone.name;
                EXPECT_STREQ(node->mParent->mName.C_Str(), skeleton.bones[bone.parent].name)
                    << bone.name;
            } else {
                EXPECT_TRUE(!node->mParent || !reimported.channel(node->mParent->mName.C_Str()))
                    << bone.name << " should be a root joint";
            }
        }
        const std::size_t keys = take.times.size();
        const double span = take.times.back() - take.times.front();
        EXPECT_NEAR(span, kRecordSeconds, 0.1);
        for (const TakeJoint& joint : take.joints) {
            const aiNodeAnim* channel = reimported.channel(joint.name);
            ASSERT_TRUE(channel) << joint.name;
            ASSERT_EQ(channel->mNumPositionKeys, keys) << joint.name;
            ASSERT_EQ(channel->mNumRotationKeys, keys) << joint.name;
            const double first = channel->mPositionKeys[0].mTime / reimported.ticksPerSecond();
            const double last =
                channel->mPositionKeys[keys - 1].mTime / reimported.ticksPerSecond();
            EXPECT_NEAR(first, keepsStartTime ? take.times.front() : 0.0, 1e-4) << joint.name;
            EXPECT_NEAR(last - first, span, 1e-4) << joint.name;
        }
        for (unsigned k = 0; k < keys; ++k) {
            for (std::size_t j = 0; j < take.joints.size(); ++j) {
                const glm::dvec3 read =
                    reimported.position(take.joints[j].name, k) * centimetresPerUnit;
                const glm::dvec3& plotted = report->plottedGlobalPositions[k][j];
                ASSERT_NEAR(glm::distance(read, plotted), 0.0, toleranceCm)
                    << take.joints[j].name << " at key " << k;
            }
        }
    }

    static fs::path* folder;
    static SessionReport* report;
};

fs::path* HostSessionTest::folder = nullptr;
SessionReport* HostSessionTest::report = nullptr;

TEST_F(HostSessionTest, WritesEveryFile) {
    for (const char* name :
         {"take.glb", "take.bvh", "take.csv", "panel.png", "take.png", "session.json"}) {
        ASSERT_TRUE(fs::exists(file(name))) << name;
        EXPECT_GT(fs::file_size(file(name)), 0u) << name;
    }
    EXPECT_TRUE(report->characterized);
    EXPECT_EQ(report->characterName, "Telmora_walk_Character");
    EXPECT_GT(report->framesSolved, 0u);
}

TEST_F(HostSessionTest, GlbHoldsThePlottedTake) {
    expectPlottedTake("take.glb", 100.0, 0.01, true);
}

TEST_F(HostSessionTest, BvhHoldsThePlottedTake) {
    expectPlottedTake("take.bvh", 1.0, 0.05, false);
}

TEST_F(HostSessionTest, RecordsOneSamplePerInputNotification) {
    EXPECT_EQ(report->samplesRecorded, report->inputNotifications);
    ASSERT_EQ(report->recordedTimes.size(), static_cast<std::size_t>(report->samplesRecorded));
    for (std::size_t i = 1; i < report->recordedTimes.size(); ++i)
        ASSERT_GT(report->recordedTimes[i], report->recordedTimes[i - 1]) << "sample " << i;
    for (const auto& [node, keys] : report->keysPerNode)
        EXPECT_EQ(keys, report->samplesRecorded) << node;
}

TEST_F(HostSessionTest, PlotsAtTheSamplingPeriodWithoutGapOrDuplicate) {
    const std::vector<double>& plotted = report->plottedTimes;
    const std::vector<double>& recorded = report->recordedTimes;
    ASSERT_GE(plotted.size(), 2u);
    const double period = report->samplingPeriod;
    const double tick = 1.0 / static_cast<double>(ORSDK2026::FBTime::kTicksPerSecond);
    EXPECT_NEAR(plotted.front(), recorded.front(), tick);
    for (std::size_t i = 1; i < plotted.size(); ++i)
        ASSERT_NEAR(plotted[i] - plotted[i - 1], period, 2 * tick) << "key " << i;
    // The plot covers the recording: its last key is within one period of the last sample.
    EXPECT_LE(plotted.back(), recorded.back() + tick);
    EXPECT_GT(plotted.back(), recorded.back() - period);
}

// A sender that stalls for 0.8 s half a second into the recording: the take is written with
// one gap where the stream was stale, and the session says so.
TEST(HostSessionGaps, AStalledStreamLeavesOneGapAndIsReported) {
    const fs::path out =
        fs::temp_directory_path() / ("telmora-host-session-gap-" + std::to_string(::getpid()));
    fs::remove_all(out);
    SimServerConfig config;
    config.serverName = "Stalling Sender";
    config.announcePort = freeUdpPort();
    config.announceInterval = std::chrono::milliseconds(100);
    config.frameRate = kSenderRate;
    SimServer sender(config,
                     {{"walk", std::make_shared<const Performance>(syntheticPerformance("walk"))}},
                     [](LogStream, const std::string&) {});
    std::string error;
    ASSERT_TRUE(sender.Start(error)) << error;
    // The session watches for a second, then records: the stall starts half a second into it.
    std::thread staller([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (sender.framesSent() < static_cast<std::uint64_t>(1.5 * kSenderRate) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // polling the count
        sender.SetStreaming(false);
        std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the stall itself
        sender.SetStreaming(true);
    });
    SessionOptions options;
    options.pluginPath = TELMORA_PLUGIN_PATH;
    options.source = config.serverName;
    options.subject = "walk";
    options.recordSeconds = 2.5;
    options.outDir = out.string();
    options.port = config.announcePort;
    options.waitSeconds = 8.0;
    Console console(false);
    const SessionReport report = runSessionSteps(options, console);
    staller.join();
    sender.Stop();
    EXPECT_EQ(report.status, kExitIncomplete) << report.failedStep << ": " << report.failure;
    ASSERT_EQ(report.streamGaps.size(), 1u);
    // Keys stop once the stream is stale (0.25 s into the stall) and start again with it.
    EXPECT_GT(report.streamGaps[0].seconds, 0.3);
    EXPECT_LT(report.streamGaps[0].seconds, 1.2);
    EXPECT_FALSE(report.streamEndedAt);
    std::ifstream json((out / "session.json").string());
    const nlohmann::json written = nlohmann::json::parse(json, nullptr, false);
    EXPECT_EQ(written.value("result", ""), "gaps");
    EXPECT_EQ(written["streamGaps"].size(), 1u);
    EXPECT_TRUE(written["streamEndedAt"].is_null());
    fs::remove_all(out);
}

}  // namespace
}  // namespace telmora::host
