// Animation: curves, binding with global values, recording and plotting.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "fbhost/host.h"
#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;
using fbhost::Host;

FBTime seconds(double s) {
    FBTime t;
    t.SetSecondDouble(s);
    return t;
}

class SdkAnimation : public ::testing::Test {
protected:
    void SetUp() override { Host::instance().reset(); }
    void TearDown() override { Host::instance().reset(); }
};

// Keys (time s, value) of the x channel, the interpolation of every key, and the value expected
// at a time.
TEST_F(SdkAnimation, KeysInterpolate) {
    using Keys = std::vector<std::pair<double, double>>;
    const Keys bump = {{0.0, 0.0}, {1.0, 10.0}, {2.0, 0.0}};
    const Keys line = {{0.0, 0.0}, {1.0, 10.0}, {3.0, 30.0}};
    const struct {
        const char* what;
        Keys keys;
        FBInterpolation interpolation;
        double time;
        double expected;
    } cases[] = {
        {"constant holds the earlier key", bump, kFBInterpolationConstant, 0.9, 0.0},
        {"linear halfway", bump, kFBInterpolationLinear, 0.5, 5.0},
        {"linear on the way down", bump, kFBInterpolationLinear, 1.25, 7.5},
        {"cubic passes through a key", bump, kFBInterpolationCubic, 1.0, 10.0},
        {"cubic keeps a straight line, uneven keys", line, kFBInterpolationCubic, 2.0, 20.0},
        {"cubic between keys of a bump lies above the chord", bump, kFBInterpolationCubic, 0.5,
         6.25},
        {"before the first key", bump, kFBInterpolationCubic, -1.0, 0.0},
        {"after the last key", line, kFBInterpolationLinear, 9.0, 30.0},
    };
    for (const auto& c : cases) {
        FBAnimationNode node("n", "Lcl Translation");
        for (const auto& [t, v] : c.keys) {
            double value[3] = {v, 0.0, -v};
            node.KeyAdd(seconds(t), value, c.interpolation);
        }
        double out[3];
        node.Evaluate(out, seconds(c.time));
        EXPECT_NEAR(out[0], c.expected, 1e-9) << c.what;
        EXPECT_NEAR(out[2], -c.expected, 1e-9) << c.what;
    }
}

TEST_F(SdkAnimation, KeyAtAnExistingTimeReplacesIt) {
    FBAnimationNode node("n", "Lcl Translation");
    double a[3] = {1, 2, 3}, b[3] = {4, 5, 6};
    node.KeyAdd(seconds(2), a);
    node.KeyAdd(seconds(1), a);
    node.KeyAdd(seconds(2), b);
    ASSERT_EQ(node.KeyCount(), 2);
    EXPECT_EQ(node.GetKey(0).time, seconds(1));
    EXPECT_EQ(node.GetKey(1).value[0], 4.0);
    double nan[3] = {std::nan(""), 0, 0};
    EXPECT_FALSE(node.WriteData(nan));
    node.KeyAdd(seconds(3), nan);
    EXPECT_EQ(node.KeyCount(), 2) << "no NaN reaches a curve";
}

// A device with a parent template and a child template, each bound to a translation and a
// rotation node; the test writes the nodes itself.
struct TwoBoneDevice : FBDevice {
    TwoBoneDevice() : FBDevice("two bones") {
        parentT = AnimationNodeOutCreate(1, "Parent T", "Lcl Translation");
        parentR = AnimationNodeOutCreate(2, "Parent R", "Lcl Rotation");
        childT = AnimationNodeOutCreate(3, "Child T", "Lcl Translation");
        childR = AnimationNodeOutCreate(4, "Child R", "Lcl Rotation");
        parent.Bindings.Add(parentT);
        parent.Bindings.Add(parentR);
        child.Bindings.Add(childT);
        child.Bindings.Add(childR);
        parent.Children.Add(&child);
        ModelTemplate.Add(&parent);
    }
    bool DeviceOperation(kDeviceOperations operation) override { return operation == kOpStart; }
    FBModelTemplate parent{"T", "Parent", kFBModelTemplateSkeleton};
    FBModelTemplate child{"T", "Child", kFBModelTemplateSkeleton};
    FBAnimationNode *parentT, *parentR, *childT, *childR;
};

void write(FBAnimationNode* node, double x, double y, double z, bool global) {
    double v[3] = {x, y, z};
    global ? node->WriteGlobalData(v) : node->WriteData(v);
}

