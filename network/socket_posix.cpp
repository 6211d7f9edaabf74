// POSIX implementation of the UDP socket (Linux, macOS).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "network/socket.h"

namespace telmora {
namespace {

int toFd(std::uintptr_t handle) {
    return static_cast<int>(static_cast<std::intptr_t>(handle));
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

// MSG_NOSIGNAL keeps a send on a shut-down socket from raising SIGPIPE where it exists; macOS
// has no such flag and raises no SIGPIPE for datagram sockets.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

}  // namespace

std::optional<std::uint32_t> parseIpv4(std::string_view dotted) {
    // inet_pton wants a NUL-terminated text; longer than "255.255.255.255" is no address.
    char text[16] = {};
    if (dotted.size() >= sizeof text) return std::nullopt;
    std::memcpy(text, dotted.data(), dotted.size());
    in_addr addr{};
    if (inet_pton(AF_INET, text, &addr) != 1) return std::nullopt;
    return ntohl(addr.s_addr);
}

std::string formatIpv4(std::uint32_t address) {
    in_addr addr{};
    addr.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) return std::string();
    return std::string(text);
}

int UdpSocket::open() {
    close();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) return errno;
    // A descriptor inherited by a child process would keep the port bound after we close it.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    handle_ = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(fd));
    return 0;
}

int UdpSocket::bind(const Ipv4Endpoint& local) {
    if (!isOpen()) return EBADF;
    const sockaddr_in addr = toSockaddr(local);
    if (::bind(toFd(handle_), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return errno;
    }
    return 0;
}

int UdpSocket::setReceiveTimeout(std::chrono::milliseconds timeout) {
    if (!isOpen()) return EBADF;
    // A zero timeval would mean "wait for ever".
    const long long ms = timeout.count() < 1 ? 1 : static_cast<long long>(timeout.count());
    timeval tv{};
    tv.tv_sec = static_cast<decltype(tv.tv_sec)>(ms / 1000);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>((ms % 1000) * 1000);
    if (::setsockopt(toFd(handle_), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return errno;
    return 0;
}

int UdpSocket::connect(const Ipv4Endpoint& remote) {
    if (!isOpen()) return EBADF;
    const sockaddr_in addr = toSockaddr(remote);
    return ::connect(toFd(handle_), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0
               ? 0
               : errno;
}

std::optional<Ipv4Endpoint> UdpSocket::localEndpoint() const {
    if (!isOpen()) return std::nullopt;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(toFd(handle_), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return std::nullopt;
    }
    return fromSockaddr(addr);
}

int UdpSocket::sendTo(const std::uint8_t* data, std::size_t size,
                      const Ipv4Endpoint& destination) const {
    if (!isOpen()) return EBADF;
    const sockaddr_in addr = toSockaddr(destination);
    const ssize_t sent = ::sendto(toFd(handle_), data, size, kSendFlags,
                                  reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    return sent < 0 ? errno : 0;
}

ReceiveResult UdpSocket::receiveFrom(std::uint8_t* buffer, std::size_t capacity) const {
    ReceiveResult result;
    if (!isOpen()) {
        result.outcome = ReceiveOutcome::Fatal;
        result.errorCode = EBADF;
        return result;
    }
    sockaddr_in addr{};
    iovec part{buffer, capacity};
    msghdr message{};
    message.msg_name = &addr;
    message.msg_namelen = sizeof addr;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    // MSG_TRUNC: the length returned is the datagram's own, also when it did not fit.
    const ssize_t n = ::recvmsg(toFd(handle_), &message, MSG_TRUNC);
    if (n < 0) {
        const int error = errno;
        // SO_RCVTIMEO running out shows as EAGAIN (or EWOULDBLOCK, the same on most systems).
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            result.outcome = ReceiveOutcome::NothingYet;
        } else {
            result.outcome = ReceiveOutcome::Fatal;
            result.errorCode = error;
        }
        return result;
    }
    // The kernel cuts a datagram longer than the buffer and says so in msg_flags; the rest of it
    // is gone, so the part we hold is no datagram the sender sent.
    if ((message.msg_flags & MSG_TRUNC) != 0 || static_cast<std::size_t>(n) > capacity) {
        result.outcome = ReceiveOutcome::Dropped;
        result.tooLong = true;
        result.size = static_cast<std::size_t>(n);
        if (message.msg_namelen >= sizeof addr && addr.sin_family == AF_INET)
            result.source = fromSockaddr(addr);
        return result;
    }
    // Anything but an IPv4 sender cannot come through an AF_INET socket; be strict anyway.
    if (message.msg_namelen < sizeof addr || addr.sin_family != AF_INET) {
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
#ifdef __linux__
    constexpr std::size_t kMostAtOnce = 64;
    count = std::min(count, kMostAtOnce);
    if (count <= 1 || !isOpen()) {
        results[0] = receiveFrom(buffers, capacity);
        return 1;
    }
    sockaddr_in addrs[kMostAtOnce];
    iovec parts[kMostAtOnce];
    mmsghdr messages[kMostAtOnce];
    std::memset(messages, 0, sizeof(mmsghdr) * count);
    for (std::size_t i = 0; i < count; ++i) {
        parts[i] = iovec{buffers + i * capacity, capacity};
        messages[i].msg_hdr.msg_name = &addrs[i];
        messages[i].msg_hdr.msg_namelen = sizeof addrs[i];
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    // MSG_WAITFORONE: the receive wait (SO_RCVTIMEO) for the first, none for the rest.
    // MSG_TRUNC: each length is the datagram's own, also when it did not fit.
    const int n = ::recvmmsg(toFd(handle_), messages, static_cast<unsigned>(count),
                             MSG_WAITFORONE | MSG_TRUNC, nullptr);
    if (n <= 0) {
        const int error = n < 0 ? errno : EAGAIN;
        results[0] = ReceiveResult{};
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            results[0].outcome = ReceiveOutcome::NothingYet;
        } else {
            results[0].outcome = ReceiveOutcome::Fatal;
            results[0].errorCode = error;
        }
        return 1;
    }
    for (int i = 0; i < n; ++i) {
        const msghdr& message = messages[i].msg_hdr;
        const sockaddr_in& addr = addrs[i];
        const std::size_t length = messages[i].msg_len;
        ReceiveResult& result = results[i];
        result = ReceiveResult{};
        const bool fromIpv4 = message.msg_namelen >= sizeof addr && addr.sin_family == AF_INET;
        if ((message.msg_flags & MSG_TRUNC) != 0 || length > capacity) {
            result.outcome = ReceiveOutcome::Dropped;
            result.tooLong = true;
            result.size = length;
            if (fromIpv4) result.source = fromSockaddr(addr);
        } else if (!fromIpv4) {
            result.outcome = ReceiveOutcome::Dropped;
        } else {
            result.outcome = ReceiveOutcome::Datagram;
            result.size = length;
            result.source = fromSockaddr(addr);
        }
    }
    return static_cast<std::size_t>(n);
#else
    (void)count;
    results[0] = receiveFrom(buffers, capacity);
    return 1;
#endif
}

void UdpSocket::shutdown() const noexcept {
    if (!isOpen()) return;
    // On an unconnected UDP socket Linux answers ENOTCONN but still marks the socket shut down
    // and wakes a thread blocked in a receive, which then returns 0 at once. Other systems may
    // not wake it; the receive time-out bounds the wait there.
    ::shutdown(toFd(handle_), SHUT_RDWR);
}

void UdpSocket::close() noexcept {
    if (!isOpen()) return;
    ::close(toFd(handle_));
    handle_ = kNoHandle;
}

}  // namespace telmora
