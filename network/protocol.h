#pragma once
// The wire constants of the Telmora network protocol, shared by the plug-in's network layer and
// the tools that play a server or listen like the plug-in. What a sensor-frame datagram holds
// is the motion core's (motion/sensor_frame.h), and so are its packet-type bytes; the network
// layer knows stream datagrams only as bytes.

#include <array>
#include <cstddef>
#include <cstdint>

namespace telmora {

// Keep-alive: a client asks a server for a subject, and keeps that stream coming, by sending
// this prefix followed by the subject's name (no terminator) from its stream socket to the
// server's stream port.
inline constexpr char kKeepAlivePrefix[] = "mobu:";
inline constexpr std::size_t kKeepAlivePrefixLength = sizeof(kKeepAlivePrefix) - 1;

// Whether a datagram is a keep-alive: the prefix, then the subject's name (maybe empty).
inline bool isKeepAlive(const std::uint8_t* datagram, std::size_t size) {
    if (size < kKeepAlivePrefixLength) return false;
    for (std::size_t i = 0; i < kKeepAlivePrefixLength; ++i)
        if (datagram[i] != static_cast<std::uint8_t>(kKeepAlivePrefix[i])) return false;
    return true;
}

// End of stream: a datagram of this one byte. A server sends it to each client when it stops
// streaming; the stream client hands it to its consumer as the last packet when its receive
// loop ends. It is no sensor-frame type.
inline constexpr std::uint8_t kEndOfStreamByte = 0xFF;
inline constexpr std::array<std::uint8_t, 1> kEndOfStreamMarker = {kEndOfStreamByte};

// Whether a stream datagram ends the stream: its first byte (its packet type) is the end byte,
// whatever follows it.
inline bool isEndOfStream(const std::uint8_t* datagram, std::size_t size) {
    return size > 0 && datagram[0] == kEndOfStreamByte;
}

// Announcements: one JSON object per UDP datagram, sent by servers to the plug-in's listening
// port, 22000 unless the user picks another:
//   {"pluginName": "Quenbrix", "serverName": "...", "streamPort": 5000, "subjects": ["..."]}
// "pluginName" may be left out; an announcement naming another plug-in is not for us.
inline constexpr std::uint16_t kDefaultListenPort = 22000;
inline constexpr char kPluginName[] = "Quenbrix";
inline constexpr char kPluginNameMember[] = "pluginName";
inline constexpr char kServerNameMember[] = "serverName";
inline constexpr char kStreamPortMember[] = "streamPort";
inline constexpr char kSubjectsMember[] = "subjects";

// The largest datagrams: a stream datagram (sensor frame or end marker) and an announcement.
// Anything longer is dropped unread.
inline constexpr std::size_t kMaxStreamDatagramSize = 4096;
inline constexpr std::size_t kMaxAnnouncementDatagramSize = 4095;

}  // namespace telmora