TEST_F(SdkAnimation, GlobalValuesBecomeLocalThroughTheParent) {
    Host& host = Host::instance();
    TwoBoneDevice device;
    FBModel* root = host.bindTemplates(&device);
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->Name.Get(), "Parent");
    FBModel* child = host.findModel("Child");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->Parent.Get(), root);
    EXPECT_EQ(device.child.Model.Get(), child);

    // Parent at (10, 0, 0) turned a quarter about z; the child globally at (10, 5, 0), turned the
    // same: locally it sits 5 along the parent's x and is not turned.
    write(device.parentT, 10, 0, 0, true);
    write(device.parentR, 0, 0, 90, true);
    write(device.childT, 10, 5, 0, true);
    write(device.childR, 0, 0, 90, true);
    host.evaluate();
    const FBVector3d t = child->Translation;
    const FBVector3d r = child->Rotation;
    EXPECT_NEAR(t[0], 5.0, 1e-9);
    EXPECT_NEAR(t[1], 0.0, 1e-9);
    EXPECT_NEAR(r[2], 0.0, 1e-9);
    FBMatrix global;
    child->GetMatrix(global);
    EXPECT_NEAR(global(0, 3), 10.0, 1e-9);
    EXPECT_NEAR(global(1, 3), 5.0, 1e-9);

    // Local values are taken as they are.
    write(device.childT, 1, 2, 3, false);
    host.evaluate();
    EXPECT_NEAR(static_cast<FBVector3d>(child->Translation)[2], 3.0, 1e-12);
    host.unbindTemplates(&device);
    EXPECT_EQ(device.child.Model.Get(), nullptr);
}

TEST_F(SdkAnimation, AnimationToRecordOnlyWhileRecording) {
    Host& host = Host::instance();
    TwoBoneDevice online, offline;
    ASSERT_TRUE(host.setOnline(&online, true));
    EXPECT_EQ(online.parentT->GetAnimationToRecord(), nullptr);
    ASSERT_TRUE(host.startRecording());
    EXPECT_EQ(online.parentT->GetAnimationToRecord(), online.parentT);
    EXPECT_EQ(offline.parentT->GetAnimationToRecord(), nullptr)
        << "an offline device records nothing";
    EXPECT_EQ(FBPlayerControl::TheOne().GetTransportMode(), kFBTransportPlay);
    ASSERT_TRUE(host.stopRecording());
    EXPECT_EQ(online.parentT->GetAnimationToRecord(), nullptr);
    EXPECT_EQ(FBPlayerControl::TheOne().GetTransportMode(), kFBTransportStop);
}

// Recorded global keys at 0 s and 4 s (linear); the take spans [1 s, stop]; plotting keys the
// selected bound model at every period step with the value the scene has there.
TEST_F(SdkAnimation, PlotKeysEveryStepOverTheSpan) {
    const struct {
        double stop;
        double period;
        std::vector<double> keyTimes;
    } cases[] = {
        {2.0, 0.25, {1.0, 1.25, 1.5, 1.75, 2.0}},
        {2.1, 0.5, {1.0, 1.5, 2.0}},  // the stop off a step is not keyed
        {2.0, 0.0, {}},               // no period: nothing
    };
    for (const auto& c : cases) {
        Host& host = Host::instance();
        host.reset();
        TwoBoneDevice device;
        host.bindTemplates(&device);
        FBModel* parent = host.findModel("Parent");
        ASSERT_NE(parent, nullptr);
        for (double s : {0.0, 4.0}) {
            write(device.parentT, 0, 0, 0, true);  // the nodes' values are global
            double t[3] = {8.0 * s, 0, 0};
            device.parentT->KeyAdd(seconds(s), t, kFBInterpolationLinear);
        }
        FBTake* take = FBSystem::TheOne().CurrentTake;
        take->LocalTimeSpan = FBTimeSpan(seconds(1.0), seconds(c.stop));
        parent->Selected = true;
        EXPECT_EQ(take->PlotTakeOnSelected(seconds(c.period)), c.period > 0.0);
        FBAnimationNode* plotted = parent->Translation.GetAnimationNode();
        ASSERT_EQ(plotted->KeyCount(), static_cast<int>(c.keyTimes.size()));
        for (int i = 0; i < plotted->KeyCount(); ++i) {
            EXPECT_EQ(plotted->GetKey(i).time, seconds(c.keyTimes[i]));
            EXPECT_NEAR(plotted->GetKey(i).value[0], 8.0 * c.keyTimes[i], 1e-9);
        }
        EXPECT_TRUE(host.models().size() >= 2);
        host.unbindTemplates(&device);
    }
}

}  // namespace
