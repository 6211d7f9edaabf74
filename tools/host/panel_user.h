#pragma once
// The user at a TelmoraLink device's settings panel: the controls found by their regions, as the
// user finds them on screen, and the few things the user does there.

#include <fbhost/host.h>

#include <chrono>
#include <optional>
#include <string>

namespace telmora::host {

struct PanelControls {
    ORSDK2026::FBDeviceLayout* layout = nullptr;
    ORSDK2026::FBList* sources = nullptr;         // "QVLinkSources"
    ORSDK2026::FBList* subjects = nullptr;        // "QVLinkSubjects"
    ORSDK2026::FBEdit* port = nullptr;            // "EditNetworkPort"
    ORSDK2026::FBButton* connect = nullptr;       // "ButtonConnect"
    ORSDK2026::FBButton* characterize = nullptr;  // "CharacterizeButton"
    ORSDK2026::FBLabel* portState = nullptr;      // "LabelPortState": "" or why not listening
    ORSDK2026::FBLabel* streamHealth = nullptr;   // "LabelStreamHealth"
    ORSDK2026::FBButton* capture = nullptr;       // "ButtonCapture": the raw-capture switch
    ORSDK2026::FBEdit* captureFolder = nullptr;   // "EditCaptureFolder"
};

// The panel's controls; nothing, with `error` naming the missing region, when one is not there.
std::optional<PanelControls> findPanelControls(ORSDK2026::FBDeviceLayout* layout,
                                               std::string& error);

// Types `port` into the listening-port field and clicks Connect.
void applyListeningPort(const PanelControls& panel, int port);

// Types `folder` into the capture folder field and switches raw capture on.
void switchOnCapture(const PanelControls& panel, const std::string& folder);

// Waits (running the host's idle) until `text` is an item of `list`, then picks it. False when it
// did not appear within `timeout`.
bool waitAndPick(ORSDK2026::FBList& list, const std::string& text,
                 std::chrono::milliseconds timeout);

}  // namespace telmora::host
