// The driver acting as the panel's user (click, pick, type) and the panel picture.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fbhost/host.h"
#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;
using fbhost::Host;

// Records, for each event it hears, what the control showed at that moment.
struct Listener : ICallback {
    std::vector<int> states;  // button State / list ItemIndex when the handler ran
    std::vector<std::string> texts;
    FBPropertyEvent* selfRemovingFrom = nullptr;

    void OnClick(HISender sender, HKEvent) {
        states.push_back(static_cast<FBButton*>(sender)->State.Get());
    }
    void OnPick(HISender sender, HKEvent) {
        auto* list = static_cast<FBList*>(sender);
        states.push_back(list->ItemIndex.Get());
        texts.push_back(list->Items[list->ItemIndex.Get()]);
    }
    void OnType(HISender sender, HKEvent) {
        texts.push_back(static_cast<const char*>(static_cast<FBEdit*>(sender)->Text.Get()));
    }
    void OnceOnly(HISender, HKEvent) {
        states.push_back(-100);
        selfRemovingFrom->Remove(this, (FBCallback)&Listener::OnceOnly);
    }
    void Throws(HISender, HKEvent) { throw std::runtime_error("handler broke"); }
};

class UserActions : public ::testing::Test {
protected:
    void SetUp() override { Host::instance().reset(); }
    void TearDown() override { Host::instance().reset(); }
    Host& host = Host::instance();
};

TEST_F(UserActions, ClickFiresOnceAndFlipsOnlyTwoStateButtons) {
    struct Case {
        FBButtonStyle style;
        int stateBefore;
        int stateSeen;  // by the handler, and kept after the click
    };
    const std::vector<Case> table = {
        {kFBPushButton, 0, 0},  {kFBCheckbox, 0, 1},    {kFBCheckbox, 1, 0},
        {kFBRadioButton, 0, 1}, {kFBRadioButton, 1, 1},
    };
    for (const Case& c : table) {
        FBButton button;
        button.Style = c.style;
        button.State = c.stateBefore;
        Listener listener;
        button.OnClick.Add(&listener, (FBCallback)&Listener::OnClick);
        host.click(button);
        ASSERT_EQ(1u, listener.states.size()) << "style " << c.style;
        EXPECT_EQ(c.stateSeen, listener.states[0]) << "style " << c.style;
        EXPECT_EQ(c.stateSeen, button.State.Get()) << "style " << c.style;
    }
}

TEST_F(UserActions, PickSelectsThenFiresAndRefusesMissingItems) {
    FBList list;
    list.Items.Add("Select");
    list.Items.Add("Studio A");
    list.ItemIndex = 0;
    Listener listener;
    list.OnChange.Add(&listener, (FBCallback)&Listener::OnPick);
    for (int index : {-1, 2, 99}) host.pick(list, index);
    EXPECT_TRUE(listener.states.empty()) << "no item there: nothing picked, nothing fired";
    EXPECT_EQ(0, list.ItemIndex.Get());
    host.pick(list, 1);
    ASSERT_EQ(1u, listener.states.size());
    EXPECT_EQ(1, listener.states[0]);
    EXPECT_EQ("Studio A", listener.texts[0]);
}

TEST_F(UserActions, TypeSetsTextThenFires) {
    FBEdit edit;
    edit.Text = "7000";
    Listener listener;
    edit.OnChange.Add(&listener, (FBCallback)&Listener::OnType);
    host.type(edit, "7001");
    EXPECT_EQ(std::vector<std::string>{"7001"}, listener.texts);
    EXPECT_STREQ("7001", edit.Text.Get());
}

TEST_F(UserActions, HandlerRemovingItselfRunsOnceAndTheOthersStay) {
    FBButton button;
    Listener once, always;
    once.selfRemovingFrom = &button.OnClick;
    button.OnClick.Add(&once, (FBCallback)&Listener::OnceOnly);
    button.OnClick.Add(&always, (FBCallback)&Listener::OnClick);
    host.click(button);
    host.click(button);
    EXPECT_EQ(1u, once.states.size());
    EXPECT_EQ(2u, always.states.size());
    EXPECT_EQ(1, button.OnClick.GetCount());
}

TEST_F(UserActions, ThrowingHandlerIsReportedAndStopsAtTheHost) {
    FBButton button;
    button.Name = "buttonConnect";
    Listener listener;
    button.OnClick.Add(&listener, (FBCallback)&Listener::Throws);
    EXPECT_NO_THROW(host.click(button));
    const std::vector<fbhost::PluginFailure> failures = host.failures();
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ("handler broke", failures[0].what);
    EXPECT_NE(std::string::npos, failures[0].call.find("buttonConnect")) << failures[0].call;
}

// ---- The panel picture ----

