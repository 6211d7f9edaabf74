#pragma once
// What every validator check works with: its context (options, its own random stream, the steps
// taken so far), the plug-in library shared by the checks, and the scene assertions they share.

#include <fbhost/host.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tools/host/validate/validate.h"

namespace telmora::host {

// A check failed: what went wrong.
struct CheckFailure {
    std::string reason;
};

// What a check has to work with, and what it did (for the failure report).
class CheckContext {
public:
    CheckContext(const ValidateOptions& options, std::uint64_t checkSeed)
        : options(options), seed(checkSeed), random(checkSeed) {}

    const ValidateOptions& options;
    std::uint64_t seed;
    std::mt19937_64 random;
    // The actions taken so far, in order; printed when the check fails.
    std::vector<std::string> steps;
    // Summary for the verdict line of a check that passed.
    std::string summary;
    // The check used random actions drawn from `seed`.
    bool seeded = false;

    void step(const std::string& what) { steps.push_back(what); }
    [[noreturn]] void fail(const std::string& reason) { throw CheckFailure{reason}; }
    void require(bool condition, const std::string& reason) {
        if (!condition) fail(reason);
    }
    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
};

struct Check {
    CheckInfo info;
    std::function<void(CheckContext&)> run;
};

// The checks of each group, in the order they run.
std::vector<Check> libraryChecks();
std::vector<Check> deviceChecks();
std::vector<Check> panelChecks();
std::vector<Check> streamChecks();
std::vector<Check> discoveryChecks();

// The plug-in library, loaded once for the checks that need it loaded.
fbhost::PluginLibrary& sharedLibrary();
// Loads the shared library and calls its entry point, unless it is loaded already.
void ensureLoaded(CheckContext& ctx);
// Fails with the first exception the host caught leaving the plug-in.
void requireNoPluginFailure(CheckContext& ctx);
// Fails unless every node value of `device` and every model's global matrix is finite at the
// host's current time.
void requireFiniteScene(CheckContext& ctx, ORSDK2026::FBDevice* device);
// Waits up to 2 s for the process to run at most `expected` threads.
bool waitForThreadCount(int expected);

std::string joined(const std::vector<std::string>& items);

}  // namespace telmora::host
