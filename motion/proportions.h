#pragma once
// The proportion stage of the body solver: the character's pose nodes reshaped to the
// performer's spine length, shoulder width and limb segment lengths before anything is rotated.

#include "motion/pose_node_list.h"
#include "motion/sensor_frame.h"
#include "motion/solver_common.h"

namespace telmora {

// Reshapes poseNodes (local positions only) to the performer's measurements in `frame`
// (skeleton axes, spine target doubled): spine length, shoulder width (only when the frame
// carries auxiliary values) and the mean upper/lower arm and leg segment lengths. A spine, arm
// or leg length that is not positive and finite leaves the segments it would set (for a limb,
// both sides' upper and lower segments) as they are.
struct ProportionJob {
    // The performer's frame, already in the skeleton's axes.
    const SensorFrame* frame = nullptr;
    const BoneSlotMap* slotMap = nullptr;
    PoseNodeList* poseNodes = nullptr;  // output

    // Frame, slot map and node list given.
    bool Validate() const;
    // Validates, then fits. False, with nothing touched, when the job is not valid.
    bool Run() const;
};

}  // namespace telmora
