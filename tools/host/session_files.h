#pragma once
// What a session leaves behind: the panel's picture, the take's files, the capture moved into
// place, session.json, and the summary lines.

#include <fbsdk/fbsdk.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tools/host/console.h"
#include "tools/host/session.h"
#include "tools/host/session_steps.h"
#include "tools/take_export/take_export.h"

namespace telmora::host {

// The panel as the user sees it streaming (with its health line), as DIR/panel.png. Builds
// without cairo (Windows) leave the picture out and say so; the rest of the session is the same.
void drawPanelPicture(ORSDK2026::FBDeviceLayout& layout, const std::filesystem::path& out,
                      SessionReport& report, Console& console);

// Moves the device's capture of the session to `file`.
void keepCapture(ORSDK2026::FBDevice* device, const std::string& file, SessionReport& report);

// The take's files, written side by side (each writer is independent of the others and of the
// host): take.glb, take.bvh, take.csv and take.png, less those this build cannot write.
void writeTakeFiles(const std::filesystem::path& out, const TakeCsvRowSource& rows,
                    const std::string& title, SessionReport& report, Steps& steps);

// DIR/session.json: what happened, however far the session got.
void writeSessionJson(const SessionOptions& options, SessionReport& report);

// The closing lines: the figures, the gaps, where the stream ended, the files written.
void printSummary(const SessionOptions& options, const SessionReport& report, Console& console,
                  const std::string& pluginLog);

}  // namespace telmora::host
