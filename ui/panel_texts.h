#pragma once
// The names and texts of the device's settings panel that the host and its user see. The
// harness finds and checks the panel by the same ones.

namespace telmora {

inline constexpr char kLayoutClassName[] = "ORDeviceSkeletonLayout";

// The placeholder that heads the source and subject lists and stands for "nothing chosen".
inline constexpr char kListPlaceholder[] = "Select";

}  // namespace telmora
