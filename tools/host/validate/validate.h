#pragma once
// `telmora-host validate`: the plug-in checked the way plug-in validators for audio hosts check
// theirs. Every check has a name and prints one verdict line; checks with random actions draw
// them from the run's seed, and a failure lists what was done, in order, to get there.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/host/console.h"

namespace telmora::host {

struct ValidateOptions {
    std::string pluginPath;
    std::uint64_t seed = 0;
    // Only the checks whose name this regular expression finds something in ("" : all).
    std::string only;
    // Smaller counts and shorter runs (for sanitizer builds): operation sequences up to three
    // long, fewer random panel actions, one second of malformed input.
    bool quick = false;
};

struct CheckInfo {
    std::string name;
    std::string description;
};

// The checks, in the order they run.
std::vector<CheckInfo> validatorChecks();

// Runs the selected checks, one verdict line each, then "N passed, M failed". Returns the exit
// status: 0 when every check passed, 3 when one failed, 2 for an --only that is no regular
// expression or selects nothing.
int runValidate(const ValidateOptions& options, Console& console);

}  // namespace telmora::host
