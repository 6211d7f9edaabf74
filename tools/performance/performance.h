#pragma once
// A performance ready to stream: the default skeleton posed for every captured frame, either
// retargeted from a recorded take or made up by the built-in synthetic walk.

#include <optional>
#include <string>
#include <vector>

#include "motion/skeleton.h"

namespace telmora {

struct Performance {
    // Subject name the sender offers it under.
    std::string name;
    // Captured frames per second.
    double frameRate = 120.0;
    // One posed default skeleton per frame (see retarget.h for axes and units).
    std::vector<Skeleton> frames;
    // The performer standing at rest: the default skeleton at the performer's scale, every
    // rotation the identity (the reference the sensor frames' rotations and heights refer to).
    Skeleton rest;
    // Scale of the posed skeletons against the default skeleton (the performer's size).
    float performerScale = 1.0f;

    double durationSeconds() const { return frames.empty() ? 0.0 : frames.size() / frameRate; }
    // The frame shown `seconds` after the start, looping.
    const Skeleton& frameAt(double seconds) const;
};

// Imports a take and retargets it. On failure returns nothing and sets `error` to the importer's
// message or to the list of missing bones.
std::optional<Performance> loadPerformance(const std::string& path, const std::string& name,
                                           std::string& error);

// The built-in synthetic motion: a walk in place at one stride per second, default size, looping
// cleanly after `seconds` (rounded to whole strides).
Performance syntheticPerformance(const std::string& name, double seconds = 2.0,
                                 double frameRate = 120.0);

}  // namespace telmora
