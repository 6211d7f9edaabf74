#include "tools/monitor/pose_picture.h"

#include "motion/skeleton.h"
#include "tools/common/skeleton_picture.h"

namespace telmora {

bool writePosePicture(const std::string& path, const std::vector<CapturedPose>& poses,
                      const std::string& title, std::string& error, int maxMoments) {
    if (poses.empty()) {
        error = "no solved frame to draw";
        return false;
    }
    // The monitor's table is built on the default skeleton: its names give each bone's style.
    const Skeleton& names = defaultSkeleton().skeleton;
    const int boneCount = poses.front().boneCount;
    std::vector<PictureBone> bones;
    for (int b = 0; b < boneCount; ++b) {
        const char* name = b < names.boneCount ? names.bones[b].name : "";
        bones.push_back(pictureBoneFromName(name, poses.front().parents[b]));
    }
    std::vector<PictureMoment> moments;
    moments.reserve(poses.size());
    for (const CapturedPose& pose : poses) {
        PictureMoment moment;
        moment.seconds = pose.seconds;
        moment.positions.assign(pose.bonePositions.begin(),
                                pose.bonePositions.begin() + pose.boneCount);
        moment.markers.assign(pose.targets.begin(), pose.targets.end());
        moments.push_back(std::move(moment));
    }
    return writeSkeletonPicture(path, bones, moments, title, error, maxMoments);
}

}  // namespace telmora
