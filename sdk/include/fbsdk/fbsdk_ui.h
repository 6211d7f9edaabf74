// User interface: layouts with attached regions, and the controls a device panel uses.
//
// A layout's regions resolve to rectangles (x, y, width, height in pixels, y down) once the host
// gives the layout a size. Each of a region's four values is `value + multiplier * reference`,
// where the reference is what the attach type names of another region R (0 for kFBAttachNone):
//   x, y:   R's left / right / top / bottom edge (or R's width / height);
//   width:  attached to R's right edge the region ENDS there: width = R.right + value - x (a
//           negative value ends it inside R); attached to R's width: width = R.width + value;
//   height: likewise with R's bottom edge or R's height.
// R is named by the relative-region argument: "" is the layout itself (left = top = 0, the
// layout's own width and height). A name that is not (yet) one of the layout's regions also
// means the layout itself: a nested layout refers so to the region that holds it. Regions are
// resolved in the order added, so a region named before it is added also means the layout.
// Other attach types follow the same rule: an edge (left, right, top, bottom, centre) given for
// a width or height is where the region ends; a size given for x or y is an offset. Sizes that
// come out negative are 0. Values are rounded to whole pixels.
#pragma once

#include <vector>

#include "fbsdk/fbsdk_scene.h"

namespace ORSDK2026 {

class FBLayout;

class FBSDK_API FBVisualComponent : public FBComponent {
public:
    static int TypeInfo;
    explicit FBVisualComponent(HIObject object = nullptr);
    ~FBVisualComponent() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyString Caption;
    FBPropertyBool Enabled;  // default true
    FBPropertyBool Visible;  // default true; a hidden control is not drawn

private:
    friend class FBLayout;
    // The layouts whose regions hold this control: a control destroyed before its layout leaves
    // those regions empty instead of dangling.
    std::vector<FBLayout*> mHolders;
};

enum FBAttachType {
    kFBAttachLeft = 0,
    kFBAttachRight = 1,
    kFBAttachTop = 2,
    kFBAttachBottom = 3,
    kFBAttachWidth = 4,
    kFBAttachHeight = 5,
    kFBAttachCenter = 6,
    kFBAttachNone = 7,
};

enum FBBorderStyle {
    kFBNoBorder = 0,
    kFBStandardBorder = 1,
    kFBEmbossBorder = 2,
    kFBEmbossSmoothBorder = 3,
    kFBEmbossEdgeSmoothBorder = 4,
    kFBEmbossSmoothEdgeBorder = 5,
};

// A pixel rectangle of a resolved region.
struct FBRegionRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// A region's border as SetBorder gave it (style kFBNoBorder: none set).
struct FBRegionBorder {
    FBBorderStyle style = kFBNoBorder;
    bool showTitle = false;
    bool maxSize = false;
    int width = 0;
    int spacing = 0;
    double angle = 0.0;
    int corner = 0;
};

class FBSDK_API FBLayout : public FBVisualComponent {
public:
    static int TypeInfo;
    explicit FBLayout(HIObject object = nullptr);
    ~FBLayout() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    // Adds a region; a second region of the same name is refused with false.
    bool AddRegion(const char* name, const char* title, int x, FBAttachType xType,
                   const char* xRelative, double xMultiplier, int y, FBAttachType yType,
                   const char* yRelative, double yMultiplier, int w, FBAttachType wType,
                   const char* wRelative, double wMultiplier, int h, FBAttachType hType,
                   const char* hRelative, double hMultiplier);
    // Puts a control (or a nested layout) into a region, replacing what was there; false for an
    // unknown region, a null control, or a layout that is this one or holds it (a cycle).
    bool SetControl(const char* region, FBVisualComponent& control);
    bool SetControl(const char* region, FBVisualComponent* control);
    bool ClearControl(const char* region);
    bool SetBorder(const char* region, FBBorderStyle style, bool showTitle, bool maxSize, int width,
                   int spacing, double angle, int corner);
    bool RemoveRegion(const char* region);

    // Host side, also for tests: regions in the order added, their rectangles for a layout of
    // the given size, and their controls. A region of a nested layout (one set into a region of
    // this layout, at any depth) is found too: it resolves inside its holding region and its
    // rectangle is given in this layout's coordinates. false for a region found nowhere.
    int GetRegionCount() const;
    const char* GetRegionName(int index) const;            // "" out of range
    const char* GetRegionTitle(const char* region) const;  // "" for an unknown region
    bool GetRegionRect(const char* region, int layoutWidth, int layoutHeight,
                       FBRegionRect& rect) const;
    bool GetRegionBorder(const char* region, FBRegionBorder& border) const;
    FBVisualComponent* GetControl(const char* region) const;  // of this layout's own regions

