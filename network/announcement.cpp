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

namespace {

// The text ends at the datagram's end or at its first NUL, whichever comes first.
std::string announcementTextOf(const std::uint8_t* data, std::size_t size) {
    return std::string(data, std::find(data, data + size, std::uint8_t{0}));
}

bool isStringArray(const nlohmann::json& value) {
    return value.is_array() && std::all_of(value.begin(), value.end(),
                                           [](const nlohmann::json& v) { return v.is_string(); });
}

}  // namespace

AnnouncementVerdict parseAnnouncement(const std::uint8_t* data, std::size_t size,
                                      Announcement& announcement, std::string& error) {
    error.clear();
    // An announcement is a JSON object: anything else (random bytes, most of a flood) is
    // refused before the text is even copied.
    const std::uint8_t* first = data;
    while (first != data + size &&
           (*first == ' ' || *first == '\t' || *first == '\n' || *first == '\r'))
        ++first;
    if (first == data + size || *first != '{') return AnnouncementVerdict::kInvalid;
    // Without exceptions: what cannot be an announcement (garbage, broken JSON, members of the
    // wrong type) is refused for the price of a parse; explainAnnouncement says why, where a
    // log line will be written.
    const nlohmann::json json = nlohmann::json::parse(announcementTextOf(data, size), nullptr,
                                                      /*allow_exceptions=*/false,
                                                      /*ignore_comments=*/false);
    if (json.is_discarded() || !json.is_object()) return AnnouncementVerdict::kInvalid;
    const auto plugin = json.find(kPluginNameMember);
    if (plugin != json.end() && *plugin != kPluginName) return AnnouncementVerdict::kOtherPlugin;
    const auto name = json.find(kServerNameMember);
    const auto port = json.find(kStreamPortMember);
    const auto subjects = json.find(kSubjectsMember);
    // Booleans read as 1 and 0, as the library's number read takes them.
    if (name == json.end() || !name->is_string() || port == json.end() ||
        !(port->is_number() || port->is_boolean()) || subjects == json.end() ||
        !isStringArray(*subjects))
        return AnnouncementVerdict::kInvalid;
    // Read as a double: an integer read of 4294972296 would wrap round to port 5000.
    const double streamPort = port->get<double>();
    if (!(streamPort >= 1.0 && streamPort < 65536.0)) {
        error = "Stream port out of range: " + port->dump();
        return AnnouncementVerdict::kInvalid;
    }
    announcement.serverName = name->get<std::string>();
    // Truncates toward zero: 5000.9 is port 5000.
    announcement.streamPort = static_cast<std::int32_t>(streamPort);
    announcement.subjects = subjects->get<std::vector<std::string>>();
    return AnnouncementVerdict::kOurs;
}

std::string explainAnnouncement(const std::uint8_t* data, std::size_t size) {
    try {
        // Non-const on purpose: operator[] on a missing member then yields null, whose typed
        // read fails with the library's own "type must be ..." message.
        nlohmann::json json = nlohmann::json::parse(announcementTextOf(data, size), nullptr,
                                                    /*allow_exceptions=*/true,
                                                    /*ignore_comments=*/false);
        json[kServerNameMember].get<std::string>();
        json[kStreamPortMember].get<double>();
        json[kSubjectsMember].get<std::vector<std::string>>();
        return "JSON parse error: not an announcement";
    } catch (const std::exception& failure) {
        return "JSON parse error: " + escapeControlCharacters(failure.what());
    }
}

}  // namespace telmora
