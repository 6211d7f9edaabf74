#include <algorithm>
#include <cmath>
#include <exception>

#include "tools/common/skeleton_picture.h"
#include "tools/take_export/take_export.h"
#include "tools/take_export/text_output.h"

namespace telmora {

bool writeTakePicture(const std::string& path, const Take& take, const std::string& title,
                      std::string& error, int moments) {
    return writeWithoutThrowing("the picture", error, [&] {
        if (!validateTake(take, error)) return false;
        std::vector<PictureBone> bones;
        bones.reserve(take.joints.size());
        for (const TakeJoint& joint : take.joints)
            bones.push_back(pictureBoneFromName(joint.name, joint.parent));
        // Only the keys drawn are evaluated; the picture picks the same evenly spread ones
        // from a list of that many moments.
        const std::size_t keyCount = take.times.size();
        const std::size_t count = moments < 1 ? 0 : std::min<std::size_t>(moments, keyCount);
        std::vector<PictureMoment> chosen(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t key =
                count == 1 ? 0
                           : static_cast<std::size_t>(std::lround(
                                 static_cast<double>(i) * (keyCount - 1.0) / (count - 1.0)));
            chosen[i].seconds = take.times[key];
            takeGlobalPositions(take, key, chosen[i].positions);
        }
        return writeSkeletonPicture(path, bones, chosen, title, error, moments);
    });
}

}  // namespace telmora
