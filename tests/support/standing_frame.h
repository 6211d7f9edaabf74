#pragma once
// Inputs the tests and the benchmarks share.

#include "motion/sensor_frame.h"

namespace telmora::test {

// A standing performer of the character's size, in the sender's axes: limbs slightly bent,
// spine upright, fingers out, format version 2 with shoulder points.
SensorFrame standingFrame();

}  // namespace telmora::test
