#include "tools/host/session.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "network/log_writer.h"
#include "tools/host/host_driver.h"
#include "tools/host/panel_user.h"
#include "tools/host/replay_plan.h"

namespace telmora::host {

using namespace ORSDK2026;
using namespace std::chrono_literals;

namespace {

constexpr int kPanelWidth = 320;
constexpr int kPanelHeight = 348;
constexpr const char* kDeviceEntry = "TelmoraLink";

// A session step failed: what the step was, why, and the exit status it ends with.
// The spans of a recording from `start` to `end` (take time, seconds) without keys: longer than
// three sampling periods between two keys, before the first or after the last. The device keys
// one sample per host step while frames come, none while the stream is stale.
std::vector<StreamGap> keyGaps(const std::vector<double>& keyTimes, double start, double end,
                               double period) {
    std::vector<StreamGap> gaps;
    const double longest = 3.0 * period;
    double previous = start;
    for (double t : keyTimes) {
        if (t - previous > longest) gaps.push_back({previous, t - previous});
        previous = t;
    }
    if (end - previous > longest) gaps.push_back({previous, end - previous});
    return gaps;
}

struct StepFailure {
    int status;
    std::string reason;
};

// A bar redrawn in place on a terminal; elsewhere only its last state is written, as one line.
class ProgressBar {
public:
    ProgressBar(Console& console, std::string label)
        : console_(console), label_(std::move(label)), terminal_(console.isTerminal()) {}
    void update(double fraction, const std::string& detail) {
        fraction = std::clamp(fraction, 0.0, 1.0);
        const int percent = static_cast<int>(fraction * 100.0);
        if (percent == lastPercent_ && detail == lastDetail_) return;
        lastPercent_ = percent;
        lastDetail_ = detail;
        if (terminal_) console_.write("\r" + text(fraction, detail) + "\033[K");
    }
    void finish(const std::string& detail) {
        if (terminal_) {
            console_.write("\r" + text(1.0, detail) + "\033[K\n");
        } else {
            console_.line(text(1.0, detail));
        }
    }

private:
    std::string text(double fraction, const std::string& detail) const {
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(fraction * kWidth);
        char percent[8];
        std::snprintf(percent, sizeof(percent), "%3d%%", static_cast<int>(fraction * 100.0));
        return "  " + label_ + " [" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " + percent + "  " +
               detail;
    }
    Console& console_;
    std::string label_;
    bool terminal_;
    int lastPercent_ = -1;
    std::string lastDetail_;
};

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f s", seconds);
    return text;
}

// The device's own figures, frames received and solved, from the properties it publishes; the
// device refreshes them at every idle, so one runs first.
void readFrameCounters(FBDevice* device, SessionReport& report) {
    fbhost::Host::instance().runIdle();
    report.framesSolved = deviceFigure(device, "FramesSolved").value_or(0);
    report.framesReceived = deviceFigure(device, "FramesReceived").value_or(0);
}

struct PlottedJoint {
    FBModel* model = nullptr;
    int parent = -1;
};

// The bone models under the model bound to "Reference", parents before children.
std::vector<PlottedJoint> boneModels(FBModel* reference) {
    std::vector<PlottedJoint> joints;
    std::vector<std::pair<FBModel*, int>> pending;
    for (int i = reference->Children.GetCount() - 1; i >= 0; --i)
        pending.emplace_back(reference->Children[i], -1);
    while (!pending.empty()) {
        auto [model, parent] = pending.back();
        pending.pop_back();
        const int index = static_cast<int>(joints.size());
        joints.push_back({model, parent});
        for (int i = model->Children.GetCount() - 1; i >= 0; --i)
            pending.emplace_back(model->Children[i], index);
    }
    return joints;
}

std::vector<FBTime> keyTimes(FBAnimationNode* node) {
    std::vector<FBTime> times;
    for (int i = 0; i < node->KeyCount(); ++i) times.push_back(node->GetKey(i).time);
    return times;
}

// Builds the take from the plotted models: local translation and rotation of every bone at
// every plotted key, and the host's global positions for the checks.
void takeFromPlottedModels(FBModel* reference, double framePeriod, SessionReport& report,
                           ProgressBar& bar) {
    fbhost::Host& host = fbhost::Host::instance();
    const std::vector<PlottedJoint> joints = boneModels(reference);
    if (joints.empty()) throw StepFailure{kSessionStepFailed, "no bone model under 'Reference'"};
    const std::vector<FBTime> times =
        keyTimes(joints.front().model->Translation.GetAnimationNode());
    if (times.empty()) throw StepFailure{kSessionStepFailed, "the plot left no keys"};
    Take& take = report.take;
    take.framePeriod = framePeriod;
    for (const PlottedJoint& joint : joints)
        take.joints.push_back({joint.model->Name.Get().str(), joint.parent});
    std::vector<FBMatrix> jointGlobals(joints.size());
    for (std::size_t k = 0; k < times.size(); ++k) {
        const FBTime t = times[k];
        take.times.push_back(t.GetSecondDouble());
        std::vector<JointPose> poses;
        std::vector<glm::dvec3> globals;
        // The host's own transforms, each joint's global from its parent's (parents come
        // first): one matrix product per joint rather than a walk up the chain.
        const FBMatrix referenceGlobal = host.modelGlobalMatrix(reference, t);
        for (std::size_t j = 0; j < joints.size(); ++j) {
            const PlottedJoint& joint = joints[j];
            const FBVector3d translation = host.modelTranslation(joint.model, t);
            const FBVector3d rotation = host.modelRotation(joint.model, t);
            JointPose pose;
            pose.translation = {translation[0], translation[1], translation[2]};
            pose.rotation = {rotation[0], rotation[1], rotation[2]};
            poses.push_back(pose);
            const FBMatrix& parentGlobal =
                joint.parent < 0 ? referenceGlobal
                                 : jointGlobals[static_cast<std::size_t>(joint.parent)];
            jointGlobals[j] = parentGlobal * host.modelLocalMatrix(joint.model, t);
            const FBMatrix& global = jointGlobals[j];
            globals.emplace_back(global(0, 3), global(1, 3), global(2, 3));
        }
        take.poses.push_back(std::move(poses));
        report.plottedGlobalPositions.push_back(std::move(globals));
        bar.update(static_cast<double>(k + 1) / static_cast<double>(times.size()),
                   std::to_string(k + 1) + "/" + std::to_string(times.size()) + " keys read");
    }
    // Every bone must be keyed at the same times as the first.
    for (const PlottedJoint& joint : joints) {
        if (keyTimes(joint.model->Translation.GetAnimationNode()) != times ||
            keyTimes(joint.model->Rotation.GetAnimationNode()) != times)
            throw StepFailure{kSessionStepFailed, "bone '" +
                                                      std::string(joint.model->Name.Get().str()) +
                                                      "' is plotted at other times than the hips"};
    }
    // The root joints' poses are relative to "Reference", which the plot leaves at rest.
    const FBMatrix referenceMatrix = host.modelGlobalMatrix(reference, times.front());
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (std::abs(referenceMatrix(r, c) - (r == c ? 1.0 : 0.0)) > 1e-9)
                throw StepFailure{kSessionStepFailed, "the 'Reference' model is not at rest"};
}

// One CSV row per recorded key of every bone: its translation and rotation node's keys.
std::vector<TakeCsvRow> recordedRows(FBDevice* device, SessionReport& report) {
    fbhost::Host& host = fbhost::Host::instance();
    std::vector<TakeCsvRow> rows;
    const std::vector<FBAnimationNode*> nodes = host.deviceNodes(device);
    for (FBAnimationNode* node : nodes)
        report.keysPerNode[node->Name.Get().str()] = node->KeyCount();
    struct Bone {
        std::string name;
        std::vector<FBKey> translation, rotation;
    };
    std::vector<Bone> bones;
    for (FBAnimationNode* node : nodes) {
        const std::string name = node->Name.Get().str();
        if (name.size() < 3 || name.compare(name.size() - 2, 2, " T") != 0) continue;
        const std::string bone = name.substr(0, name.size() - 2);
        FBAnimationNode* rotation = host.findNode(device, bone + " R");
        if (!rotation) continue;
        bones.push_back({bone, host.keys(node), host.keys(rotation)});
    }
    std::size_t keyCount = 0;
    for (const Bone& bone : bones) keyCount = std::max(keyCount, bone.translation.size());
    rows.reserve(keyCount * bones.size());
    for (std::size_t k = 0; k < keyCount; ++k) {
        for (const Bone& bone : bones) {
            if (k >= bone.translation.size() || k >= bone.rotation.size()) continue;
            const FBKey& t = bone.translation[k];
            const FBKey& r = bone.rotation[k];
            TakeCsvRow row;
            row.time = t.time.GetSecondDouble();
            row.bone = bone.name;
            row.translation = {t.value[0], t.value[1], t.value[2]};
            row.rotation = {r.value[0], r.value[1], r.value[2]};
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

nlohmann::json reportJson(const SessionOptions& options, const SessionReport& report) {
    nlohmann::json json;
    json["plugin"] = options.pluginPath;
    if (options.replayFile.empty()) {
        json["source"] = options.source;
        json["recordSeconds"] = options.recordSeconds;
    } else {
        json["source"] = "replay";
        json["capture"] = options.replayFile;
        json["server"] = report.server;
        json["rate"] =
            options.rate.empty() ? nlohmann::json(nullptr) : nlohmann::json(options.rate);
    }
    json["subject"] = options.replayFile.empty() ? options.subject : report.subject;
    json["result"] = report.status == kSessionOk           ? "ok"
                     : report.status != kSessionIncomplete ? "failed"
                     : report.streamEndedAt                ? "stream-ended"
                                                           : "gaps";
    if (!report.failedStep.empty()) {
        json["failedStep"] = report.failedStep;
        json["failure"] = report.failure;
    }
    json["frames"] = {{"received", report.framesReceived}, {"solved", report.framesSolved}};
    json["recording"] = {
        {"inputNotifications", report.inputNotifications},
        {"samplesRecorded", report.samplesRecorded},
        {"samplesAcknowledged", report.samplesAcknowledged},
        {"firstKey", report.recordedTimes.empty() ? 0.0 : report.recordedTimes.front()},
        {"lastKey", report.recordedTimes.empty() ? 0.0 : report.recordedTimes.back()}};
    json["keysPerNode"] = report.keysPerNode;
    nlohmann::json gaps = nlohmann::json::array();
    for (const StreamGap& gap : report.streamGaps)
        gaps.push_back({{"start", gap.start}, {"seconds", gap.seconds}});
    json["streamGaps"] = gaps;
    json["streamEndedAt"] =
        report.streamEndedAt ? nlohmann::json(*report.streamEndedAt) : nlohmann::json(nullptr);
    const double span = report.plottedTimes.size() < 2
                            ? 0.0
                            : report.plottedTimes.back() - report.plottedTimes.front();
    json["plot"] = {{"keys", report.plottedTimes.size()},
                    {"start", report.plottedTimes.empty() ? 0.0 : report.plottedTimes.front()},
                    {"end", report.plottedTimes.empty() ? 0.0 : report.plottedTimes.back()},
                    {"span", span},
                    {"samplingPeriod", report.samplingPeriod},
                    {"joints", report.take.joints.size()}};
    json["statusTexts"] = report.statusTexts;
    json["character"] = {{"name", report.characterName},
                         {"characterized", report.characterized},
                         {"linkedSlots", report.characterLinks}};
    json["files"] = report.filesWritten;
    return json;
}

// The panel as the user sees it streaming (with its health line), as DIR/panel.png. Builds
// without cairo (Windows) leave the picture out and say so; the rest of the session is the same.
void drawPanelPicture(FBDeviceLayout& layout, const std::filesystem::path& out,
                      SessionReport& report, Console& console) {
    if (!fbhost::Host::canDrawPanels()) {
        console.line("  panel.png left out: this build draws no pictures (no cairo)");
        return;
    }
    std::string error;
    if (!fbhost::Host::instance().drawPanel(layout, kPanelWidth, kPanelHeight,
                                            (out / "panel.png").string(), &error))
        throw StepFailure{kSessionStepFailed, "panel.png: " + error};
    report.filesWritten.push_back((out / "panel.png").string());
}

// Records the replayed stream whole: from the moment the device went online, the host steps
// without waiting, either at the sampling rate until the stream is over or, keying each frame,
// to each datagram's due time. The device ends the stream (and goes offline) after its last
// datagram; that is the take's normal end.
void replayAndRecord(const ReplayPlan& plan, FBDevice* device, FBDeviceLayout& layout,
                     const std::filesystem::path& out, SessionReport& report,
                     const std::function<void(const std::string&)>& step, Console& console) {
    fbhost::Host& host = fbhost::Host::instance();
    const kLongLong start = host.localTime().Get();
    step("Replaying and recording " + formatSeconds(plan.seconds) +
         (plan.keyEachFrame ? ", a key for each frame" : ""));
    if (!host.startRecording())
        throw StepFailure{kSessionStepFailed, "the host did not start recording"};
    report.recordStart = host.localTime().GetSecondDouble();
    ProgressBar bar(console, "replaying");
    bool panelDrawn = false;
    // The panel refreshes at a display's pace, 30 times a second of the wall clock, not at
    // every step of a host that runs far faster than real time.
    const auto uiPeriod = std::chrono::milliseconds(33);
    Clock::time_point nextUiIdle = Clock::now();
    auto stepTo = [&](kLongLong ticks) {
        host.step(FBTime(start + ticks - host.localTime().Get()));
        if (Clock::now() >= nextUiIdle) {
            host.runIdle();
            nextUiIdle = Clock::now() + uiPeriod;
        } else {
            host.runSystemIdle();
        }
        ++report.inputNotifications;
        const double done =
            static_cast<double>(ticks) / static_cast<double>(FBTime::kTicksPerSecond);
        if (!panelDrawn && device->Online.Get() && done >= 1.0) {
            drawPanelPicture(layout, out, report, console);
            panelDrawn = true;
        }
        bar.update(plan.seconds > 0.0 ? done / plan.seconds : 1.0,
                   formatSeconds(done) + " of " + formatSeconds(plan.seconds));
        return device->Online.Get();
    };
    if (plan.keyEachFrame) {
        for (std::size_t i = 0; i < plan.due.size(); ++i) {
            if (i > 0 && plan.due[i] == plan.due[i - 1]) continue;  // handed over together
            if (!stepTo(plan.due[i])) break;
        }
    } else {
        // A second past the last datagram at most: the device ends the stream before.
        const kLongLong period = device->SamplingPeriod.Get().Get();
        const kLongLong last = plan.due.back() + FBTime::kTicksPerSecond;
        for (kLongLong t = 0; t <= last; t += period)
            if (!stepTo(t)) break;
    }
    report.recordEnd = host.localTime().GetSecondDouble();
    bar.finish(std::to_string(report.inputNotifications) + " host steps");
}

// Moves the device's capture of the session to `file`.
void keepCapture(FBDevice* device, const std::string& file, SessionReport& report) {
    const std::optional<std::string> captured = deviceText(device, "CapturePath");
    if (!captured || captured->empty())
        throw StepFailure{kSessionStepFailed, "the device wrote no capture"};
    std::error_code ec;
    std::filesystem::rename(*captured, file, ec);
    if (ec)
        throw StepFailure{kSessionStepFailed, "cannot move the capture " + *captured + " to " +
                                                  file + ": " + ec.message()};
    report.filesWritten.push_back(file);
}

// The take's files, written side by side (each writer is independent of the others and of the
// host): take.glb, take.bvh, take.csv and take.png, less those this build cannot write.
void writeTakeFiles(const std::filesystem::path& out, const std::vector<TakeCsvRow>& rows,
                    const std::string& title, SessionReport& report,
                    const std::function<void(const std::string&)>& step, Console& console) {
    struct File {
        File(const char* name, std::function<bool(const std::string&, std::string&)> write)
            : name(name), write(std::move(write)) {}
        const char* name;
        std::function<bool(const std::string&, std::string&)> write;
        std::string error;
        double seconds = 0.0;
        bool written = false;
    };
    const Take& take = report.take;
    std::vector<File> files;
    if (canWriteTakeGlb()) {
        files.emplace_back("take.glb", [&](const std::string& path, std::string& error) {
            return writeTakeGlb(path, take, error);
        });
    } else {
        console.line("  take.glb left out: this build writes no glTF (no tinygltf)");
    }
    files.emplace_back("take.bvh", [&](const std::string& path, std::string& error) {
        return writeTakeBvh(path, take, error);
    });
    files.emplace_back("take.csv", [&](const std::string& path, std::string& error) {
        return writeTakeCsv(path, rows, error);
    });
    if (canWriteTakePicture()) {
        files.emplace_back("take.png", [&](const std::string& path, std::string& error) {
            return writeTakePicture(path, take, title, error);
        });
    } else {
        console.line("  take.png left out: this build draws no pictures (no cairo)");
    }
    std::string names;
    for (const File& file : files) names += std::string(names.empty() ? "" : ", ") + file.name;
    step("Writing " + names + " to " + out.string());
    {
        std::vector<std::thread> writers;
        for (File& file : files) {
            writers.emplace_back([&file, &out] {
                const Clock::time_point start = Clock::now();
                // The writers catch what they throw; the thread only times them.
                file.written = file.write((out / file.name).string(), file.error);
                file.seconds = std::chrono::duration<double>(Clock::now() - start).count();
            });
        }
        for (std::thread& writer : writers) writer.join();
    }
    for (const File& file : files) {
        if (!file.written) throw StepFailure{kSessionStepFailed, file.error};
        std::error_code ec;
        char line[160];
        std::snprintf(line, sizeof line, "  %s: %.1f MB in %.2f s", file.name,
                      static_cast<double>(std::filesystem::file_size(out / file.name, ec)) / 1e6,
                      file.seconds);
        console.line(line);
        report.filesWritten.push_back((out / file.name).string());
    }
}

// Watches the live stream for a second, then records it for the options' length at the host's
// sampling rate, each step at its wall-clock moment.
void recordLive(const SessionOptions& options, FBDevice* device, FBAnimationNode* hips,
                FBDeviceLayout& layout, const std::filesystem::path& out, SessionReport& report,
                const std::function<void(const std::string&)>& step, Console& console) {
    fbhost::Host& host = fbhost::Host::instance();
    const FBTime period = device->SamplingPeriod.Get();
    const int stepsPerSecond = static_cast<int>(std::lround(1.0 / report.samplingPeriod));
    step("Watching for 1 s");
    PacedStepper stepper(period);
    int changes = 0;
    double last[3] = {0.0, 0.0, 0.0};
    for (int i = 0; i < stepsPerSecond; ++i) {
        stepper.step();
        double now[3];
        nodeValueFinite(hips, host.localTime(), now);
        if (now[0] != last[0] || now[1] != last[1] || now[2] != last[2]) ++changes;
        std::copy(now, now + 3, last);
    }
    if (changes == 0)
        throw StepFailure{kSessionNotHeard, "no frame of '" + options.subject + "' arrived in 1 s"};
    console.line("  the pose changed in " + std::to_string(changes) + " of " +
                 std::to_string(stepsPerSecond) + " evaluations");
    drawPanelPicture(layout, out, report, console);

    step("Recording " + formatSeconds(options.recordSeconds));
    if (!host.startRecording())
        throw StepFailure{kSessionStepFailed, "the host did not start recording"};
    const int recordSteps =
        std::max(1, static_cast<int>(std::lround(options.recordSeconds / report.samplingPeriod)));
    const double recordStart = host.localTime().GetSecondDouble();
    {
        ProgressBar bar(console, "recording");
        int stepsTaken = 0;
        for (int i = 0; i < recordSteps; ++i) {
            stepper.step();
            ++report.inputNotifications;
            ++stepsTaken;
            // The device goes offline through its idle handler when the stream ends.
            if (!device->Online.Get()) {
                report.streamEndedAt = host.localTime().GetSecondDouble();
                break;
            }
            bar.update(static_cast<double>(i + 1) / recordSteps,
                       formatSeconds((i + 1) * report.samplingPeriod) + " of " +
                           formatSeconds(options.recordSeconds));
        }
        bar.finish(report.streamEndedAt
                       ? "the stream ended at take time " + formatSeconds(*report.streamEndedAt)
                       : std::to_string(stepsTaken) + " host steps");
    }
    const double recordEnd = host.localTime().GetSecondDouble();
    report.recordStart = recordStart;
    report.recordEnd = recordEnd;
}

}  // namespace

SessionReport runSessionSteps(const SessionOptions& options, Console& console) {
    SessionReport report;
    fbhost::Host& host = fbhost::Host::instance();
    fbhost::PluginLibrary library;
    const std::filesystem::path out(options.outDir);
    const auto wait = std::chrono::milliseconds(static_cast<long>(options.waitSeconds * 1000.0));
    FBDevice* device = nullptr;
    std::string current;
    Clock::time_point stepStart = Clock::now();
    auto closeStep = [&] {
        const Clock::time_point now = Clock::now();
        if (!current.empty())
            report.stepSeconds.push_back(
                {current, std::chrono::duration<double>(now - stepStart).count()});
        stepStart = now;
    };
    auto step = [&](const std::string& text) {
        closeStep();
        current = text;
        console.line(text);
    };
    auto fail = [&](int status, const std::string& reason) { throw StepFailure{status, reason}; };
    const bool replaying = !options.replayFile.empty();
    std::string source = options.source;
    std::string subject = options.subject;
    std::optional<ReplayPlan> plan;
    try {
        step("Making the output folder " + options.outDir);
        std::error_code ec;
        std::filesystem::create_directories(out, ec);
        if (ec || !std::filesystem::is_directory(out, ec))
            fail(kSessionStepFailed, "cannot make the folder '" + options.outDir + "'" +
                                         (ec ? ": " + ec.message() : std::string()));

        if (replaying) {
            step("Reading the capture " + options.replayFile);
            std::string error;
            plan = planReplay(options.replayFile, options.source, options.subject, options.rate,
                              error);
            if (!plan) fail(kSessionBadInput, error);
            source = plan->server;
            subject = plan->subject;
            char line[160];
            std::snprintf(line, sizeof line, "  replaying %zu datagrams over %.2f s of '%s' / '%s'",
                          plan->due.size(), plan->seconds, escapeControlCharacters(source).c_str(),
                          escapeControlCharacters(subject).c_str());
            console.line(line);
        }
        report.server = source;
        report.subject = subject;

        step("Loading the plug-in " + options.pluginPath);
        if (!library.load(options.pluginPath) || !library.callEntryPoint(0))
            fail(kSessionStepFailed, library.error());

        step("Creating the device 'TelmoraLink'");
        std::string error;
        device = host.createDevice(kDeviceEntry, kDeviceEntry, &error);
        if (!device) fail(kSessionStepFailed, error);

        step("Opening its settings panel");
        FBDeviceLayout* layout = host.openPanel(device, &error);
        std::optional<PanelControls> panel = findPanelControls(layout, error);
        if (!panel) fail(kSessionStepFailed, error);
        if (replaying) {
            step("Setting its ReplayFile to the capture");
            if (!setDeviceText(device, "ReplayFile", options.replayFile))
                fail(kSessionStepFailed, "the device has no property 'ReplayFile'");
            host.runIdle();
            const std::vector<std::string> texts = host.statusTexts(device);
            if (!texts.empty() && texts.back().rfind("Replay failed: ", 0) == 0)
                fail(kSessionBadInput, texts.back());
        } else if (panel->port->Text.Get().str() != std::to_string(options.port)) {
            step("Typing the listening port " + std::to_string(options.port) +
                 " and clicking Connect");
            applyListeningPort(*panel, options.port);
        }
        // The panel says at once when the port cannot be listened on: nothing would be heard.
        if (!replaying && !std::string(panel->portState->Caption.Get().str()).empty())
            fail(kSessionNotHeard, "listening port " + std::to_string(options.port) + " is in use");
        if (!options.captureFile.empty()) {
            step("Switching on the raw capture");
            const std::filesystem::path folder =
                std::filesystem::absolute(options.captureFile).parent_path();
            switchOnCapture(*panel, folder.string());
        }

        step("Waiting for the source '" + source + "' (up to " +
             formatSeconds(options.waitSeconds) + ")");
        if (!waitAndPick(*panel->sources, source, wait)) {
            std::vector<std::string> heard = listItems(*panel->sources);
            heard.erase(heard.begin());  // "Select"
            std::string names;
            // Names come from the network: escaped, they cannot drive the terminal.
            for (const std::string& name : heard)
                names += (names.empty() ? "" : ", ") + escapeControlCharacters(name);
            fail(kSessionNotHeard,
                 "no source '" + source + "' announced on port " + std::to_string(options.port) +
                     (names.empty() ? " (none heard)" : " (heard: " + names + ")"));
        }
        step("Picking the subject '" + subject + "'");
        if (!waitAndPick(*panel->subjects, subject, wait))
            fail(kSessionNotHeard, "the source offers no subject '" + subject + "'");
        step("Init");
        if (!host.deviceOperation(device, kOpInit)) fail(kSessionStepFailed, "Init failed");

        step("Binding the templates to a new model tree");
        FBModel* reference = host.bindTemplates(device);
        if (!reference) fail(kSessionStepFailed, "the device has no templates to bind");

        if (plan && plan->period.Get() > 0) device->SamplingPeriod = plan->period;
        step("Going online");
        device->RecordMode = true;
        if (!host.setOnline(device, true)) {
            const std::vector<std::string> texts = host.statusTexts(device);
            fail(kSessionStepFailed, "the device did not go online (status '" +
                                         (texts.empty() ? std::string() : texts.back()) + "')");
        }
        const FBTime period = device->SamplingPeriod.Get();
        report.samplingPeriod = period.GetSecondDouble();
        if (!(report.samplingPeriod > 0.0))
            fail(kSessionStepFailed, "sampling period not positive");
        FBAnimationNode* hips = host.findNode(device, "Hips T");
        if (!hips) fail(kSessionStepFailed, "the device has no node 'Hips T'");
        if (replaying) {
            replayAndRecord(*plan, device, *layout, out, report, step, console);
        } else {
            recordLive(options, device, hips, *layout, out, report, step, console);
        }
        step("Stopping the recording");
        if (!host.stopRecording()) fail(kSessionStepFailed, "the host was not recording");
        report.samplesRecorded = hips->KeyCount();
        for (const FBKey& key : host.keys(hips))
            report.recordedTimes.push_back(key.time.GetSecondDouble());
        report.samplesAcknowledged = host.samplesAcknowledged(device);
        if (report.samplesRecorded == 0) fail(kSessionStepFailed, "nothing was recorded");
        report.streamGaps = keyGaps(report.recordedTimes, report.recordStart, report.recordEnd,
                                    report.samplingPeriod);

        step("Plotting (the device's idle handler)");
        {
            ProgressBar bar(console, "plotting");
            bar.update(0.0, "plotting the take");
            const Clock::time_point plotStart = Clock::now();
            host.runIdle();
            const double plotSeconds =
                std::chrono::duration<double>(Clock::now() - plotStart).count();
            takeFromPlottedModels(reference, report.samplingPeriod, report, bar);
            for (double t : report.take.times) report.plottedTimes.push_back(t);
            char detail[96];
            std::snprintf(detail, sizeof(detail), "%zu keys per bone, plotted in %.2f s",
                          report.take.times.size(), plotSeconds);
            bar.finish(detail);
        }

        step("Characterize");
        const std::size_t charactersBefore = host.characters().size();
        host.click(*panel->characterize);
        const std::vector<FBCharacter*> characters = host.characters();
        if (characters.size() != charactersBefore + 1)
            fail(kSessionStepFailed, "Characterize made no character");
        FBCharacter* character = characters.back();
        report.characterName = character->Name.Get().str();
        report.characterized = character->GetCharacterize();
        report.characterLinks = static_cast<int>(host.characterLinks(character).size());
        console.line("  '" + report.characterName + "': " + std::to_string(report.characterLinks) +
                     " slots linked, " +
                     (report.characterized ? "characterised" : "NOT characterised"));
        if (!report.characterized) fail(kSessionStepFailed, "the character is not characterised");

        step("Going offline");
        host.setOnline(device, false);
        readFrameCounters(device, report);
        report.statusTexts = host.statusTexts(device);
        if (!options.captureFile.empty()) keepCapture(device, options.captureFile, report);

        writeTakeFiles(out, recordedRows(device, report),
                       "TelmoraLink take: " + source + " / " + subject + ", " +
                           formatSeconds(report.take.times.back() - report.take.times.front()),
                       report, step, console);
    } catch (const StepFailure& failure) {
        report.status = failure.status;
        report.failedStep = current;
        report.failure = failure.reason;
        console.line("FAILED: " + current + ": " + failure.reason);
        if (device && host.holdsDevice(device)) {
            report.statusTexts = host.statusTexts(device);
            readFrameCounters(device, report);
        }
    }
    closeStep();
    for (const fbhost::PluginFailure& failure : host.failures()) {
        if (report.status == kSessionOk) {
            report.status = kSessionStepFailed;
            report.failedStep = failure.call;
            report.failure = "an exception left the plug-in: " + failure.what;
            console.line("FAILED: " + failure.call + ": " + failure.what);
        }
    }
    // A take with holes is written, but not reported as a good one.
    if (report.status == kSessionOk && (!report.streamGaps.empty() || report.streamEndedAt))
        report.status = kSessionIncomplete;
    // session.json is written whatever happened: it says how far the session got.
    std::error_code ec;
    if (std::filesystem::is_directory(out, ec)) {
        const std::string path = (out / "session.json").string();
        report.filesWritten.push_back(path);
        std::ofstream file(path);
        file << reportJson(options, report).dump(2) << "\n";
        if (!file) report.filesWritten.pop_back();
    }
    host.reset();
    library.unload();
    return report;
}

int runSession(const SessionOptions& options) {
    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    const std::string log = (std::filesystem::path(options.outDir) / "plugin.log").string();
    Console console(!ec, log);
    const SessionReport report = runSessionSteps(options, console);
    if (report.status == kSessionOk || report.status == kSessionIncomplete) {
        char line[200];
        std::snprintf(
            line, sizeof(line),
            "Done: %d samples recorded, %zu keys plotted over %.2f s, %llu frames "
            "received, %llu solved",
            report.samplesRecorded, report.take.times.size(),
            report.take.times.empty() ? 0.0 : report.take.times.back() - report.take.times.front(),
            static_cast<unsigned long long>(report.framesReceived),
            static_cast<unsigned long long>(report.framesSolved));
        console.line(line);
        if (!report.streamGaps.empty()) {
            double longest = 0.0;
            for (const StreamGap& gap : report.streamGaps) longest = std::max(longest, gap.seconds);
            std::snprintf(
                line, sizeof(line), "The take has %zu gap%s without frames, the longest %.2f s",
                report.streamGaps.size(), report.streamGaps.size() == 1 ? "" : "s", longest);
            console.line(line);
        }
        if (report.streamEndedAt) {
            std::snprintf(line, sizeof(line), "The stream ended at take time %.2f s",
                          *report.streamEndedAt);
            console.line(line);
        }
    }
    // Only what was written is pointed at.
    if (!report.filesWritten.empty()) {
        console.line("Files in " + options.outDir + ":");
        for (const std::string& file : report.filesWritten) console.line("  " + file);
    }
    if (std::filesystem::is_regular_file(log, ec))
        console.line("The plug-in's own output lines are in " + log);
    return report.status;
}

}  // namespace telmora::host
