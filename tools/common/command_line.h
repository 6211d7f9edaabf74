#pragma once
// Command-line parsing shared by the tools: CLI11's own help and error texts, with the tools'
// exit statuses (0 after --help or --version, 2 for bad arguments), and --version on every
// program.

#include <CLI/CLI.hpp>
#include <cmath>
#include <optional>
#include <string>

#include "telmora/version.h"
#include "tools/common/exit_status.h"

namespace telmora {

// A number option's check: NaN and the infinities are no numbers a user means (CLI11's ranges
// let NaN through, as every comparison with it is false).
inline const CLI::Validator kFiniteNumber(
    [](std::string& input) -> std::string {
        double value = 0.0;
        if (!CLI::detail::lexical_cast(input, value)) return "not a number: " + input;
        return std::isfinite(value) ? std::string() : "must be a finite number, not " + input;
    },
    "FINITE");

// What --version prints: "<program> <version>".
inline std::string versionLine(const CLI::App& app) {
    return app.get_name() + " " + kVersion;
}

// Parses the arguments into `app`'s options, --version added. Returns the exit status to end
// with when the program should stop here (help or version printed, or usage and the error
// printed), nothing otherwise.
inline std::optional<int> parseCommandLine(CLI::App& app, int argc, char** argv) {
    app.set_version_flag("--version", versionLine(app), "Print the version and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help or --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadInput;
    }
    return std::nullopt;
}

}  // namespace telmora
