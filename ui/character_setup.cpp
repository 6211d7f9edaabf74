#include "ui/character_setup.h"

#include <unordered_set>

using namespace ORSDK2026;

namespace telmora {
namespace {

struct LinkWalk {
    FBCharacter& character;
    int maxDepth;
    std::unordered_set<FBModel*> visited;
    int linked = 0;

    void visit(FBModel* model, int depth) {
        // A model met again (the hierarchy loops back, or a model sits under two parents) was
        // linked the first time; going on would link it twice and never end on a cycle.
        if (model == nullptr || depth > maxDepth || !visited.insert(model).second) return;
        const std::string linkName = std::string(model->Name.Get().Buffer()) + "Link";
        FBProperty* property = character.PropertyList.Find(linkName.c_str(), false);
        if (property != nullptr && property->IsList()) {
            auto* slot = dynamic_cast<FBPropertyBasicList*>(property);
            if (slot != nullptr && slot->Add(model) >= 0) ++linked;
        }
        // The count is read again after every child: linking may change the hierarchy.
        for (int i = 0; i < model->Children.GetCount(); ++i) visit(model->Children[i], depth + 1);
    }
};

}  // namespace

std::string characterNameFor(const std::string& subjectName) {
    if (subjectName.empty()) return "Telmora_Character";
    return "Telmora_" + subjectName + "_Character";
}

int LinkModelTree(FBCharacter& character, FBModel* root, int maxDepth) {
    LinkWalk walk{character, maxDepth, {}, 0};
    walk.visit(root, 0);
    return walk.linked;
}

}  // namespace telmora
