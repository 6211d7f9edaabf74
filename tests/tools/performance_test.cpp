// Importing recorded takes and retargeting them onto the default skeleton.

#include "tools/performance/performance.h"

#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "bvh_builder.h"
#include "common/glm_asserts.h"
#include "motion/skeleton.h"
#include "tools/performance/performance_clip.h"
#include "tools/performance/retarget.h"

namespace telmora {
namespace {

using test::quatNear;
using test::vecNear;

const std::string kMocapDir = TELMORA_MOCAP_DIR;

std::shared_ptr<const PerformanceClip> loadClip(const std::string& path) {
    std::string error;
    std::optional<PerformanceClip> clip = PerformanceClip::load(path, error);
    EXPECT_TRUE(clip.has_value()) << error;
    if (!clip) return nullptr;
    return std::make_shared<const PerformanceClip>(std::move(*clip));
}

float angleDegrees(const glm::vec3& a, const glm::vec3& b) {
    const float c = glm::dot(glm::normalize(a), glm::normalize(b));
    return std::acos(glm::clamp(c, -1.0f, 1.0f)) * 180.0f / glm::pi<float>();
}

glm::quat worldRotation(const Skeleton& skeleton, int bone) {
    return glm::normalize(glm::quat_cast(glm::mat3(boneGlobalMatrix(skeleton, bone, true))));
}

struct ShippedClip {
    const char* file;
    int frames;
    float hipsHeightUnits;  // frame 0, from the clips' notes
    const char* scheme;
};

const ShippedClip kShippedClips[] = {
    {"cmu_02_01_walk.bvh", 343, 17.76f, "CMU BVH (cgspeed names)"},
    {"cmu_05_06_dance.bvh", 885, 17.41f, "CMU BVH (cgspeed names)"},
    {"cmu_131_01_start_walk_stop.bvh", 994, 16.90f, "CMU BVH (3ds Max names)"},
};

class ShippedClipTest : public ::testing::TestWithParam<ShippedClip> {
protected:
    void SetUp() override {
        clip = loadClip(kMocapDir + "/" + GetParam().file);
        ASSERT_TRUE(clip);
    }

    // The clip's retargeter onto the default skeleton; not building one fails the test.
    std::optional<Retargeter> retargeter() const {
        std::string error;
        std::optional<Retargeter> made = Retargeter::create(clip, error);
        EXPECT_TRUE(made) << error;
        return made;
    }

