// The session's steps in the user's order, each phase a function over what the session holds.

#include "tools/host/session.h"

#include <cstdio>
#include <filesystem>

#include "network/log_writer.h"
#include "tools/host/host_driver.h"
#include "tools/host/panel_user.h"
#include "tools/host/replay_plan.h"
#include "tools/host/session_files.h"
#include "tools/host/session_recording.h"
#include "tools/host/session_steps.h"
#include "tools/host/session_take.h"

namespace telmora::host {

using namespace ORSDK2026;

namespace {

constexpr const char* kDeviceEntry = "TelmoraLink";

// What the phases of one session share.
struct Session {
    Session(const SessionOptions& options, SessionReport& report, Steps& steps,
            fbhost::PluginLibrary& library)
        : options(options),
          report(report),
          steps(steps),
          host(fbhost::Host::instance()),
          library(library),
          out(options.outDir),
          wait(static_cast<long>(options.waitSeconds * 1000.0)),
          replaying(!options.replayFile.empty()),
          source(options.source),
          subject(options.subject) {}

    const SessionOptions& options;
    SessionReport& report;
    Steps& steps;
    fbhost::Host& host;
    fbhost::PluginLibrary& library;
    std::filesystem::path out;
    std::chrono::milliseconds wait;
    bool replaying = false;
    std::optional<ReplayPlan> plan;
    std::string source;
    std::string subject;
    FBDevice* device = nullptr;
    FBDeviceLayout* layout = nullptr;
    std::optional<PanelControls> panel;
    FBModel* reference = nullptr;
    FBAnimationNode* hips = nullptr;
};

// The output folder, the capture to replay, the plug-in and its device.
void loadPluginAndDevice(Session& s) {
    s.steps.begin("Making the output folder " + s.options.outDir);
    std::error_code ec;
    std::filesystem::create_directories(s.out, ec);
    if (ec || !std::filesystem::is_directory(s.out, ec))
        fail(kExitFailed, "cannot make the folder '" + s.options.outDir + "'" +
                              (ec ? ": " + ec.message() : std::string()));
    std::string error;
    if (s.replaying) {
        s.steps.begin("Reading the capture " + s.options.replayFile);
        s.plan = planReplay(s.options.replayFile, s.options.source, s.options.subject,
                            s.options.rate, error);
        if (!s.plan) fail(kExitBadInput, error);
        s.source = s.plan->server;
        s.subject = s.plan->subject;
        char line[160];
        std::snprintf(line, sizeof line, "  replaying %zu datagrams over %.2f s of '%s' / '%s'",
                      s.plan->due.size(), s.plan->seconds,
                      escapeControlCharacters(s.source).c_str(),
                      escapeControlCharacters(s.subject).c_str());
        s.steps.console.line(line);
    }
    s.report.server = s.source;
    s.report.subject = s.subject;

    s.steps.begin("Loading the plug-in " + s.options.pluginPath);
    if (!s.library.load(s.options.pluginPath) || !s.library.callEntryPoint(0))
        fail(kExitFailed, s.library.error());
    s.steps.begin("Creating the device 'TelmoraLink'");
    s.device = s.host.createDevice(kDeviceEntry, kDeviceEntry, &error);
    if (!s.device) fail(kExitFailed, error);
}

// The settings panel: the replay file or the listening port, and the raw capture.
void setUpPanel(Session& s) {
    s.steps.begin("Opening its settings panel");
    std::string error;
    s.layout = s.host.openPanel(s.device, &error);
    s.panel = findPanelControls(s.layout, error);
    if (!s.panel) fail(kExitFailed, error);
    if (s.replaying) {
        s.steps.begin("Setting its ReplayFile to the capture");
        if (!setDeviceText(s.device, "ReplayFile", s.options.replayFile))
            fail(kExitFailed, "the device has no property 'ReplayFile'");
        s.host.runIdle();
        const std::vector<std::string> texts = s.host.statusTexts(s.device);
        if (!texts.empty() && texts.back().rfind("Replay failed: ", 0) == 0)
            fail(kExitBadInput, texts.back());
    } else if (s.panel->port->Text.Get().str() != std::to_string(s.options.port)) {
        s.steps.begin("Typing the listening port " + std::to_string(s.options.port) +
                      " and clicking Connect");
        applyListeningPort(*s.panel, s.options.port);
    }
    // The panel says at once when the port cannot be listened on: nothing would be heard.
    if (!s.replaying && !std::string(s.panel->portState->Caption.Get().str()).empty())
        fail(kExitNotHeard, "listening port " + std::to_string(s.options.port) + " is in use");
    if (!s.options.captureFile.empty()) {
        s.steps.begin("Switching on the raw capture");
        const std::filesystem::path folder =
            std::filesystem::absolute(s.options.captureFile).parent_path();
        switchOnCapture(*s.panel, folder.string());
    }
}

void pickSourceAndSubject(Session& s) {
    s.steps.begin("Waiting for the source '" + s.source + "' (up to " +
                  formatSeconds(s.options.waitSeconds) + ")");
    if (!waitAndPick(*s.panel->sources, s.source, s.wait)) {
        std::vector<std::string> heard = listItems(*s.panel->sources);
        heard.erase(heard.begin());  // "Select"
        std::string names;
        // Names come from the network: escaped, they cannot drive the terminal.
        for (const std::string& name : heard)
            names += (names.empty() ? "" : ", ") + escapeControlCharacters(name);
        fail(kExitNotHeard, "no source '" + s.source + "' announced on port " +
                                std::to_string(s.options.port) +
                                (names.empty() ? " (none heard)" : " (heard: " + names + ")"));
    }
    s.steps.begin("Picking the subject '" + s.subject + "'");
    if (!waitAndPick(*s.panel->subjects, s.subject, s.wait))
        fail(kExitNotHeard, "the source offers no subject '" + s.subject + "'");
}

// Init, the templates bound to a new model tree, online with recording on.
void goOnline(Session& s) {
    s.steps.begin("Init");
    if (!s.host.deviceOperation(s.device, kOpInit)) fail(kExitFailed, "Init failed");
    s.steps.begin("Binding the templates to a new model tree");
    s.reference = s.host.bindTemplates(s.device);
    if (!s.reference) fail(kExitFailed, "the device has no templates to bind");

    if (s.plan && s.plan->period.Get() > 0) s.device->SamplingPeriod = s.plan->period;
    s.steps.begin("Going online");
    s.device->RecordMode = true;
    if (!s.host.setOnline(s.device, true)) {
        const std::vector<std::string> texts = s.host.statusTexts(s.device);
        fail(kExitFailed, "the device did not go online (status '" +
                              (texts.empty() ? std::string() : texts.back()) + "')");
    }
    s.report.samplingPeriod = s.device->SamplingPeriod.Get().GetSecondDouble();
    if (!(s.report.samplingPeriod > 0.0)) fail(kExitFailed, "sampling period not positive");
    s.hips = s.host.findNode(s.device, "Hips T");
    if (!s.hips) fail(kExitFailed, "the device has no node 'Hips T'");
}

// Stops the recording and lets the device's idle handler plot it; reads the plot back.
void stopAndPlot(Session& s) {
    SessionReport& report = s.report;
    s.steps.begin("Stopping the recording");
    if (!s.host.stopRecording()) fail(kExitFailed, "the host was not recording");
    report.samplesRecorded = s.hips->KeyCount();
    for (const FBKey& key : s.host.keys(s.hips))
        report.recordedTimes.push_back(key.time.GetSecondDouble());
    report.samplesAcknowledged = s.host.samplesAcknowledged(s.device);
    if (report.samplesRecorded == 0) fail(kExitFailed, "nothing was recorded");
    report.streamGaps =
        keyGaps(report.recordedTimes, report.recordStart, report.recordEnd, report.samplingPeriod);

    s.steps.begin("Plotting (the device's idle handler)");
    ProgressBar bar(s.steps.console, "plotting");
    bar.update(0.0, "plotting the take");
    const Clock::time_point plotStart = Clock::now();
    s.host.runIdle();
    const double plotSeconds = std::chrono::duration<double>(Clock::now() - plotStart).count();
    takeFromPlottedModels(s.reference, report.samplingPeriod, report, bar);
    for (double t : report.take.times) report.plottedTimes.push_back(t);
    char detail[96];
    std::snprintf(detail, sizeof(detail), "%zu keys per bone, plotted in %.2f s",
                  report.take.times.size(), plotSeconds);
    bar.finish(detail);
}

void characterize(Session& s) {
    SessionReport& report = s.report;
    s.steps.begin("Characterize");
    const std::size_t charactersBefore = s.host.characters().size();
    s.host.click(*s.panel->characterize);
    const std::vector<FBCharacter*> characters = s.host.characters();
    if (characters.size() != charactersBefore + 1)
        fail(kExitFailed, "Characterize made no character");
    FBCharacter* character = characters.back();
    report.characterName = character->Name.Get().str();
    report.characterized = character->GetCharacterize();
    report.characterLinks = static_cast<int>(s.host.characterLinks(character).size());
    s.steps.console.line("  '" + report.characterName +
                         "': " + std::to_string(report.characterLinks) + " slots linked, " +
                         (report.characterized ? "characterised" : "NOT characterised"));
    if (!report.characterized) fail(kExitFailed, "the character is not characterised");
}

void goOfflineAndWrite(Session& s) {
    s.steps.begin("Going offline");
    s.host.setOnline(s.device, false);
    readFrameCounters(s.device, s.report);
    s.report.statusTexts = s.host.statusTexts(s.device);
    if (!s.options.captureFile.empty()) keepCapture(s.device, s.options.captureFile, s.report);
    const Take& take = s.report.take;
    writeTakeFiles(s.out, recordedRows(s.device, s.report),
                   "TelmoraLink take: " + s.source + " / " + s.subject + ", " +
                       formatSeconds(take.times.back() - take.times.front()),
                   s.report, s.steps);
}

// The outcome whatever happened: an exception that left the plug-in fails the session, and a
// take with holes is written but not reported as a good one.
void settleStatus(SessionReport& report, fbhost::Host& host, Console& console) {
    for (const fbhost::PluginFailure& failure : host.failures()) {
        if (report.status == kExitOk) {
            report.status = kExitFailed;
            report.failedStep = failure.call;
            report.failure = "an exception left the plug-in: " + failure.what;
            console.line("FAILED: " + failure.call + ": " + failure.what);
        }
    }
    if (report.status == kExitOk && (!report.streamGaps.empty() || report.streamEndedAt))
        report.status = kExitIncomplete;
}

}  // namespace

SessionReport runSessionSteps(const SessionOptions& options, Console& console) {
    SessionReport report;
    Steps steps(console, report);
    fbhost::PluginLibrary library;
    Session s(options, report, steps, library);
    try {
        loadPluginAndDevice(s);
        setUpPanel(s);
        pickSourceAndSubject(s);
        goOnline(s);
        if (s.replaying)
            replayAndRecord(*s.plan, s.device, *s.layout, s.out, report, steps);
        else
            recordLive(options, s.device, s.hips, *s.layout, s.out, report, steps);
        stopAndPlot(s);
        characterize(s);
        goOfflineAndWrite(s);
    } catch (const StepFailure& failure) {
        report.status = failure.status;
        report.failedStep = steps.current();
        report.failure = failure.reason;
        console.line("FAILED: " + steps.current() + ": " + failure.reason);
        if (s.device && s.host.holdsDevice(s.device)) {
            report.statusTexts = s.host.statusTexts(s.device);
            readFrameCounters(s.device, report);
        }
    }
    steps.close();
    settleStatus(report, s.host, console);
    writeSessionJson(options, report);
    s.host.reset();
    library.unload();
    return report;
}

int runSession(const SessionOptions& options) {
    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    const std::string log = (std::filesystem::path(options.outDir) / "plugin.log").string();
    Console console(!ec, log);
    const SessionReport report = runSessionSteps(options, console);
    printSummary(options, report, console, log);
    return report.status;
}

}  // namespace telmora::host
