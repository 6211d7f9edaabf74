#pragma once
// A pcapng file as Wireshark and tcpdump write one on another machine: a section, one Ethernet
// interface, enhanced packet blocks. For tests of captures the project did not make.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "capture/ip_packet.h"

namespace telmora::test {

class PcapngFile {
public:
    PcapngFile() {
        block(0x0A0D0D0A, {0x1A2B3C4D, 0x00000001, 0xFFFFFFFF, 0xFFFFFFFF});
        block(0x00000001, {1 /* Ethernet */, 65535});
    }
    void packet(std::uint64_t micros, const std::vector<std::uint8_t>& frame) {
        std::vector<std::uint32_t> words = {
            0, static_cast<std::uint32_t>(micros >> 32), static_cast<std::uint32_t>(micros),
            static_cast<std::uint32_t>(frame.size()), static_cast<std::uint32_t>(frame.size())};
        std::vector<std::uint8_t> padded = frame;
        padded.resize((padded.size() + 3) / 4 * 4, 0);
        for (std::size_t i = 0; i < padded.size(); i += 4) {
            std::uint32_t word;
            std::memcpy(&word, padded.data() + i, 4);
            words.push_back(word);
        }
        block(6, words);
    }
    void udp(std::uint64_t micros, const Ipv4Endpoint& from, const Ipv4Endpoint& to,
             const std::vector<std::uint8_t>& payload) {
        std::vector<std::uint8_t> frame = {2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0x08, 0x00};
        std::vector<std::uint8_t> ip;
        buildIpv4Udp(from, to, 1, payload.data(), payload.size(), ip);
        frame.insert(frame.end(), ip.begin(), ip.end());
        packet(micros, frame);
    }
    void write(const std::string& path) const {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }

private:
    void block(std::uint32_t type, std::vector<std::uint32_t> body) {
        // IDB's link type and reserved field share the first word (little-endian host).
        const std::uint32_t length = static_cast<std::uint32_t>(12 + 4 * body.size());
        std::vector<std::uint32_t> words = {type, length};
        words.insert(words.end(), body.begin(), body.end());
        words.push_back(length);
        const auto* raw = reinterpret_cast<const std::uint8_t*>(words.data());
        bytes.insert(bytes.end(), raw, raw + 4 * words.size());
    }
    std::vector<std::uint8_t> bytes;
};

}  // namespace telmora::test
