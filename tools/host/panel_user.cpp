#include "tools/host/panel_user.h"

#include "tools/host/host_driver.h"

namespace telmora::host {

using namespace ORSDK2026;

std::optional<PanelControls> findPanelControls(FBDeviceLayout* layout, std::string& error) {
    if (!layout) {
        error = "no panel";
        return std::nullopt;
    }
    PanelControls panel;
    panel.layout = layout;
    panel.sources = findControlOf<FBList>(*layout, "QVLinkSources");
    panel.subjects = findControlOf<FBList>(*layout, "QVLinkSubjects");
    panel.port = findControlOf<FBEdit>(*layout, "EditNetworkPort");
    panel.connect = findControlOf<FBButton>(*layout, "ButtonConnect");
    panel.characterize = findControlOf<FBButton>(*layout, "CharacterizeButton");
    panel.portState = findControlOf<FBLabel>(*layout, "LabelPortState");
    panel.streamHealth = findControlOf<FBLabel>(*layout, "LabelStreamHealth");
    panel.capture = findControlOf<FBButton>(*layout, "ButtonCapture");
    panel.captureFolder = findControlOf<FBEdit>(*layout, "EditCaptureFolder");
    const char* missing = !panel.sources         ? "a list in region QVLinkSources"
                          : !panel.subjects      ? "a list in region QVLinkSubjects"
                          : !panel.port          ? "an edit field in region EditNetworkPort"
                          : !panel.connect       ? "a button in region ButtonConnect"
                          : !panel.characterize  ? "a button in region CharacterizeButton"
                          : !panel.portState     ? "a label in region LabelPortState"
                          : !panel.streamHealth  ? "a label in region LabelStreamHealth"
                          : !panel.capture       ? "a button in region ButtonCapture"
                          : !panel.captureFolder ? "an edit field in region EditCaptureFolder"
                                                 : nullptr;
    if (missing) {
        error = std::string("the panel has no ") + missing;
        return std::nullopt;
    }
    return panel;
}

void applyListeningPort(const PanelControls& panel, int port) {
    fbhost::Host& host = fbhost::Host::instance();
    host.type(*panel.port, std::to_string(port));
    host.click(*panel.connect);
}

void switchOnCapture(const PanelControls& panel, const std::string& folder) {
    fbhost::Host& host = fbhost::Host::instance();
    host.type(*panel.captureFolder, folder);
    if (panel.capture->State.Get() != 1) host.click(*panel.capture);
}

bool waitAndPick(FBList& list, const std::string& text, std::chrono::milliseconds timeout) {
    fbhost::Host& host = fbhost::Host::instance();
    if (!pumpUntil([&] { return listIndexOf(list, text) >= 0; }, timeout, [&] { host.runIdle(); }))
        return false;
    host.pick(list, listIndexOf(list, text));
    return true;
}

}  // namespace telmora::host
