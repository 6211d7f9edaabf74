#include "ui/device_layout.h"

using namespace ORSDK2026;

ORDeviceSkeletonLayout::ORDeviceSkeletonLayout(FBDevice* owningDevice)
    : FBDeviceLayout(owningDevice) {}

ORDeviceSkeletonLayout::~ORDeviceSkeletonLayout() = default;

const char* ORDeviceSkeletonLayout::ClassName() {
    return "ORDeviceSkeletonLayout";
}

bool ORDeviceSkeletonLayout::Is(int typeId) {
    return typeId == classTypeId || FBDeviceLayout::Is(typeId);
}

int ORDeviceSkeletonLayout::GetTypeId() {
    return classTypeId;
}

void ORDeviceSkeletonLayout::FBDelete() {
    FBDeviceLayout::FBDelete();
}

bool ORDeviceSkeletonLayout::FBCreate() {
    return true;
}

void ORDeviceSkeletonLayout::FBDestroy() {}

HIObject ORDeviceSkeletonLayoutCreate(HIObject /*owner*/, const char* /*name*/, void* data) {
    auto* hostDevice = dynamic_cast<FBDevice*>(FBGetFBObject(static_cast<HIObject>(data)));
    if (hostDevice == nullptr) return nullptr;
    auto* layout = new ORDeviceSkeletonLayout(hostDevice);
    if (!layout->FBCreate()) {
        layout->FBDelete();
        return nullptr;
    }
    return layout->GetHIObject();
}
