// The TelmoraLink device's settings panel: the listening port with its Connect button, the
// announcing servers ("sources") and the chosen server's subjects, and the Characterize button.
//
// The panel knows its device through telmora::DeviceControls only: the user's choices (port,
// source, subject, test server) go to the device through it; the stream follows the device's
// online state, the panel only selects.
//
// Threads: every control is touched on the host's user-interface thread only. The discovery
// service reports list changes on its own threads; its callback only raises a flag, and the
// next user-interface idle refills the lists.
#pragma once

#include <fbsdk/fbsdk.h>

#include <atomic>
#include <memory>

#include "device/device_controls.h"

class ORDeviceSkeletonLayout : public ORSDK2026::FBDeviceLayout {
public:
    // Drawn from the SDK's type counter when the library loads (after the device's number).
    static int classTypeId;

    explicit ORDeviceSkeletonLayout(ORSDK2026::FBDevice* device);
    ~ORDeviceSkeletonLayout() override;

    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;
    void FBDelete() override;
    // Builds the regions and controls, fills them from the device and subscribes the handlers.
    // Always true.
    bool FBCreate() override;
    // Silences the discovery callback (no call into the panel after this returns) and drops the
    // idle and status subscriptions.
    void FBDestroy() override;

    // Creation steps.
    void UICreate();
    void UICreateLayout1();
    void UIConfigureLayout1();
    // Rebuilds the bone value table for the device's current channels.
    void UIReset();

    // Handlers.
    void OnCharacterizeClick(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnConnectClick(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnSourceChange(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnSubjectChange(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnTestServerClick(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnTestServerAddressChange(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnCaptureClick(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnCaptureFolderChange(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    // User-interface idle: refills the lists after a discovery change, shows the port state and
    // the stream's health, then (while the device is online) writes the bone values.
    void OnIdleRefresh(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    void OnDeviceStatusChange(ORSDK2026::HISender sender, ORSDK2026::HKEvent event);
    // Refills both lists from the service's servers, the remembered source and subject selected
    // again by name. User-interface thread only.
    void RefreshLists();
    // A discovery change is waiting for the next user-interface idle to refill the lists.
    bool listsRefreshPending() const { return listsChanged->load(std::memory_order_acquire); }

    ORSDK2026::FBTabPanel tabPanel;
    ORSDK2026::FBList listSources;
    ORSDK2026::FBList listSubjects;
    ORSDK2026::FBLayout markersLayout;
    ORSDK2026::FBSpread boneSpread;
    ORSDK2026::FBLayout setupLayout;
    ORSDK2026::FBLabel labelSetup;
    ORSDK2026::FBButton buttonCharacterize;
    ORSDK2026::FBLayout networkLayout;
    ORSDK2026::FBButton buttonTestServer;
    ORSDK2026::FBButton buttonConnect;
    ORSDK2026::FBLabel labelSources;
    ORSDK2026::FBEdit editTestServerAddress;
    ORSDK2026::FBLabel labelSubjects;
    ORSDK2026::FBLabel labelNetworkPort;
    ORSDK2026::FBEdit editNetworkPort;
    // Below the port field: "Port N is in use" while discovery cannot bind it.
    ORSDK2026::FBLabel labelPortState;
    // Below the subject list: the stream's health while the device is online.
    ORSDK2026::FBLabel labelStreamHealth;
    // Raw capture of each online period, and the folder its files go to.
    ORSDK2026::FBButton buttonCapture;
    ORSDK2026::FBEdit editCaptureFolder;
    ORSDK2026::FBSystem system;
    // The device's controls; null when the panel's device is not a TelmoraLink device.
    telmora::DeviceControls* device = nullptr;
    // Keeps the discovery callback alive; released by FBDestroy.
    std::shared_ptr<void> updateToken;

private:
    void FillLists(bool clearFirst);
    void ShowPort();
    // The port message and the health line, as the device has them now.
    void ShowStreamState();

    // Raised by the discovery callback, taken by the next user-interface idle. Shared with the
    // callback so that even a notification already past the service's token test touches only
    // this flag, never the panel.
    std::shared_ptr<std::atomic<bool>> listsChanged = std::make_shared<std::atomic<bool>>(false);
};

// The layout factory registered with the device: `data` is the host handle of the device whose
// panel is wanted. Returns the new layout's host handle, or null.
ORSDK2026::HIObject ORDeviceSkeletonLayoutCreate(ORSDK2026::HIObject owner, const char* name,
                                                 void* data);
