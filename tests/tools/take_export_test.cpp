// Exporting a take: every file is read back by an independent reader (Assimp for glTF and BVH)
// and compared with the take it was written from.

#include "tools/take_export/take_export.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bvh_builder.h"
#include "common/reimported.h"
#include "motion/channel_table.h"
#include "motion/skeleton.h"
#include "tools/performance/performance.h"
#include "tools/take_export/text_output.h"

namespace telmora {
namespace {

namespace fs = std::filesystem;
using test::Reimported;

// The recorded walk on the default skeleton, every second captured frame (60 Hz), as the host
// would plot it: each bone's local translation and rotation.
Take walkTake(std::vector<Skeleton>* skeletons = nullptr) {
    std::string error;
    const std::optional<Performance> walk =
        loadPerformance(std::string(TELMORA_MOCAP_DIR) + "/cmu_02_01_walk.bvh", "walk", error);
    EXPECT_TRUE(walk) << error;
    Take take;
    if (!walk) return take;
    const Skeleton& first = walk->frames.front();
    for (int b = 0; b < first.boneCount; ++b)
        take.joints.push_back({first.bones[b].name, first.bones[b].parent});
    take.framePeriod = 2.0 / walk->frameRate;
    for (std::size_t f = 0; f < walk->frames.size(); f += 2) {
        const Skeleton& skeleton = walk->frames[f];
        std::vector<JointPose> poses;
        for (int b = 0; b < skeleton.boneCount; ++b) {
            const glm::mat4 local = boneLocalMatrix(skeleton, b, true);
            poses.push_back({glm::dvec3(local[3]),
                             quatToEulerDegrees(glm::normalize(glm::quat_cast(glm::mat3(local))))});
        }
        take.times.push_back(static_cast<double>(take.times.size()) * take.framePeriod);
        take.poses.push_back(std::move(poses));
        if (skeletons) skeletons->push_back(skeleton);
    }
    return take;
}

// Three joints whose rotations run through the places Euler angles wrap: the root turns about z
// from 150 to 240 degrees (its canonical angle jumps from +180 to -180), the child pitches from
// 60 to 150 degrees (canonical angles switch to the other triple past 90).
Take wrappingTake() {
    Take take;
    take.joints = {{"Root", -1}, {"Child", 0}, {"LeftTip", 1}};
    take.framePeriod = 1.0 / 30.0;
    for (int f = 0; f <= 30; ++f) {
        const double turn = 150.0 + 3.0 * f;
        const glm::dquat pitch = glm::angleAxis(glm::radians(62.0 + 3.0 * f), glm::dvec3(0, 1, 0)) *
                                 glm::angleAxis(glm::radians(10.0), glm::dvec3(1, 0, 0));
        take.times.push_back(f * take.framePeriod);
        take.poses.push_back({
            {{0.5 * f, 90.0, 2.0}, {0.0, 0.0, turn > 180.0 ? turn - 360.0 : turn}},
            {{0.0, 20.0, 0.0}, quatToEulerDegrees(glm::quat(pitch))},
            {{0.0, 15.0 + 0.1 * f, 0.0}, {0.0, 0.0, 0.0}},
        });
    }
    return take;
}

struct ExportedFormat {
    const char* file;
    std::function<bool(const std::string&, const Take&, std::string&)> write;
    double centimetresPerUnit;
    double toleranceCm;
    // The file's first key is at times[0] (glTF) or at 0 (BVH, which keeps no start time).
    bool keepsStartTime;
};

const ExportedFormat kFormats[] = {
    {"take.glb", writeTakeGlb, 100.0, 0.01, true},
    {"take.bvh", writeTakeBvh, 1.0, 0.05, false},
};

class TakeExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string tag = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : tag)
            if (c == '/') c = '-';
        folder = test::temporaryPath(tag);
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    std::string file(const std::string& name) const { return (fs::path(folder) / name).string(); }

