#pragma once
// A small portable IPv4 UDP socket: the only door from the network layer to the operating system.
//
// One implementation per platform (socket_posix.cpp, socket_winsock.cpp), chosen by the build.
// Nothing here names a platform type: the handle is kept as an integer wide enough for both a
// POSIX descriptor and a Winsock SOCKET, and every error is the platform's own number (errno on
// POSIX, WSAGetLastError() on Windows), so messages can print it unchanged.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telmora {

// An IPv4 address and UDP port, both in host byte order (127.0.0.1 is 0x7F000001).
struct Ipv4Endpoint {
    std::uint32_t address = 0;  // 0 is 0.0.0.0, "any interface" when binding
    std::uint16_t port = 0;     // 0 lets the system choose when binding

    friend bool operator==(const Ipv4Endpoint& a, const Ipv4Endpoint& b) {
        return a.address == b.address && a.port == b.port;
    }
    friend bool operator!=(const Ipv4Endpoint& a, const Ipv4Endpoint& b) { return !(a == b); }
};

// Dotted-decimal text ("192.168.0.7") to an address; empty when the text is no IPv4 address.
std::optional<std::uint32_t> parseIpv4(std::string_view dotted);
// An address as dotted-decimal text, at most 15 characters.
std::string formatIpv4(std::uint32_t address);

// The address of this machine's interface that datagrams to `remote` leave from (127.0.0.1
// towards a loopback address); empty when no route is known. Sends nothing.
std::optional<std::uint32_t> localAddressTowards(std::uint32_t remote);

// What one receive call came to. Every receive loop of the network layer sorts its calls into
// these outcomes and nothing else.
enum class ReceiveOutcome {
    Datagram,    // `size` bytes from `source` are in the buffer (size may be 0: an empty datagram)
    NothingYet,  // the wait ran out, would block, or a signal interrupted it: try again
    Dropped,  // a datagram arrived but did not fit the buffer; it is discarded, the socket is fine
    Fatal,    // the socket cannot receive any more: the loop ends
};

struct ReceiveResult {
    ReceiveOutcome outcome = ReceiveOutcome::NothingYet;
    std::size_t size = 0;  // bytes in the buffer, for Datagram; for a datagram Dropped as too
                           // long its whole length where the platform tells it, else 0
    Ipv4Endpoint source;   // sender, for Datagram (and a too-long datagram where known)
    bool tooLong = false;  // Dropped because it did not fit the buffer
    int errorCode = 0;     // the platform's error number, for Fatal only
};

// One IPv4 UDP socket. Owns its handle and, while open, one reference to the platform's socket
// library (WSAStartup/WSACleanup on Windows, counted process-wide; nothing on POSIX).
//
// Thread use: open, bind, setReceiveTimeout and close belong to the owner and must not overlap
// any other call. While the socket is open, one thread may receive, another may send, and any
// thread may call shutdown, all at the same time.
class UdpSocket {
public:
    UdpSocket() noexcept = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the socket (closing any previous one). Returns 0 or the platform's error number.
    int open();
    // Binds to `local` (address 0: any interface; port 0: chosen by the system). No address
    // reuse is requested, so a port already bound elsewhere fails. Returns 0 or the error number.
    int bind(const Ipv4Endpoint& local);
    // Fixes the socket's peer: the system picks the local address it would send from to
    // `remote`. Returns 0 or the error number. For learning a route; the stream's sockets stay
    // unconnected.
    int connect(const Ipv4Endpoint& remote);
    // Bounds every later receive wait to `timeout` (at least 1 ms). Returns 0 or the error number.
    int setReceiveTimeout(std::chrono::milliseconds timeout);
    // The endpoint the socket is bound to, once bound.
    std::optional<Ipv4Endpoint> localEndpoint() const;

    // Sends one datagram. Returns 0 or the platform's error number.
    int sendTo(const std::uint8_t* data, std::size_t size, const Ipv4Endpoint& destination) const;
    // Waits, at most the receive time-out, for one datagram of up to `capacity` bytes. A longer
    // datagram is reported as Dropped, never as a cut-down Datagram.
    ReceiveResult receiveFrom(std::uint8_t* buffer, std::size_t capacity) const;
    // Up to `count` datagrams for one wait: waits as receiveFrom does for the first, then takes
    // without waiting whatever else is queued already (one recvmmsg call on Linux; elsewhere
    // one receive per datagram while more are pending). Datagram i lands in the i-th of `count`
    // buffers of `capacity` bytes laid end to end at `buffers`, its outcome in results[i], each
    // sorted as receiveFrom sorts one call. Returns how many results it filled, at least 1
    // (a NothingYet or Fatal result comes alone or last).
    std::size_t receiveBatch(std::uint8_t* buffers, std::size_t capacity, ReceiveResult* results,
                             std::size_t count) const;

    // Ends sending and receiving without releasing the handle; wakes a receive blocked in
    // another thread where the platform does so. Safe while other threads use the socket.
    void shutdown() const noexcept;
    // Releases the handle and the library reference. No other thread may be using the socket.
    void close() noexcept;
    bool isOpen() const noexcept;
    // The platform's handle (a descriptor, or a Winsock SOCKET), still owned by this socket, for
    // an option this class does not wrap; all bits set while closed.
    std::uintptr_t nativeHandle() const noexcept { return handle_; }

private:
    // Wide enough for an int descriptor and for a Winsock SOCKET; all bits set is "no socket"
    // on both (-1 and INVALID_SOCKET).
    static constexpr std::uintptr_t kNoHandle = ~std::uintptr_t{0};
    std::uintptr_t handle_ = kNoHandle;
};

}  // namespace telmora
