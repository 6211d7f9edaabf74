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

}  // namespace telmora