    // Writes `take` in `format`, reads it back and checks it holds the take: joint names and
    // hierarchy, key count and time span, and every joint's global position at every key.
    void expectRoundTrip(const Take& take, const ExportedFormat& format) {
        const std::string path = file(format.file);
        std::string error;
        ASSERT_TRUE(format.write(path, take, error)) << error;
        const Reimported file(path);
        ASSERT_TRUE(file.scene()) << file.error();
        ASSERT_EQ(file.scene()->mNumAnimations, 1u);
        for (const TakeJoint& joint : take.joints) {
            const aiNode* node = file.node(joint.name);
            ASSERT_TRUE(node) << joint.name << " missing from " << format.file;
            if (joint.parent >= 0) {
                ASSERT_TRUE(node->mParent);
                EXPECT_EQ(node->mParent->mName.C_Str(), take.joints[joint.parent].name)
                    << joint.name;
            } else {
                EXPECT_TRUE(!node->mParent || !file.channel(node->mParent->mName.C_Str()))
                    << joint.name << " should be a root joint";
            }
            const aiNodeAnim* channel = file.channel(joint.name);
            ASSERT_TRUE(channel) << joint.name;
            ASSERT_EQ(channel->mNumPositionKeys, take.times.size()) << joint.name;
            ASSERT_EQ(channel->mNumRotationKeys, take.times.size()) << joint.name;
            const double first = channel->mPositionKeys[0].mTime / file.ticksPerSecond();
            const double last =
                channel->mPositionKeys[take.times.size() - 1].mTime / file.ticksPerSecond();
            EXPECT_NEAR(first, format.keepsStartTime ? take.times.front() : 0.0, 1e-4);
            EXPECT_NEAR(last - first, take.times.back() - take.times.front(), 1e-4);
        }
        int worst = 0;
        for (std::size_t k = 0; k < take.times.size(); ++k) {
            const std::vector<glm::dvec3> expected = takeGlobalPositions(take, k);
            for (std::size_t j = 0; j < take.joints.size(); ++j) {
                const glm::dvec3 actual =
                    file.position(take.joints[j].name, static_cast<unsigned>(k)) *
                    format.centimetresPerUnit;
                const double distance = glm::length(actual - expected[j]);
                if (distance > format.toleranceCm && worst++ < 5)
                    ADD_FAILURE() << format.file << " key " << k << " joint " << take.joints[j].name
                                  << " is " << distance << " cm off";
            }
        }
        EXPECT_EQ(worst, 0) << "joint positions off in " << format.file;
    }

    std::string folder;
};

class WalkExportTest : public TakeExportTest,
                       public ::testing::WithParamInterface<ExportedFormat> {};

TEST_F(TakeExportTest, GlobalPositionsAreTheSkeletonsForwardKinematics) {
    std::vector<Skeleton> skeletons;
    const Take take = walkTake(&skeletons);
    std::string error;
    ASSERT_TRUE(validateTake(take, error)) << error;
    for (std::size_t k = 0; k < take.times.size(); k += 17) {
        const std::vector<glm::dvec3> positions = takeGlobalPositions(take, k);
        for (int b = 0; b < skeletons[k].boneCount; ++b) {
            const glm::dvec3 fk(boneWorldPosition(skeletons[k], b, true));
            EXPECT_LT(glm::length(positions[b] - fk), 0.01) << "key " << k << " bone " << b;
        }
    }
}

TEST_P(WalkExportTest, ReimportedFileHoldsTheTake) {
    Take take = walkTake();
    // glTF keeps true times: start the take away from zero to see them kept.
    for (double& t : take.times) t += 1.25;
    expectRoundTrip(take, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Formats, WalkExportTest, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.file).substr(5); });

TEST_F(TakeExportTest, EdgeShapedTakesRoundTrip) {
    // Joints named like the file's own objects (the exporter refuses two objects of one name),
    // and a take of one joint (no bone to hang a mesh on).
    Take named = wrappingTake();
    named.joints[0].name = "Take";
    named.joints[1].name = "TakeMesh";
    named.joints[2].name = "TakeRoot";
    Take lone = wrappingTake();
    lone.joints.resize(1);
    for (std::vector<JointPose>& poses : lone.poses) poses.resize(1);
    for (const Take* take : {&named, &lone}) {
        for (const ExportedFormat& format : kFormats) {
            SCOPED_TRACE(std::string(format.file) + " of " + take->joints[0].name);
            expectRoundTrip(*take, format);
        }
    }
}

TEST(UnrollEulerDegrees, PicksTheEquivalentTripleClosestToThePreviousFrame) {
    struct Case {
        glm::dvec3 angles, previous, expected;
    };
    const Case cases[] = {
        {{0, 0, -178}, {0, 0, 179}, {0, 0, 182}},         // past +180
        {{10, 20, 178}, {10, 20, -539}, {10, 20, -542}},  // several turns away
        {{-170, 5, 0}, {175, 5, 0}, {190, 5, 0}},
        {{180, 88, 180}, {1, 89, -1}, {0, 92, 0}},  // pitch past 90: the other triple
        {{30, 40, 50}, {30, 40, 50}, {30, 40, 50}},
    };
    for (const Case& c : cases) {
        const glm::dvec3 got = unrollEulerDegrees(c.angles, c.previous);
        EXPECT_LT(glm::length(got - c.expected), 1e-9)
            << got.x << " " << got.y << " " << got.z << " from " << c.angles.x << " " << c.angles.y
            << " " << c.angles.z;
        const glm::dmat3 same = eulerDegreesToMatrix(got) - eulerDegreesToMatrix(c.angles);
        EXPECT_LT(glm::length(same[0]) + glm::length(same[1]) + glm::length(same[2]), 1e-9);
    }
}

