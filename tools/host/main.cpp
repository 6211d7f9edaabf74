// telmora-host: a headless host for the TelmoraLink plug-in. It loads the plug-in by path as a
// host does, validates it, and runs the user's whole session from the panel to a recorded,
// plotted and exported take.

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#if defined(__linux__)
#include <unistd.h>
#endif

#include "tools/common/command_line.h"
#include "tools/common/installed_file.h"
#include "tools/host/console.h"
#include "tools/host/session.h"
#include "tools/host/validate/validate.h"

namespace {

// The plug-in an installed host finds beside it, or else the one of the build it was built in.
std::string defaultPluginPath() {
    const std::string built = TELMORA_DEFAULT_PLUGIN;
    return telmora::installedOrBuilt("plugins/" + std::filesystem::path(built).filename().string(),
                                     built);
}

// `validate`: the plug-in's checks.
struct ValidateCommand {
    CLI::App* command = nullptr;
    telmora::host::ValidateOptions options;
    std::uint64_t seed = 0;
    bool list = false;
    std::string pluginOutput;
};

void addValidate(CLI::App& app, const std::string& defaultPlugin, ValidateCommand& v) {
    v.options.pluginPath = defaultPlugin;
    v.command = app.add_subcommand(
        "validate", "Check the plug-in: each check prints one verdict line, then a tally");
    v.command
        ->add_option(
            "plugin", v.options.pluginPath,
            "The plug-in library (default: the installed one beside this host, else this build's)")
        ->capture_default_str();
    v.command->add_option("--seed", v.seed, "Seed of the random actions (default: drawn)");
    v.command->add_option("--only", v.options.only,
                          "Run only the checks whose name matches this regular expression");
    v.command->add_flag("--list", v.list, "List the checks and exit");
    v.command->add_flag("--quick", v.options.quick,
                        "Smaller counts and shorter runs (sanitizer builds)");
    v.command->add_option(
        "--plugin-output", v.pluginOutput,
        "File for the plug-in's own output lines (and a sanitizer's reports); default: none");
}

CLI::App* addSession(CLI::App& app, const std::string& defaultPlugin,
                     telmora::host::SessionOptions& session) {
    session.pluginPath = defaultPlugin;
    CLI::App* command = app.add_subcommand(
        "session", "The user's session: panel, Init, online, record, plot, Characterize, export");
    command
        ->add_option(
            "plugin", session.pluginPath,
            "The plug-in library (default: the installed one beside this host, else this build's)")
        ->capture_default_str();
    command->add_option("--source", session.source, "Server (source) to pick")->required();
    command->add_option("--subject", session.subject, "Subject to pick")->required();
    command->add_option("--record", session.recordSeconds, "Seconds to record")
        ->required()
        ->check(telmora::kFiniteNumber)
        ->check(CLI::Range(0.05, 3600.0));
    command->add_option("--out", session.outDir, "Folder the files are written to")->required();
    command->add_option("--port", session.port, "Listening port typed into the panel")
        ->check(CLI::Range(1, 65535))
        ->capture_default_str();
    command
        ->add_option("--wait", session.waitSeconds,
                     "Seconds to wait for the source and subject to be announced")
        ->check(telmora::kFiniteNumber)
        ->check(CLI::Range(0.1, 3600.0))
        ->capture_default_str();
    command->add_option("--capture", session.captureFile,
                        "Also write every datagram of the session to this pcap file");
    return command;
}

CLI::App* addReplay(CLI::App& app, const std::string& defaultPlugin,
                    telmora::host::SessionOptions& replay) {
    replay.pluginPath = defaultPlugin;
    replay.waitSeconds = 2.0;
    CLI::App* command = app.add_subcommand(
        "replay",
        "Replay a captured stream through the plug-in, without network or waiting: record it "
        "whole, plot, Characterize and export as a session does");
    command->add_option("capture", replay.replayFile, "The capture (pcap or pcapng)")->required();
    command->add_option("--out", replay.outDir, "Folder the files are written to")->required();
    command->add_option("--plugin", replay.pluginPath, "The plug-in library")
        ->capture_default_str();
    command->add_option("--server", replay.source,
                        "Server whose stream to replay (default: the capture's longest)");
    command->add_option("--subject", replay.subject,
                        "Subject whose stream to replay (default: the capture's longest)");
    command->add_option("--rate", replay.rate,
                        "Recording rate: a rate in Hz, or 'stream' for one key per "
                        "captured frame at its capture time (default: the device's 60 Hz)");
    return command;
}

int runValidateCommand(ValidateCommand& v) {
    if (v.list) {
        telmora::host::Console console(false);
        for (const telmora::host::CheckInfo& check : telmora::host::validatorChecks())
            console.line(check.name + "  " + check.description);
        return telmora::kExitOk;
    }
    v.options.seed = v.command->count("--seed") ? v.seed : std::random_device{}();
    telmora::host::Console console(true, v.pluginOutput);
    return telmora::host::runValidate(v.options, console);
}

}  // namespace

// A session or a replay keeps every key of the take in memory: a 10-minute take touches more
// than a gigabyte. glibc backs its heap with transparent huge pages when asked, but only through
// GLIBC_TUNABLES as a program starts, so the program starts itself once more with it: some fifty
// times fewer page faults, about 1.5 s of a 10-minute replay. Tunables the caller set stand, and
// when the restart fails the program goes on as it is.
void restartWithHugePages([[maybe_unused]] char** argv) {
#if defined(__linux__)
    if (std::getenv("GLIBC_TUNABLES") != nullptr) return;
    if (setenv("GLIBC_TUNABLES", "glibc.malloc.hugetlb=1", 1) != 0) return;
    execv("/proc/self/exe", argv);
    unsetenv("GLIBC_TUNABLES");
#endif
}

int main(int argc, char** argv) {
    CLI::App app{
        "Headless host for the TelmoraLink plug-in: validate it, run a whole session and "
        "export the take, or replay a capture.\nExit status: 0 success, 1 no server or subject "
        "heard in time (or the listening port is in use), 2 bad arguments (or a capture that "
        "cannot be read or holds no Telmora stream), 3 the plug-in failed a check "
        "or a session step, 4 the take was written with gaps without frames or cut short by "
        "the stream's end.",
        "telmora-host"};
    app.require_subcommand(1);
    const std::string defaultPlugin = defaultPluginPath();
    ValidateCommand validate;
    addValidate(app, defaultPlugin, validate);
    telmora::host::SessionOptions session, replay;
    addSession(app, defaultPlugin, session);
    CLI::App* replayCommand = addReplay(app, defaultPlugin, replay);

    if (const std::optional<int> status = telmora::parseCommandLine(app, argc, argv)) {
        return *status;
    }
    if (*validate.command) return runValidateCommand(validate);
    restartWithHugePages(argv);
    return telmora::host::runSession(*replayCommand ? replay : session);
}
