#include "capture/capture_reader.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <tuple>

#include "capture/ip_packet.h"
#include "network/announcement.h"
#include "network/log_writer.h"
#include "network/protocol.h"

#if TELMORA_HAVE_PCAP
#include <pcap/pcap.h>
#endif

namespace telmora {

#if TELMORA_HAVE_PCAP

std::optional<CaptureFile> readCaptureFile(const std::string& path, std::string& error) {
    char message[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle =
        pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, message);
    if (handle == nullptr) {
        error = "cannot read '" + path + "' as a capture: " + message;
        return std::nullopt;
    }
    struct Closer {
        pcap_t* handle;
        ~Closer() { pcap_close(handle); }
    } closer{handle};

    CaptureFile file;
    // libpcap's numbering: a file's raw-IP type (101) reads as DLT_RAW.
    file.linkType = pcap_datalink(handle);
    if (!linkTypeSupported(file.linkType)) {
        const char* name = pcap_datalink_val_to_name(pcap_datalink(handle));
        error = "'" + path + "' has link type " + std::to_string(file.linkType) +
                (name ? std::string(" (") + name + ")" : std::string()) +
                ", which carries no IPv4 this reader knows (Ethernet, Linux cooked, raw IP and "
                "loopback captures are read)";
        return std::nullopt;
    }
    for (;;) {
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        const int next = pcap_next_ex(handle, &header, &data);
        if (next == PCAP_ERROR_BREAK) break;
        if (next != 1) {
            file.cutShort = pcap_geterr(handle);
            break;
        }
        ++file.frames;
        UdpView view;
        switch (parseFrame(file.linkType, data, header->caplen, view)) {
            case PacketKind::kUdp:
                break;
            case PacketKind::kNotUdp:
                ++file.otherFrames;
                continue;
            case PacketKind::kFragment:
                ++file.fragments;
                continue;
            case PacketKind::kTruncated:
                ++file.truncated;
                continue;
        }
        // A time no capturing clock gives (before 1970 or past what a classic pcap holds) is
        // a damaged record, whose product would not even fit the microseconds.
        if (header->ts.tv_sec < 0 || header->ts.tv_sec > kLatestCaptureSecond ||
            header->ts.tv_usec < 0) {
            ++file.truncated;
            continue;
        }
        CapturedDatagram datagram;
        datagram.micros = static_cast<std::int64_t>(header->ts.tv_sec) * 1000000 +
                          static_cast<std::int64_t>(header->ts.tv_usec);
        datagram.from = view.from;
        datagram.to = view.to;
        datagram.bytes.assign(view.payload, view.payload + view.payloadSize);
        file.datagrams.push_back(std::move(datagram));
    }
    if (file.frames == 0 && !file.cutShort.empty()) {
        error = "cannot read '" + path + "': " + file.cutShort;
        return std::nullopt;
    }
    return file;
}

#else

std::optional<CaptureFile> readCaptureFile(const std::string& path, std::string& error) {
    error = "cannot read '" + path + "': this build reads no captures (it has no pcap library)";
    return std::nullopt;
}

#endif

namespace {

std::string endpointText(const Ipv4Endpoint& endpoint) {
    return formatIpv4(endpoint.address) + ":" + std::to_string(endpoint.port);
}

using EndpointKey = std::pair<std::uint32_t, std::uint16_t>;
EndpointKey keyOf(const Ipv4Endpoint& endpoint) {
    return {endpoint.address, endpoint.port};
}

}  // namespace

std::optional<TelmoraCapture> readTelmoraCapture(const std::string& path, std::string& error) {
    std::optional<CaptureFile> file = readCaptureFile(path, error);
    if (!file) return std::nullopt;
    TelmoraCapture capture;
    capture.file = std::move(*file);
    const std::vector<CapturedDatagram>& datagrams = capture.file.datagrams;

    // Servers from their announcements: by stream endpoint and name, the last one kept.
    std::map<std::pair<EndpointKey, std::string>, std::size_t> serverIndex;
    std::map<EndpointKey, std::string> nameAt;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const CapturedDatagram& datagram = datagrams[i];
        if (datagram.bytes.empty() || datagram.bytes.front() != '{') continue;
        Announcement announcement;
        std::string ignored;
        if (parseAnnouncement(datagram.bytes.data(), datagram.bytes.size(), announcement,
                              ignored) != AnnouncementVerdict::kOurs)
            continue;
        const Ipv4Endpoint stream{datagram.from.address,
                                  static_cast<std::uint16_t>(announcement.streamPort)};
        auto key = std::make_pair(keyOf(stream), announcement.serverName);
        auto known = serverIndex.find(key);
        if (known == serverIndex.end()) {
            known = serverIndex.emplace(key, capture.servers.size()).first;
            capture.servers.push_back({announcement.serverName, stream, {}, i});
        }
        CapturedServer& server = capture.servers[known->second];
        server.subjects = announcement.subjects;
        server.announcement = i;
        nameAt[keyOf(stream)] = announcement.serverName;
    }

