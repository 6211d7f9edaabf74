#pragma once
// The names and texts the device shows the host and its user: its class name and every status
// text it sets. The harness checks a device against the same list.

#include <array>

namespace telmora {

inline constexpr char kDeviceClassName[] = "ORDeviceSkeleton";

inline constexpr char kStatusNoChannelInformation[] =
    "Could not get channel information from device.";
inline constexpr char kStatusOpenFailed[] = "Could not open device";
inline constexpr char kStatusRetrievingChannels[] = "Retrieving channel information";
inline constexpr char kStatusStartFailed[] = "Could not start data stream.";
inline constexpr char kStatusClosing[] = "Closing device communication";
inline constexpr char kStatusCloseFailed[] = "Could not close device";
inline constexpr char kStatusStopFailed[] = "Could not stop data stream.";

inline constexpr std::array<const char*, 7> kStatusTexts = {kStatusNoChannelInformation,
                                                            kStatusOpenFailed,
                                                            kStatusRetrievingChannels,
                                                            kStatusStartFailed,
                                                            kStatusClosing,
                                                            kStatusCloseFailed,
                                                            kStatusStopFailed};

// Each channel gives the host two nodes: a translation and a rotation.
inline constexpr int kNodesPerChannel = 2;

}  // namespace telmora
