// The panel's regions, controls and captions as the host lays them out.
#include <string>
#include <vector>

#include "panel_fixture.h"

namespace telmora::test {
namespace {

using namespace ORSDK2026;

TEST_F(PanelTest, RegionsResolveToTheirTabledRectangles) {
    const struct {
        const char* region;
        FBRegionRect rect;  // in panel pixels, nested layouts included
    } expected[] = {
        {"TabPanel", {0, 0, 320, 2}},
        {"MainLayout", {4, 6, 312, 338}},
        {"LabelSetup", {8, 10, 250, 18}},
        {"CharacterizeButton", {8, 32, 250, 18}},
        {"NetworkSetup", {8, 65, 250, 274}},
        {"LayoutRegionNetwork", {13, 80, 240, 244}},
        {"LabelNetworkPort", {18, 92, 80, 25}},
        {"EditNetworkPort", {103, 92, 95, 25}},
        {"ButtonConnect", {203, 92, 50, 25}},
        {"LabelPortState", {18, 119, 230, 16}},
        {"LabelSources", {18, 139, 230, 25}},
        {"QVLinkSources", {18, 168, 230, 25}},
        {"LabelSubjects", {18, 197, 230, 25}},
        {"QVLinkSubjects", {18, 226, 230, 25}},
        {"LabelStreamHealth", {18, 255, 230, 18}},
        {"ButtonCapture", {18, 277, 230, 20}},
        {"EditCaptureFolder", {18, 299, 230, 22}},
    };
    for (const auto& e : expected) {
        FBRegionRect rect;
        ASSERT_TRUE(panel->layout.GetRegionRect(e.region, kPanelWidth, kPanelHeight, rect))
            << e.region;
        EXPECT_EQ(std::vector<int>({rect.x, rect.y, rect.width, rect.height}),
                  std::vector<int>({e.rect.x, e.rect.y, e.rect.width, e.rect.height}))
            << e.region;
    }
}

std::vector<std::string> regionNames(const FBLayout& layout) {
    std::vector<std::string> names;
    for (int i = 0; i < layout.GetRegionCount(); ++i) names.emplace_back(layout.GetRegionName(i));
    return names;
}

TEST_F(PanelTest, ControlsSitInTheirRegionsWithTheirCaptions) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(regionNames(panel->layout), (Names{"TabPanel", "MainLayout"}));
    EXPECT_EQ(regionNames(panel->setupLayout),
              (Names{"LabelSetup", "CharacterizeButton", "NetworkSetup"}));
    EXPECT_EQ(regionNames(panel->networkLayout),
              (Names{"LayoutRegionNetwork", "LabelNetworkPort", "EditNetworkPort", "ButtonConnect",
                     "LabelPortState", "LabelSources", "QVLinkSources", "LabelSubjects",
                     "QVLinkSubjects", "LabelStreamHealth", "ButtonCapture", "EditCaptureFolder"}));

    const struct {
        const FBLayout& layout;
        const char* region;
        FBVisualComponent* control;
        const char* caption;  // null: no caption to check
    } placed[] = {
        {panel->layout, "TabPanel", nullptr, nullptr},
        {panel->layout, "MainLayout", &panel->setupLayout, nullptr},
        {panel->setupLayout, "LabelSetup", &panel->labelSetup,
         "Character setup according to device template"},
        {panel->setupLayout, "CharacterizeButton", &panel->buttonCharacterize, "Characterize"},
        {panel->setupLayout, "NetworkSetup", &panel->networkLayout, nullptr},
        {panel->networkLayout, "LayoutRegionNetwork", nullptr, nullptr},
        {panel->networkLayout, "LabelNetworkPort", &panel->labelNetworkPort, "Listening Port :"},
        {panel->networkLayout, "EditNetworkPort", &panel->editNetworkPort, nullptr},
        {panel->networkLayout, "ButtonConnect", &panel->buttonConnect, "Connect"},
        {panel->networkLayout, "LabelSources", &panel->labelSources, "Telmora Sources :"},
        {panel->networkLayout, "QVLinkSources", &panel->listSources, nullptr},
        {panel->networkLayout, "LabelSubjects", &panel->labelSubjects, "Telmora Subjects :"},
        {panel->networkLayout, "QVLinkSubjects", &panel->listSubjects, nullptr},
        // Its text depends on whether this machine lets the default port be bound.
        {panel->networkLayout, "LabelPortState", &panel->labelPortState, nullptr},
        {panel->networkLayout, "LabelStreamHealth", &panel->labelStreamHealth, ""},
        {panel->networkLayout, "ButtonCapture", &panel->buttonCapture, "Capture raw stream"},
        {panel->networkLayout, "EditCaptureFolder", &panel->editCaptureFolder, nullptr},
    };
    for (const auto& p : placed) {
        EXPECT_EQ(p.layout.GetControl(p.region), p.control) << p.region;
        if (p.caption != nullptr) {
            EXPECT_EQ(p.control->Caption.Get().str(), p.caption);
        }
    }
    EXPECT_EQ(panel->buttonConnect.Style.Get(), kFBPushButton);
    EXPECT_EQ(panel->buttonCapture.Style.Get(), kFBCheckbox);
    EXPECT_EQ(textOf(panel->editNetworkPort), "22000");

    FBRegionBorder border;
    ASSERT_TRUE(panel->layout.GetRegionBorder("MainLayout", border));
    EXPECT_EQ(border.style, kFBStandardBorder);
    ASSERT_TRUE(panel->networkLayout.GetRegionBorder("LayoutRegionNetwork", border));
    EXPECT_EQ(border.style, kFBEmbossBorder);

    // Configured but shown nowhere: the tab strip, the test-server switch and its address.
    EXPECT_EQ(panel->tabPanel.Items.GetCount(), 2);
    EXPECT_STREQ(panel->tabPanel.Items[1], "Setup");
    EXPECT_EQ(panel->buttonTestServer.Caption.Get().str(), "Use skeleton test server");
    EXPECT_EQ(panel->buttonTestServer.Style.Get(), kFBCheckbox);
    EXPECT_EQ(panel->buttonTestServer.State.Get(), 0);
    EXPECT_EQ(textOf(panel->editTestServerAddress), "127.0.0.1");
}

TEST_F(PanelTest, BoneTableHasOneRowPerChannelAfterAStatusChange) {
    // Before Init there are no channels: six columns, no rows.
    ASSERT_EQ(panel->boneSpread.GetColumnCount(), 6);
    EXPECT_EQ(panel->boneSpread.GetColumn(0)->Caption.Get().str(), "PosX");
    EXPECT_EQ(panel->boneSpread.GetColumn(5)->Caption.Get().str(), "RotZ");
    EXPECT_EQ(panel->boneSpread.GetColumn(-1)->Width.Get(), 200);
    EXPECT_EQ(panel->boneSpread.GetRowCount(), 0);

    // The device's status text changes (here: it is told to open with no server chosen).
    ASSERT_TRUE(host.deviceOperation(device, kOpInit));
    host.setOnline(device, true);
    ASSERT_EQ(panel->boneSpread.GetRowCount(), 65);
    EXPECT_EQ(panel->boneSpread.GetRow(0)->Caption.Get().str(), "Hips");
    EXPECT_TRUE(panel->boneSpread.GetSpreadCell(64, 5)->ReadOnly.Get());
}

}  // namespace
}  // namespace telmora::test
