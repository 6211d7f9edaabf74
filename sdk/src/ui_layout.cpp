// Layouts: named regions whose rectangles follow from attachments to other regions.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "fbsdk/fbsdk_ui.h"

namespace ORSDK2026 {
namespace {

// One of a region's four values: value + multiplier * (what `type` names of `relative`).
struct Attachment {
    int value = 0;
    FBAttachType type = kFBAttachNone;
    std::string relative;
    double multiplier = 1.0;
};

// The reference rectangle's edges and sizes, in the layout's coordinates.
double referenceOf(const FBRegionRect& r, FBAttachType type) {
    switch (type) {
        case kFBAttachLeft:
            return r.x;
        case kFBAttachRight:
            return r.x + r.width;
        case kFBAttachTop:
            return r.y;
        case kFBAttachBottom:
            return r.y + r.height;
        case kFBAttachWidth:
            return r.width;
        case kFBAttachHeight:
            return r.height;
        case kFBAttachCenter:
            // Ambiguous between the axes; the caller picks the axis (see centreOf).
            return 0.0;
        case kFBAttachNone:
        default:
            return 0.0;
    }
}

double centreOf(const FBRegionRect& r, bool horizontal) {
    return horizontal ? r.x + r.width / 2.0 : r.y + r.height / 2.0;
}

bool isEdge(FBAttachType type) {
    return type == kFBAttachLeft || type == kFBAttachRight || type == kFBAttachTop ||
           type == kFBAttachBottom || type == kFBAttachCenter;
}

int toPixels(double v) {
    if (!std::isfinite(v)) return 0;
    // Keep far-off values representable; a panel is never this large.
    v = std::clamp(v, -1.0e6, 1.0e6);
    return static_cast<int>(std::lround(v));
}

}  // namespace

struct FBLayout::Impl {
    struct Region {
        std::string name;
        std::string title;
        Attachment x, y, w, h;
        FBVisualComponent* control = nullptr;
        FBRegionBorder border;
    };
    std::vector<Region> regions;

    int indexOf(const char* name) const {
        if (!name) return -1;
        for (std::size_t i = 0; i < regions.size(); ++i)
            if (regions[i].name == name) return static_cast<int>(i);
        return -1;
    }

