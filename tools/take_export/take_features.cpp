// What this build can write: glTF needs tinygltf and the picture cairo, neither of which every
// platform's build has (the Windows cross build has neither). Without them the writers refuse
// with the reason, and callers that can go on without the file ask first.
#include "tools/take_export/take_export.h"

namespace telmora {

bool canWriteTakeGlb() {
    return TELMORA_HAVE_TINYGLTF != 0;
}

bool canWriteTakePicture() {
    return TELMORA_HAVE_CAIRO != 0;
}

#if !TELMORA_HAVE_TINYGLTF
bool writeTakeGlb(const std::string& path, const Take& /*take*/, std::string& error) {
    error = path + ": this build writes no glTF (built without tinygltf)";
    return false;
}
#endif

#if !TELMORA_HAVE_CAIRO
bool writeTakePicture(const std::string& path, const Take& /*take*/, const std::string& /*title*/,
                      std::string& error, int /*moments*/) {
    error = path + ": this build draws no pictures (built without cairo)";
    return false;
}
#endif

}  // namespace telmora
