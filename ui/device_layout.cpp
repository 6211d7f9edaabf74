#include "ui/device_layout.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "live/device_texts.h"
#include "ui/character_setup.h"
#include "ui/panel_texts.h"
#include "ui/port_text.h"
#include "ui/source_lists.h"

using namespace ORSDK2026;

namespace {

// Every region's four multipliers are 1.0 and its title is its name.
bool addRegion(FBLayout& layout, const char* name, int x, FBAttachType xType, const char* xRegion,
               int y, FBAttachType yType, const char* yRegion, int w, FBAttachType wType,
               const char* wRegion, int h, FBAttachType hType, const char* hRegion) {
    return layout.AddRegion(name, name, x, xType, xRegion, 1.0, y, yType, yRegion, 1.0, w, wType,
                            wRegion, 1.0, h, hType, hRegion, 1.0);
}

void fillList(FBList& list, const telmora::ListContents& contents) {
    list.Items.Clear();
    for (const std::string& item : contents.items) list.Items.Add(item.c_str(), 0);
    list.ItemIndex = contents.selected;
}

// The text of a list's selected item; "" when nothing (or nothing valid) is selected.
std::string selectedText(const FBList& list) {
    const int index = list.ItemIndex;
    if (index < 0 || index >= list.Items.GetCount()) return std::string();
    return list.Items[index];
}

// Handlers run inside the host's event dispatch: nothing may escape into it.
template <typename Body>
void guarded(const char* what, Body body) noexcept {
    try {
        body();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "TelmoraLink panel: %s failed: %s\n", what, error.what());
    } catch (...) {
        std::fprintf(stderr, "TelmoraLink panel: %s failed.\n", what);
    }
}

}  // namespace

ORDeviceSkeletonLayout::ORDeviceSkeletonLayout(FBDevice* owningDevice)
    : FBDeviceLayout(owningDevice) {}

ORDeviceSkeletonLayout::~ORDeviceSkeletonLayout() {
    // Normally FBDestroy has released it already; a layout deleted without it must not be
    // told of list changes either.
    updateToken.reset();
}

const char* ORDeviceSkeletonLayout::ClassName() {
    return telmora::kLayoutClassName;
}

bool ORDeviceSkeletonLayout::Is(int typeId) {
    return typeId == classTypeId || FBDeviceLayout::Is(typeId);
}

int ORDeviceSkeletonLayout::GetTypeId() {
    return classTypeId;
}

void ORDeviceSkeletonLayout::FBDelete() {
    FBDeviceLayout::FBDelete();
}

bool ORDeviceSkeletonLayout::FBCreate() {
    guarded("creation", [&] {
        device = dynamic_cast<telmora::DeviceControls*>(Device.Get());
        UICreate();
        UIConfigureLayout1();
        UIReset();
        if (FBDevice* hostDevice = Device.Get()) {
            hostDevice->OnStatusChange.Add(
                this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnDeviceStatusChange));
        }
        system.OnUIIdle.Add(this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnIdleRefresh));
    });
    return true;
}

void ORDeviceSkeletonLayout::FBDestroy() {
    // Once the last copy of the token is gone no notification is running or will start.
    updateToken.reset();
    system.OnUIIdle.Remove(this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnIdleRefresh));
    if (FBDevice* hostDevice = Device.Get()) {
        hostDevice->OnStatusChange.Remove(
            this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnDeviceStatusChange));
    }
    FBDeviceLayout::FBDestroy();
}

void ORDeviceSkeletonLayout::UICreate() {
    addRegion(*this, "TabPanel", 0, kFBAttachLeft, "", 0, kFBAttachTop, "", 0, kFBAttachRight, "",
              2, kFBAttachNone, "");
    addRegion(*this, "MainLayout", 4, kFBAttachLeft, "TabPanel", 4, kFBAttachBottom, "TabPanel", -4,
              kFBAttachRight, "TabPanel", -4, kFBAttachBottom, "");
    UICreateLayout1();
    SetBorder("MainLayout", kFBStandardBorder, false, true, 1, 0, 90.0, 0);
    tabPanel.Items.SetString("Markers~Setup");
    SetControl("MainLayout", setupLayout);
}

