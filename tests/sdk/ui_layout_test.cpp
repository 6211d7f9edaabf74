// Layout regions and controls of the host stand-in: the attachment arithmetic, region
// bookkeeping, and the controls' own state.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;

struct Rect {
    int x, y, w, h;
};

void expectRect(const FBLayout& layout, const char* region, int width, int height,
                const Rect& want) {
    FBRegionRect got;
    ASSERT_TRUE(layout.GetRegionRect(region, width, height, got)) << region;
    EXPECT_EQ(want.x, got.x) << region;
    EXPECT_EQ(want.y, got.y) << region;
    EXPECT_EQ(want.w, got.width) << region;
    EXPECT_EQ(want.h, got.height) << region;
}

// One region as AddRegion takes it, all multipliers given.
struct RegionArgs {
    const char* name;
    int x;
    FBAttachType xt;
    const char* xr;
    double xm;
    int y;
    FBAttachType yt;
    const char* yr;
    double ym;
    int w;
    FBAttachType wt;
    const char* wr;
    double wm;
    int h;
    FBAttachType ht;
    const char* hr;
    double hm;
    Rect expected;
};

constexpr auto L = kFBAttachLeft;
constexpr auto R = kFBAttachRight;
constexpr auto T = kFBAttachTop;
constexpr auto B = kFBAttachBottom;
constexpr auto W = kFBAttachWidth;
constexpr auto H = kFBAttachHeight;
constexpr auto C = kFBAttachCenter;
constexpr auto N = kFBAttachNone;

// Layouts of 200 x 100, the regions added in table order.
TEST(LayoutRegions, AttachmentsResolveToRectangles) {
    const std::vector<RegionArgs> table = {
        // Inset by margins from the layout's edges: sizes ending at its right and bottom.
        {"Inset", 10, L, "", 1, 5, T, "", 1, -10, R, "", 1, -5, B, "", 1, {10, 5, 180, 90}},
        // Half the layout's width through a multiplier on its width.
        {"Half", 0, L, "", 1, 0, T, "", 1, 0, W, "", 0.5, 0, H, "", 1, {0, 0, 100, 100}},
        // The other half: starts at Half's right edge, ends at the layout's.
        {"Rest",
         0,
         R,
         "Half",
         1,
         0,
         T,
         "Half",
         1,
         0,
         R,
         "",
         1,
         0,
         H,
         "Half",
         1,
         {100, 0, 100, 100}},
        // Below a region, with its width and a fixed height.
        {"Under",
         3,
         L,
         "Inset",
         1,
         2,
         B,
         "Inset",
         1,
         0,
         W,
         "Inset",
         1,
         7,
         N,
         "",
         1,
         {13, 97, 180, 7}},
        // Centred on the layout: x at its centre minus half the width.
        {"Mid", -20, C, "", 1, -10, C, "", 1, 40, N, "", 1, 20, N, "", 1, {80, 40, 40, 20}},
        // A name that is no region (yet) is the layout itself.
        {"Ahead",
         1,
         R,
         "Later",
         1,
         2,
         B,
         "Nowhere",
         1,
         -1,
         R,
         "Later",
         1,
         0,
         H,
         "",
         0.25,
         {201, 102, 0, 25}},
        // Sizes that end before they begin are empty; a multiplier scales an edge too.
        {"Empty", 50, L, "", 1, 0, T, "", 1, 10, L, "", 1, 0, R, "Half", 0.5, {50, 0, 0, 50}},
    };
    FBLayout layout;
    for (const RegionArgs& s : table)
        ASSERT_TRUE(layout.AddRegion(s.name, s.name, s.x, s.xt, s.xr, s.xm, s.y, s.yt, s.yr, s.ym,
                                     s.w, s.wt, s.wr, s.wm, s.h, s.ht, s.hr, s.hm));
    for (const RegionArgs& s : table) expectRect(layout, s.name, 200, 100, s.expected);
}

// The settings panel's three layouts, built as the panel builds them (titles = names, all
// multipliers 1), at a panel of 400 x 300.
struct PanelLayouts {
    FBLayout layout, setupLayout, networkLayout;
    FBLabel labelSetup, labelSources, labelSubjects, labelNetworkPort;
    FBButton buttonCharacterize, buttonConnect;
    FBEdit editNetworkPort;
    FBList listSources, listSubjects;

    static void add(FBLayout& l, const char* name, int x, FBAttachType xt, const char* xr, int y,
                    FBAttachType yt, const char* yr, int w, FBAttachType wt, const char* wr, int h,
                    FBAttachType ht, const char* hr) {
        ASSERT_TRUE(l.AddRegion(name, name, x, xt, xr, 1.0, y, yt, yr, 1.0, w, wt, wr, 1.0, h, ht,
                                hr, 1.0));
    }

