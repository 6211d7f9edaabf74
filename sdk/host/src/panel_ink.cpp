#include "panel_ink.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

namespace fbhost::ink {

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

// One line of text in a box, vertically centred on a whole-pixel baseline, clipped to the box.
// Text too wide for the box is set smaller, down to kMinFontSize, before it is clipped.
void drawText(cairo_t* cr, const char* bytes, double x, double y, double w, double h,
              const Rgb& colour, Align align) {
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
void outline(cairo_t* cr, const FBRegionRect& r, const Rgb& colour, double radius) {
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

}  // namespace fbhost::ink
