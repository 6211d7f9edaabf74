#include "tools/host/validate/validate.h"

#include <algorithm>
#include <array>
#include <optional>
#include <regex>

#include "tools/common/exit_status.h"
#include "tools/host/host_driver.h"
#include "tools/host/validate/check_context.h"

namespace telmora::host {

namespace {

// Every check, group by group, in the order they run.
const std::vector<Check>& checks() {
    static const std::vector<Check> all = [] {
        std::vector<Check> checks;
        for (std::vector<Check> (*group)() :
             {libraryChecks, deviceChecks, panelChecks, streamChecks, discoveryChecks}) {
            std::vector<Check> rows = group();
            checks.insert(checks.end(), rows.begin(), rows.end());
        }
        return checks;
    }();
    return all;
}

}  // namespace

std::vector<CheckInfo> validatorChecks() {
    std::vector<CheckInfo> infos;
    for (const Check& check : checks()) infos.push_back(check.info);
    return infos;
}

int runValidate(const ValidateOptions& options, Console& console) {
    std::regex only;
    try {
        only = std::regex(options.only.empty() ? std::string(".") : options.only);
    } catch (const std::regex_error& e) {
        console.line("--only: '" + options.only + "' is no regular expression: " + e.what());
        return kExitBadInput;
    }
    std::vector<const Check*> selected;
    for (const Check& check : checks()) {
        if (options.only.empty() || std::regex_search(check.info.name, only))
            selected.push_back(&check);
    }
    if (selected.empty()) {
        console.line("--only '" + options.only + "' selects no check (see --list)");
        return kExitBadInput;
    }
    console.line("Validating " + options.pluginPath);
    console.line("Seed " + std::to_string(options.seed) + " (repeat with --seed " +
                 std::to_string(options.seed) + ")");
    int passed = 0, failed = 0;
    fbhost::Host& host = fbhost::Host::instance();
    for (const Check* check : selected) {
        // Each check draws from its own stream, so --only repeats a check's actions exactly.
        std::seed_seq sequence{
            static_cast<std::uint32_t>(options.seed),
            static_cast<std::uint32_t>(options.seed >> 32),
            static_cast<std::uint32_t>(std::hash<std::string>{}(check->info.name))};
        std::array<std::uint64_t, 1> checkSeed{};
        sequence.generate(reinterpret_cast<std::uint32_t*>(checkSeed.data()),
                          reinterpret_cast<std::uint32_t*>(checkSeed.data()) + 2);
        CheckContext ctx(options, checkSeed[0]);
        const Clock::time_point start = Clock::now();
        std::optional<std::string> failure;
        try {
            host.clearFailures();
            check->run(ctx);
        } catch (const CheckFailure& f) {
            failure = f.reason;
        } catch (const std::exception& e) {
            failure = std::string("the harness caught ") + e.what();
        }
        host.reset();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char time[32];
        std::snprintf(time, sizeof(time), " [%.1f s]", seconds);
        if (!failure) {
            ++passed;
            console.line("PASS  " + check->info.name + ": " + ctx.summary + time);
            continue;
        }
        ++failed;
        console.line("FAIL  " + check->info.name + ": " + *failure + time);
        if (ctx.seeded)
            console.line("      random actions from seed " + std::to_string(options.seed) +
                         "; repeat with: --seed " + std::to_string(options.seed) + " --only '^" +
                         check->info.name + "$'");
        const std::size_t shown = std::min<std::size_t>(ctx.steps.size(), 40);
        console.line("      what was done, in order" +
                     (shown < ctx.steps.size() ? " (the last " + std::to_string(shown) + " of " +
                                                     std::to_string(ctx.steps.size()) + ")"
                                               : std::string()) +
                     ":");
        for (std::size_t i = ctx.steps.size() - shown; i < ctx.steps.size(); ++i)
            console.line("      " + std::to_string(i + 1) + ". " + ctx.steps[i]);
    }
    sharedLibrary().unload();
    console.line(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    return failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace telmora::host
