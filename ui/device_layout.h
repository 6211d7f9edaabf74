// The TelmoraLink device's settings panel: listening port, source and subject lists, and the
// Characterize button.
#pragma once

#include <fbsdk/fbsdk.h>

#include <memory>

class ORDeviceSkeleton;

class ORDeviceSkeletonLayout : public ORSDK2026::FBDeviceLayout {
public:
    // Drawn from the SDK's type counter when the library loads (after the device's number).
    static int classTypeId;

    explicit ORDeviceSkeletonLayout(ORSDK2026::FBDevice* device);
    ~ORDeviceSkeletonLayout() override;

    const char* ClassName() override;
    bool Is(int typeId) override;
    int GetTypeId() override;
    void FBDelete() override;
    bool FBCreate() override;
    void FBDestroy() override;

    ORDeviceSkeleton* device = nullptr;
};

// The layout factory registered with the device: `data` is the host handle of the device whose
// panel is wanted. Returns the new layout's host handle, or null.
ORSDK2026::HIObject ORDeviceSkeletonLayoutCreate(ORSDK2026::HIObject owner, const char* name,
                                                 void* data);
