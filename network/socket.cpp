// The platform-independent members of UdpSocket: ownership of the handle. Opening, closing and
// every system call live in socket_posix.cpp or socket_winsock.cpp.
#include "network/socket.h"

namespace telmora {

UdpSocket::~UdpSocket() {
    close();
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : handle_(other.handle_) {
    other.handle_ = kNoHandle;
}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = kNoHandle;
    }
    return *this;
}

bool UdpSocket::isOpen() const noexcept {
    return handle_ != kNoHandle;
}

std::optional<std::uint32_t> localAddressTowards(std::uint32_t remote) {
    UdpSocket probe;
    // Connecting a datagram socket sends nothing: it only picks the route and its address.
    if (probe.open() != 0 || probe.connect(Ipv4Endpoint{remote, 9}) != 0) return std::nullopt;
    const std::optional<Ipv4Endpoint> local = probe.localEndpoint();
    if (!local || local->address == 0) return std::nullopt;
    return local->address;
}

}  // namespace telmora
