#pragma once
// A picture of solved poses for a person to check at a glance: for each captured moment a front
// view (the performer facing the viewer, so their left is on the picture's right) above a side
// view (facing right), the bones drawn as lines (left side blue, right side red, trunk grey) and
// the points the frame asked for marked as green rings.

#include <string>
#include <vector>

#include "tools/monitor/stream_monitor.h"

namespace telmora {

// Writes a PNG of up to `maxMoments` poses, evenly chosen from `poses`. False, with the reason in
// `error`, when there is nothing to draw or the file cannot be written.
bool writePosePicture(const std::string& path, const std::vector<CapturedPose>& poses,
                      const std::string& title, std::string& error, int maxMoments = 6);

}  // namespace telmora
