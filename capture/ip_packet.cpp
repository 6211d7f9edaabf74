#include "capture/ip_packet.h"

namespace telmora {
namespace {

void put16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

void put32(std::uint8_t* at, std::uint32_t value) {
    put16(at, static_cast<std::uint16_t>(value >> 16));
    put16(at + 2, static_cast<std::uint16_t>(value));
}

std::uint16_t get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t get32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(get16(at)) << 16 | get16(at + 2);
}

// The ones'-complement sum of 16-bit big-endian words, an odd last byte padded with zero.
std::uint32_t addWords(std::uint32_t sum, const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i + 1 < size; i += 2) sum += get16(data + i);
    if (size % 2 != 0) sum += static_cast<std::uint32_t>(data[size - 1]) << 8;
    return sum;
}

std::uint16_t foldChecksum(std::uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

void buildIpv4Udp(const Ipv4Endpoint& from, const Ipv4Endpoint& to, std::uint16_t id,
                  const std::uint8_t* payload, std::size_t size, std::vector<std::uint8_t>& out) {
    const std::size_t udpLength = kUdpHeaderSize + size;
    out.resize(kIpv4HeaderSize + udpLength);
    std::uint8_t* ip = out.data();
    ip[0] = 0x45;  // version 4, five header words
    ip[1] = 0;
    put16(ip + 2, static_cast<std::uint16_t>(out.size()));
    put16(ip + 4, id);
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 17;  // UDP
    put16(ip + 10, 0);
    put32(ip + 12, from.address);
    put32(ip + 16, to.address);
    put16(ip + 10, foldChecksum(addWords(0, ip, kIpv4HeaderSize)));

    std::uint8_t* udp = ip + kIpv4HeaderSize;
    put16(udp, from.port);
    put16(udp + 2, to.port);
    put16(udp + 4, static_cast<std::uint16_t>(udpLength));
    put16(udp + 6, 0);
    for (std::size_t i = 0; i < size; ++i) udp[kUdpHeaderSize + i] = payload[i];
    // Pseudo-header: addresses, protocol and UDP length.
    std::uint32_t sum = addWords(0, ip + 12, 8);
    sum += 17 + static_cast<std::uint32_t>(udpLength);
    std::uint16_t checksum = foldChecksum(addWords(sum, udp, udpLength));
    put16(udp + 6, checksum == 0 ? 0xFFFF : checksum);  // 0 would mean "no checksum"
}

PacketKind parseIpv4Udp(const std::uint8_t* packet, std::size_t size, UdpView& view) {
    if (size < 1 || packet[0] >> 4 != 4) return PacketKind::kNotUdp;
    if (size < kIpv4HeaderSize) return PacketKind::kTruncated;
    const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    const std::size_t totalLength = get16(packet + 2);
    if (headerSize < kIpv4HeaderSize || totalLength < headerSize) return PacketKind::kTruncated;
    if (packet[9] != 17) return PacketKind::kNotUdp;
    const std::uint16_t flagsAndOffset = get16(packet + 6);
    if ((flagsAndOffset & 0x2000) != 0 || (flagsAndOffset & 0x1FFF) != 0)
        return PacketKind::kFragment;
    // Ethernet pads short frames: the IP length, not the frame's, says where the packet ends.
    if (totalLength > size || totalLength < headerSize + kUdpHeaderSize)
        return PacketKind::kTruncated;
    const std::uint8_t* udp = packet + headerSize;
    const std::size_t udpLength = get16(udp + 4);
    if (udpLength < kUdpHeaderSize || udpLength > totalLength - headerSize)
        return PacketKind::kTruncated;
    view.from = Ipv4Endpoint{get32(packet + 12), get16(udp)};
    view.to = Ipv4Endpoint{get32(packet + 16), get16(udp + 2)};
    view.payload = udp + kUdpHeaderSize;
    view.payloadSize = udpLength - kUdpHeaderSize;
    return PacketKind::kUdp;
}

bool linkTypeSupported(int linkType) {
    switch (linkType) {
        case kLinkNull:
        case kLinkEthernet:
        case kLinkRaw:
        case kLinkRawDlt:
        case kLinkRawDltBsd:
        case kLinkLoop:
        case kLinkLinuxCooked:
        case kLinkIpv4:
        case kLinkLinuxCooked2:
            return true;
        default:
            return false;
    }
}

PacketKind parseFrame(int linkType, const std::uint8_t* frame, std::size_t size, UdpView& view) {
    constexpr std::uint16_t kIpv4Type = 0x0800;
    std::size_t offset = 0;
    switch (linkType) {
        case kLinkEthernet: {
            offset = 12;
            // 802.1Q and 802.1ad tags sit between the addresses and the type.
            for (;;) {
                if (size < offset + 2) return PacketKind::kTruncated;
                const std::uint16_t type = get16(frame + offset);
                if (type == 0x8100 || type == 0x88A8) {
                    offset += 4;
                    continue;
                }
                if (type != kIpv4Type) return PacketKind::kNotUdp;
                offset += 2;
                break;
            }
            break;
        }
        case kLinkLinuxCooked:
            if (size < 16) return PacketKind::kTruncated;
            if (get16(frame + 14) != kIpv4Type) return PacketKind::kNotUdp;
            offset = 16;
            break;
        case kLinkLinuxCooked2:
            if (size < 20) return PacketKind::kTruncated;
            if (get16(frame) != kIpv4Type) return PacketKind::kNotUdp;
            offset = 20;
            break;
        case kLinkNull:
        case kLinkLoop: {
            if (size < 4) return PacketKind::kTruncated;
            // AF_INET is 2 everywhere; its byte order is the writer's (NULL) or network (LOOP).
            const std::uint32_t family = get32(frame);
            if (family != 2 && family != 0x02000000) return PacketKind::kNotUdp;
            offset = 4;
            break;
        }
        case kLinkRaw:
        case kLinkRawDlt:
        case kLinkRawDltBsd:
        case kLinkIpv4:
            break;
        default:
            return PacketKind::kNotUdp;
    }
    return parseIpv4Udp(frame + offset, size - offset, view);
}

}  // namespace telmora
