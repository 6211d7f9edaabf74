// Drawing a panel as a PNG: the layout's regions resolved at the picture's size, their borders,
// and the controls placed in them, with the look of a plain light host panel. Only what sits in
// a region is drawn; a control configured but placed nowhere does not appear.
//
// Strokes of odd width are laid on half pixels and text baselines on whole pixels, so lines and
// glyphs stay sharp at 1:1.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fbhost/host.h"
#include "panel_ink.h"

namespace fbhost {
namespace {

using namespace ORSDK2026;
using namespace ink;

struct Popup {
    FBList* list;
    FBRegionRect anchor;  // the list's rectangle in picture coordinates
};

struct Painter {
    cairo_t* cr;
    int pictureWidth;
    int pictureHeight;
    std::vector<Popup> popups;         // drawn last, above everything else
    std::vector<FBRegionRect> opened;  // where the popups went

    const Rgb& textColour(FBVisualComponent& c) const {
        return c.Enabled.Get() ? kText : kTextDisabled;
    }

    void button(FBButton& b, const FBRegionRect& r) {
        const FBString caption = b.Caption.Get();
        const int style = b.Style.Get();
        if (style == kFBCheckbox || style == kFBRadioButton) {
            const int box = std::min(13, r.height);
            const FBRegionRect mark{r.x + 2, r.y + (r.height - box) / 2, box, box};
            const bool on = b.State.Get() != 0;
            if (style == kFBCheckbox) {
                setColour(cr, kFieldFace);
                cairo_rectangle(cr, mark.x, mark.y, mark.width, mark.height);
                cairo_fill(cr);
                outline(cr, mark, kFieldEdge, 2.0);
                if (on) {
                    // The tick: a short stroke down to the lower third, a long one up.
                    setColour(cr, kAccent);
                    cairo_set_line_width(cr, 2.0);
                    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
                    cairo_move_to(cr, mark.x + 3, mark.y + box * 0.52);
                    cairo_line_to(cr, mark.x + box * 0.42, mark.y + box - 3.5);
                    cairo_line_to(cr, mark.x + box - 3, mark.y + 3);
                    cairo_stroke(cr);
                }
            } else {
                const double cx = mark.x + box / 2.0, cy = mark.y + box / 2.0;
                setColour(cr, kFieldFace);
                cairo_arc(cr, cx, cy, box / 2.0 - 0.5, 0, 2 * kPi);
                cairo_fill_preserve(cr);
                setColour(cr, kFieldEdge);
                cairo_set_line_width(cr, 1.0);
                cairo_stroke(cr);
                if (on) {
                    setColour(cr, kAccent);
                    cairo_arc(cr, cx, cy, box / 4.0, 0, 2 * kPi);
                    cairo_fill(cr);
                }
            }
            drawText(cr, caption, r.x + box + 7, r.y, r.width - box - 7, r.height, textColour(b));
            return;
        }
        const bool pressed = b.State.Get() != 0;
        verticalGradient(cr, r, pressed ? kPressedTop : kButtonTop,
                         pressed ? kPressedBottom : kButtonBottom, 3.0);
        outline(cr, r, kFieldEdge, 3.0);
        drawText(cr, caption, r.x + 3, r.y, r.width - 6, r.height, textColour(b), Align::Centre);
    }

    void field(const FBRegionRect& r) {
        setColour(cr, kFieldFace);
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        cairo_fill(cr);
        outline(cr, r, kFieldEdge);
        // A sunken field: a darker top edge.
        if (r.width > 2) {
            setColour(cr, Rgb{0.35, 0.35, 0.35});
            cairo_set_line_width(cr, 1.0);
            cairo_move_to(cr, r.x + 1, r.y + 0.5);
            cairo_line_to(cr, r.x + r.width - 1, r.y + 0.5);
            cairo_stroke(cr);
        }
    }

    void edit(FBEdit& e, const FBRegionRect& r) {
        field(r);
        drawText(cr, e.Text.Get(), r.x + 4, r.y, r.width - 8, r.height, textColour(e));
    }

    void dropDown(FBList& list, const FBRegionRect& r, const FBRegionRect& absolute) {
        verticalGradient(cr, r, kButtonTop, kButtonBottom, 3.0);
        outline(cr, r, kFieldEdge, 3.0);
        const int arrowWidth = std::min(18, r.width);
        // The arrow button's separator and its downward triangle.
        const double ax = r.x + r.width - arrowWidth;
        setColour(cr, kFrameDark);
        cairo_set_line_width(cr, 1.0);
        cairo_move_to(cr, ax + 0.5, r.y + 3);
        cairo_line_to(cr, ax + 0.5, r.y + r.height - 3);
        cairo_stroke(cr);
        const double cx = ax + arrowWidth / 2.0, cy = r.y + r.height / 2.0;
        setColour(cr, kText);
        cairo_move_to(cr, cx - 4, cy - 2);
        cairo_line_to(cr, cx + 4, cy - 2);
        cairo_line_to(cr, cx, cy + 3);
        cairo_close_path(cr);
        cairo_fill(cr);
        drawText(cr, list.Items[list.ItemIndex.Get()], r.x + 5, r.y, r.width - arrowWidth - 8,
                 r.height, textColour(list));
        if (list.Items.GetCount() > 0) popups.push_back(Popup{&list, absolute});
    }

