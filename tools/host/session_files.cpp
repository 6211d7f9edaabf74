#include "tools/host/session_files.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "tools/host/host_driver.h"

namespace telmora::host {

using namespace ORSDK2026;

namespace {

constexpr int kPanelWidth = 320;
constexpr int kPanelHeight = 348;

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
    json["result"] = report.status == kExitOk           ? "ok"
                     : report.status != kExitIncomplete ? "failed"
                     : report.streamEndedAt             ? "stream-ended"
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

}  // namespace

void drawPanelPicture(FBDeviceLayout& layout, const std::filesystem::path& out,
                      SessionReport& report, Console& console) {
    if (!fbhost::Host::canDrawPanels()) {
        console.line("  panel.png left out: this build draws no pictures (no cairo)");
        return;
    }
    std::string error;
    if (!fbhost::Host::instance().drawPanel(layout, kPanelWidth, kPanelHeight,
                                            (out / "panel.png").string(), &error))
        throw StepFailure{kExitFailed, "panel.png: " + error};
    report.filesWritten.push_back((out / "panel.png").string());
}

void keepCapture(FBDevice* device, const std::string& file, SessionReport& report) {
    const std::optional<std::string> captured = deviceText(device, "CapturePath");
    if (!captured || captured->empty())
        throw StepFailure{kExitFailed, "the device wrote no capture"};
    std::error_code ec;
    std::filesystem::rename(*captured, file, ec);
    if (ec)
        throw StepFailure{kExitFailed, "cannot move the capture " + *captured + " to " + file +
                                           ": " + ec.message()};
    report.filesWritten.push_back(file);
}

void writeTakeFiles(const std::filesystem::path& out, const TakeCsvRowSource& rows,
                    const std::string& title, SessionReport& report, Steps& steps) {
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
        steps.console.line("  take.glb left out: this build writes no glTF (no tinygltf)");
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
        steps.console.line("  take.png left out: this build draws no pictures (no cairo)");
    }
    std::string names;
    for (const File& file : files) names += std::string(names.empty() ? "" : ", ") + file.name;
    steps.begin("Writing " + names + " to " + out.string());
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
        if (!file.written) throw StepFailure{kExitFailed, file.error};
        std::error_code ec;
        char line[160];
        std::snprintf(line, sizeof line, "  %s: %.1f MB in %.2f s", file.name,
                      static_cast<double>(std::filesystem::file_size(out / file.name, ec)) / 1e6,
                      file.seconds);
        steps.console.line(line);
        report.filesWritten.push_back((out / file.name).string());
    }
}

void writeSessionJson(const SessionOptions& options, SessionReport& report) {
    const std::filesystem::path out(options.outDir);
    std::error_code ec;
    if (!std::filesystem::is_directory(out, ec)) return;
    const std::string path = (out / "session.json").string();
    report.filesWritten.push_back(path);
    std::ofstream file(path);
    file << reportJson(options, report).dump(2) << "\n";
    if (!file) report.filesWritten.pop_back();
}

void printSummary(const SessionOptions& options, const SessionReport& report, Console& console,
                  const std::string& pluginLog) {
    if (report.status == kExitOk || report.status == kExitIncomplete) {
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
    std::error_code ec;
    if (std::filesystem::is_regular_file(pluginLog, ec))
        console.line("The plug-in's own output lines are in " + pluginLog);
}

}  // namespace telmora::host
