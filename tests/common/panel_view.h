#pragma once
// The device's settings panel as the host shows it: each control found in its region, as a user
// finds it on screen, and the controls the panel configures but places nowhere found among the
// host's components, after their layout. Only SDK types: the plug-in's own classes stay hidden.

#include <fbhost/host.h>

#include <memory>
#include <string>
#include <vector>

namespace telmora::test {

struct PanelView {
    ORSDK2026::FBDeviceLayout& layout;
    ORSDK2026::FBLayout& setupLayout;    // "MainLayout" of the panel
    ORSDK2026::FBLayout& networkLayout;  // "NetworkSetup" of the setup layout
    ORSDK2026::FBLabel& labelSetup;
    ORSDK2026::FBButton& buttonCharacterize;
    ORSDK2026::FBLabel& labelNetworkPort;
    ORSDK2026::FBEdit& editNetworkPort;
    ORSDK2026::FBButton& buttonConnect;
    ORSDK2026::FBLabel& labelSources;
    ORSDK2026::FBList& listSources;
    ORSDK2026::FBLabel& labelSubjects;
    ORSDK2026::FBList& listSubjects;
    ORSDK2026::FBLabel& labelPortState;
    ORSDK2026::FBLabel& labelStreamHealth;
    ORSDK2026::FBButton& buttonCapture;
    ORSDK2026::FBEdit& editCaptureFolder;
    // Configured, never placed.
    ORSDK2026::FBTabPanel& tabPanel;
    ORSDK2026::FBSpread& boneSpread;
    ORSDK2026::FBButton& buttonTestServer;
    ORSDK2026::FBEdit& editTestServerAddress;
};

// A list's items, its selected item, an item's index, an edit field's text.
inline std::vector<std::string> itemsOf(const ORSDK2026::FBList& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Items.GetCount(); ++i) items.emplace_back(list.Items[i]);
    return items;
}

inline std::string selectedOf(const ORSDK2026::FBList& list) {
    const int index = list.ItemIndex;
    return index >= 0 && index < list.Items.GetCount() ? list.Items[index] : "<none>";
}

inline int indexOf(const ORSDK2026::FBList& list, const std::string& item) {
    return list.Items.Find(item.c_str());
}

inline std::string textOf(const ORSDK2026::FBEdit& edit) {
    return edit.Text.Get().str();
}

namespace panel_view_detail {

template <class Control>
Control* placed(ORSDK2026::FBLayout* layout, const char* region, std::string& missing) {
    ORSDK2026::FBVisualComponent* control = layout ? layout->GetControl(region) : nullptr;
    if (control && control->Is(Control::TypeInfo)) return static_cast<Control*>(control);
    missing += std::string(missing.empty() ? "" : ", ") + region;
    return nullptr;
}

// The first component of the type made after `layout` that `skip` does not name: a panel's
// controls are made with it, in the order it declares them.
template <class Control>
Control* madeAfter(ORSDK2026::FBComponent& layout, const std::vector<ORSDK2026::FBComponent*>& skip,
                   const char* what, std::string& missing) {
    bool after = false;
    for (ORSDK2026::FBComponent* component : fbhost::Host::instance().components()) {
        if (component == &layout) {
            after = true;
            continue;
        }
        if (!after || !component->Is(Control::TypeInfo)) continue;
        bool skipped = false;
        for (ORSDK2026::FBComponent* other : skip) skipped = skipped || other == component;
        if (!skipped) return static_cast<Control*>(component);
    }
    missing += std::string(missing.empty() ? "" : ", ") + what;
    return nullptr;
}

}  // namespace panel_view_detail

// The panel's controls, or null (with `error` naming what is missing).
inline std::unique_ptr<PanelView> viewOf(ORSDK2026::FBDeviceLayout* layout, std::string& error) {
    using namespace ORSDK2026;
    using panel_view_detail::madeAfter;
    using panel_view_detail::placed;
    if (layout == nullptr) {
        error = "no panel";
        return nullptr;
    }
    std::string missing;
    FBLayout* setup = placed<FBLayout>(layout, "MainLayout", missing);
    FBLayout* network = placed<FBLayout>(setup, "NetworkSetup", missing);
    auto* labelSetup = placed<FBLabel>(setup, "LabelSetup", missing);
    auto* characterize = placed<FBButton>(setup, "CharacterizeButton", missing);
    auto* labelPort = placed<FBLabel>(network, "LabelNetworkPort", missing);
    auto* port = placed<FBEdit>(network, "EditNetworkPort", missing);
    auto* connect = placed<FBButton>(network, "ButtonConnect", missing);
    auto* labelSources = placed<FBLabel>(network, "LabelSources", missing);
    auto* sources = placed<FBList>(network, "QVLinkSources", missing);
    auto* labelSubjects = placed<FBLabel>(network, "LabelSubjects", missing);
    auto* subjects = placed<FBList>(network, "QVLinkSubjects", missing);
    auto* portState = placed<FBLabel>(network, "LabelPortState", missing);
    auto* health = placed<FBLabel>(network, "LabelStreamHealth", missing);
    auto* capture = placed<FBButton>(network, "ButtonCapture", missing);
    auto* folder = placed<FBEdit>(network, "EditCaptureFolder", missing);
    auto* tabs = madeAfter<FBTabPanel>(*layout, {}, "the tab panel", missing);
    auto* spread = madeAfter<FBSpread>(*layout, {}, "the bone table", missing);
    auto* testServer = madeAfter<FBButton>(*layout, {characterize, connect, capture},
                                           "the test-server button", missing);
    auto* testAddress =
        madeAfter<FBEdit>(*layout, {port, folder}, "the test-server address", missing);
    if (!missing.empty()) {
        error = "the panel has no " + missing;
        return nullptr;
    }
    return std::unique_ptr<PanelView>(new PanelView{
        *layout,  *setup,        *network, *labelSetup,    *characterize, *labelPort,  *port,
        *connect, *labelSources, *sources, *labelSubjects, *subjects,     *portState,  *health,
        *capture, *folder,       *tabs,    *spread,        *testServer,   *testAddress});
}

}  // namespace telmora::test