void ORDeviceSkeletonLayout::UICreateLayout1() {
    addRegion(setupLayout, "LabelSetup", 4, kFBAttachLeft, "", 4, kFBAttachTop, "", 250,
              kFBAttachNone, "", 18, kFBAttachNone, "");
    setupLayout.SetControl("LabelSetup", labelSetup);
    addRegion(setupLayout, "CharacterizeButton", 4, kFBAttachLeft, "", 4, kFBAttachBottom,
              "LabelSetup", 250, kFBAttachNone, "", 18, kFBAttachNone, "");
    setupLayout.SetControl("CharacterizeButton", buttonCharacterize);
    addRegion(setupLayout, "NetworkSetup", 4, kFBAttachLeft, "", 15, kFBAttachBottom,
              "CharacterizeButton", 250, kFBAttachNone, "", 274, kFBAttachNone, "");

    // "NetworkSetup" is not a region of networkLayout: it names the region that holds it.
    addRegion(networkLayout, "LayoutRegionNetwork", 5, kFBAttachLeft, "", 15, kFBAttachTop,
              "NetworkSetup", -10, kFBAttachWidth, "NetworkSetup", -30, kFBAttachHeight,
              "NetworkSetup");
    addRegion(networkLayout, "LabelNetworkPort", 10, kFBAttachLeft, "", 12, kFBAttachTop,
              "LayoutRegionNetwork", 80, kFBAttachNone, "", 25, kFBAttachNone, "");
    addRegion(networkLayout, "EditNetworkPort", 5, kFBAttachRight, "LabelNetworkPort", 0,
              kFBAttachTop, "LabelNetworkPort", 95, kFBAttachNone, "", 25, kFBAttachNone, "");
    addRegion(networkLayout, "ButtonConnect", 5, kFBAttachRight, "EditNetworkPort", 0, kFBAttachTop,
              "EditNetworkPort", 50, kFBAttachNone, "", 25, kFBAttachNone, "");
    addRegion(networkLayout, "LabelPortState", 10, kFBAttachLeft, "", 2, kFBAttachBottom,
              "LabelNetworkPort", 230, kFBAttachNone, "", 16, kFBAttachNone, "");
    addRegion(networkLayout, "LabelSources", 10, kFBAttachLeft, "", 4, kFBAttachBottom,
              "LabelPortState", 230, kFBAttachNone, "", 25, kFBAttachNone, "");
    addRegion(networkLayout, "QVLinkSources", 10, kFBAttachLeft, "", 4, kFBAttachBottom,
              "LabelSources", 230, kFBAttachNone, "", 25, kFBAttachNone, "");
    addRegion(networkLayout, "LabelSubjects", 0, kFBAttachLeft, "QVLinkSources", 4, kFBAttachBottom,
              "QVLinkSources", 0, kFBAttachWidth, "QVLinkSources", 0, kFBAttachHeight,
              "QVLinkSources");
    addRegion(networkLayout, "QVLinkSubjects", 10, kFBAttachLeft, "", 4, kFBAttachBottom,
              "LabelSubjects", 230, kFBAttachNone, "", 25, kFBAttachNone, "");
    addRegion(networkLayout, "LabelStreamHealth", 10, kFBAttachLeft, "", 4, kFBAttachBottom,
              "QVLinkSubjects", 230, kFBAttachNone, "", 18, kFBAttachNone, "");
    addRegion(networkLayout, "ButtonCapture", 10, kFBAttachLeft, "", 4, kFBAttachBottom,
              "LabelStreamHealth", 230, kFBAttachNone, "", 20, kFBAttachNone, "");
    addRegion(networkLayout, "EditCaptureFolder", 10, kFBAttachLeft, "", 2, kFBAttachBottom,
              "ButtonCapture", 230, kFBAttachNone, "", 22, kFBAttachNone, "");
    networkLayout.SetControl("LabelNetworkPort", labelNetworkPort);
    networkLayout.SetControl("EditNetworkPort", editNetworkPort);
    networkLayout.SetControl("ButtonConnect", buttonConnect);
    networkLayout.SetControl("LabelSources", labelSources);
    networkLayout.SetControl("QVLinkSources", listSources);
    networkLayout.SetControl("LabelSubjects", labelSubjects);
    networkLayout.SetControl("QVLinkSubjects", listSubjects);
    networkLayout.SetControl("LabelPortState", labelPortState);
    networkLayout.SetControl("LabelStreamHealth", labelStreamHealth);
    networkLayout.SetControl("ButtonCapture", buttonCapture);
    networkLayout.SetControl("EditCaptureFolder", editCaptureFolder);

    setupLayout.SetControl("NetworkSetup", networkLayout);
}

