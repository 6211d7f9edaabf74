// The controls of a panel: buttons, labels, edit fields, lists, spreadsheets, tab strips, and
// the device layout.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fbsdk/fbsdk_ui.h"
#include "sdk_internal.h"

namespace ORSDK2026 {

using namespace fbsdk_detail;

int FBVisualComponent::TypeInfo = kTypeVisualComponent;
int FBLayout::TypeInfo = kTypeLayout;
int FBButton::TypeInfo = kTypeButton;
int FBLabel::TypeInfo = kTypeLabel;
int FBEdit::TypeInfo = kTypeEdit;
int FBList::TypeInfo = kTypeList;
int FBSpread::TypeInfo = kTypeSpread;
int FBTabPanel::TypeInfo = kTypeTabPanel;
int FBDeviceLayout::TypeInfo = kTypeDeviceLayout;

namespace {
// Names a member property and lists it in its owner's property list, so Find sees it.
void publish(FBComponent* owner, FBProperty& property, FBPropertyType type, const char* name) {
    PropertyAccess::init(property, owner, type, name);
    owner->PropertyList.Add(&property);
}
}  // namespace

// ---- FBVisualComponent (destructor beside FBLayout, which it has to reach into) -------------

FBVisualComponent::FBVisualComponent(HIObject object) : FBComponent(object) {
    publish(this, Caption, kFBPT_charptr, "Caption");
    publish(this, Enabled, kFBPT_bool, "Enabled");
    publish(this, Visible, kFBPT_bool, "Visible");
    Enabled = true;
    Visible = true;
}
const char* FBVisualComponent::ClassName() {
    return "FBVisualComponent";
}
bool FBVisualComponent::Is(int typeId) {
    return typeId == TypeInfo || FBComponent::Is(typeId);
}
int FBVisualComponent::GetTypeId() {
    return TypeInfo;
}

// ---- FBLayout (regions in ui_layout.cpp) -----------------------------------------------------

const char* FBLayout::ClassName() {
    return "FBLayout";
}
bool FBLayout::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBLayout::GetTypeId() {
    return TypeInfo;
}

// ---- FBButton ----------------------------------------------------------------------------

FBButton::FBButton() {
    publish(this, Style, kFBPT_enum, "Style");
    publish(this, State, kFBPT_int, "State");
    Style = kFBPushButton;
    State = 0;
}
FBButton::~FBButton() = default;
const char* FBButton::ClassName() {
    return "FBButton";
}
bool FBButton::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBButton::GetTypeId() {
    return TypeInfo;
}

// ---- FBLabel -----------------------------------------------------------------------------

FBLabel::FBLabel() = default;
FBLabel::~FBLabel() = default;
const char* FBLabel::ClassName() {
    return "FBLabel";
}
bool FBLabel::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBLabel::GetTypeId() {
    return TypeInfo;
}

// ---- FBEdit ------------------------------------------------------------------------------

FBEdit::FBEdit() {
    publish(this, Text, kFBPT_charptr, "Text");
}
FBEdit::~FBEdit() = default;
const char* FBEdit::ClassName() {
    return "FBEdit";
}
bool FBEdit::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBEdit::GetTypeId() {
    return TypeInfo;
}

// ---- FBStringList ------------------------------------------------------------------------

FBStringList::FBStringList() = default;
FBStringList::~FBStringList() = default;

int FBStringList::Add(const char* text, kReference reference) {
    mItems.push_back(Item{text ? text : "", reference});
    return static_cast<int>(mItems.size()) - 1;
}

void FBStringList::Clear() {
    mItems.clear();
}

int FBStringList::GetCount() const {
    return static_cast<int>(mItems.size());
}

const char* FBStringList::operator[](int index) const {
    if (index < 0 || index >= GetCount()) return "";
    return mItems[index].text.c_str();
}

kReference FBStringList::GetReferenceAt(int index) const {
    if (index < 0 || index >= GetCount()) return 0;
    return mItems[index].reference;
}

int FBStringList::Find(const char* text) const {
    if (!text) return -1;
    for (int i = 0; i < GetCount(); ++i)
        if (mItems[i].text == text) return i;
    return -1;
}

void FBStringList::SetString(const char* text) {
    mItems.clear();
    if (!text || !*text) return;
    // Every '~' separates two items, so "a~~b" has an empty middle item and "a~" ends with one.
    const std::string all(text);
    std::size_t begin = 0;
    for (;;) {
        const std::size_t tilde = all.find('~', begin);
        mItems.push_back(Item{all.substr(begin, tilde - begin), 0});
        if (tilde == std::string::npos) break;
        begin = tilde + 1;
    }
}

// ---- FBList ------------------------------------------------------------------------------

FBList::FBList() {
    publish(this, ItemIndex, kFBPT_int, "ItemIndex");
    publish(this, Style, kFBPT_enum, "Style");
    ItemIndex = -1;
    Style = kFBDropDownList;
}
FBList::~FBList() = default;
const char* FBList::ClassName() {
    return "FBList";
}
bool FBList::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBList::GetTypeId() {
    return TypeInfo;
}

// ---- FBSpread ----------------------------------------------------------------------------

struct FBSpread::Impl {
    struct Cell {
        FBSpreadCell properties;
        double number = 0.0;
        std::string text;
        bool isText = false;
    };
    struct Row {
        FBSpreadRow row;
        // Cells by column (-1: the row header), made on first use.
        std::map<int, std::unique_ptr<Cell>> cells;
    };
    FBSpreadColumn rowHeader;
    // Pointers keep the addresses handed out stable while rows and columns are added.
    std::vector<std::unique_ptr<FBSpreadColumn>> columns;
    std::vector<std::unique_ptr<Row>> rows;