    PanelLayouts() {
        add(layout, "TabPanel", 0, L, "", 0, T, "", 0, R, "", 2, N, "");
        add(layout, "MainLayout", 4, L, "TabPanel", 4, B, "TabPanel", -4, R, "TabPanel", -4, B, "");

        add(setupLayout, "LabelSetup", 4, L, "", 4, T, "", 250, N, "", 18, N, "");
        setupLayout.SetControl("LabelSetup", labelSetup);
        add(setupLayout, "CharacterizeButton", 4, L, "", 4, B, "LabelSetup", 250, N, "", 18, N, "");
        setupLayout.SetControl("CharacterizeButton", buttonCharacterize);
        add(setupLayout, "NetworkSetup", 4, L, "", 15, B, "CharacterizeButton", 250, N, "", 200, N,
            "");

        add(networkLayout, "LayoutRegionNetwork", 5, L, "", 15, T, "NetworkSetup", -10, W,
            "NetworkSetup", -30, H, "NetworkSetup");
        add(networkLayout, "LabelNetworkPort", 10, L, "", 12, T, "LayoutRegionNetwork", 80, N, "",
            25, N, "");
        add(networkLayout, "EditNetworkPort", 5, R, "LabelNetworkPort", 0, T, "LabelNetworkPort",
            95, N, "", 25, N, "");
        add(networkLayout, "ButtonConnect", 5, R, "EditNetworkPort", 0, T, "EditNetworkPort", 50, N,
            "", 25, N, "");
        add(networkLayout, "LabelSources", 10, L, "", 12, B, "LabelNetworkPort", 230, N, "", 25, N,
            "");
        add(networkLayout, "QVLinkSources", 10, L, "", 4, B, "LabelSources", 230, N, "", 25, N, "");
        add(networkLayout, "LabelSubjects", 0, L, "QVLinkSources", 4, B, "QVLinkSources", 0, W,
            "QVLinkSources", 0, H, "QVLinkSources");
        add(networkLayout, "QVLinkSubjects", 10, L, "", 4, B, "LabelSubjects", 230, N, "", 25, N,
            "");
        networkLayout.SetControl("ButtonConnect", buttonConnect);
        networkLayout.SetControl("LabelSources", labelSources);
        networkLayout.SetControl("QVLinkSources", listSources);
        networkLayout.SetControl("LabelSubjects", labelSubjects);
        networkLayout.SetControl("QVLinkSubjects", listSubjects);
        networkLayout.SetControl("LabelNetworkPort", labelNetworkPort);
        networkLayout.SetControl("EditNetworkPort", editNetworkPort);
        setupLayout.SetControl("NetworkSetup", networkLayout);

        layout.SetBorder("MainLayout", kFBStandardBorder, false, true, 1, 0, 90.0, 0);
        layout.SetControl("MainLayout", setupLayout);
        networkLayout.SetBorder("LayoutRegionNetwork", kFBEmbossBorder, false, true, 2, 1, 90.0, 0);
    }
};

// Worked by hand at 400 x 300. "MainLayout" is (4, 6, 392, 290), so setupLayout is laid out at
// 392 x 290 from (4, 6); "NetworkSetup" is (4, 59, 250, 200) in it, so networkLayout is laid
// out at 250 x 200 from (8, 65). In networkLayout "NetworkSetup" names no region of its own and
// so means networkLayout itself (0, 0, 250, 200).
TEST(LayoutRegions, SettingsPanelAt400x300) {
    PanelLayouts panel;
    const FBLayout* layouts[] = {&panel.layout, &panel.setupLayout, &panel.networkLayout};
    const int sizes[][2] = {{400, 300}, {392, 290}, {250, 200}};
    struct Row {
        const char* region;
        int level;   // 0: the layout, 1: setupLayout, 2: networkLayout
        Rect own;    // in its own layout, laid out at the size of its holding region
        Rect panel;  // in the panel's coordinates
    };
    const std::vector<Row> table = {
        {"TabPanel", 0, {0, 0, 400, 2}, {0, 0, 400, 2}},
        {"MainLayout", 0, {4, 6, 392, 290}, {4, 6, 392, 290}},
        {"LabelSetup", 1, {4, 4, 250, 18}, {8, 10, 250, 18}},
        {"CharacterizeButton", 1, {4, 26, 250, 18}, {8, 32, 250, 18}},
        {"NetworkSetup", 1, {4, 59, 250, 200}, {8, 65, 250, 200}},
        {"LayoutRegionNetwork", 2, {5, 15, 240, 170}, {13, 80, 240, 170}},
        {"LabelNetworkPort", 2, {10, 27, 80, 25}, {18, 92, 80, 25}},
        {"EditNetworkPort", 2, {95, 27, 95, 25}, {103, 92, 95, 25}},
        {"ButtonConnect", 2, {195, 27, 50, 25}, {203, 92, 50, 25}},
        {"LabelSources", 2, {10, 64, 230, 25}, {18, 129, 230, 25}},
        {"QVLinkSources", 2, {10, 93, 230, 25}, {18, 158, 230, 25}},
        {"LabelSubjects", 2, {10, 122, 230, 25}, {18, 187, 230, 25}},
        {"QVLinkSubjects", 2, {10, 151, 230, 25}, {18, 216, 230, 25}},
    };
    for (const Row& row : table) {
        expectRect(*layouts[row.level], row.region, sizes[row.level][0], sizes[row.level][1],
                   row.own);
        expectRect(panel.layout, row.region, 400, 300, row.panel);
    }
}