    // Items one under another, the selected one highlighted, inside r.
    void items(FBList& list, const FBRegionRect& r) {
        cairo_save(cr);
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        cairo_clip(cr);
        const int selected = list.ItemIndex.Get();
        for (int i = 0; i < list.Items.GetCount(); ++i) {
            const int y = r.y + 2 + i * kItemHeight;
            if (y >= r.y + r.height) break;
            Rgb colour = textColour(list);
            if (i == selected) {
                setColour(cr, kAccent);
                cairo_rectangle(cr, r.x + 2, y, r.width - 4, kItemHeight);
                cairo_fill(cr);
                colour = Rgb{1.0, 1.0, 1.0};
            }
            drawText(cr, list.Items[i], r.x + 6, y, r.width - 12, kItemHeight, colour);
        }
        cairo_restore(cr);
    }

    // A drop-down list's items, shown opened beside the list.
    void popup(const Popup& p) {
        FBList& list = *p.list;
        double widest = 60;
        for (int i = 0; i < list.Items.GetCount(); ++i)
            widest = std::max(widest, textWidth(cr, validUtf8(list.Items[i])));
        FBRegionRect box;
        box.width = static_cast<int>(std::ceil(widest)) + 16;
        box.height = list.Items.GetCount() * kItemHeight + 4;
        // Beside the list; in a narrow picture moved left over the list's arrow end, but never
        // over the half that shows the selected item; below only when even that cannot be.
        box.x = std::min(p.anchor.x + p.anchor.width + 6, pictureWidth - box.width - 2);
        box.y = p.anchor.y;
        if (box.x < p.anchor.x + p.anchor.width / 2) {
            box.x = p.anchor.x;
            box.y = p.anchor.y + p.anchor.height + 2;
            box.width = std::max(box.width, p.anchor.width);
        }
        // Opened lists do not cover one another: a later one moves down past an earlier one.
        for (bool moved = true; moved;) {
            moved = false;
            for (const FBRegionRect& other : opened)
                if (box.x < other.x + other.width && other.x < box.x + box.width &&
                    box.y < other.y + other.height && other.y < box.y + box.height) {
                    box.y = other.y + other.height + 4;
                    moved = true;
                }
        }
        opened.push_back(box);
        // A soft shadow, the white box, its frame, then the items.
        cairo_set_source_rgba(cr, 0, 0, 0, 0.12);
        cairo_rectangle(cr, box.x + 2, box.y + 2, box.width, box.height);
        cairo_fill(cr);
        setColour(cr, kFieldFace);
        cairo_rectangle(cr, box.x, box.y, box.width, box.height);
        cairo_fill(cr);
        outline(cr, box, kFieldEdge);
        items(list, box);
    }

    void list(FBList& l, const FBRegionRect& r, const FBRegionRect& absolute) {
        if (l.Style.Get() == kFBVerticalList) {
            field(r);
            items(l, r);
        } else {
            dropDown(l, r, absolute);
        }
    }

    void tabs(FBTabPanel& t, const FBRegionRect& r) {
        int x = r.x;
        for (int i = 0; i < t.Items.GetCount(); ++i) {
            const char* text = t.Items[i];
            const int w = static_cast<int>(std::ceil(textWidth(cr, validUtf8(text)))) + 20;
            const FBRegionRect tab{x, r.y, w, r.height};
            const bool selected = i == t.ItemIndex.Get();
            verticalGradient(cr, tab, selected ? kButtonTop : kButtonBottom,
                             selected ? kBackground : kPressedTop, 2.0);
            outline(cr, tab, kFrameDark, 2.0);
            drawText(cr, text, tab.x, tab.y, tab.width, tab.height, textColour(t), Align::Centre);
            x += w - 1;
        }
    }

