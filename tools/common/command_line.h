#pragma once
// Command-line parsing shared by the tools: CLI11's own help and error texts, with the tools'
// exit statuses (0 after --help, 2 for bad arguments).

#include <CLI/CLI.hpp>
#include <optional>

namespace telmora {

constexpr int kExitBadInput = 2;

// Parses the arguments into `app`'s options. Returns the exit status to end with when the
// program should stop here (help printed, or usage and the error printed), nothing otherwise.
inline std::optional<int> parseCommandLine(CLI::App& app, int argc, char** argv) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitBadInput;
    }
    return std::nullopt;
}

}  // namespace telmora
