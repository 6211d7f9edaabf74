#include "tools/common/skeleton_picture.h"

#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>

namespace telmora {
namespace {

constexpr int kPanelWidth = 240;
constexpr int kPanelHeight = 300;
constexpr int kTitleHeight = 40;
constexpr int kLabelHeight = 22;
// Centimetres shown across the panel's height.
constexpr double kPanelSpanCm = 230.0;

bool startsWithNoCase(const std::string& text, const char* prefix) {
    std::size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) !=
                                    std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

struct View {
    double originX, originY;  // panel's top-left corner in the picture
    double scale;             // pixels per centimetre
    double centreCm;          // horizontal world coordinate drawn at the panel's centre
    // false: front view, seen from ahead (the character's left, +x, on the right);
    // true: side view from the character's right, facing right (screen x = world z).
    bool side;

    double screenX(const glm::dvec3& p) const {
        const double h = side ? p.z : p.x;
        return originX + kPanelWidth / 2.0 + (h - centreCm) * scale;
    }
    double screenY(const glm::dvec3& p) const {
        // The floor (y = 0) sits a little above the panel's bottom.
        return originY + kPanelHeight - 20.0 - p.y * scale;
    }
};

void drawPose(cairo_t* cr, const std::vector<PictureBone>& bones, const PictureMoment& moment,
              const View& view) {
    // Floor line.
    cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, view.originX + 10, view.screenY(glm::dvec3(0.0)));
    cairo_line_to(cr, view.originX + kPanelWidth - 10, view.screenY(glm::dvec3(0.0)));
    cairo_stroke(cr);

    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    // Draw the far (left) side first so the near side stays visible in the side view.
    for (BoneSide pass : {BoneSide::kLeft, BoneSide::kCentre, BoneSide::kRight}) {
        for (std::size_t b = 0; b < bones.size(); ++b) {
            const int parent = bones[b].parent;
            if (parent < 0 || bones[b].side != pass) continue;
            cairo_set_line_width(cr, bones[b].thin ? 1.0 : 3.0);
            switch (pass) {
                case BoneSide::kLeft:
                    cairo_set_source_rgb(cr, 0.15, 0.35, 0.85);
                    break;
                case BoneSide::kRight:
                    cairo_set_source_rgb(cr, 0.85, 0.2, 0.15);
                    break;
                case BoneSide::kCentre:
                    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
                    break;
            }
            const glm::dvec3& from = moment.positions[static_cast<std::size_t>(parent)];
            const glm::dvec3& to = moment.positions[b];
            cairo_move_to(cr, view.screenX(from), view.screenY(from));
            cairo_line_to(cr, view.screenX(to), view.screenY(to));
            cairo_stroke(cr);
        }
    }
    // Joints as small dots.
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    for (std::size_t b = 0; b < bones.size(); ++b) {
        if (bones[b].thin) continue;
        cairo_new_sub_path(cr);
        cairo_arc(cr, view.screenX(moment.positions[b]), view.screenY(moment.positions[b]), 2.0,
                  0.0, 2.0 * M_PI);
        cairo_fill(cr);
    }
    cairo_set_source_rgb(cr, 0.05, 0.6, 0.2);
    cairo_set_line_width(cr, 2.0);
    for (const glm::dvec3& marker : moment.markers) {
        cairo_new_sub_path(cr);
        cairo_arc(cr, view.screenX(marker), view.screenY(marker), 6.0, 0.0, 2.0 * M_PI);
        cairo_stroke(cr);
    }
}

void label(cairo_t* cr, double x, double y, const std::string& text, double size) {
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    cairo_set_font_size(cr, size);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text.c_str());
}

}  // namespace

PictureBone pictureBoneFromName(const std::string& name, int parent) {
    PictureBone bone;
    bone.parent = parent;
    if (startsWithNoCase(name, "left"))
        bone.side = BoneSide::kLeft;
    else if (startsWithNoCase(name, "right"))
        bone.side = BoneSide::kRight;
    const std::size_t hand = name.find("Hand");
    bone.thin = hand != std::string::npos && hand + 4 < name.size();
    return bone;
}

bool writeSkeletonPicture(const std::string& path, const std::vector<PictureBone>& bones,
                          const std::vector<PictureMoment>& moments, const std::string& title,
                          std::string& error, int maxMoments) {
    if (moments.empty() || bones.empty() || maxMoments < 1) {
        error = "no pose to draw";
        return false;
    }
    for (std::size_t b = 0; b < bones.size(); ++b) {
        if (bones[b].parent >= static_cast<int>(bones.size())) {
            error =
                "bone " + std::to_string(b) + " has no parent " + std::to_string(bones[b].parent);
            return false;
        }
    }
    for (const PictureMoment& moment : moments) {
        if (moment.positions.size() != bones.size()) {
            error = "a moment holds " + std::to_string(moment.positions.size()) +
                    " positions for " + std::to_string(bones.size()) + " bones";
            return false;
        }
    }
    // Evenly spread moments, first and last included.
    std::vector<const PictureMoment*> chosen;
    const int count = std::min<int>(maxMoments, static_cast<int>(moments.size()));
    for (int i = 0; i < count; ++i) {
        const std::size_t index =
            count == 1
                ? 0
                : static_cast<std::size_t>(std::lround(i * (moments.size() - 1.0) / (count - 1)));
        chosen.push_back(&moments[index]);
    }

    const int width = kPanelWidth * count;
    const int height = kTitleHeight + 2 * (kPanelHeight + kLabelHeight);
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), &cairo_surface_destroy);
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(surface.get()),
                                                          &cairo_destroy);
    cairo_set_source_rgb(cr.get(), 1, 1, 1);
    cairo_paint(cr.get());
    cairo_select_font_face(cr.get(), "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    label(cr.get(), 10, 26, title, 16);

    const double scale = kPanelHeight / kPanelSpanCm;
    for (int i = 0; i < count; ++i) {
        const PictureMoment& moment = *chosen[i];
        const double x0 = i * kPanelWidth;
        const glm::dvec3 root = moment.positions[0];
        char text[64];
        std::snprintf(text, sizeof text, "t = %.2f s  front", moment.seconds);
        label(cr.get(), x0 + 8, kTitleHeight + 16, text, 12);
        drawPose(cr.get(), bones, moment,
                 View{x0, double(kTitleHeight + kLabelHeight), scale, root.x, false});
        std::snprintf(text, sizeof text, "t = %.2f s  side (facing right)", moment.seconds);
        const double sideTop = kTitleHeight + kLabelHeight + kPanelHeight;
        label(cr.get(), x0 + 8, sideTop + 16, text, 12);
        drawPose(cr.get(), bones, moment, View{x0, sideTop + kLabelHeight, scale, root.z, true});
        // Panel separators.
        cairo_set_source_rgb(cr.get(), 0.85, 0.85, 0.85);
        cairo_set_line_width(cr.get(), 1.0);
        cairo_move_to(cr.get(), x0 + 0.5, kTitleHeight);
        cairo_line_to(cr.get(), x0 + 0.5, height);
        cairo_stroke(cr.get());
    }
    cairo_surface_flush(surface.get());
    const cairo_status_t status = cairo_surface_write_to_png(surface.get(), path.c_str());
    if (status != CAIRO_STATUS_SUCCESS) {
        error = "cannot write " + path + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

}  // namespace telmora
