#pragma once
// The ink of a panel picture: its colours and sizes, text that is always valid UTF-8 and fits
// its box, frames, gradients and region borders, all on a cairo context.

#include <cairo.h>

#include <string>

#include "fbhost/host.h"

namespace fbhost::ink {

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

enum class Align { Left, Centre };

void setColour(cairo_t* cr, const Rgb& c);

// Plug-in texts are bytes: cairo takes UTF-8 only and an invalid string would put the whole
// context into an error state (nothing drawn after it). Invalid sequences become '?'.
std::string validUtf8(const char* text);

double textWidth(cairo_t* cr, const std::string& text);

// One line of text in a box, vertically centred on a whole-pixel baseline, clipped to the box.
// Text too wide for the box is set smaller, down to kMinFontSize, before it is clipped.
void drawText(cairo_t* cr, const char* bytes, double x, double y, double w, double h,
              const Rgb& colour, Align align = Align::Left);

void roundedRect(cairo_t* cr, double x, double y, double w, double h, double r);

// A 1-pixel outline inside the pixel rectangle.
void outline(cairo_t* cr, const FBRegionRect& r, const Rgb& colour, double radius = 0.0);

void verticalGradient(cairo_t* cr, const FBRegionRect& r, const Rgb& top, const Rgb& bottom,
                      double radius);

void drawBorder(cairo_t* cr, const FBRegionRect& r, const FBRegionBorder& border,
                const char* title);

}  // namespace fbhost::ink