    std::shared_ptr<const PerformanceClip> clip;
};

TEST_P(ShippedClipTest, ImportsWithTheCapturedUnitsAxesAndFrames) {
    const ShippedClip& expected = GetParam();
    EXPECT_EQ(clip->frameCount(), expected.frames);
    EXPECT_NEAR(clip->frameRate(), 120.0, 0.01);
    EXPECT_FLOAT_EQ(clip->metresPerUnit(), 0.056444f);
    const PerformerJointMatch match = matchPerformerJoints(*clip);
    EXPECT_EQ(match.scheme, expected.scheme);
    EXPECT_TRUE(match.missing.empty());
    const int hips = match[PerformerJoint::kHips];
    ASSERT_GE(hips, 0);
    EXPECT_NEAR(clip->worldPosition(0, hips).y, expected.hipsHeightUnits, 0.01f);
    // The performer's left is +x at rest.
    EXPECT_GT(clip->restWorldPosition(match[PerformerJoint::kLeftUpLeg]).x, 0.0f);
    EXPECT_GT(clip->restWorldPosition(match[PerformerJoint::kLeftArm]).x, 0.0f);
    EXPECT_LT(clip->restWorldPosition(match[PerformerJoint::kRightArm]).x, 0.0f);
}

// Every default bone with a performer segment to follow points along it, in every frame.
TEST_P(ShippedClipTest, RetargetedBonesPointAlongThePerformersBones) {
    const std::optional<Retargeter> retargeter = this->retargeter();
    ASSERT_TRUE(retargeter);
    ASSERT_GE(retargeter->followedSegments().size(), 16u);
    float worst = 0.0f;
    for (int f = 0; f < clip->frameCount(); f += 3) {
        const Skeleton posed = retargeter->pose(f);
        for (const auto& segment : retargeter->followedSegments()) {
            int start = retargeter->match()[segment.start];
            if (start < 0) start = retargeter->match()[PerformerJoint::kHips];
            const int end = retargeter->match()[segment.end];
            const glm::vec3 performerDir =
                clip->worldPosition(f, end) - clip->worldPosition(f, start);
            if (glm::length(performerDir) < 1e-3f) continue;
            const glm::vec3 boneDir = boneWorldPosition(posed, segment.childBone, true) -
                                      boneWorldPosition(posed, segment.bone, true);
            const float angle = angleDegrees(boneDir, performerDir);
            worst = std::max(worst, angle);
            ASSERT_LT(angle, 0.5f) << "frame " << f << " bone " << posed.bones[segment.bone].name;
        }
        // The hips sit where the performer's do, in centimetres.
        ASSERT_TRUE(vecNear(boneWorldPosition(posed, 0, true),
                            clip->worldPosition(f, retargeter->match()[PerformerJoint::kHips]) *
                                retargeter->centimetresPerUnit(),
                            0.01f));
    }
    RecordProperty("worst_bone_angle_deg", std::to_string(worst));
}

// Elbows and knees bend as far as the performer's, so hands and feet reach out the same fraction
// of the limb's length (up to the different upper/lower splits: the CMU forearm is shorter than
// its upper arm, the default skeleton's are equal).
TEST_P(ShippedClipTest, HandsAndFeetReachLikeThePerformers) {
    const std::optional<Retargeter> retargeter = this->retargeter();
    ASSERT_TRUE(retargeter);
    const auto& m = retargeter->match();
    struct Limb {
        const char* root;
        const char* middle;
        const char* end;
        PerformerJoint performerRoot, performerMiddle, performerEnd;
    };
    const Limb limbs[] = {
        {"LeftArm", "LeftForeArm", "LeftHand", PerformerJoint::kLeftArm,
         PerformerJoint::kLeftForeArm, PerformerJoint::kLeftHand},
        {"RightArm", "RightForeArm", "RightHand", PerformerJoint::kRightArm,
         PerformerJoint::kRightForeArm, PerformerJoint::kRightHand},
        {"LeftUpLeg", "LeftLeg", "LeftFoot", PerformerJoint::kLeftUpLeg, PerformerJoint::kLeftLeg,
         PerformerJoint::kLeftFoot},
        {"RightUpLeg", "RightLeg", "RightFoot", PerformerJoint::kRightUpLeg,
         PerformerJoint::kRightLeg, PerformerJoint::kRightFoot},
    };
    const Skeleton& rest = retargeter->restSkeleton();
    for (const Limb& limb : limbs) {
        const int root = findBone(rest, limb.root), middle = findBone(rest, limb.middle),
                  end = findBone(rest, limb.end);
        float worstAngle = 0.0f, worstReach = 0.0f;  // bend difference (degrees), reach fraction
        for (int f = 0; f < clip->frameCount(); f += 3) {
            const Skeleton posed = retargeter->pose(f);
            const glm::vec3 r = boneWorldPosition(posed, root, true);
            const glm::vec3 mid = boneWorldPosition(posed, middle, true);
            const glm::vec3 e = boneWorldPosition(posed, end, true);
            const glm::vec3 pr = clip->worldPosition(f, m[limb.performerRoot]);
            const glm::vec3 pm = clip->worldPosition(f, m[limb.performerMiddle]);
            const glm::vec3 pe = clip->worldPosition(f, m[limb.performerEnd]);
            const float reach = glm::length(e - r) / (glm::length(mid - r) + glm::length(e - mid));
            const float performerReach =
                glm::length(pe - pr) / (glm::length(pm - pr) + glm::length(pe - pm));
            worstAngle = std::max(worstAngle, std::fabs(angleDegrees(mid - r, e - mid) -
                                                        angleDegrees(pm - pr, pe - pm)));
            worstReach = std::max(worstReach, std::fabs(reach - performerReach));
        }
        EXPECT_LT(worstAngle, 0.5f) << limb.end;
        EXPECT_LT(worstReach, 0.08f) << limb.end;
        RecordProperty(std::string(limb.end) + "_worst_reach_difference",
                       std::to_string(worstReach));
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, ShippedClipTest, ::testing::ValuesIn(kShippedClips),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             return name.substr(0, name.find('.'));
                         });

TEST(PerformanceClipTest, ReadsEachJointsOwnChannelOrderAcrossMixedLineEndings) {
    test::BvhBuilder take = test::humanoidTake(false);
    // LeftArm's channels are Z X Y: R = Rz(0) Rx(90) Ry(90). Ry(90) takes the forearm offset
    // (25, 0, 0) to (0, 0, -25); Rx(90) then takes that to (0, 25, 0): straight up. Read in
    // any other order, the forearm would end up elsewhere.
    test::BvhFrame frame;
    frame.rootPosition = {0, 95, 0};
    frame.angles["LeftArm"] = {0, 90, 90};
    const std::string path = test::temporaryPath("order.bvh");
    take.write(path, {frame, frame});
    auto clip = loadClip(path);
    std::remove(path.c_str());
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->frameCount(), 2);
    EXPECT_NEAR(clip->frameRate(), 30.0, 0.01);
    EXPECT_FLOAT_EQ(clip->metresPerUnit(), 0.01f);  // a take in centimetres
    const glm::vec3 arm = clip->worldPosition(0, clip->findJoint("LeftArm"));
    const glm::vec3 foreArm = clip->worldPosition(0, clip->findJoint("LeftForeArm"));
    EXPECT_TRUE(vecNear(arm, glm::vec3(15, 140, 0), 1e-3f));
    EXPECT_TRUE(vecNear(foreArm - arm, glm::vec3(0, 25, 0), 1e-3f));
}

// A take whose joint track carries no keys at all (no position channel, and here no rotation
// or scaling either): the joint holds its rest transform, as if the take had not animated it.
TEST(PerformanceClipTest, TrackWithoutKeysHoldsTheRestValue) {
    test::BvhBuilder take = test::humanoidTake(false);
    std::vector<test::BvhFrame> frames(3);
    for (int f = 0; f < 3; ++f) {
        frames[f].rootPosition = {2.0f * f, 95, 0};
        frames[f].angles["LeftArm"] = {10.0f * f, 20, 30};
        frames[f].angles["LeftHand"] = {0, 15.0f * f, 0};
    }
    const std::string restPath = test::temporaryPath("forearm-rest.bvh");
    take.write(restPath, frames);
    auto expected = loadClip(restPath);
    std::remove(restPath.c_str());
    ASSERT_TRUE(expected);

    // The same take with the forearm animated, and then its track emptied.
    for (test::BvhFrame& frame : frames) frame.angles["LeftForeArm"] = {40, 50, 60};
    const std::string path = test::temporaryPath("forearm-keyless.bvh");
    take.write(path, frames);
    Assimp::Importer importer;
    const aiScene* read = importer.ReadFile(path, 0);
    std::remove(path.c_str());
    ASSERT_NE(read, nullptr) << importer.GetErrorString();
    std::unique_ptr<aiScene> scene(importer.GetOrphanedScene());
    aiAnimation& animation = *scene->mAnimations[0];
    aiNodeAnim* foreArm = nullptr;
    for (unsigned i = 0; i < animation.mNumChannels; ++i) {
        if (std::string(animation.mChannels[i]->mNodeName.C_Str()) == "LeftForeArm")
            foreArm = animation.mChannels[i];
    }
    ASSERT_NE(foreArm, nullptr);
    delete[] foreArm->mPositionKeys;
    delete[] foreArm->mRotationKeys;
    delete[] foreArm->mScalingKeys;
    foreArm->mPositionKeys = nullptr;
    foreArm->mRotationKeys = nullptr;
    foreArm->mScalingKeys = nullptr;
    foreArm->mNumPositionKeys = foreArm->mNumRotationKeys = foreArm->mNumScalingKeys = 0;

    std::string error;
    const std::optional<PerformanceClip> clip = PerformanceClip::fromScene(*scene, path, error);
    ASSERT_TRUE(clip.has_value()) << error;
    ASSERT_EQ(clip->frameCount(), expected->frameCount());
    ASSERT_EQ(clip->jointCount(), expected->jointCount());
    for (int f = 0; f < clip->frameCount(); ++f) {
        for (int j = 0; j < clip->jointCount(); ++j) {
            EXPECT_TRUE(vecNear(clip->worldPosition(f, j), expected->worldPosition(f, j), 1e-3f))
                << "frame " << f << ", " << clip->joints()[j].name;
            EXPECT_TRUE(quatNear(clip->worldRotation(f, j), expected->worldRotation(f, j), 1e-5f))
                << "frame " << f << ", " << clip->joints()[j].name;
        }
    }
}

TEST(PerformanceClipTest, UnreadableFilesGiveTheImportersMessage) {
    const std::string path = test::temporaryPath("garbage.bvh");
    std::ofstream(path) << "this is no take\n";
    std::string error;
    EXPECT_FALSE(PerformanceClip::load(path, error).has_value());
    EXPECT_NE(error.find("HIERARCHY"), std::string::npos) << error;
    std::remove(path.c_str());
    error.clear();
    EXPECT_FALSE(PerformanceClip::load(path, error).has_value());
    EXPECT_FALSE(error.empty());
}

// A frame time of 0 makes the importer's ticks per second infinite; one below the smallest
// double's reciprocal does the same. Either take has no rate to stream at.
TEST(PerformanceClipTest, FrameTimesWithoutAUsableRateAreRefused) {
    test::BvhBuilder take = test::humanoidTake(false);
    std::vector<test::BvhFrame> frames(2);
    for (test::BvhFrame& frame : frames) frame.rootPosition = {0, 95, 0};
    const struct {
        double frameTime;
        const char* says;
    } cases[] = {
        {0.0, "is not a positive number of seconds"},
        {-0.1, "is not a positive number of seconds"},
        {std::nan(""), "is not a positive number of seconds"},
        {1e-320, "no usable frame rate"},  // positive, but its reciprocal is no number
    };
    for (const auto& c : cases) {
        const std::string path = test::temporaryPath("frame-time.bvh");
        take.write(path, frames, c.frameTime);
        std::string error;
        EXPECT_FALSE(loadPerformance(path, "take", error).has_value()) << c.frameTime;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        std::remove(path.c_str());
    }
}

// The importer would size its buffers by these counts before reading what they count.
TEST(PerformanceClipTest, CountsTheFileCannotHoldAreRefused) {
    test::BvhBuilder take = test::humanoidTake(false);
    std::vector<test::BvhFrame> frames(2);
    for (test::BvhFrame& frame : frames) frame.rootPosition = {0, 95, 0};
    const std::string path = test::temporaryPath("counts.bvh");
    take.write(path, frames);
    std::string text;
    {
        std::ifstream file(path, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    const struct {
        const char *field, *count, *what;
    } cases[] = {{"Frames: 2", "-91", "frames"},
                 {"Frames: 2", "4294967295", "frames"},
                 {"Frames: 2", "1e9", "frames"},
                 {"Frames: 2", "nan", "frames"},
                 {"CHANNELS 3", "99999999", "channels"},
                 {"CHANNELS 3", "-1", "channels"},
                 // Frames the file could hold one value of each, but not one per channel.
                 {"Frames: 2", "200", "frames"}};
    for (const auto& c : cases) {
        std::string corrupt = text;
        const std::size_t at = corrupt.find(c.field);
        ASSERT_NE(at, std::string::npos);
        const std::string name(c.field, std::strchr(c.field, ' ') + 1);
        corrupt.replace(at, std::strlen(c.field), name + c.count);
        std::ofstream(path, std::ios::binary) << corrupt;
        std::string error;
        EXPECT_FALSE(PerformanceClip::load(path, error).has_value()) << c.count;
        const std::string expected = std::string("declares ") + c.count + " " + c.what;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    std::remove(path.c_str());
}

TEST(RetargeterTest, NamesTheBonesATakeLacks) {
    test::BvhBuilder take = test::humanoidTake(false);
    take.remove("LeftHand");
    take.remove("RightFoot");
    take.find("LeftForeArm")->endSite = {20, 0, 0};
    take.find("RightLeg")->endSite = {0, -40, 0};
    const std::string path = test::temporaryPath("missing.bvh");
    take.write(path, {test::BvhFrame{}});
    std::string error;
    EXPECT_FALSE(loadPerformance(path, "missing", error).has_value());
    std::remove(path.c_str());
    EXPECT_NE(error.find("LeftHand"), std::string::npos) << error;
    EXPECT_NE(error.find("RightFoot"), std::string::npos) << error;
    EXPECT_EQ(error.find("RightHand"), std::string::npos) << error;
}

// The default skeleton is in T-pose; a take whose rest pose has the arms hanging must still give
// hanging arms at rest and raised arms when the performer raises them.
TEST(RetargeterTest, BridgesAnArmsDownRestPose) {
    test::BvhBuilder take = test::humanoidTake(true);
    test::BvhFrame rest;
    rest.rootPosition = {0, 95, 0};
    test::BvhFrame raised = rest;
    // Z X Y order; +90 about z turns the hanging left arm (0, -1, 0) out to (1, 0, 0).
    raised.angles["LeftArm"] = {90, 0, 0};
    raised.angles["RightArm"] = {-90, 0, 0};
    const std::string path = test::temporaryPath("armsdown.bvh");
    take.write(path, {rest, raised});
    auto clip = loadClip(path);
    std::remove(path.c_str());
    ASSERT_TRUE(clip);
    std::string error;
    std::optional<Retargeter> retargeter = Retargeter::create(clip, error);
    ASSERT_TRUE(retargeter) << error;
    const Skeleton& s0 = retargeter->restSkeleton();
    const int leftArm = findBone(s0, "LeftArm"), leftHand = findBone(s0, "LeftHand");
    const int rightArm = findBone(s0, "RightArm"), rightHand = findBone(s0, "RightHand");

    const Skeleton hanging = retargeter->pose(0);
    const glm::vec3 leftDown =
        boneWorldPosition(hanging, leftHand, true) - boneWorldPosition(hanging, leftArm, true);
    const glm::vec3 rightDown =
        boneWorldPosition(hanging, rightHand, true) - boneWorldPosition(hanging, rightArm, true);
    EXPECT_LT(angleDegrees(leftDown, {0, -1, 0}), 0.5f);
    EXPECT_LT(angleDegrees(rightDown, {0, -1, 0}), 0.5f);

    const Skeleton out = retargeter->pose(1);
    const glm::vec3 leftOut =
        boneWorldPosition(out, leftHand, true) - boneWorldPosition(out, leftArm, true);
    const glm::vec3 rightOut =
        boneWorldPosition(out, rightHand, true) - boneWorldPosition(out, rightArm, true);
    EXPECT_LT(angleDegrees(leftOut, {1, 0, 0}), 0.5f);
    EXPECT_LT(angleDegrees(rightOut, {-1, 0, 0}), 0.5f);
    // The hands keep their place along the arm (no half turn about it): the palm side that faced
    // the body hanging faces down when raised, exactly as the performer's.
    const glm::quat performerHand = clip->worldRotation(1, clip->findJoint("LeftHand"));
    const glm::quat defaultHand = worldRotation(out, leftHand);
    EXPECT_LT(angleDegrees(defaultHand * glm::vec3(0, 0, 1), performerHand * glm::vec3(0, 0, 1)),
              0.5f);
}

// Turning the performer's forearm about its own length turns the default forearm about its own,
// by the same angle: the twist is the performer's.
TEST(RetargeterTest, CarriesThePerformersTwist) {
    test::BvhBuilder take = test::humanoidTake(false);
    test::BvhFrame frame;
    frame.rootPosition = {0, 95, 0};
    frame.angles["LeftForeArm"] = {0, 90, 0};  // Z X Y: 90 degrees about x, the forearm's length
    const std::string path = test::temporaryPath("twist.bvh");
    take.write(path, {frame});
    auto clip = loadClip(path);
    std::remove(path.c_str());
    ASSERT_TRUE(clip);
    std::string error;
    std::optional<Retargeter> retargeter = Retargeter::create(clip, error);
    ASSERT_TRUE(retargeter) << error;
    const Skeleton posed = retargeter->pose(0);
    const int foreArm = findBone(posed, "LeftForeArm");
    const int hand = findBone(posed, "LeftHand");
    // Still pointing out to the left...
    EXPECT_LT(
        angleDegrees(boneWorldPosition(posed, hand, true) - boneWorldPosition(posed, foreArm, true),
                     {1, 0, 0}),
        0.5f);
    // ...but turned a quarter about it: its up axis now points forward, +z.
    EXPECT_LT(angleDegrees(worldRotation(posed, foreArm) * glm::vec3(0, 1, 0), {0, 0, 1}), 0.5f);
    // The upper arm is untouched.
    EXPECT_LT(angleDegrees(worldRotation(posed, findBone(posed, "LeftArm")) * glm::vec3(0, 1, 0),
                           {0, 1, 0}),
              0.5f);
}

TEST(PerformanceTest, FrameAtLoopsAndNeverLeavesTheTake) {
    Performance take;
    take.frameRate = 10.0;
    take.frames.resize(3);
    const struct {
        double rate, seconds;
        std::size_t frame;
    } cases[] = {{10.0, 0.0, 0},
                 {10.0, 0.25, 2},
                 {10.0, 0.35, 0},
                 {10.0, -0.05, 2},
                 // Products past a double's range start the loop again.
                 {1e308, 10.0, 0},
                 {10.0, std::numeric_limits<double>::infinity(), 0}};
    for (const auto& c : cases) {
        take.frameRate = c.rate;
        EXPECT_EQ(&take.frameAt(c.seconds), &take.frames[c.frame])
            << c.rate << " fps at " << c.seconds << " s";
    }
}

TEST(SyntheticPerformanceTest, WalksInPlaceAndLoopsCleanly) {
    const Performance walk = syntheticPerformance("synthetic", 2.0, 120.0);
    ASSERT_EQ(walk.frames.size(), 240u);
    const Skeleton& rest = defaultSkeleton().skeleton;
    const int leftFoot = findBone(rest, "LeftFoot"), rightFoot = findBone(rest, "RightFoot");
    const int leftHand = findBone(rest, "LeftHand"), leftArm = findBone(rest, "LeftArm");
    const int head = findBone(rest, "Head");
    float footSpread = 0.0f;
    for (const Skeleton& frame : walk.frames) {
        const glm::vec3 hips = boneWorldPosition(frame, 0, true);
        ASSERT_TRUE(std::isfinite(hips.x) && std::isfinite(hips.y) && std::isfinite(hips.z));
        EXPECT_LT(boneWorldPosition(frame, leftFoot, true).y, hips.y - 60.0f);
        EXPECT_GT(boneWorldPosition(frame, head, true).y, hips.y + 40.0f);
        // Arms hang: the hand is well below the shoulder joint.
        EXPECT_LT(boneWorldPosition(frame, leftHand, true).y,
                  boneWorldPosition(frame, leftArm, true).y - 30.0f);
        footSpread = std::max(footSpread, std::fabs(boneWorldPosition(frame, leftFoot, true).z -
                                                    boneWorldPosition(frame, rightFoot, true).z));
    }
    EXPECT_GT(footSpread, 30.0f);  // the legs really swing
    // The last frame leads smoothly into the first.
    const Skeleton& first = walk.frames.front();
    const Skeleton& last = walk.frames.back();
    for (int b = 0; b < rest.boneCount; ++b)
        EXPECT_TRUE(
            vecNear(boneWorldPosition(last, b, true), boneWorldPosition(first, b, true), 3.0f))
            << rest.bones[b].name;
}

}  // namespace
}  // namespace telmora