struct Pixel {
    int r, g, b;
};
bool operator==(const Pixel& a, const Pixel& b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
std::ostream& operator<<(std::ostream& os, const Pixel& p) {
    return os << "(" << p.r << ", " << p.g << ", " << p.b << ")";
}

struct Picture {
    cairo_surface_t* surface;
    explicit Picture(const std::string& path)
        : surface(cairo_image_surface_create_from_png(path.c_str())) {}
    ~Picture() { cairo_surface_destroy(surface); }
    bool ok() const { return cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS; }
    int width() const { return cairo_image_surface_get_width(surface); }
    int height() const { return cairo_image_surface_get_height(surface); }
    Pixel at(int x, int y) const {
        cairo_surface_flush(surface);
        const unsigned char* row =
            cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
        std::uint32_t argb;
        std::memcpy(&argb, row + 4 * x, 4);
        return Pixel{static_cast<int>((argb >> 16) & 0xff), static_cast<int>((argb >> 8) & 0xff),
                     static_cast<int>(argb & 0xff)};
    }
};

std::string tempPath(const char* name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

// A small panel: a framed box holding an edit field and a drop-down list, a check box, and a
// button configured but placed in no region. The edit field is drawn first, the list's opened
// items last.
struct SmallPanel {
    FBLayout layout, box;
    FBEdit edit;
    FBList list;
    FBButton check, unplaced;

    SmallPanel() {
        const auto L = kFBAttachLeft, T = kFBAttachTop, B = kFBAttachBottom, N = kFBAttachNone;
        layout.AddRegion("Box", "Box", 10, L, "", 1, 10, T, "", 1, 200, N, "", 1, 120, N, "", 1);
        layout.AddRegion("Check", "Check", 10, L, "", 1, 5, B, "Box", 1, 200, N, "", 1, 20, N, "",
                         1);
        layout.SetBorder("Box", kFBEmbossBorder, true, true, 2, 1, 90.0, 0);
        box.AddRegion("Edit", "Edit", 10, L, "", 1, 20, T, "", 1, 120, N, "", 1, 25, N, "", 1);
        box.AddRegion("List", "List", 10, L, "", 1, 10, B, "Edit", 1, 150, N, "", 1, 25, N, "", 1);
        box.SetControl("Edit", edit);
        box.SetControl("List", list);
        layout.SetControl("Box", box);
        layout.SetControl("Check", check);
        // Not UTF-8: must not stop what is drawn after it.
        edit.Text = "7000 \xff\xc3(";
        list.Items.Add("Select");
        list.Items.Add("Studio A");
        list.ItemIndex = 1;
        check.Style = kFBCheckbox;
        check.Caption = "Use skeleton test server";
        check.State = 1;
        unplaced.Caption = "Nowhere";
    }
};

TEST(PanelPicture, DrawsPlacedControlsWhereTheirRegionsResolve) {
    SmallPanel panel;
    const std::string path = tempPath("telmora_sdk_ui_panel.png");
    std::remove(path.c_str());
    std::string error;
    ASSERT_TRUE(Host::instance().drawPanel(panel.layout, 400, 180, path, &error)) << error;
    ASSERT_GT(std::filesystem::file_size(path), 0u);
    Picture picture(path);
    ASSERT_TRUE(picture.ok());
    EXPECT_EQ(400, picture.width());
    EXPECT_EQ(180, picture.height());

    const Pixel background = picture.at(395, 175);
    // The edit field is at (20, 30, 120, 25) in the picture; its right end holds no text.
    EXPECT_EQ((Pixel{255, 255, 255}), picture.at(20 + 110, 30 + 12));
    // The list is at (20, 65, 150, 25); its opened items stand beside it, the selected one
    // (the second row) highlighted in the accent colour.
    const Pixel highlight = picture.at(20 + 150 + 6 + 4, 65 + 2 + 18 + 2);
    EXPECT_GT(highlight.b, highlight.r + 60) << highlight;
    // The check box's tick is drawn inside the box at (12, 138..151).
    bool tick = false;
    for (int y = 138; y < 152; ++y)
        for (int x = 12; x < 25; ++x) {
            const Pixel p = picture.at(x, y);
            tick = tick || p.b > p.r + 60;
        }
    EXPECT_TRUE(tick);
    // Outside every region there is only background.
    for (int x = 215; x < 400; x += 7) EXPECT_EQ(background, picture.at(x, 170));
    std::remove(path.c_str());
}

TEST(PanelPicture, RefusesWhatItCannotDraw) {
    SmallPanel panel;
    std::string error;
    EXPECT_FALSE(Host::instance().drawPanel(panel.layout, 0, 100, tempPath("x.png"), &error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(
        Host::instance().drawPanel(panel.layout, 100, 100, "/nonexistent/dir/panel.png", &error));
    EXPECT_NE(std::string::npos, error.find("/nonexistent/dir/panel.png")) << error;
}

}  // namespace