    // Streams: whatever a server endpoint sends to a client that asked it by keep-alive, and
    // whatever an announced stream endpoint sends at all.
    std::map<std::pair<EndpointKey, EndpointKey>, std::size_t> streamIndex;  // server, client
    auto streamOf = [&](const Ipv4Endpoint& server, const Ipv4Endpoint& client) -> CapturedStream& {
        auto key = std::make_pair(keyOf(server), keyOf(client));
        auto known = streamIndex.find(key);
        if (known == streamIndex.end()) {
            known = streamIndex.emplace(key, capture.streams.size()).first;
            CapturedStream stream;
            stream.server = server;
            stream.client = client;
            auto name = nameAt.find(keyOf(server));
            stream.serverName = name != nameAt.end() ? name->second : endpointText(server);
            capture.streams.push_back(std::move(stream));
        }
        return capture.streams[known->second];
    };
    std::set<EndpointKey> askedServers;
    for (const CapturedDatagram& datagram : datagrams)
        if (isKeepAlive(datagram.bytes.data(), datagram.bytes.size()))
            askedServers.insert(keyOf(datagram.to));
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        const CapturedDatagram& datagram = datagrams[i];
        if (isKeepAlive(datagram.bytes.data(), datagram.bytes.size())) {
            CapturedStream& stream = streamOf(datagram.to, datagram.from);
            stream.subject.assign(datagram.bytes.begin() + kKeepAlivePrefixLength,
                                  datagram.bytes.end());
            ++stream.keepAlives;
            continue;
        }
        const EndpointKey from = keyOf(datagram.from);
        if (askedServers.count(from) == 0 && nameAt.count(from) == 0) continue;
        // An announcement a server sends from its stream socket is no frame of the stream.
        if (!datagram.bytes.empty() && datagram.bytes.front() == '{' &&
            datagram.to.port == kDefaultListenPort)
            continue;
        streamOf(datagram.from, datagram.to).datagrams.push_back(i);
    }
    // A stream captured without its keep-alives is of the server's one subject, if it has one.
    for (CapturedStream& stream : capture.streams) {
        if (!stream.subject.empty()) continue;
        for (const CapturedServer& server : capture.servers)
            if (server.stream == stream.server && server.subjects.size() == 1)
                stream.subject = server.subjects.front();
    }
    capture.streams.erase(
        std::remove_if(capture.streams.begin(), capture.streams.end(),
                       [](const CapturedStream& stream) { return stream.datagrams.empty(); }),
        capture.streams.end());
    if (capture.streams.empty()) {
        error = "'" + path + "' holds no Telmora stream (" + std::to_string(datagrams.size()) +
                " UDP datagrams, " + std::to_string(capture.servers.size()) +
                " servers announced, none streaming)";
        return std::nullopt;
    }
    return capture;
}

const CapturedStream* pickStream(const TelmoraCapture& capture, const std::string& server,
                                 const std::string& subject, std::string& error) {
    const CapturedStream* best = nullptr;
    for (const CapturedStream& stream : capture.streams) {
        if (!server.empty() && stream.serverName != server) continue;
        if (!subject.empty() && stream.subject != subject) continue;
        if (best == nullptr || stream.datagrams.size() > best->datagrams.size()) best = &stream;
    }
    if (best == nullptr) {
        error = "the capture has no stream" +
                (server.empty() ? std::string() : " of server '" + server + "'") +
                (subject.empty() ? std::string() : " of subject '" + subject + "'") +
                "; it has:\n" + describeStreams(capture);
        return nullptr;
    }
    if (!replayable(capture, *best, error)) return nullptr;
    return best;
}

bool replayable(const TelmoraCapture& capture, const CapturedStream& stream, std::string& error) {
    const double seconds = streamSeconds(capture, stream);
    if (seconds <= kLongestReplaySeconds) return true;
    char hours[32];
    std::snprintf(hours, sizeof hours, "%.0f h", seconds / 3600.0);
    error = "the capture's stream " + escapeControlCharacters(stream.serverName) + " / " +
            escapeControlCharacters(stream.subject) + " spans " + hours +
            " (its clock jumped, or two shoots share its endpoints); a replay plays up to 24 h";
    return false;
}

std::vector<std::int64_t> streamOffsets(const TelmoraCapture& capture,
                                        const CapturedStream& stream) {
    std::vector<std::int64_t> offsets;
    if (stream.datagrams.empty()) return offsets;
    offsets.reserve(stream.datagrams.size());
    const auto& datagrams = capture.file.datagrams;
    const std::int64_t first = datagrams[stream.datagrams.front()].micros;
    std::int64_t previous = 0;
    for (std::size_t index : stream.datagrams) {
        previous = std::max(previous, datagrams[index].micros - first);
        offsets.push_back(previous);
    }
    return offsets;
}

double streamSeconds(const TelmoraCapture& capture, const CapturedStream& stream) {
    const std::vector<std::int64_t> offsets = streamOffsets(capture, stream);
    return offsets.empty() ? 0.0 : static_cast<double>(offsets.back()) / 1e6;
}

std::string describeStreams(const TelmoraCapture& capture) {
    std::string text;
    for (const CapturedStream& stream : capture.streams) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s", streamSeconds(capture, stream));
        text += "  " + escapeControlCharacters(stream.serverName) + " / " +
                (stream.subject.empty() ? std::string("(subject unknown)")
                                        : escapeControlCharacters(stream.subject)) +
                ": " + std::to_string(stream.datagrams.size()) + " datagrams over " + seconds +
                " from " + endpointText(stream.server) + " to " + endpointText(stream.client) +
                "\n";
    }
    return text;
}

}  // namespace telmora
