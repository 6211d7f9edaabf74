#pragma once
// IPv4 and UDP headers: built around a datagram for the capture file, and found again in a
// captured frame of any of the link types captures come in.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/socket.h"

namespace telmora {

inline constexpr std::size_t kIpv4HeaderSize = 20;
inline constexpr std::size_t kUdpHeaderSize = 8;

// `out` becomes an IPv4 packet (no options, don't-fragment, TTL 64, header checksum) holding a
// UDP datagram (with its checksum) from `from` to `to` carrying the payload.
void buildIpv4Udp(const Ipv4Endpoint& from, const Ipv4Endpoint& to, std::uint16_t id,
                  const std::uint8_t* payload, std::size_t size, std::vector<std::uint8_t>& out);

// What parseIpv4Udp found in one packet.
enum class PacketKind {
    kUdp,        // a whole UDP datagram: `from`, `to`, `payload`, `payloadSize` are set
    kNotUdp,     // another protocol, or not IPv4
    kFragment,   // a fragment of a larger IPv4 datagram
    kTruncated,  // cut short by the capture's snapshot length, or malformed
};

struct UdpView {
    Ipv4Endpoint from, to;
    const std::uint8_t* payload = nullptr;
    std::size_t payloadSize = 0;
};

// Reads an IPv4 packet of `size` captured bytes. Never reads outside them.
PacketKind parseIpv4Udp(const std::uint8_t* packet, std::size_t size, UdpView& view);

// The link types captures arrive in (pcap's numbering, as in a file's header).
inline constexpr int kLinkNull = 0;  // BSD loopback: 4-byte family, host order
inline constexpr int kLinkEthernet = 1;
inline constexpr int kLinkRaw = 101;    // raw IPv4 or IPv6
inline constexpr int kLinkRawDlt = 12;  // the same, as some systems number it
inline constexpr int kLinkRawDltBsd = 14;
inline constexpr int kLinkLoop = 108;  // OpenBSD loopback: family in network order
inline constexpr int kLinkLinuxCooked = 113;
inline constexpr int kLinkIpv4 = 228;
inline constexpr int kLinkLinuxCooked2 = 276;

// Whether frames of `linkType` can be read.
bool linkTypeSupported(int linkType);
// The IPv4 packet inside one captured frame of `linkType`: kNotUdp for other network protocols.
PacketKind parseFrame(int linkType, const std::uint8_t* frame, std::size_t size, UdpView& view);

}  // namespace telmora