void ORDeviceSkeletonLayout::UIConfigureLayout1() {
    labelSetup.Caption = "Character setup according to device template";
    buttonCharacterize.Caption = "Characterize";
    buttonCharacterize.OnClick.Add(
        this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnCharacterizeClick));

    networkLayout.SetBorder("LayoutRegionNetwork", kFBEmbossBorder, false, true, 2, 1, 90.0, 0);

    buttonTestServer.Caption = "Use skeleton test server";
    buttonTestServer.Style = kFBCheckbox;
    buttonTestServer.State = (device != nullptr && device->UseTestServer()) ? 1 : 0;
    buttonTestServer.OnClick.Add(
        this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnTestServerClick));

    buttonCapture.Caption = "Capture raw stream";
    buttonCapture.Style = kFBCheckbox;
    buttonCapture.State = (device != nullptr && device->CaptureRawStream()) ? 1 : 0;
    buttonCapture.OnClick.Add(this,
                              static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnCaptureClick));
    if (device != nullptr) editCaptureFolder.Text = device->CaptureFolder().c_str();
    editCaptureFolder.OnChange.Add(
        this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnCaptureFolderChange));

    buttonConnect.Caption = "Connect";
    buttonConnect.Style = kFBPushButton;
    buttonConnect.OnClick.Add(this,
                              static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnConnectClick));

    labelNetworkPort.Caption = "Listening Port :";
    labelSources.Caption = "Telmora Sources :";
    if (device != nullptr) editTestServerAddress.Text = device->TestServerAddress().c_str();
    editTestServerAddress.OnChange.Add(
        this, static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnTestServerAddressChange));
    labelSubjects.Caption = "Telmora Subjects :";

    ShowPort();
    ShowStreamState();

    // Both lists start with the placeholder selected.
    listSources.Items.Add(telmora::kListPlaceholder, 0);
    listSources.ItemIndex = 0;
    listSubjects.Items.Add(telmora::kListPlaceholder, 0);
    listSubjects.ItemIndex = 0;
    FillLists(false);

    if (device != nullptr) {
        // The callback outlives nothing it touches: it holds its own share of the flag.
        std::shared_ptr<std::atomic<bool>> changed = listsChanged;
        updateToken = device->OnServersChanged(
            [changed] { changed->store(true, std::memory_order_release); });
    }

    listSources.OnChange.Add(this,
                             static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnSourceChange));
    listSubjects.OnChange.Add(this,
                              static_cast<FBCallback>(&ORDeviceSkeletonLayout::OnSubjectChange));
}

void ORDeviceSkeletonLayout::UIReset() {
    boneSpread.Clear();
    if (FBSpreadColumn* header = boneSpread.GetColumn(-1)) header->Width = 200;
    static const char* const kColumns[] = {"PosX", "PosY", "PosZ", "RotX", "RotY", "RotZ"};
    for (const char* caption : kColumns) {
        const int column = boneSpread.ColumnAdd(caption);
        if (FBSpreadColumn* added = boneSpread.GetColumn(column)) {
            added->Width = 60;
            added->Style = kFBCellStyleDouble;
        }
    }
    if (device == nullptr) return;
    const telmora::ChannelSnapshot channels = device->Channels();
    for (int i = 0; i < channels.channelCount; ++i) {
        const telmora::Bone* bone = channels.records[i].bone;
        boneSpread.RowAdd(bone != nullptr ? bone->name : "", static_cast<kReference>(i));
        if (FBSpreadCell* cell = boneSpread.GetSpreadCell(static_cast<kReference>(i), 5)) {
            cell->ReadOnly = true;
        }
    }
}

void ORDeviceSkeletonLayout::FillLists(bool clearFirst) {
    if (device == nullptr) return;
    const telmora::SourceLists lists =
        telmora::buildSourceLists(device->Servers(), device->SourceName(), device->SubjectName());
    if (clearFirst) {
        fillList(listSources, lists.sources);
        fillList(listSubjects, lists.subjects);
        return;
    }
    // The first fill: the placeholders are in already.
    for (std::size_t i = 1; i < lists.sources.items.size(); ++i) {
        listSources.Items.Add(lists.sources.items[i].c_str(), 0);
    }
    for (std::size_t i = 1; i < lists.subjects.items.size(); ++i) {
        listSubjects.Items.Add(lists.subjects.items[i].c_str(), 0);
    }
    listSources.ItemIndex = lists.sources.selected;
    listSubjects.ItemIndex = lists.subjects.selected;
}

void ORDeviceSkeletonLayout::ShowPort() {
    if (device == nullptr) return;
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(device->ListeningPort()));
    editNetworkPort.Text = text;
}

void ORDeviceSkeletonLayout::ShowStreamState() {
    if (device == nullptr) return;
    const std::string port =
        device->Listening() ? std::string() : telmora::portInUseText(device->ListeningPort());
    if (std::string(labelPortState.Caption.Get().str()) != port)
        labelPortState.Caption = port.c_str();
    const std::string health = device->StreamHealthLine();
    if (std::string(labelStreamHealth.Caption.Get().str()) != health)
        labelStreamHealth.Caption = health.c_str();
}

void ORDeviceSkeletonLayout::RefreshLists() {
    guarded("list refill", [&] { FillLists(true); });
}