    // Every region's rectangle for a layout of the given size, in the order added. A reference
    // to "" or to a region not resolved before this one is the layout itself.
    std::vector<FBRegionRect> resolve(int layoutWidth, int layoutHeight) const {
        const FBRegionRect self{0, 0, std::max(0, layoutWidth), std::max(0, layoutHeight)};
        std::vector<FBRegionRect> rects;
        rects.reserve(regions.size());
        auto referenceRect = [&](const std::string& name) -> const FBRegionRect& {
            if (!name.empty())
                for (std::size_t i = 0; i < rects.size(); ++i)
                    if (regions[i].name == name) return rects[i];
            return self;
        };
        auto position = [&](const Attachment& a, bool horizontal) {
            const FBRegionRect& r = referenceRect(a.relative);
            const double ref =
                a.type == kFBAttachCenter ? centreOf(r, horizontal) : referenceOf(r, a.type);
            return a.value + a.multiplier * ref;
        };
        for (const Region& region : regions) {
            FBRegionRect rect;
            const double x = position(region.x, true);
            const double y = position(region.y, false);
            // A size attached to an edge ends the region at that edge (plus the value).
            double w = position(region.w, true);
            if (isEdge(region.w.type)) w -= x;
            double h = position(region.h, false);
            if (isEdge(region.h.type)) h -= y;
            rect.x = toPixels(x);
            rect.y = toPixels(y);
            rect.width = std::max(0, toPixels(w));
            rect.height = std::max(0, toPixels(h));
            rects.push_back(rect);
        }
        return rects;
    }
};

FBVisualComponent::~FBVisualComponent() {
    // Leave every region that holds this control empty. ClearControl edits mHolders, so work on
    // a copy.
    const std::vector<FBLayout*> holders = mHolders;
    for (FBLayout* layout : holders)
        for (FBLayout::Impl::Region& region : layout->impl()->regions)
            if (region.control == this) region.control = nullptr;
    mHolders.clear();
}

FBLayout::FBLayout(HIObject object) : FBVisualComponent(object), mImpl(std::make_unique<Impl>()) {}

FBLayout::~FBLayout() {
    // The controls outlive nothing of ours: forget this layout in each of them.
    for (Impl::Region& region : mImpl->regions)
        if (region.control) {
            auto& holders = region.control->mHolders;
            holders.erase(std::remove(holders.begin(), holders.end(), this), holders.end());
        }
}

bool FBLayout::AddRegion(const char* name, const char* title, int x, FBAttachType xType,
                         const char* xRelative, double xMultiplier, int y, FBAttachType yType,
                         const char* yRelative, double yMultiplier, int w, FBAttachType wType,
                         const char* wRelative, double wMultiplier, int h, FBAttachType hType,
                         const char* hRelative, double hMultiplier) {
    if (!name || mImpl->indexOf(name) >= 0) return false;
    auto attach = [](int value, FBAttachType type, const char* relative, double multiplier) {
        Attachment a;
        a.value = value;
        a.type = type;
        a.relative = relative ? relative : "";
        a.multiplier = std::isfinite(multiplier) ? multiplier : 0.0;
        return a;
    };
    Impl::Region region;
    region.name = name;
    region.title = title ? title : "";
    region.x = attach(x, xType, xRelative, xMultiplier);
    region.y = attach(y, yType, yRelative, yMultiplier);
    region.w = attach(w, wType, wRelative, wMultiplier);
    region.h = attach(h, hType, hRelative, hMultiplier);
    mImpl->regions.push_back(std::move(region));
    return true;
}

namespace {
// True when `inner` is `outer` or sits, at any depth, in one of its regions.
bool holds(const FBLayout& outer, const FBLayout* inner) {
    if (&outer == inner) return true;
    for (int i = 0; i < outer.GetRegionCount(); ++i) {
        auto* nested = dynamic_cast<FBLayout*>(outer.GetControl(outer.GetRegionName(i)));
        if (nested && holds(*nested, inner)) return true;
    }
    return false;
}
}  // namespace

bool FBLayout::SetControl(const char* region, FBVisualComponent& control) {
    return SetControl(region, &control);
}

bool FBLayout::SetControl(const char* region, FBVisualComponent* control) {
    const int index = mImpl->indexOf(region);
    if (index < 0 || !control) return false;
    if (auto* nested = dynamic_cast<FBLayout*>(control); nested && holds(*nested, this))
        return false;
    ClearControl(region);
    mImpl->regions[index].control = control;
    control->mHolders.push_back(this);
    return true;
}

bool FBLayout::ClearControl(const char* region) {
    const int index = mImpl->indexOf(region);
    if (index < 0) return false;
    FBVisualComponent*& control = mImpl->regions[index].control;
    if (control) {
        // The same control may sit in two regions of this layout: drop one holder entry only.
        auto& holders = control->mHolders;
        auto it = std::find(holders.begin(), holders.end(), this);
        if (it != holders.end()) holders.erase(it);
        control = nullptr;
    }
    return true;
}

bool FBLayout::SetBorder(const char* region, FBBorderStyle style, bool showTitle, bool maxSize,
                         int width, int spacing, double angle, int corner) {
    const int index = mImpl->indexOf(region);
    if (index < 0) return false;
    FBRegionBorder& border = mImpl->regions[index].border;
    border.style = style;
    border.showTitle = showTitle;
    border.maxSize = maxSize;
    border.width = width;
    border.spacing = spacing;
    border.angle = angle;
    border.corner = corner;
    return true;
}

bool FBLayout::RemoveRegion(const char* region) {
    const int index = mImpl->indexOf(region);
    if (index < 0) return false;
    ClearControl(region);
    mImpl->regions.erase(mImpl->regions.begin() + index);
    return true;
}

int FBLayout::GetRegionCount() const {
    return static_cast<int>(mImpl->regions.size());
}

const char* FBLayout::GetRegionName(int index) const {
    if (index < 0 || index >= GetRegionCount()) return "";
    return mImpl->regions[index].name.c_str();
}

const char* FBLayout::GetRegionTitle(const char* region) const {
    const int index = mImpl->indexOf(region);
    return index < 0 ? "" : mImpl->regions[index].title.c_str();
}

bool FBLayout::GetRegionRect(const char* region, int layoutWidth, int layoutHeight,
                             FBRegionRect& rect) const {
    if (!region) return false;
    const std::vector<FBRegionRect> rects = mImpl->resolve(layoutWidth, layoutHeight);
    const int index = mImpl->indexOf(region);
    if (index >= 0) {
        rect = rects[index];
        return true;
    }
    // Not ours: look in the nested layouts, each laid out at the size of its region.
    for (std::size_t i = 0; i < rects.size(); ++i) {
        auto* nested = dynamic_cast<FBLayout*>(mImpl->regions[i].control);
        FBRegionRect inner;
        if (nested && nested->GetRegionRect(region, rects[i].width, rects[i].height, inner)) {
            rect = inner;
            rect.x += rects[i].x;
            rect.y += rects[i].y;
            return true;
        }
    }
    return false;
}

bool FBLayout::GetRegionBorder(const char* region, FBRegionBorder& border) const {
    const int index = mImpl->indexOf(region);
    if (index < 0) return false;
    border = mImpl->regions[index].border;
    return true;
}

FBVisualComponent* FBLayout::GetControl(const char* region) const {
    const int index = mImpl->indexOf(region);
    return index < 0 ? nullptr : mImpl->regions[index].control;
}

}  // namespace ORSDK2026
