#include "fuzz/input_checks.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "capture/capture_reader.h"
#include "motion/channel_table.h"
#include "network/discovery_service.h"
#include "tools/performance/performance.h"

#ifdef _WIN32
#include <process.h>
#define TELMORA_GETPID _getpid
#else
#include <unistd.h>
#define TELMORA_GETPID getpid
#endif

namespace telmora::fuzz {

namespace {

// Bitwise equality of doubles: a check must tell -0 from 0 and see a NaN equal to itself.
bool sameBits(const double (&a)[3], const double (&b)[3]) {
    return std::memcmp(a, b, sizeof(a)) == 0;
}

bool sameRecord(const ChannelRecord& a, const ChannelRecord& b) {
    return a.bone == b.bone && a.parentIndex == b.parentIndex &&
           sameBits(a.referenceTranslation, b.referenceTranslation) &&
           sameBits(a.referenceRotation, b.referenceRotation) &&
           sameBits(a.translation, b.translation) && sameBits(a.rotation, b.rotation);
}

bool sameSnapshot(const ChannelSnapshot& a, const ChannelSnapshot& b) {
    if (a.channelCount != b.channelCount || a.frameSequence != b.frameSequence) return false;
    for (int i = 0; i < kMaxChannels; ++i) {
        if (!sameRecord(a.records[i], b.records[i])) return false;
    }
    return true;
}

bool finite3(const double (&v)[3]) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Index of the first record with a non-finite value, or -1.
int firstNonFinite(const ChannelSnapshot& s) {
    for (int i = 0; i < kMaxChannels; ++i) {
        const ChannelRecord& r = s.records[i];
        if (!finite3(r.referenceTranslation) || !finite3(r.referenceRotation) ||
            !finite3(r.translation) || !finite3(r.rotation)) {
            return i;
        }
    }
    return -1;
}

}  // namespace

struct StreamDatagramCheck::State {
    ChannelTable table;
    std::vector<std::uint8_t> datagram;
};

StreamDatagramCheck::StreamDatagramCheck() : state_(std::make_unique<State>()) {
    state_->table.SetupChannels();
}

StreamDatagramCheck::~StreamDatagramCheck() = default;

std::string StreamDatagramCheck::operator()(const std::uint8_t* data, std::size_t size) {
    ChannelTable& table = state_->table;
    // Exactly the received bytes, as the stream client hands them over.
    state_->datagram.assign(data, data + size);
    const ChannelSnapshot before = table.snapshot();
    const std::uint64_t solvedBefore = table.framesSolved();
    const std::uint64_t droppedBefore = table.framesDropped();

    table.HandlePacket(state_->datagram);

    const ChannelSnapshot after = table.snapshot();
    const std::uint64_t solved = table.framesSolved() - solvedBefore;
    const std::uint64_t dropped = table.framesDropped() - droppedBefore;
    const bool sensorFrame = size > 0 && data[0] == kSensorFramePacket;

    if (solved + dropped != (sensorFrame ? 1u : 0u)) {
        return "solved " + std::to_string(solved) + " and dropped " + std::to_string(dropped) +
               " frames for one datagram of type " + std::to_string(size > 0 ? data[0] : -1);
    }
    if (const int bad = firstNonFinite(after); bad >= 0) {
        return "record " + std::to_string(bad) + " published a non-finite value";
    }
    if (solved == 1) {
        if (after.frameSequence != before.frameSequence + 1) {
            return "a solved frame did not publish exactly once";
        }
        if (after.channelCount != before.channelCount) {
            return "a solved frame changed the channel count";
        }
    } else if (!sameSnapshot(before, after)) {
        return "a datagram that was not solved changed the published channels";
    }
    return {};
}

struct AnnouncementCheck::State {
    DiscoveryService service{[](LogStream, const std::string&) {}};
    ServerInfo sender;
};

namespace {

constexpr std::uint32_t kSenderAddress = 0xC0000207u;  // 192.0.2.7
constexpr std::uint32_t kOtherAddress = 0xC0000208u;   // 192.0.2.8

ReceivedDatagram announcementFrom(std::uint32_t address, const std::string& text) {
    ReceivedDatagram datagram;
    datagram.bytes.assign(text.begin(), text.end());
    datagram.source = Ipv4Endpoint{address, 22000};
    return datagram;
}

bool sameServer(const ServerInfo& a, const ServerInfo& b) {
    return a.serverName == b.serverName && a.ip == b.ip && a.streamPort == b.streamPort &&
           a.subjects == b.subjects;
}

bool sameList(const ServerMap& a, const ServerMap& b, const std::string& except) {
    if (a.size() != b.size() && except.empty()) return false;
    for (const auto& [key, info] : a) {
        if (key == except) continue;
        const auto found = b.find(key);
        if (found == b.end() || !sameServer(info, found->second) ||
            info.lastSeen != found->second.lastSeen) {
            return false;
        }
    }
    for (const auto& [key, info] : b) {
        if (key != except && a.find(key) == a.end()) return false;
    }
    return true;
}

// What a valid announcement says, worked out independently of the service: the JSON grammar
// is the library's, the rules are restated here.
std::optional<ServerInfo> expectedServer(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return std::nullopt;
    const std::uint8_t* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::string text(data, end != nullptr ? end : data + size);
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    if (j.contains("pluginName") && j["pluginName"] != "Quenbrix") return std::nullopt;
    if (!j.contains("serverName") || !j["serverName"].is_string()) return std::nullopt;
    if (!j.contains("streamPort")) return std::nullopt;
    const nlohmann::json& port = j["streamPort"];
    if (!port.is_number() && !port.is_boolean()) return std::nullopt;
    if (!j.contains("subjects") || !j["subjects"].is_array()) return std::nullopt;
    ServerInfo info;
    for (const nlohmann::json& subject : j["subjects"]) {
        if (!subject.is_string()) return std::nullopt;
        info.subjects.push_back(subject.get<std::string>());
    }
    const double value = port.is_boolean() ? (port.get<bool>() ? 1.0 : 0.0) : port.get<double>();
    if (!(value >= 1.0 && value < 65536.0)) return std::nullopt;
    info.serverName = j["serverName"].get<std::string>();
    info.streamPort = static_cast<std::int32_t>(value);
    info.ip = formatIpv4(kSenderAddress);
    return info;
}

}  // namespace

AnnouncementCheck::AnnouncementCheck() {
    Reset();
}

void AnnouncementCheck::Reset() {
    state_ = std::make_unique<State>();
    const char* known =
        R"({"serverName": "Known", "streamPort": 5000, "subjects": ["Alice", "Bob"]})";
    state_->service.HandleAnnouncement(announcementFrom(kSenderAddress, known));
    state_->service.HandleAnnouncement(announcementFrom(kOtherAddress, known));
}

AnnouncementCheck::~AnnouncementCheck() = default;

std::string AnnouncementCheck::operator()(const std::uint8_t* data, std::size_t size) {
    DiscoveryService& service = state_->service;
    const ServerMap before = service.GetServers();
    ReceivedDatagram datagram;
    datagram.bytes.assign(data, data + size);
    datagram.source = Ipv4Endpoint{kSenderAddress, 22000};
    try {
        service.HandleAnnouncement(datagram);
    } catch (const std::exception& error) {
        return std::string("an exception left the handling: ") + error.what();
    } catch (...) {
        return "an exception left the handling";
    }
    const ServerMap after = service.GetServers();
    const std::optional<ServerInfo> expected = expectedServer(data, size);
    if (!expected) {
        if (!sameList(before, after, {})) return "an invalid announcement changed the list";
        return {};
    }
    // Entries are kept by sender address and name: a new name is a new entry.
    const std::string key = serverKey(expected->ip, expected->serverName);
    const auto listed = after.find(key);
    if (listed == after.end() || !sameServer(listed->second, *expected)) {
        return "a valid announcement did not list its sender with its values";
    }
    const std::size_t added = before.count(key) == 0 ? 1 : 0;
    if (after.size() != before.size() + added || !sameList(before, after, key)) {
        return "a valid announcement changed another server's entry";
    }
    // Nothing ages the list here: a fresh one keeps a long run's memory bounded.
    if (after.size() > 1000) Reset();
    return {};
}

namespace {

// A file of this process's own in the temporary folder, for checks that read files.
std::string inputFilePath(const char* name) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = ".";
    return (folder / ("telmora-" + std::to_string(TELMORA_GETPID()) + "-" + name)).string();
}

// The bytes as the whole file at `path`; false when the file system refused them.
bool writeInputFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(file);
}

}  // namespace

