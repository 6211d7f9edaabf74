#pragma once
// The take read back from the host after a session: the recorded keys of the device's nodes,
// the plotted models' keys, and the spans without keys.

#include <fbsdk/fbsdk.h>

#include <vector>

#include "tools/host/session.h"
#include "tools/host/session_steps.h"
#include "tools/take_export/take_export.h"

namespace telmora::host {

// The spans of a recording from `start` to `end` (take time, seconds) without keys: longer than
// three sampling periods between two keys, before the first or after the last. The device keys
// one sample per host step while frames come, none while the stream is stale.
std::vector<StreamGap> keyGaps(const std::vector<double>& keyTimes, double start, double end,
                               double period);

// The device's own figures, frames received and solved, from the properties it publishes; the
// device refreshes them at every idle, so one runs first.
void readFrameCounters(ORSDK2026::FBDevice* device, SessionReport& report);

// Builds the take from the plotted models: local translation and rotation of every bone at
// every plotted key, and the host's global positions for the checks. Throws StepFailure when
// the plot is not whole.
void takeFromPlottedModels(ORSDK2026::FBModel* reference, double framePeriod, SessionReport& report,
                           ProgressBar& bar);

// One CSV row per recorded key of every bone (its translation and rotation node's keys), key by
// key, made as the file is written; valid while the device's curves stay as they are. Also
// counts the keys of every device node into the report.
TakeCsvRowSource recordedRows(ORSDK2026::FBDevice* device, SessionReport& report);

}  // namespace telmora::host
