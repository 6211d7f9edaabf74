#pragma once
// Reading a capture: the UDP datagrams of a pcap or pcapng file, whoever wrote it (this
// plug-in, tcpdump, Wireshark), and the Telmora traffic among them: the servers' announcements,
// the clients' keep-alives and the streams those asked for.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "network/socket.h"

namespace telmora {

struct CapturedDatagram {
    std::int64_t micros = 0;  // capture time, microseconds since 1970
    Ipv4Endpoint from, to;
    std::vector<std::uint8_t> bytes;
};

// The latest capture time read: the end of a classic pcap's 32-bit seconds (2106).
constexpr std::int64_t kLatestCaptureSecond = 0xFFFFFFFFLL;

struct CaptureFile {
    std::vector<CapturedDatagram> datagrams;  // every whole IPv4 UDP datagram, in file order
    int linkType = 0;
    std::uint64_t frames = 0;       // frames in the file
    std::uint64_t otherFrames = 0;  // not IPv4 UDP
    std::uint64_t fragments = 0;    // pieces of fragmented datagrams (not put together)
    std::uint64_t truncated = 0;    // cut by the snapshot length, or malformed (times too)
    // What stopped the reading before the file's end (a packet cut off where a writer
    // crashed): "" when the file was read to its end.
    std::string cutShort;
};

// The datagrams of the capture at `path`; nothing, with `error` set, when it cannot be opened,
// is no pcap or pcapng file or has a link type that carries no IPv4.
std::optional<CaptureFile> readCaptureFile(const std::string& path, std::string& error);

// A server as its announcements in the capture describe it.
struct CapturedServer {
    std::string name;
    Ipv4Endpoint stream;  // its address and announced stream port
    std::vector<std::string> subjects;
    std::size_t announcement = 0;  // index of its last announcement among the datagrams
};

// One client's stream from one server: the datagrams the server's stream endpoint sent it.
struct CapturedStream {
    std::string serverName;  // from the announcements; the endpoint as text without one
    std::string subject;     // from the keep-alives; "" when none was captured
    Ipv4Endpoint server, client;
    std::vector<std::size_t> datagrams;  // indices, in capture order
    std::size_t keepAlives = 0;
};

struct TelmoraCapture {
    CaptureFile file;
    std::vector<CapturedServer> servers;
    std::vector<CapturedStream> streams;
};

// The capture with its Telmora traffic; nothing, with `error` set, when the file cannot be read
// or holds no Telmora stream.
std::optional<TelmoraCapture> readTelmoraCapture(const std::string& path, std::string& error);

// The stream of `server` (a name, or "" for any) and `subject` ("" for any): the one that fits,
// or, where several do, the longest. Null, with `error` naming what the capture has, when none
// fits or the one that fits is not `replayable`.
const CapturedStream* pickStream(const TelmoraCapture& capture, const std::string& server,
                                 const std::string& subject, std::string& error);

// One line per stream: "SERVER / SUBJECT: N datagrams over S s from IP:PORT to IP:PORT".
std::string describeStreams(const TelmoraCapture& capture);

// When a replay plays each datagram of the stream, in its order: microseconds after the first,
// never decreasing (a datagram whose capture clock stepped back is due with the one before it).
std::vector<std::int64_t> streamOffsets(const TelmoraCapture& capture,
                                        const CapturedStream& stream);

// The duration of a stream as a replay plays it, from its first datagram to its last offset, in
// seconds.
double streamSeconds(const TelmoraCapture& capture, const CapturedStream& stream);

// Whether a replay can play the stream: false, with `error` set, when it spans more than
// kLongestReplaySeconds, which keeps every replay time within the host's clock.
constexpr double kLongestReplaySeconds = 24.0 * 3600.0;
bool replayable(const TelmoraCapture& capture, const CapturedStream& stream, std::string& error);

}  // namespace telmora