    void spread(FBSpread& s, const FBRegionRect& r) {
        field(r);
        cairo_save(cr);
        cairo_rectangle(cr, r.x + 1, r.y + 1, r.width - 2, r.height - 2);
        cairo_clip(cr);
        // Column edges: the row header first, then the columns in order.
        std::vector<int> lefts{r.x + 1};
        std::vector<int> widths{std::max(0, s.GetColumn(-1)->Width.Get())};
        for (int c = 0; c < s.GetColumnCount(); ++c) {
            lefts.push_back(lefts.back() + widths.back());
            widths.push_back(std::max(0, s.GetColumn(c)->Width.Get()));
        }
        const int headerY = r.y + 1;
        setColour(cr, Rgb{0.88, 0.88, 0.88});
        cairo_rectangle(cr, r.x + 1, headerY, r.width - 2, kItemHeight);
        cairo_fill(cr);
        for (int c = 0; c < s.GetColumnCount(); ++c)
            drawText(cr, s.GetColumn(c)->Caption.Get(), lefts[c + 1] + 3, headerY,
                     widths[c + 1] - 6, kItemHeight, kText, Align::Centre);
        int y = headerY + kItemHeight;
        for (int i = 0; i < s.GetRowCount(); ++i) {
            const FBSpreadRow* row = s.GetRowAt(i);
            if (y >= r.y + r.height) break;
            drawText(cr, row->Caption.Get(), lefts[0] + 3, y, widths[0] - 6, kItemHeight, kText);
            for (int c = 0; c < s.GetColumnCount(); ++c) {
                char number[32];
                std::snprintf(number, sizeof number, "%.2f", s.GetCellDouble(row->reference, c));
                const char* text = s.GetCellString(row->reference, c);
                drawText(cr, text ? text : number, lefts[c + 1] + 3, y, widths[c + 1] - 6,
                         kItemHeight, kText);
            }
            y += kItemHeight;
        }
        // Grid lines.
        setColour(cr, Rgb{0.80, 0.80, 0.80});
        cairo_set_line_width(cr, 1.0);
        for (std::size_t c = 1; c < lefts.size(); ++c) {
            cairo_move_to(cr, lefts[c] - 0.5, r.y + 1);
            cairo_line_to(cr, lefts[c] - 0.5, r.y + r.height - 1);
        }
        for (int gy = headerY + kItemHeight; gy <= y; gy += kItemHeight) {
            cairo_move_to(cr, r.x + 1, gy - 0.5);
            cairo_line_to(cr, r.x + r.width - 1, gy - 0.5);
        }
        cairo_stroke(cr);
        cairo_restore(cr);
    }

    // Draws a control in r (the layout's coordinates, already translated so that r is also
    // where it lands relative to originX/Y in the picture).
    void control(FBVisualComponent& c, const FBRegionRect& r, int originX, int originY) {
        if (!c.Visible.Get() || r.width <= 0 || r.height <= 0) return;
        if (auto* nested = dynamic_cast<FBLayout*>(&c)) {
            layout(*nested, originX + r.x, originY + r.y, r.width, r.height);
            return;
        }
        const FBRegionRect absolute{originX + r.x, originY + r.y, r.width, r.height};
        cairo_save(cr);
        cairo_rectangle(cr, r.x, r.y, r.width, r.height);
        cairo_clip(cr);
        if (auto* b = dynamic_cast<FBButton*>(&c)) {
            button(*b, r);
        } else if (auto* e = dynamic_cast<FBEdit*>(&c)) {
            edit(*e, r);
        } else if (auto* l = dynamic_cast<FBList*>(&c)) {
            list(*l, r, absolute);
        } else if (auto* t = dynamic_cast<FBTabPanel*>(&c)) {
            tabs(*t, r);
        } else if (auto* s = dynamic_cast<FBSpread*>(&c)) {
            spread(*s, r);
        } else {
            // Labels and any other control: the caption.
            drawText(cr, c.Caption.Get(), r.x, r.y, r.width, r.height, textColour(c));
        }
        cairo_restore(cr);
    }

    // Draws a layout of the given size with its top-left corner at (originX, originY).
    void layout(FBLayout& l, int originX, int originY, int width, int height) {
        cairo_save(cr);
        // The clip of an enclosing layout stays (it lives in picture space); the translation is
        // set afresh from the picture's corner.
        cairo_identity_matrix(cr);
        cairo_translate(cr, originX, originY);
        cairo_rectangle(cr, 0, 0, width, height);
        cairo_clip(cr);
        for (int i = 0; i < l.GetRegionCount(); ++i) {
            const char* name = l.GetRegionName(i);
            FBRegionRect r;
            if (!l.GetRegionRect(name, width, height, r)) continue;
            FBRegionBorder border;
            if (l.GetRegionBorder(name, border)) drawBorder(cr, r, border, l.GetRegionTitle(name));
            if (FBVisualComponent* c = l.GetControl(name)) control(*c, r, originX, originY);
        }
        cairo_restore(cr);
    }
};

}  // namespace

bool Host::canDrawPanels() {
    return true;
}

bool Host::drawPanel(FBLayout& layout, int width, int height, const std::string& pngPath,
                     std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide)
        return fail("cannot draw a panel of " + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels");
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), cairo_surface_destroy);
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return fail("cannot make a picture of " + std::to_string(width) + " x " +
                    std::to_string(height) + " pixels");
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> context(cairo_create(surface.get()),
                                                               cairo_destroy);
    cairo_t* cr = context.get();

    cairo_select_font_face(cr, "DejaVu Sans Condensed", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kFontSize);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    cairo_set_font_options(cr, options);
    cairo_font_options_destroy(options);

    setColour(cr, kBackground);
    cairo_paint(cr);

    Painter painter{cr, width, height, {}, {}};
    painter.layout(layout, 0, 0, width, height);
    for (const Popup& p : painter.popups) painter.popup(p);

    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), pngPath.c_str());
    if (status != CAIRO_STATUS_SUCCESS)
        return fail("cannot write '" + pngPath + "': " + cairo_status_to_string(status));
    return true;
}

}  // namespace fbhost
