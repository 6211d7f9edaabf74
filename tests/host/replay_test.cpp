// A live session captured by the device, then replayed by the headless host offline: the keys
// of the replayed take are the solves of the captured frames, in capture order, and a replay
// is the same file for file every time.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "capture/capture_reader.h"
#include "common/pcapng_file.h"
#include "motion/channel_table.h"
#include "tools/host/host_driver.h"
#include "tools/host/session.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"
#include "walk_session.h"

namespace telmora::host {
namespace {

namespace fs = std::filesystem;

// Hips translation of every recorded key in a take.csv, in key order.
std::vector<std::array<double, 3>> hipsKeys(const fs::path& csv) {
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);  // header
    std::vector<std::array<double, 3>> keys;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string time, bone, x, y, z;
        std::getline(fields, time, ',');
        std::getline(fields, bone, ',');
        if (bone != "Hips") continue;
        std::getline(fields, x, ',');
        std::getline(fields, y, ',');
        std::getline(fields, z, ',');
        keys.push_back({std::stod(x), std::stod(y), std::stod(z)});
    }
    return keys;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReplayTest : public ::testing::Test {
protected:
    // One live session, 1.5 s of the walk at 120 Hz, captured.
    static void SetUpTestSuite() {
        folder = new fs::path(fs::temp_directory_path() /
                              ("telmora-replay-" + std::to_string(::getpid())));
        fs::remove_all(*folder);
        live = new SessionReport(runWalkSession("Replay Test Sender", 120.0, 1.5,
                                                (*folder / "live").string(), capture()));
    }
    static void TearDownTestSuite() {
        if (folder && !std::getenv("TELMORA_KEEP_TEST_FILES")) fs::remove_all(*folder);
        delete live;
        delete folder;
        live = nullptr;
        folder = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(live);
        ASSERT_EQ(live->status, kExitOk) << live->failedStep << ": " << live->failure;
    }

    static std::string capture() { return (*folder / "live.pcap").string(); }

    static SessionReport replay(const std::string& out, const std::string& rate,
                                const std::string& file = capture()) {
        SessionOptions options;
        options.pluginPath = TELMORA_PLUGIN_PATH;
        options.replayFile = file;
        options.rate = rate;
        options.outDir = (*folder / out).string();
        options.waitSeconds = 2.0;
        Console console(false);
        return runSessionSteps(options, console);
    }

    // The hips translation the motion core solves from each captured frame of the stream;
    // `lastFrame`, when given, gets the bytes of the last datagram that made one.
    static std::vector<std::array<double, 3>> capturedSolves(
        std::vector<std::uint8_t>* lastFrame = nullptr) {
        std::string error;
        const std::optional<TelmoraCapture> captured = readTelmoraCapture(capture(), error);
        EXPECT_TRUE(captured) << error;
        if (!captured) return {};
        const CapturedStream* stream = pickStream(*captured, "", "", error);
        EXPECT_NE(stream, nullptr) << error;
        ChannelTable table;
        table.SetupChannels();
        std::vector<std::array<double, 3>> solves;
        for (std::size_t index : stream->datagrams) {
            if (table.HandlePacket(captured->file.datagrams[index].bytes) !=
                ChannelTable::PacketResult::kPublished)
                continue;
            const ChannelSnapshot snapshot = table.snapshot();
            const double* t = snapshot.records[0].translation;
            solves.push_back({t[0], t[1], t[2]});
            if (lastFrame) *lastFrame = captured->file.datagrams[index].bytes;
        }
        return solves;
    }

    static fs::path* folder;
    static SessionReport* live;
};

fs::path* ReplayTest::folder = nullptr;
SessionReport* ReplayTest::live = nullptr;

bool sameKey(const std::array<double, 3>& key, const std::array<double, 3>& solve) {
    // take.csv holds six decimals.
    for (int i = 0; i < 3; ++i)
        if (std::abs(key[i] - solve[i]) > 1e-5) return false;
    return true;
}

// One key per captured frame, each the solve of its frame.
void expectKeysAreTheSolves(const std::vector<std::array<double, 3>>& keys,
                            const std::vector<std::array<double, 3>>& solves) {
    ASSERT_EQ(keys.size(), solves.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        ASSERT_TRUE(sameKey(keys[i], solves[i])) << "key " << i;
}

TEST_F(ReplayTest, StreamRateKeysEachCapturedFrameOnceInOrder) {
    const SessionReport report = replay("stream", "stream");
    ASSERT_EQ(report.status, kExitOk) << report.failedStep << ": " << report.failure;
    const auto solves = capturedSolves();
    ASSERT_GT(solves.size(), 150u);
    expectKeysAreTheSolves(hipsKeys(*folder / "stream" / "take.csv"), solves);
    // Captured at 120 Hz: the take is made at 120 Hz.
    EXPECT_NEAR(report.samplingPeriod, 1.0 / 120.0, 1e-9);
    const nlohmann::json json =
        nlohmann::json::parse(std::ifstream(*folder / "stream" / "session.json"));
    EXPECT_EQ(json["source"], "replay");
    EXPECT_EQ(json["result"], "ok");
}

TEST_F(ReplayTest, HostRateKeysAreCapturedFramesInCaptureOrder) {
    const SessionReport report = replay("host", "");
    ASSERT_EQ(report.status, kExitOk) << report.failedStep << ": " << report.failure;
    const auto solves = capturedSolves();
    const auto keys = hipsKeys(*folder / "host" / "take.csv");
    ASSERT_GT(keys.size(), 80u);
    std::size_t frame = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        while (frame < solves.size() && !sameKey(keys[i], solves[frame])) ++frame;
        ASSERT_LT(frame, solves.size()) << "key " << i << " is no later captured frame's solve";
    }
}

TEST_F(ReplayTest, TwoReplaysWriteTheSameTakeFiles) {
    ASSERT_EQ(replay("once", "").status, kExitOk);
    ASSERT_EQ(replay("twice", "").status, kExitOk);
    for (const char* name : {"take.glb", "take.bvh", "take.csv"})
        EXPECT_TRUE(contents(*folder / "once" / name) == contents(*folder / "twice" / name))
            << name;
}

TEST_F(ReplayTest, CaptureCutShortReplaysUpToItsLastWholePacket) {
    // The file ends ten bytes into the stream's last frame (whatever the capture holds after
    // it: announcements, keep-alives), so that frame is lost and every one before it is whole.
    std::vector<std::uint8_t> last;
    const std::size_t frames = capturedSolves(&last).size();
    ASSERT_FALSE(last.empty());
    const std::string file = contents(capture());
    const std::size_t at = file.rfind(std::string(last.begin(), last.end()));
    ASSERT_NE(at, std::string::npos);
    const fs::path cut = *folder / "cut.pcap";
    fs::copy_file(capture(), cut, fs::copy_options::overwrite_existing);
    fs::resize_file(cut, at + 10);
    const SessionReport report = replay("cut", "stream", cut.string());
    ASSERT_EQ(report.status, kExitOk) << report.failedStep << ": " << report.failure;
    EXPECT_EQ(hipsKeys(*folder / "cut" / "take.csv").size(), frames - 1);
}

TEST_F(ReplayTest, ACaptureOfTheStudioNetworkFromAnotherMachineReplays) {
    // The live capture's datagrams as tcpdump on a technician's laptop would have them: other
    // addresses, Ethernet frames in a pcapng file, and the network's own traffic in between.
    std::string error;
    const std::optional<CaptureFile> live = readCaptureFile(capture(), error);
    ASSERT_TRUE(live) << error;
    auto moved = [](const Ipv4Endpoint& endpoint) {
        return Ipv4Endpoint{0xC0A80100 | (endpoint.address & 0xFF), endpoint.port};
    };
    test::PcapngFile studio;
    const std::vector<std::uint8_t> chatter(80, 0x42);
    for (std::size_t i = 0; i < live->datagrams.size(); ++i) {
        const CapturedDatagram& datagram = live->datagrams[i];
        const auto micros = static_cast<std::uint64_t>(datagram.micros);
        studio.udp(micros, moved(datagram.from), moved(datagram.to), datagram.bytes);
        if (i % 10 == 0) {
            studio.udp(micros + 1, {0xC0A80101, 53}, {0xC0A80150, 5353}, chatter);
            studio.packet(micros + 2,
                          {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0, 0, 3, 0x08, 0x06, 0, 1});
        }
    }
    const fs::path file = *folder / "studio.pcapng";
    studio.write(file.string());
    const SessionReport report = replay("studio", "stream", file.string());
    ASSERT_EQ(report.status, kExitOk) << report.failedStep << ": " << report.failure;
    expectKeysAreTheSolves(hipsKeys(*folder / "studio" / "take.csv"), capturedSolves());
}

TEST_F(ReplayTest, UnreadableCapturesEndWithAClearMessage) {
    const fs::path garbage = *folder / "garbage.pcap";
    std::ofstream(garbage) << "this is no capture";
    const struct {
        std::string file;
        const char* says;
    } cases[] = {
        {garbage.string(), "as a capture"},
        {(*folder / "missing.pcap").string(), "cannot read"},
        {(*folder / "live" / "take.csv").string(), "as a capture"},
    };
    for (const auto& c : cases) {
        const SessionReport report = replay("bad", "", c.file);
        EXPECT_EQ(report.status, kExitBadInput) << c.file;
        EXPECT_NE(report.failure.find(c.says), std::string::npos) << report.failure;
    }
}

}  // namespace
}  // namespace telmora::host