TEST(LayoutRegions, RegionBookkeeping) {
    FBLayout layout;
    FBLabel label;
    auto add = [&](const char* name) {
        return layout.AddRegion(name, name, 0, L, "", 1, 0, T, "", 1, 10, N, "", 1, 10, N, "", 1);
    };
    ASSERT_TRUE(add("A"));
    EXPECT_FALSE(add("A")) << "a second region of the same name";
    EXPECT_FALSE(layout.SetControl("Missing", label));
    EXPECT_FALSE(layout.SetBorder("Missing", kFBStandardBorder, false, true, 1, 0, 90.0, 0));
    EXPECT_FALSE(layout.SetControl("A", nullptr));
    ASSERT_TRUE(layout.SetControl("A", label));
    EXPECT_EQ(&label, layout.GetControl("A"));
    EXPECT_TRUE(layout.ClearControl("A"));
    EXPECT_EQ(nullptr, layout.GetControl("A"));
    EXPECT_TRUE(layout.RemoveRegion("A"));
    EXPECT_FALSE(layout.RemoveRegion("A"));
    EXPECT_EQ(0, layout.GetRegionCount());
    FBRegionRect rect;
    EXPECT_FALSE(layout.GetRegionRect("A", 100, 100, rect));
    EXPECT_TRUE(add("A")) << "the name is free again";
}

TEST(LayoutRegions, NestingThatWouldLoopIsRefused) {
    FBLayout outer, inner;
    for (FBLayout* l : {&outer, &inner})
        ASSERT_TRUE(l->AddRegion("Slot", "", 0, L, "", 1, 0, T, "", 1, 0, W, "", 1, 0, H, "", 1));
    EXPECT_FALSE(outer.SetControl("Slot", outer));
    ASSERT_TRUE(outer.SetControl("Slot", inner));
    EXPECT_FALSE(inner.SetControl("Slot", outer));
}

TEST(LayoutRegions, ControlDestroyedFirstLeavesItsRegionEmpty) {
    FBLayout layout;
    ASSERT_TRUE(layout.AddRegion("A", "", 0, L, "", 1, 0, T, "", 1, 5, N, "", 1, 5, N, "", 1));
    {
        FBButton button;
        ASSERT_TRUE(layout.SetControl("A", button));
    }
    EXPECT_EQ(nullptr, layout.GetControl("A"));
    // And the other way round: a layout gone first must not be reached by its control.
    auto doomed = std::make_unique<FBLayout>();
    FBButton survivor;
    ASSERT_TRUE(doomed->AddRegion("A", "", 0, L, "", 1, 0, T, "", 1, 5, N, "", 1, 5, N, "", 1));
    ASSERT_TRUE(doomed->SetControl("A", survivor));
    doomed.reset();
}

TEST(Controls, TypeTests) {
    FBButton button;
    FBDeviceLayout deviceLayout(nullptr);
    EXPECT_TRUE(button.Is(FBButton::TypeInfo));
    EXPECT_TRUE(button.Is(FBVisualComponent::TypeInfo));
    EXPECT_TRUE(button.Is(FBComponent::TypeInfo));
    EXPECT_FALSE(button.Is(FBLayout::TypeInfo));
    EXPECT_TRUE(deviceLayout.Is(FBLayout::TypeInfo));
    EXPECT_TRUE(deviceLayout.Is(FBDeviceLayout::TypeInfo));
    EXPECT_EQ(nullptr, deviceLayout.Device.Get());
    EXPECT_LT(FBDeviceLayout::TypeInfo, FBPlug::mGlobalTypeInfo);
}