void ORDeviceSkeletonLayout::OnCharacterizeClick(HISender, HKEvent) {
    guarded("Characterize", [&] {
        if (device == nullptr) return;
        const int channelCount = device->LinkedBoneCount();
        if (channelCount <= 0) return;
        // The character belongs to the host's scene from here on, also when no model is bound.
        auto* character = new FBCharacter(telmora::characterNameFor(device->SubjectName()).c_str());
        FBModel* root = device->ReferenceModel();
        if (root == nullptr) return;
        // No skeleton of channelCount bones is deeper than that.
        telmora::LinkModelTree(*character, root, channelCount);
        character->SetCharacterizeOn(true);
    });
}

void ORDeviceSkeletonLayout::OnConnectClick(HISender, HKEvent) {
    guarded("Connect", [&] {
        if (device == nullptr) return;
        const std::optional<int> port = telmora::parseListeningPort(editNetworkPort.Text.Get());
        if (port) device->SetListeningPort(*port);
        // Whatever was typed, the field shows the port in use, and whether it could be bound.
        ShowPort();
        ShowStreamState();
    });
}

void ORDeviceSkeletonLayout::OnSourceChange(HISender, HKEvent) {
    guarded("source choice", [&] {
        if (device == nullptr) return;
        device->SelectSource(selectedText(listSources));
        // The remembered subject stays, also when this server does not offer it.
        const std::optional<telmora::ListContents> subjects = telmora::buildSubjectList(
            device->Servers(), device->SourceName(), device->SubjectName());
        if (subjects) fillList(listSubjects, *subjects);
    });
}

void ORDeviceSkeletonLayout::OnSubjectChange(HISender, HKEvent) {
    guarded("subject choice", [&] {
        if (device == nullptr) return;
        device->SelectSubject(selectedText(listSubjects));
    });
}

void ORDeviceSkeletonLayout::OnTestServerClick(HISender, HKEvent) {
    if (device == nullptr) return;
    device->SetUseTestServer(buttonTestServer.State == 1);
}

void ORDeviceSkeletonLayout::OnCaptureClick(HISender, HKEvent) {
    if (device == nullptr) return;
    device->SetCaptureRawStream(buttonCapture.State == 1);
}

void ORDeviceSkeletonLayout::OnCaptureFolderChange(HISender, HKEvent) {
    guarded("capture folder", [&] {
        if (device == nullptr) return;
        device->SetCaptureFolder(editCaptureFolder.Text.Get().str());
    });
}

void ORDeviceSkeletonLayout::OnTestServerAddressChange(HISender, HKEvent) {
    guarded("test server address", [&] {
        if (device == nullptr) return;
        device->SetTestServerAddress(editTestServerAddress.Text.Get().str());
        editTestServerAddress.Text = device->TestServerAddress().c_str();
    });
}

void ORDeviceSkeletonLayout::OnIdleRefresh(HISender, HKEvent) {
    guarded("idle refresh", [&] {
        if (device == nullptr) return;
        if (listsChanged->exchange(false, std::memory_order_acquire)) RefreshLists();
        ShowStreamState();
        FBDevice* hostDevice = Device.Get();
        if (hostDevice == nullptr || !hostDevice->Online) return;
        const telmora::ChannelSnapshot channels = device->Channels();
        // Rows exist for the channels of the last UIReset; a later setup waits for the next.
        const int rows = std::min<int>(channels.channelCount, boneSpread.GetRowCount());
        for (int i = 0; i < rows; ++i) {
            const telmora::ChannelRecord& record = channels.records[i];
            const auto row = static_cast<kReference>(i);
            for (int axis = 0; axis < 3; ++axis) {
                boneSpread.SetCell(row, axis, record.translation[axis]);
                boneSpread.SetCell(row, 3 + axis, record.rotation[axis]);
            }
        }
    });
}

void ORDeviceSkeletonLayout::OnDeviceStatusChange(HISender, HKEvent) {
    guarded("status change", [&] { UIReset(); });
}

HIObject ORDeviceSkeletonLayoutCreate(HIObject /*owner*/, const char* /*name*/, void* data) {
    try {
        auto* hostDevice = dynamic_cast<FBDevice*>(FBGetFBObject(static_cast<HIObject>(data)));
        if (hostDevice == nullptr) return nullptr;
        auto* layout = new ORDeviceSkeletonLayout(hostDevice);
        layout->mAllocated = true;
        layout->mClassName = telmora::kLayoutClassName;
        if (!layout->FBCreate()) {
            layout->FBDelete();
            return nullptr;
        }
        return layout->GetHIObject();
    } catch (...) {
        return nullptr;
    }
}