TEST_F(TakeExportTest, BvhAnglesDoNotJumpWhereTheyWrap) {
    const Take take = wrappingTake();
    expectRoundTrip(take, kFormats[1]);
    std::ifstream in(file("take.bvh"));
    std::string line;
    while (std::getline(in, line) && line.rfind("Frame Time:", 0) != 0) {
    }
    std::vector<double> previous;
    int frames = 0;
    while (std::getline(in, line)) {
        std::istringstream values(line);
        std::vector<double> frame;
        for (double v; values >> v;) frame.push_back(v);
        ASSERT_EQ(frame.size(), 6 * take.joints.size());
        for (std::size_t i = 0; i < frame.size() && !previous.empty(); ++i) {
            // Rotation channels: the motion turns 3 degrees a frame at most.
            if (i % 6 >= 3) {
                EXPECT_LT(std::fabs(frame[i] - previous[i]), 10.0)
                    << "frame " << frames << " channel " << i;
            }
        }
        previous = frame;
        ++frames;
    }
    EXPECT_EQ(frames, static_cast<int>(take.times.size()));
}

TEST_F(TakeExportTest, CsvHoldsOneLinePerRowAfterItsHeader) {
    const std::vector<TakeCsvRow> rows = {
        {0.0, "Hips", {1.5, 90.25, -3.0}, {0.0, 45.0, -90.0}},
        {1.0 / 60.0, "Odd, \"name\"", {0.0, 0.0, 0.0}, {180.0, 0.0, 0.0}},
    };
    std::string error;
    ASSERT_TRUE(writeTakeCsv(file("take.csv"), rows, error)) << error;
    std::ifstream in(file("take.csv"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "time,bone,tx,ty,tz,rx,ry,rz");
    EXPECT_EQ(lines[1], "0.000000,Hips,1.500000,90.250000,-3.000000,0.000000,45.000000,-90.000000");
    EXPECT_EQ(lines[2],
              "0.016667,\"Odd, \"\"name\"\"\",0.000000,0.000000,0.000000,180.000000,0.000000,"
              "0.000000");
}

// Rows made as the file is written give the same file; a row that is not a number leaves none.
TEST_F(TakeExportTest, CsvFromARowSourceMatchesTheRowsAndRefusesANonFiniteRow) {
    std::vector<TakeCsvRow> rows;
    for (int i = 0; i < 50000; ++i)
        rows.push_back(
            {i / 60.0, i % 2 ? "Hips" : "LeftHand", {i * 0.5, 1.0, -2.0}, {0.0, i, 3.0}});
    auto sourceOf = [](const std::vector<TakeCsvRow>& all) {
        return [&all, i = std::size_t{0}](TakeCsvRow& row) mutable {
            if (i == all.size()) return false;
            row = all[i++];
            return true;
        };
    };
    std::string error;
    ASSERT_TRUE(writeTakeCsv(file("rows.csv"), rows, error)) << error;
    ASSERT_TRUE(writeTakeCsv(file("source.csv"), sourceOf(rows), error)) << error;
    auto text = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    EXPECT_EQ(text(file("rows.csv")), text(file("source.csv")));

    rows[40000].rotation.y = std::nan("");
    EXPECT_FALSE(writeTakeCsv(file("refused.csv"), sourceOf(rows), error));
    EXPECT_EQ(error, "row 40000 (bone 'LeftHand'): a value is not finite");
    EXPECT_FALSE(std::filesystem::exists(file("refused.csv")));
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

// The Khronos glTF validator's verdict on the walk's take.glb: no error, no warning.
TEST_F(TakeExportTest, GlbPassesTheKhronosValidator) {
#ifndef TELMORA_GLTF_VALIDATOR
    GTEST_SKIP() << "the glTF validator is not installed (scripts/setup.sh tests)";
#else
    std::string error;
    ASSERT_TRUE(writeTakeGlb(file("take.glb"), walkTake(), error)) << error;
    const std::string report = file("validator.txt");
    const std::string command =
        std::string(TELMORA_GLTF_VALIDATOR) + " " + file("take.glb") + " > " + report + " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(report);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("0 errors, 0 warnings, 0 infos, 0 hints"), std::string::npos) << text;
#endif
}

TEST_F(TakeExportTest, SixDecimalsAreTheCorrectlyRoundedMillionths) {
    // The writers' fast path against the general conversion, halfway values and signs included.
    std::mt19937_64 random(20261209);
    std::uniform_real_distribution<double> spread(-5000.0, 5000.0);
    std::vector<double> values = {0.0,  -0.0,  5e-7, -5e-7,           1.0000005, 2.5e-7,
                                  1e14, -1e15, 1e20, -123456.7890125, 0.1234565, 1e-300};
    for (int i = 0; i < 200000; ++i) {
        const double value = spread(random);
        values.push_back(i % 2 ? value : std::round(value * 2e6) / 2e6);
    }
    for (double value : values) {
        std::string fast;
        appendFixed6(fast, value);
        char general[400];
        const auto end =
            std::to_chars(general, general + sizeof general, value, std::chars_format::fixed, 6);
        ASSERT_EQ(fast, std::string(general, end.ptr)) << value;
    }
}

TEST_F(TakeExportTest, PictureShowsSixMomentsFrontAndSide) {
    const Take take = walkTake();
    std::string error;
    ASSERT_TRUE(writeTakePicture(file("take.png"), take, "walk", error)) << error;
    std::ifstream in(file("take.png"), std::ios::binary);
    unsigned char header[24] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    ASSERT_TRUE(in);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(header) + 1, 3), "PNG");
    // Six panels of 240 pixels across; a title and two rows (front, side) of captioned panels.
    EXPECT_EQ(bigEndian32(header + 16), 6u * 240u);
    EXPECT_EQ(bigEndian32(header + 20), 40u + 2u * (300u + 22u));
}

