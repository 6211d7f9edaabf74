#pragma once
// Reading one announcement datagram: what the discovery service and the tools that read captured
// traffic both need.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telmora {

// What an announcement says of its server.
struct Announcement {
    std::string serverName;
    std::int32_t streamPort = 0;  // 1..65535
    std::vector<std::string> subjects;
};

enum class AnnouncementVerdict {
    kOurs,         // a valid announcement for this plug-in
    kOtherPlugin,  // valid JSON naming another plug-in: not for us, nothing to say
    kInvalid,      // anything else; `error` says why
};

// The text of an announcement of this plug-in's servers: one JSON object, as servers send it.
std::string announcementText(const std::string& serverName, std::int32_t streamPort,
                             const std::vector<std::string>& subjects);

// Parses the text of one datagram (up to its first NUL) as an announcement. Never throws.
AnnouncementVerdict parseAnnouncement(const std::uint8_t* data, std::size_t size,
                                      Announcement& announcement, std::string& error);

}  // namespace telmora
