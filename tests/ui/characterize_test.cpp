// One click on Characterize: a host character from the models bound to the device's templates.
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "panel_fixture.h"

namespace telmora::test {
namespace {

using namespace ORSDK2026;

class CharacterizeTest : public PanelTest {
protected:
    // Every bone of the device's template tree, by name.
    std::set<std::string> boneNames() const {
        std::set<std::string> names;
        std::vector<FBModelTemplate*> pending;
        for (int i = 0; i < device->ModelTemplate.GetCount(); ++i)
            for (int c = 0; c < device->ModelTemplate[i]->Children.GetCount(); ++c)
                pending.push_back(device->ModelTemplate[i]->Children[c]);
        while (!pending.empty()) {
            FBModelTemplate* bone = pending.back();
            pending.pop_back();
            names.insert(bone->Name.Get().str());
            for (int c = 0; c < bone->Children.GetCount(); ++c)
                pending.push_back(bone->Children[c]);
        }
        return names;
    }

    // The character's link slots: list properties named "<bone>Link".
    static std::vector<std::string> linkSlots(FBCharacter& character) {
        std::vector<std::string> slots;
        for (int i = 0; i < character.PropertyList.GetCount(); ++i) {
            FBProperty* property = character.PropertyList[i];
            const std::string name = property->GetName();
            if (property->IsList() && name.size() > 4 && name.rfind("Link") == name.size() - 4)
                slots.push_back(name);
        }
        return slots;
    }
};

TEST_F(CharacterizeTest, BeforeInitCreatesNothing) {
    pickSubjectAnnounced("Actor");
    host.click(panel->buttonCharacterize);
    EXPECT_TRUE(host.characters().empty());
}

TEST_F(CharacterizeTest, WithoutABoundModelCreatesAnEmptyUncharacterisedCharacter) {
    ASSERT_TRUE(host.deviceOperation(device, kOpInit));
    for (const auto& [subject, name] :
         std::vector<std::pair<std::string, std::string>>{{"", "Telmora_Character"},
                                                          {"Actor", "Telmora_Actor_Character"},
                                                          {"Select", "Telmora_Select_Character"}}) {
        if (subject == "Select")
            host.pick(panel->listSubjects, 0);  // the user picks the list's placeholder
        else if (!subject.empty())
            pickSubjectAnnounced(subject);
        host.click(panel->buttonCharacterize);
        ASSERT_FALSE(host.characters().empty());
        FBCharacter* character = host.characters().back();
        EXPECT_EQ(character->Name.Get().str(), name);
        EXPECT_TRUE(host.characterLinks(character).empty()) << name;
        EXPECT_FALSE(character->GetCharacterize()) << name;
    }
    // Each click makes one more character.
    EXPECT_EQ(host.characters().size(), 3u);
}

TEST_F(CharacterizeTest, LinksEveryBoundBodyBoneByNameAndCharacterises) {
    ASSERT_TRUE(host.deviceOperation(device, kOpInit));
    ASSERT_NE(host.bindTemplates(device), nullptr);
    pickSubjectAnnounced("Actor");
    host.click(panel->buttonCharacterize);

    ASSERT_EQ(host.characters().size(), 1u);
    FBCharacter* character = host.characters().front();
    EXPECT_EQ(character->Name.Get().str(), "Telmora_Actor_Character");
    EXPECT_TRUE(character->GetCharacterize());

    // Every slot named after a bone holds exactly that bone's model; the rest stay empty.
    const std::set<std::string> bones = boneNames();
    std::size_t expectedLinks = 0;
    for (const std::string& slot : linkSlots(*character)) {
        const std::string bone = slot.substr(0, slot.size() - 4);
        if (bones.count(bone) != 0) ++expectedLinks;
    }
    EXPECT_GT(expectedLinks, 15u);
    const auto links = host.characterLinks(character);
    EXPECT_EQ(links.size(), expectedLinks);
    for (const auto& [slot, models] : links) {
        ASSERT_EQ(models.size(), 1u) << slot;
        EXPECT_EQ(std::string(models[0]->Name.Get().str()) + "Link", slot);
        EXPECT_EQ(models[0], host.findModel(models[0]->Name.Get().str()));
    }
}

TEST_F(CharacterizeTest, StopsOnACycleAndBelowTheSkeletonsDepth) {
    ASSERT_TRUE(host.deviceOperation(device, kOpInit));
    FBModel* reference = host.bindTemplates(device);
    ASSERT_NE(reference, nullptr);
    FBModel* hips = host.findModel("Hips");
    FBModel* head = host.findModel("Head");
    ASSERT_NE(hips, nullptr);
    ASSERT_NE(head, nullptr);
    // The head's children lead back to the hips: a cycle through the whole body.
    head->Children.Add(hips);
    // And a chain of 100 models under the head whose far end carries a bone's name.
    std::vector<std::unique_ptr<FBModel>> chain;
    FBModel* parent = head;
    for (int depth = 0; depth < 100; ++depth) {
        const std::string name = depth == 99 ? "LeftFoot" : "Chain" + std::to_string(depth);
        chain.push_back(std::make_unique<FBModel>(name.c_str()));
        parent->Children.Add(chain.back().get());
        parent = chain.back().get();
    }
    host.click(panel->buttonCharacterize);

    ASSERT_EQ(host.characters().size(), 1u);
    for (const auto& [slot, models] : host.characterLinks(host.characters().front())) {
        // Every model once; the deep "LeftFoot" lies beyond any skeleton and is not reached.
        ASSERT_EQ(models.size(), 1u) << slot;
        if (slot == "LeftFootLink") {
            EXPECT_EQ(models[0], host.findModel("LeftFoot"));
        }
    }
    EXPECT_TRUE(host.failures().empty());
    head->Children.Remove(hips);
    head->Children.Remove(chain.front().get());
}

}  // namespace
}  // namespace telmora::test
