// Characterize: a host character from the models bound to the device's template tree, linked
// by name ("Hips" goes into the character's "HipsLink" slot).
#pragma once

#include <fbsdk/fbsdk.h>

#include <string>

namespace telmora {

// "Telmora_Character" without a subject, otherwise "Telmora_" + subject + "_Character" with
// the subject as it is (the list's placeholder included).
std::string characterNameFor(const std::string& subjectName);

// Links `root` and the models under it, depth first and parents before children, into the
// character's "<model name>Link" list properties; models without such a property are passed
// over and their children still visited. Each model is linked at most once, and the walk goes
// no deeper than `maxDepth` levels below the root, so a hierarchy with a cycle, or one far
// deeper than any skeleton, ends. Returns the number of models linked.
int LinkModelTree(ORSDK2026::FBCharacter& character, ORSDK2026::FBModel* root, int maxDepth);

}  // namespace telmora
