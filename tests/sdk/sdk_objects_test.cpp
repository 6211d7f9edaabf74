// The object model: registration, handles, events, type numbers, nodes, characters.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fbhost/host.h"
#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;
using fbhost::Host;

HIObject nothing(HIObject, const char*, void*) {
    return nullptr;
}

class SdkObjects : public ::testing::Test {
protected:
    void SetUp() override { Host::instance().reset(); }
    void TearDown() override { Host::instance().reset(); }
};

TEST_F(SdkObjects, RegistrationRefusals) {
    const struct {
        const char* what;
        const char* group;
        const char* entry;
        FBObjectCreationFunction creator;
        bool accepted;
    } cases[] = {
        {"first registration", "Tests/Objects", "Thing", nothing, true},
        {"same pair again", "Tests/Objects", "Thing", nothing, false},
        {"same entry, other group", "Tests/Other", "Thing", nothing, true},
        {"null group", nullptr, "Thing2", nothing, false},
        {"empty entry", "Tests/Objects", "", nothing, false},
        {"null factory", "Tests/Objects", "Thing3", nullptr, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FBObject_Register(c.group, c.entry, "d", c.creator, true, "i.png"), c.accepted)
            << c.what;
    }
    const fbhost::Registration* r = Host::instance().findRegistration("Tests/Objects", "Thing");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->description, "d");
    EXPECT_EQ(r->icon, "i.png");
}

TEST_F(SdkObjects, HandlesOfUnknownObjectsGiveNull) {
    auto model = std::make_unique<FBModel>("m");
    const HIObject handle = model->GetHIObject();
    EXPECT_EQ(FBGetFBObject(handle), model.get());
    int foreign = 0;
    EXPECT_EQ(FBGetFBObject(nullptr), nullptr);
    EXPECT_EQ(FBGetFBObject(&foreign), nullptr);
    model.reset();
    EXPECT_EQ(FBGetFBObject(handle), nullptr) << "a destroyed object's handle is stale";
    FBDelete(nullptr);
}

TEST_F(SdkObjects, TypeNumbers) {
    EXPECT_GT(FBPlug::mGlobalTypeInfo, FBDevice::TypeInfo);
    FBDevice device("d");
    EXPECT_TRUE(device.Is(FBDevice::TypeInfo));
    EXPECT_TRUE(device.Is(FBBox::TypeInfo));
    EXPECT_TRUE(device.Is(FBComponent::TypeInfo));
    EXPECT_FALSE(device.Is(FBModel::TypeInfo));
    EXPECT_FALSE(device.Is(FBPlug::mGlobalTypeInfo));
}

struct Listener : ICallback {
    std::vector<std::string> calls;
    FBPropertyEvent* event = nullptr;
    void First(HISender, HKEvent) {
        calls.push_back("first");
        event->Remove(this, (FBCallback)&Listener::Second);
    }
    void Second(HISender, HKEvent) { calls.push_back("second"); }
    void Throws(HISender, HKEvent) { throw std::runtime_error("handler failed"); }
    void Third(HISender, HKEvent) { calls.push_back("third"); }
};

TEST_F(SdkObjects, EventsSurviveRemovalAndThrowingHandlers) {
    FBPropertyEvent event;
    Listener listener;
    listener.event = &event;
    event.Add(&listener, (FBCallback)&Listener::First);
    event.Add(&listener, (FBCallback)&Listener::First);  // same pair: once
    event.Add(&listener, (FBCallback)&Listener::Second);
    event.Add(&listener, (FBCallback)&Listener::Throws);
    event.Add(&listener, (FBCallback)&Listener::Third);
    EXPECT_EQ(event.GetCount(), 4);
    event.Fire(nullptr);
    EXPECT_EQ(listener.calls, (std::vector<std::string>{"first", "third"}));
    ASSERT_EQ(Host::instance().failures().size(), 1u);
    EXPECT_EQ(Host::instance().failures()[0].what, "handler failed");
    event.Remove(&listener, (FBCallback)&Listener::Third);
    event.Remove(&listener, (FBCallback)&Listener::Third);  // twice: harmless
    EXPECT_EQ(event.GetCount(), 2);
}