    Row* findRow(kReference reference) const {
        for (const auto& row : rows)
            if (row->row.reference == reference) return row.get();
        return nullptr;
    }
    bool validColumn(int column) const {
        return column >= -1 && column < static_cast<int>(columns.size());
    }
    Cell* cell(kReference reference, int column) {
        Row* row = findRow(reference);
        if (!row || !validColumn(column)) return nullptr;
        std::unique_ptr<Cell>& slot = row->cells[column];
        if (!slot) {
            slot = std::make_unique<Cell>();
            slot->properties.ReadOnly = false;
            slot->properties.Style =
                column >= 0 ? columns[column]->Style.Get() : rowHeader.Style.Get();
        }
        return slot.get();
    }
};

FBSpread::FBSpread() : mImpl(std::make_unique<Impl>()) {
    mImpl->rowHeader.Width = 100;
    mImpl->rowHeader.Style = kFBCellStyleString;
}
FBSpread::~FBSpread() = default;
const char* FBSpread::ClassName() {
    return "FBSpread";
}
bool FBSpread::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBSpread::GetTypeId() {
    return TypeInfo;
}

void FBSpread::Clear() {
    // The row-header column stays: it belongs to the table, not to its contents.
    mImpl->rows.clear();
    mImpl->columns.clear();
}

int FBSpread::ColumnAdd(const char* caption, kReference /*reference*/) {
    auto column = std::make_unique<FBSpreadColumn>();
    column->Caption = caption ? caption : "";
    column->Width = 60;
    column->Style = kFBCellStyleDefault;
    mImpl->columns.push_back(std::move(column));
    return static_cast<int>(mImpl->columns.size()) - 1;
}

FBSpreadColumn* FBSpread::GetColumn(int column) {
    if (column == -1) return &mImpl->rowHeader;
    if (!mImpl->validColumn(column)) return nullptr;
    return mImpl->columns[column].get();
}

int FBSpread::GetColumnCount() const {
    return static_cast<int>(mImpl->columns.size());
}

int FBSpread::RowAdd(const char* caption, kReference reference) {
    // Rows are addressed by reference: a second row with the same one could never be reached.
    if (mImpl->findRow(reference)) return -1;
    auto row = std::make_unique<Impl::Row>();
    row->row.Caption = caption ? caption : "";
    row->row.reference = reference;
    mImpl->rows.push_back(std::move(row));
    return static_cast<int>(mImpl->rows.size()) - 1;
}

FBSpreadRow* FBSpread::GetRow(kReference row) {
    Impl::Row* found = mImpl->findRow(row);
    return found ? &found->row : nullptr;
}

int FBSpread::GetRowCount() const {
    return static_cast<int>(mImpl->rows.size());
}

FBSpreadRow* FBSpread::GetRowAt(int index) {
    if (index < 0 || index >= GetRowCount()) return nullptr;
    return &mImpl->rows[index]->row;
}

FBSpreadCell* FBSpread::GetSpreadCell(kReference row, int column) {
    Impl::Cell* cell = mImpl->cell(row, column);
    return cell ? &cell->properties : nullptr;
}

void FBSpread::SetCell(kReference row, int column, double value) {
    if (Impl::Cell* cell = mImpl->cell(row, column)) {
        cell->number = value;
        cell->isText = false;
    }
}

void FBSpread::SetCell(kReference row, int column, const char* value) {
    if (Impl::Cell* cell = mImpl->cell(row, column)) {
        cell->text = value ? value : "";
        cell->isText = true;
    }
}

double FBSpread::GetCellDouble(kReference row, int column) const {
    const Impl::Row* found = mImpl->findRow(row);
    if (!found) return 0.0;
    auto it = found->cells.find(column);
    if (it == found->cells.end() || it->second->isText) return 0.0;
    return it->second->number;
}

const char* FBSpread::GetCellString(kReference row, int column) const {
    const Impl::Row* found = mImpl->findRow(row);
    if (!found) return nullptr;
    auto it = found->cells.find(column);
    if (it == found->cells.end() || !it->second->isText) return nullptr;
    return it->second->text.c_str();
}

// ---- FBTabPanel --------------------------------------------------------------------------

FBTabPanel::FBTabPanel() {
    publish(this, ItemIndex, kFBPT_int, "ItemIndex");
    ItemIndex = 0;
}
FBTabPanel::~FBTabPanel() = default;
const char* FBTabPanel::ClassName() {
    return "FBTabPanel";
}
bool FBTabPanel::Is(int typeId) {
    return typeId == TypeInfo || FBVisualComponent::Is(typeId);
}
int FBTabPanel::GetTypeId() {
    return TypeInfo;
}

// ---- FBDeviceLayout ----------------------------------------------------------------------

FBDeviceLayout::FBDeviceLayout(FBDevice* device, HIObject object) : FBLayout(object) {
    publish(this, Device, kFBPT_object, "Device");
    Device = device;
}
FBDeviceLayout::~FBDeviceLayout() = default;
const char* FBDeviceLayout::ClassName() {
    return "FBDeviceLayout";
}
bool FBDeviceLayout::Is(int typeId) {
    return typeId == TypeInfo || FBLayout::Is(typeId);
}
int FBDeviceLayout::GetTypeId() {
    return TypeInfo;
}

}  // namespace ORSDK2026
