// Windows Sockets 2 implementation of the UDP socket (link ws2_32).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

#include "network/socket.h"

namespace telmora {
namespace {

// WSAStartup and WSACleanup are themselves counted by Winsock, but a clean-up racing a start-up
// on another thread is not safe; one process-wide count under a mutex makes the pairs strict.
std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}
int libraryUsers = 0;  // guarded by libraryMutex()

int acquireLibrary() {
    std::lock_guard<std::mutex> lock(libraryMutex());
    if (libraryUsers == 0) {
        WSADATA data{};
        const int error = ::WSAStartup(MAKEWORD(2, 2), &data);
        if (error != 0) return error;
    }
    ++libraryUsers;
    return 0;
}

void releaseLibrary() {
    std::lock_guard<std::mutex> lock(libraryMutex());
    if (libraryUsers == 0) return;
    if (--libraryUsers == 0) ::WSACleanup();
}

SOCKET toSocket(std::uintptr_t handle) {
    return static_cast<SOCKET>(handle);
}

sockaddr_in toSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(endpoint.port);
    addr.sin_addr.s_addr = htonl(endpoint.address);
    return addr;
}

Ipv4Endpoint fromSockaddr(const sockaddr_in& addr) {
    return Ipv4Endpoint{ntohl(addr.sin_addr.s_addr), ntohs(addr.sin_port)};
}

}  // namespace

// inet_pton and inet_ntop are plain conversions in ws2_32 that need no WSAStartup.
std::optional<std::uint32_t> parseIpv4(std::string_view dotted) {
    char text[16] = {};
    if (dotted.size() >= sizeof text) return std::nullopt;
    std::memcpy(text, dotted.data(), dotted.size());
    in_addr addr{};
    if (::inet_pton(AF_INET, text, &addr) != 1) return std::nullopt;
    return ntohl(addr.s_addr);
}

std::string formatIpv4(std::uint32_t address) {
    in_addr addr{};
    addr.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) return std::string();
    return std::string(text);
}

int UdpSocket::open() {
    close();
    if (const int error = acquireLibrary(); error != 0) return error;
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        const int error = ::WSAGetLastError();
        releaseLibrary();
        return error;
    }
    handle_ = static_cast<std::uintptr_t>(s);
    return 0;
}

int UdpSocket::bind(const Ipv4Endpoint& local) {
    if (!isOpen()) return WSAENOTSOCK;
    const sockaddr_in addr = toSockaddr(local);
    if (::bind(toSocket(handle_), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) ==
        SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    return 0;
}

int UdpSocket::setReceiveTimeout(std::chrono::milliseconds timeout) {
    if (!isOpen()) return WSAENOTSOCK;
    // Winsock reads SO_RCVTIMEO as a DWORD count of milliseconds; 0 would mean "for ever".
    const DWORD ms = timeout.count() < 1 ? 1 : static_cast<DWORD>(timeout.count());
    if (::setsockopt(toSocket(handle_), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                     sizeof ms) == SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    return 0;
}

int UdpSocket::connect(const Ipv4Endpoint& remote) {
    if (!isOpen()) return WSAENOTSOCK;
    const sockaddr_in addr = toSockaddr(remote);
    if (::connect(toSocket(handle_), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) ==
        SOCKET_ERROR) {
        return ::WSAGetLastError();
    }
    return 0;
}

std::optional<Ipv4Endpoint> UdpSocket::localEndpoint() const {
    if (!isOpen()) return std::nullopt;
    sockaddr_in addr{};
    int len = sizeof addr;
    if (::getsockname(toSocket(handle_), reinterpret_cast<sockaddr*>(&addr), &len) ==
        SOCKET_ERROR) {
        return std::nullopt;
    }
    return fromSockaddr(addr);
}

int UdpSocket::sendTo(const std::uint8_t* data, std::size_t size,
                      const Ipv4Endpoint& destination) const {
    if (!isOpen()) return WSAENOTSOCK;
    const sockaddr_in addr = toSockaddr(destination);
    const int sent =
        ::sendto(toSocket(handle_), reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                 reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent == SOCKET_ERROR ? ::WSAGetLastError() : 0;
}

ReceiveResult UdpSocket::receiveFrom(std::uint8_t* buffer, std::size_t capacity) const {
    ReceiveResult result;
    if (!isOpen()) {
        result.outcome = ReceiveOutcome::Fatal;
        result.errorCode = WSAENOTSOCK;
        return result;
    }
    sockaddr_in addr{};
    int len = sizeof addr;
    const int n =
        ::recvfrom(toSocket(handle_), reinterpret_cast<char*>(buffer), static_cast<int>(capacity),
                   0, reinterpret_cast<sockaddr*>(&addr), &len);
    if (n == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        switch (error) {
            case WSAEWOULDBLOCK:  // 10035
            case WSAETIMEDOUT:    // 10060: SO_RCVTIMEO ran out
            case WSAEINTR:
                result.outcome = ReceiveOutcome::NothingYet;
                break;
            case WSAEMSGSIZE:  // 10040: the datagram was longer than the buffer; it is cut
                result.outcome = ReceiveOutcome::Dropped;
                result.tooLong = true;
                if (len >= static_cast<int>(sizeof addr) && addr.sin_family == AF_INET)
                    result.source = fromSockaddr(addr);
                break;
            default:
                // Among these WSAECONNRESET (10054): on UDP, Winsock reports that one of our
                // datagrams met a port where nothing listens. The stream treats it as the end.
                result.outcome = ReceiveOutcome::Fatal;
                result.errorCode = error;
                break;
        }
        return result;
    }
    if (len < static_cast<int>(sizeof addr) || addr.sin_family != AF_INET) {
        result.outcome = ReceiveOutcome::Dropped;
        return result;
    }
    result.outcome = ReceiveOutcome::Datagram;
    result.size = static_cast<std::size_t>(n);
    result.source = fromSockaddr(addr);
    return result;
}

std::size_t UdpSocket::receiveBatch(std::uint8_t* buffers, std::size_t capacity,
                                    ReceiveResult* results, std::size_t count) const {
    // Winsock has no recvmmsg: the first datagram is waited for, then the queue is drained
    // while it holds more (FIONREAD), so a receive never waits after the first.
    std::size_t filled = 0;
    while (filled < count) {
        if (filled > 0) {
            u_long pending = 0;
            if (::ioctlsocket(toSocket(handle_), FIONREAD, &pending) != 0 || pending == 0) break;
        }
        results[filled] = receiveFrom(buffers + filled * capacity, capacity);
        const ReceiveOutcome outcome = results[filled].outcome;
        ++filled;
        if (outcome == ReceiveOutcome::NothingYet || outcome == ReceiveOutcome::Fatal) break;
    }
    return filled;
}

void UdpSocket::shutdown() const noexcept {
    if (!isOpen()) return;
    ::shutdown(toSocket(handle_), SD_BOTH);
}

void UdpSocket::close() noexcept {
    if (!isOpen()) return;
    ::closesocket(toSocket(handle_));
    handle_ = kNoHandle;
    releaseLibrary();
}

}  // namespace telmora
