#include "tools/monitor/pose_picture.h"

#include <cairo.h>

#include <algorithm>
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

enum class Side { Left, Right, Centre };

Side sideOf(int bone, const std::array<int, kMaxChannels>& parents) {
    // Default bone ranges: 7..10 and 25..44 left arm and hand, 11..14 and 45..64 right,
    // 15..19 left leg, 20..24 right leg.
    (void)parents;
    if ((bone >= 7 && bone <= 10) || (bone >= 25 && bone <= 44) || (bone >= 15 && bone <= 19))
        return Side::Left;
    if ((bone >= 11 && bone <= 14) || (bone >= 45 && bone <= 64) || (bone >= 20 && bone <= 24))
        return Side::Right;
    return Side::Centre;
}

struct View {
    double originX, originY;  // panel's top-left corner in the picture
    double scale;             // pixels per centimetre
    double centreCm;          // horizontal world coordinate drawn at the panel's centre
    // false: front view, seen from ahead (the character's left, +x, on the right);
    // true: side view from the character's right, facing right (screen x = world z).
    bool side;

    double screenX(const glm::vec3& p) const {
        const double h = side ? p.z : p.x;
        return originX + kPanelWidth / 2.0 + (h - centreCm) * scale;
    }
    double screenY(const glm::vec3& p) const {
        // The floor (y = 0) sits a little above the panel's bottom.
        return originY + kPanelHeight - 20.0 - p.y * scale;
    }
};

void drawPose(cairo_t* cr, const CapturedPose& pose, const View& view) {
    // Floor line.
    cairo_set_source_rgb(cr, 0.75, 0.75, 0.75);
    cairo_set_line_width(cr, 1.0);
    cairo_move_to(cr, view.originX + 10, view.screenY(glm::vec3(0.0f)));
    cairo_line_to(cr, view.originX + kPanelWidth - 10, view.screenY(glm::vec3(0.0f)));
    cairo_stroke(cr);

    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    // Draw the far (left) side first so the near side stays visible in the side view.
    for (Side pass : {Side::Left, Side::Centre, Side::Right}) {
        for (int b = 1; b < pose.boneCount; ++b) {
            const int parent = pose.parents[b];
            if (parent < 0 || sideOf(b, pose.parents) != pass) continue;
            const bool finger = b >= 25;
            cairo_set_line_width(cr, finger ? 1.0 : 3.0);
            switch (pass) {
                case Side::Left:
                    cairo_set_source_rgb(cr, 0.15, 0.35, 0.85);
                    break;
                case Side::Right:
                    cairo_set_source_rgb(cr, 0.85, 0.2, 0.15);
                    break;
                case Side::Centre:
                    cairo_set_source_rgb(cr, 0.3, 0.3, 0.3);
                    break;
            }
            cairo_move_to(cr, view.screenX(pose.bonePositions[parent]),
                          view.screenY(pose.bonePositions[parent]));
            cairo_line_to(cr, view.screenX(pose.bonePositions[b]),
                          view.screenY(pose.bonePositions[b]));
            cairo_stroke(cr);
        }
    }
    // The points the frame asked for.
    cairo_set_source_rgb(cr, 0.05, 0.6, 0.2);
    cairo_set_line_width(cr, 2.0);
    for (const glm::vec3& target : pose.targets) {
        const double x = view.screenX(target), y = view.screenY(target);
        cairo_new_sub_path(cr);
        cairo_arc(cr, x, y, 6.0, 0.0, 2.0 * M_PI);
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

bool writePosePicture(const std::string& path, const std::vector<CapturedPose>& poses,
                      const std::string& title, std::string& error, int maxMoments) {
    if (poses.empty()) {
        error = "no solved frame to draw";
        return false;
    }
    // Evenly spread moments, first and last included.
    std::vector<const CapturedPose*> chosen;
    const int count = std::min<int>(maxMoments, static_cast<int>(poses.size()));
    for (int i = 0; i < count; ++i) {
        const std::size_t index =
            count == 1
                ? 0
                : static_cast<std::size_t>(std::lround(i * (poses.size() - 1.0) / (count - 1)));
        chosen.push_back(&poses[index]);
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
        const CapturedPose& pose = *chosen[i];
        const double x0 = i * kPanelWidth;
        const glm::vec3 hips = pose.bonePositions[0];
        char text[64];
        std::snprintf(text, sizeof text, "t = %.1f s  front", pose.seconds);
        label(cr.get(), x0 + 8, kTitleHeight + 16, text, 12);
        drawPose(cr.get(), pose,
                 View{x0, double(kTitleHeight + kLabelHeight), scale, hips.x, false});
        std::snprintf(text, sizeof text, "t = %.1f s  side (facing right)", pose.seconds);
        const double sideTop = kTitleHeight + kLabelHeight + kPanelHeight;
        label(cr.get(), x0 + 8, sideTop + 16, text, 12);
        drawPose(cr.get(), pose, View{x0, sideTop + kLabelHeight, scale, hips.z, true});
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