    struct Impl;
    Impl* impl() const { return mImpl.get(); }

private:
    std::unique_ptr<Impl> mImpl;
};

enum FBButtonStyle {
    kFBPushButton = 0,
    kFBBitmapButton = 1,
    kFBRadioButton = 2,
    kFBCheckbox = 3,
    kFBBitmap2States = 4,
};

class FBSDK_API FBButton : public FBVisualComponent {
public:
    static int TypeInfo;
    FBButton();
    ~FBButton() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyEnum<FBButtonStyle> Style;
    FBPropertyInt State;  // 0 or 1; a check box flips it before OnClick fires
    FBPropertyEvent OnClick;
};

class FBSDK_API FBLabel : public FBVisualComponent {
public:
    static int TypeInfo;
    FBLabel();
    ~FBLabel() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;
};

class FBSDK_API FBEdit : public FBVisualComponent {
public:
    static int TypeInfo;
    FBEdit();
    ~FBEdit() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyString Text;
    FBPropertyEvent OnChange;  // fired when the user has typed (the driver sets Text first)
};

// Items of a list control or tab strip: texts with a reference value each.
class FBSDK_API FBStringList {
public:
    FBStringList();
    ~FBStringList();
    int Add(const char* text, kReference reference = 0);
    void Clear();
    int GetCount() const;
    const char* operator[](int index) const;  // "" out of range
    kReference GetReferenceAt(int index) const;
    int Find(const char* text) const;
    // Replaces the items with the pieces of a '~'-separated text ("Markers~Setup").
    void SetString(const char* text);

private:
    struct Item {
        std::string text;
        kReference reference;
    };
    std::vector<Item> mItems;
};

enum FBListStyle { kFBDropDownList = 0, kFBVerticalList = 1 };

class FBSDK_API FBList : public FBVisualComponent {
public:
    static int TypeInfo;
    FBList();
    ~FBList() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBStringList Items;
    FBPropertyInt ItemIndex;  // the selected item, -1 for none
    FBPropertyEnum<FBListStyle> Style;
    FBPropertyEvent OnChange;  // fired when the user picks an item (the driver sets ItemIndex)
};

enum FBCellStyle {
    kFBCellStyleDefault = 0,
    kFBCellStyleString = 1,
    kFBCellStyleDouble = 2,
    kFBCellStyleInteger = 3,
    kFBCellStyleButton = 4,
};

class FBSDK_API FBSpreadCell {
public:
    FBPropertyBool ReadOnly;
    FBPropertyEnum<FBCellStyle> Style;
};
class FBSDK_API FBSpreadColumn {
public:
    FBPropertyString Caption;
    FBPropertyInt Width;
    FBPropertyEnum<FBCellStyle> Style;
};
class FBSDK_API FBSpreadRow {
public:
    FBPropertyString Caption;
    kReference reference = 0;
};

// A spreadsheet: columns, rows addressed by reference, cells of doubles or strings.
class FBSDK_API FBSpread : public FBVisualComponent {
public:
    static int TypeInfo;
    FBSpread();
    ~FBSpread() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    void Clear();  // rows and columns
    int ColumnAdd(const char* caption, kReference reference = 0);
    // Column -1 is the row-header column.
    FBSpreadColumn* GetColumn(int column);
    int GetColumnCount() const;
    int RowAdd(const char* caption, kReference reference);
    FBSpreadRow* GetRow(kReference row);
    int GetRowCount() const;
    FBSpreadRow* GetRowAt(int index);  // rows in the order added; null out of range
    // Cells of (row reference, column); null for an unknown row or column.
    FBSpreadCell* GetSpreadCell(kReference row, int column);
    void SetCell(kReference row, int column, double value);
    void SetCell(kReference row, int column, const char* value);
    double GetCellDouble(kReference row, int column) const;
    // Host side: a text cell's text; null for a number cell, an unset cell or none.
    const char* GetCellString(kReference row, int column) const;

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

class FBSDK_API FBTabPanel : public FBVisualComponent {
public:
    static int TypeInfo;
    FBTabPanel();
    ~FBTabPanel() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBStringList Items;
    FBPropertyInt ItemIndex;
    FBPropertyEvent OnChange;
};

// A device's settings panel. Device gives the device it was created for.
class FBSDK_API FBDeviceLayout : public FBLayout {
public:
    static int TypeInfo;
    explicit FBDeviceLayout(FBDevice* device, HIObject object = nullptr);
    ~FBDeviceLayout() override;
    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;

    FBPropertyObject<FBDevice> Device;
};

}  // namespace ORSDK2026
