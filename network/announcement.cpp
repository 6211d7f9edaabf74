#include "network/announcement.h"

#include <algorithm>
#include <exception>
#include <nlohmann/json.hpp>

#include "network/log_writer.h"
#include "network/protocol.h"

namespace telmora {

std::string announcementText(const std::string& serverName, std::int32_t streamPort,
                             const std::vector<std::string>& subjects) {
    nlohmann::json message;
    message[kPluginNameMember] = kPluginName;
    message[kServerNameMember] = serverName;
    message[kStreamPortMember] = streamPort;
    message[kSubjectsMember] = subjects;
    // Names that are no valid UTF-8 (heard from a capture) are written as replacement marks.
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

AnnouncementVerdict parseAnnouncement(const std::uint8_t* data, std::size_t size,
                                      Announcement& announcement, std::string& error) {
    // The text ends at the datagram's end or at its first NUL, whichever comes first.
    const std::uint8_t* textEnd = std::find(data, data + size, std::uint8_t{0});
    const std::string text(data, textEnd);
    try {
        // Non-const on purpose: operator[] on a missing member then yields null, whose typed
        // read fails with the library's own "type must be ..." message.
        nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/true,
                                                    /*ignore_comments=*/false);
        if (json.is_object() && json.contains(kPluginNameMember) &&
            json[kPluginNameMember] != kPluginName) {
            return AnnouncementVerdict::kOtherPlugin;
        }
        Announcement parsed;
        parsed.serverName = json[kServerNameMember].get<std::string>();
        // Read as a double: an integer read of 4294972296 would wrap round to port 5000.
        // Booleans read as 1 and 0, strings fail as "type must be number".
        const double port = json[kStreamPortMember].get<double>();
        parsed.subjects = json[kSubjectsMember].get<std::vector<std::string>>();
        if (!(port >= 1.0 && port < 65536.0)) {
            error = "Stream port out of range: " + json[kStreamPortMember].dump();
            return AnnouncementVerdict::kInvalid;
        }
        // Truncates toward zero: 5000.9 is port 5000.
        parsed.streamPort = static_cast<std::int32_t>(port);
        announcement = std::move(parsed);
        return AnnouncementVerdict::kOurs;
    } catch (const std::exception& failure) {
        error = "JSON parse error: " + escapeControlCharacters(failure.what());
        return AnnouncementVerdict::kInvalid;
    }
}

}  // namespace telmora