struct MalformedTake {
    const char* what;
    std::function<void(Take&)> spoil;
    const char* message;  // part of the expected error
};

TEST_F(TakeExportTest, MalformedTakeIsRefusedWithItsReasonAndWritesNothing) {
    const double nan = std::nan("");
    const MalformedTake cases[] = {
        {"no joints", [](Take& t) { t.joints.clear(); }, "no joints"},
        {"parent after child", [](Take& t) { t.joints[1].parent = 2; }, "not an earlier joint"},
        {"repeated name", [](Take& t) { t.joints[2].name = "Root"; }, "used by an earlier"},
        {"space in name", [](Take& t) { t.joints[1].name = "Left Arm"; }, "white space"},
        {"pose missing", [](Take& t) { t.poses[3].pop_back(); }, "key 3 has 2 poses for 3"},
        {"times and keys differ", [](Take& t) { t.times.pop_back(); }, "key times but"},
        {"no keys",
         [](Take& t) {
             t.times.clear();
             t.poses.clear();
         },
         "no keys"},
        {"time not increasing", [](Take& t) { t.times[4] = t.times[3]; }, "key 4: time"},
        {"non-finite rotation", [nan](Take& t) { t.poses[5][1].rotation.y = nan; },
         "key 5, joint 'Child'"},
        {"non-finite time", [nan](Take& t) { t.times[2] = nan; }, "key 2: the time"},
        {"zero frame period", [](Take& t) { t.framePeriod = 0.0; }, "frame period"},
    };
    using Writer = std::function<bool(const std::string&, const Take&, std::string&)>;
    const std::pair<const char*, Writer> writers[] = {
        {"take.glb", writeTakeGlb},
        {"take.bvh", writeTakeBvh},
        {"take.png", [](const std::string& path, const Take& take,
                        std::string& error) { return writeTakePicture(path, take, "", error); }},
    };
    for (const MalformedTake& c : cases) {
        Take take = wrappingTake();
        c.spoil(take);
        std::string error;
        EXPECT_FALSE(validateTake(take, error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        for (const auto& [name, write] : writers) {
            std::string writerError;
            EXPECT_FALSE(write(file(name), take, writerError)) << c.what << ", " << name;
            EXPECT_EQ(writerError, error) << c.what << ", " << name;
        }
        EXPECT_TRUE(fs::is_empty(folder)) << c.what;
    }
    std::string error;
    EXPECT_FALSE(writeTakeCsv(file("take.csv"), {{0.0, "Hips", {nan, 0, 0}, {0, 0, 0}}}, error));
    EXPECT_NE(error.find("not finite"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_empty(folder));
}

TEST_F(TakeExportTest, BvhRefusesWhatItCannotHold) {
    const MalformedTake cases[] = {
        {"two roots", [](Take& t) { t.joints[2].parent = -1; }, "one root joint"},
        {"key off the frame grid", [](Take& t) { t.times[7] += 0.3 * t.framePeriod; }, "key 7 at"},
    };
    for (const MalformedTake& c : cases) {
        Take take = wrappingTake();
        c.spoil(take);
        std::string error;
        EXPECT_FALSE(writeTakeBvh(file("take.bvh"), take, error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        EXPECT_FALSE(fs::exists(file("take.bvh"))) << c.what;
    }
}

}  // namespace
}  // namespace telmora