TEST(Controls, StringListSplitsOnTilde) {
    struct Case {
        const char* text;
        std::vector<std::string> items;
    };
    const std::vector<Case> table = {
        {"Markers~Setup", {"Markers", "Setup"}},
        {"", {}},
        {"One", {"One"}},
        {"a~~b", {"a", "", "b"}},
        {"a~", {"a", ""}},
    };
    for (const Case& c : table) {
        FBStringList list;
        list.Add("old", 7);
        list.SetString(c.text);
        ASSERT_EQ(static_cast<int>(c.items.size()), list.GetCount()) << c.text;
        for (int i = 0; i < list.GetCount(); ++i) {
            EXPECT_EQ(c.items[i], list[i]) << c.text;
            EXPECT_EQ(0u, list.GetReferenceAt(i));
        }
    }
}

TEST(Controls, StringListItemsKeepTheirReferences) {
    FBStringList list;
    EXPECT_EQ(0, list.Add("Select"));
    EXPECT_EQ(1, list.Add("Studio A", 42));
    EXPECT_EQ(42u, list.GetReferenceAt(1));
    EXPECT_EQ(1, list.Find("Studio A"));
    EXPECT_EQ(-1, list.Find("Studio B"));
    EXPECT_STREQ("", list[2]);
    EXPECT_STREQ("", list[-1]);
    EXPECT_EQ(0u, list.GetReferenceAt(5));
    list.Clear();
    EXPECT_EQ(0, list.GetCount());
}

TEST(Controls, SpreadColumnsRowsAndCells) {
    FBSpread spread;
    spread.GetColumn(-1)->Width = 200;
    const char* captions[] = {"PosX", "PosY", "PosZ", "RotX", "RotY", "RotZ"};
    for (int c = 0; c < 6; ++c) {
        ASSERT_EQ(c, spread.ColumnAdd(captions[c]));
        spread.GetColumn(c)->Width = 60;
        spread.GetColumn(c)->Style = kFBCellStyleDouble;
    }
    EXPECT_EQ(6, spread.GetColumnCount());
    EXPECT_EQ(nullptr, spread.GetColumn(6));
    EXPECT_EQ(nullptr, spread.GetColumn(-2));
    EXPECT_EQ(200, spread.GetColumn(-1)->Width.Get());

    EXPECT_EQ(0, spread.RowAdd("Hips", 10));
    EXPECT_EQ(1, spread.RowAdd("Spine", 11));
    EXPECT_EQ(-1, spread.RowAdd("Again", 10)) << "a row reference names one row";
    ASSERT_NE(nullptr, spread.GetRow(11));
    EXPECT_STREQ("Spine", spread.GetRow(11)->Caption.Get());
    EXPECT_EQ(11u, spread.GetRowAt(1)->reference);
    EXPECT_EQ(nullptr, spread.GetRow(12));

    FBSpreadCell* cell = spread.GetSpreadCell(11, 5);
    ASSERT_NE(nullptr, cell);
    EXPECT_EQ(kFBCellStyleDouble, cell->Style.Get()) << "a new cell takes its column's style";
    cell->ReadOnly = true;
    EXPECT_TRUE(spread.GetSpreadCell(11, 5)->ReadOnly.Get());
    EXPECT_FALSE(spread.GetSpreadCell(10, 5)->ReadOnly.Get());
    EXPECT_EQ(nullptr, spread.GetSpreadCell(12, 0));
    EXPECT_EQ(nullptr, spread.GetSpreadCell(10, 6));

    spread.SetCell(10, 2, 1.5);
    spread.SetCell(12, 2, 9.0);  // no such row: ignored
    EXPECT_DOUBLE_EQ(1.5, spread.GetCellDouble(10, 2));
    EXPECT_DOUBLE_EQ(0.0, spread.GetCellDouble(11, 2));
    spread.SetCell(11, 0, "n/a");
    EXPECT_STREQ("n/a", spread.GetCellString(11, 0));
    EXPECT_EQ(nullptr, spread.GetCellString(10, 2)) << "a number cell";

    spread.Clear();
    EXPECT_EQ(0, spread.GetColumnCount());
    EXPECT_EQ(0, spread.GetRowCount());
    EXPECT_EQ(nullptr, spread.GetSpreadCell(10, 0));
    EXPECT_EQ(200, spread.GetColumn(-1)->Width.Get()) << "the row-header column stays";
}

}  // namespace
