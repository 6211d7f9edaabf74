// Panel pictures in a build without cairo (e.g. the Windows cross build): nothing can be drawn,
// and every request says why.
#include "fbhost/host.h"

namespace fbhost {

bool Host::canDrawPanels() {
    return false;
}

bool Host::drawPanel(ORSDK2026::FBLayout& /*layout*/, int /*width*/, int /*height*/,
                     const std::string& /*pngPath*/, std::string* error) {
    if (error) *error = "this build draws no panel pictures (built without cairo)";
    return false;
}

}  // namespace fbhost
