#pragma once
// The names and texts the device shows the host and its user: its class name and every status
// text it sets. The harness checks a device against the same list.

#include <array>
#include <chrono>
#include <cstdio>
#include <string>

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

// While the stream is stale, and when its frames return (the name as the network gave it, so
// control characters are escaped by the caller).
inline constexpr char kStatusNoFramesPrefix[] = "No frames from '";
inline constexpr char kStatusFramesBackPrefix[] = "Receiving frames from '";
inline std::string noFramesStatus(const std::string& source, double seconds) {
    char figure[32];
    std::snprintf(figure, sizeof figure, "%.1f", seconds);
    return kStatusNoFramesPrefix + source + "' for " + figure + " s";
}
inline std::string framesBackStatus(const std::string& source) {
    return kStatusFramesBackPrefix + source + "' again";
}
// The log line when a gap ends: "Stream gap: 3.02 s without frames from 'NAME' at take time
// 4.03 s" (a start before the take's 0 reads as 0).
inline std::string streamGapLine(double seconds, const std::string& source, double start) {
    char figures[32], at[32];
    std::snprintf(figures, sizeof figures, "%.2f", seconds);
    std::snprintf(at, sizeof at, "%.2f", start < 0.0 ? 0.0 : start);
    return std::string("Stream gap: ") + figures + " s without frames from '" + source +
           "' at take time " + at + " s\n";
}

// The panel's line on a stream that flows: "120 Hz · last frame 8 ms ago · 0 refused · 0 gaps".
inline std::string streamHealthLine(double rateHz, double lastFrameSeconds,
                                    unsigned long long refused, unsigned long long gaps) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "%.0f Hz \u00b7 last frame %.0f ms ago \u00b7 %llu refused \u00b7 %llu gap%s",
                  rateHz, lastFrameSeconds * 1000.0, refused, gaps, gaps == 1 ? "" : "s");
    return line;
}
// Beside the port field while discovery cannot bind the port.
inline std::string portInUseText(int port) {
    return "Port " + std::to_string(port) + " is in use";
}

// Raw capture and replay: when a capture cannot start, when it stops by itself (a write error,
// a full disk) and when a capture file cannot be replayed, each with the reason.
inline constexpr char kStatusCaptureFailedPrefix[] = "Capture failed: ";
inline constexpr char kStatusCaptureStoppedPrefix[] = "Capture stopped: ";
inline constexpr char kStatusReplayFailedPrefix[] = "Replay failed: ";

// A moment as "YYYYMMDDTHHMMSSZ" in UTC, to the second.
std::string utcStamp(std::chrono::system_clock::time_point at);

// The file of one online period's capture: "<server>-<subject>-<UTC date-time>.pcap", with
// every character of the names that is no letter, digit, '.', '_' or '-' written as '_', so a
// name from the network can neither leave the folder nor make an invalid file name.
inline std::string captureFileName(const std::string& server, const std::string& subject,
                                   const std::string& utcDateTime) {
    auto safe = [](const std::string& name) {
        std::string out = name.empty() ? std::string("_") : name;
        for (char& c : out) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
            if (!plain) c = '_';
        }
        if (out.front() == '.') out.front() = '_';
        return out;
    };
    return safe(server) + "-" + safe(subject) + "-" + utcDateTime + ".pcap";
}

// Whether a status text is one of the device's.
inline bool isDeviceStatusText(const std::string& text) {
    for (const char* own : kStatusTexts)
        if (text == own) return true;
    for (const char* prefix :
         {kStatusNoFramesPrefix, kStatusFramesBackPrefix, kStatusCaptureFailedPrefix,
          kStatusCaptureStoppedPrefix, kStatusReplayFailedPrefix})
        if (text.rfind(prefix, 0) == 0) return true;
    return false;
}

// Each channel gives the host two nodes: a translation and a rotation.
inline constexpr int kNodesPerChannel = 2;

}  // namespace telmora