TEST_F(SdkObjects, NodeDestroyedTwiceAndDeviceBaseBehaviour) {
    FBDevice device("d");
    FBAnimationNode* node = device.AnimationNodeOutCreate(7, "n T", "Lcl Translation");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->Reference.Get(), 7u);
    EXPECT_STREQ(node->GetDataType(), "Lcl Translation");
    FBModelTemplate t("P", "t", kFBModelTemplateSkeleton);
    t.Bindings.Add(node);
    device.AnimationNodeDestroy(node);
    device.AnimationNodeDestroy(node);
    EXPECT_EQ(t.Bindings.GetCount(), 0) << "a destroyed node leaves every list";
    EXPECT_FALSE(device.DeviceOperation(kOpInit));
    device.AckOneSampleReceived();
    device.AckOneSampleReceived();
    EXPECT_EQ(Host::instance().samplesAcknowledged(&device), 2);
    struct StatusListener : ICallback {
        int count = 0;
        void Changed(HISender, HKEvent) { ++count; }
    } listener;
    device.OnStatusChange.Add(&listener, (FBCallback)&StatusListener::Changed);
    device.Status = "one";
    device.Status = "two";
    EXPECT_EQ(listener.count, 2);
    EXPECT_EQ(Host::instance().statusTexts(&device), (std::vector<std::string>{"one", "two"}));
}

TEST_F(SdkObjects, ProgressIndicatorsAreRecorded) {
    {
        FBProgress progress;
        progress.Caption = "Device";
        progress.Text = "Initializing device...";
        progress.ProgressBegin();
        progress.Text = "Initializing device...";
        progress.Text = "Done";
        progress.ProgressDone();
        progress.Caption = "Second";
    }
    const auto shown = Host::instance().progressShown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].caption, "Device");
    EXPECT_EQ(shown[0].texts, (std::vector<std::string>{"Initializing device...", "Done"}));
    EXPECT_TRUE(shown[0].done);
    EXPECT_EQ(shown[1].caption, "Second");
    EXPECT_TRUE(shown[1].done) << "an indicator is done when it goes away";
}

// Characterisation needs every required slot linked; one missing refuses it.
TEST_F(SdkObjects, CharacterizeNeedsTheRequiredLinks) {
    const std::vector<std::string> required = {
        "Hips",        "Spine",        "Head",     "LeftArm",   "RightArm",
        "LeftForeArm", "RightForeArm", "LeftHand", "RightHand", "LeftUpLeg",
        "RightUpLeg",  "LeftLeg",      "RightLeg", "LeftFoot",  "RightFoot"};
    std::vector<std::unique_ptr<FBModel>> models;
    for (const std::string& bone : required)
        models.push_back(std::make_unique<FBModel>(bone.c_str()));
    for (std::size_t missing = 0; missing <= required.size(); ++missing) {
        auto* character = new FBCharacter("c");
        for (std::size_t i = 0; i < required.size(); ++i) {
            if (i == missing) continue;
            FBProperty* slot = character->PropertyList.Find((required[i] + "Link").c_str(), false);
            ASSERT_NE(slot, nullptr) << required[i];
            ASSERT_TRUE(slot->IsList());
            static_cast<FBPropertyListModel*>(slot)->Add(models[i].get());
        }
        const bool complete = missing == required.size();
        EXPECT_EQ(character->SetCharacterizeOn(true), complete) << "missing " << missing;
        EXPECT_EQ(character->GetCharacterize(), complete);
    }
    EXPECT_EQ(Host::instance().characters().size(), required.size() + 1);
    EXPECT_EQ(Host::instance().characterLinks(Host::instance().characters().back()).size(),
              required.size());
    Host::instance().reset();
    EXPECT_TRUE(Host::instance().characters().empty()) << "the scene owns characters made with new";
}

}  // namespace
