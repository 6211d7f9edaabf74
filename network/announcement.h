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

// Parses the text of one datagram (up to its first NUL) as an announcement. Never throws, and
// costs no exception whatever the datagram holds. A datagram refused for its JSON (not JSON, not
// an object, a member missing or of the wrong type) leaves `error` empty: explainAnnouncement
// gives the line to log; one refused for its port sets `error` to that line.
AnnouncementVerdict parseAnnouncement(const std::uint8_t* data, std::size_t size,
                                      Announcement& announcement, std::string& error);

// Why the JSON of a refused datagram is no announcement, as the JSON library says it: "JSON
// parse error: " and the library's message. Costs a parse and an exception: for the lines a
// log will actually write.
std::string explainAnnouncement(const std::uint8_t* data, std::size_t size);

}  // namespace telmora