TakeFileCheck::TakeFileCheck() : path_(inputFilePath("take-check.bvh")) {}

TakeFileCheck::~TakeFileCheck() {
    std::remove(path_.c_str());
}

std::string TakeFileCheck::operator()(const std::uint8_t* data, std::size_t size) {
    // The file system, not the loader, when it refuses: nothing to judge.
    if (!writeInputFile(path_, data, size)) return {};
    std::string error;
    const std::optional<Performance> take = loadPerformance(path_, "Fuzz", error);
    if (!take) {
        if (error.empty()) return "the loader failed without a message";
        return {};
    }
    if (take->frames.empty()) return "the loader returned a take without frames";
    if (!std::isfinite(take->frameRate) || !(take->frameRate > 0.0)) {
        return "the loader returned a take at frame rate " + std::to_string(take->frameRate);
    }
    return {};
}

CaptureFileCheck::CaptureFileCheck() : path_(inputFilePath("capture-check.pcap")) {}

CaptureFileCheck::~CaptureFileCheck() {
    std::remove(path_.c_str());
}

std::string CaptureFileCheck::operator()(const std::uint8_t* data, std::size_t size) {
    if (!writeInputFile(path_, data, size)) return {};
    std::string error;
    const std::optional<TelmoraCapture> capture = readTelmoraCapture(path_, error);
    if (!capture) return error.empty() ? "the reader failed without a message" : "";
    const std::vector<CapturedDatagram>& datagrams = capture->file.datagrams;
    if (capture->streams.empty()) return "a capture was read without a stream";
    for (const CapturedStream& stream : capture->streams) {
        if (stream.datagrams.empty()) return "a stream without datagrams";
        for (std::size_t i = 0; i < stream.datagrams.size(); ++i) {
            const std::size_t index = stream.datagrams[i];
            if (index >= datagrams.size()) return "a stream datagram beyond the capture";
            if (i > 0 && index <= stream.datagrams[i - 1]) return "stream datagrams out of order";
            if (datagrams[index].from != stream.server)
                return "a stream datagram not from the stream's server";
        }
    }
    return {};
}

}  // namespace telmora::fuzz
