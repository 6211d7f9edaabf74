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

namespace fbhost {
namespace {

using namespace ORSDK2026;

struct Rgb {
    double r, g, b;
};
constexpr Rgb kBackground{0.925, 0.925, 0.925};
constexpr Rgb kText{0.10, 0.10, 0.10};
constexpr Rgb kTextDisabled{0.55, 0.55, 0.55};
constexpr Rgb kFrameDark{0.58, 0.58, 0.58};
constexpr Rgb kFrameLight{1.0, 1.0, 1.0};
constexpr Rgb kFieldFace{1.0, 1.0, 1.0};
constexpr Rgb kFieldEdge{0.50, 0.50, 0.50};
constexpr Rgb kButtonTop{0.985, 0.985, 0.985};
constexpr Rgb kButtonBottom{0.860, 0.860, 0.860};
constexpr Rgb kPressedTop{0.780, 0.780, 0.780};
constexpr Rgb kPressedBottom{0.880, 0.880, 0.880};
constexpr Rgb kAccent{0.20, 0.45, 0.80};
constexpr double kPi = 3.14159265358979323846;
constexpr double kFontSize = 11.0;
constexpr double kMinFontSize = 9.0;
constexpr int kItemHeight = 18;
constexpr int kMaxPictureSide = 8192;

void setColour(cairo_t* cr, const Rgb& c) {
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

// Plug-in texts are bytes: cairo takes UTF-8 only and an invalid string would put the whole
// context into an error state (nothing drawn after it). Invalid sequences become '?'.
std::string validUtf8(const char* text) {
    std::string out;
    if (!text) return out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        int length = 0;
        if (*p < 0x80) {
            length = 1;
        } else if ((*p & 0xE0) == 0xC0 && *p >= 0xC2) {
            length = 2;
        } else if ((*p & 0xF0) == 0xE0) {
            length = 3;
        } else if ((*p & 0xF8) == 0xF0 && *p <= 0xF4) {
            length = 4;
        }
        bool ok = length > 0;
        for (int i = 1; ok && i < length; ++i) ok = (p[i] & 0xC0) == 0x80;  // stops at the NUL
        // Overlong three- and four-byte forms, surrogates and code points past U+10FFFF.
        if (ok && length == 3)
            ok = !(p[0] == 0xE0 && p[1] < 0xA0) && !(p[0] == 0xED && p[1] >= 0xA0);
        if (ok && length == 4)
            ok = !(p[0] == 0xF0 && p[1] < 0x90) && !(p[0] == 0xF4 && p[1] >= 0x90);
        if (ok) {
            out.append(reinterpret_cast<const char*>(p), length);
            p += length;
        } else {
            out.push_back('?');
            ++p;
        }
    }
    return out;
}

double textWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    return extents.x_advance;
}

enum class Align { Left, Centre };

// One line of text in a box, vertically centred on a whole-pixel baseline, clipped to the box.
// Text too wide for the box is set smaller, down to kMinFontSize, before it is clipped.
void drawText(cairo_t* cr, const char* bytes, double x, double y, double w, double h,
              const Rgb& colour, Align align = Align::Left) {
    if (!bytes || !*bytes || w <= 0 || h <= 0) return;
    const std::string text = validUtf8(bytes);
    cairo_save(cr);
    cairo_rectangle(cr, x, y, w, h);
    cairo_clip(cr);
    double width = textWidth(cr, text);
    if (width > w) {
        cairo_set_font_size(cr, std::max(kMinFontSize, std::floor(kFontSize * w / width)));
        width = textWidth(cr, text);
    }
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    const double baseline = std::floor(y + (h - (font.ascent + font.descent)) / 2.0 + font.ascent);
    double left = x;
    if (align == Align::Centre) left = x + std::max(0.0, (w - width) / 2.0);
    setColour(cr, colour);
    cairo_move_to(cr, std::floor(left), baseline);
    cairo_show_text(cr, text.c_str());
    cairo_restore(cr);
}

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
    r = std::min({r, w / 2.0, h / 2.0});
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
    cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
    cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
    cairo_close_path(cr);
}

// A 1-pixel outline inside the pixel rectangle.
void outline(cairo_t* cr, const FBRegionRect& r, const Rgb& colour, double radius = 0.0) {
    if (r.width < 2 || r.height < 2) return;
    setColour(cr, colour);
    cairo_set_line_width(cr, 1.0);
    roundedRect(cr, r.x + 0.5, r.y + 0.5, r.width - 1.0, r.height - 1.0, radius);
    cairo_stroke(cr);
}

void verticalGradient(cairo_t* cr, const FBRegionRect& r, const Rgb& top, const Rgb& bottom,
                      double radius) {
    cairo_pattern_t* pattern = cairo_pattern_create_linear(0, r.y, 0, r.y + r.height);
    cairo_pattern_add_color_stop_rgb(pattern, 0, top.r, top.g, top.b);
    cairo_pattern_add_color_stop_rgb(pattern, 1, bottom.r, bottom.g, bottom.b);
    cairo_set_source(cr, pattern);
    roundedRect(cr, r.x, r.y, r.width, r.height, radius);
    cairo_fill(cr);
    cairo_pattern_destroy(pattern);
}

// ---- Borders ----

void drawBorder(cairo_t* cr, const FBRegionRect& r, const FBRegionBorder& border,
                const char* title) {
    if (border.style == kFBNoBorder || r.width < 4 || r.height < 4) return;
    const bool smooth = border.style >= kFBEmbossSmoothBorder;
    const double radius = smooth ? 4.0 : std::max(0, border.corner);
    // With a title shown, the frame runs through the middle of the title line.
    const bool titled = border.showTitle && title && *title;
    FBRegionRect frame = r;
    if (titled) {
        frame.y += static_cast<int>(kFontSize / 2);
        frame.height = std::max(0, frame.height - static_cast<int>(kFontSize / 2));
    }
    if (border.style == kFBStandardBorder) {
        outline(cr, frame, kFrameDark, radius);
    } else {
        // Etched: a dark line with a light one one pixel below and right of it.
        FBRegionRect light = frame;
        light.x += 1;
        light.y += 1;
        light.width = std::max(0, light.width - 1);
        light.height = std::max(0, light.height - 1);
        outline(cr, light, kFrameLight, radius);
        FBRegionRect dark = frame;
        dark.width = std::max(0, dark.width - 1);
        dark.height = std::max(0, dark.height - 1);
        outline(cr, dark, kFrameDark, radius);
    }
    if (titled) {
        const double w = std::min<double>(textWidth(cr, validUtf8(title)) + 8, r.width - 16);
        setColour(cr, kBackground);
        cairo_rectangle(cr, r.x + 8, r.y, w, kFontSize + 2);
        cairo_fill(cr);
        drawText(cr, title, r.x + 12, r.y, w - 4, kFontSize + 2, kText);
    }
}

// ---- Controls ----

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
