#pragma once
// A tap on the datagrams a socket sends and receives, for writing them down (raw capture). The
// network layer calls it on its own threads, with every datagram as it crosses the socket.

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "network/socket.h"

namespace telmora {

struct TappedDatagram {
    std::chrono::system_clock::time_point at;  // when it arrived or left
    Ipv4Endpoint from;
    // Address 0: this machine, on the interface that faces `from` (or, for a datagram sent,
    // `to`); the tap's owner finds which.
    Ipv4Endpoint to;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

class DatagramTap {
public:
    virtual ~DatagramTap() = default;
    // Called on the socket's threads, several at once. Must be quick and must not block: the
    // bytes live only for the call. Never throws.
    virtual void Tap(const TappedDatagram& datagram) noexcept = 0;
};

}  // namespace telmora
