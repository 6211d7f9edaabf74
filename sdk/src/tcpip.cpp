// The host's small TCP client over the platform's sockets (POSIX or Winsock). It is the host's
// own: an SDK does not depend on the code of the plug-ins it loads, so the project's UDP layer is
// not reused here.
//
// Sockets are non-blocking from creation: Connect waits for completion with a bounded poll, Read
// returns what is there now. Handles given to the caller are small ints from 1 up, never reused
// by one FBTCPIP object, so a closed or foreign handle is simply unknown.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <cstring>
#include <map>
#include <mutex>

#include "sdk_internal.h"

namespace ORSDK2026 {

namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
const NativeSocket kNoSocket = INVALID_SOCKET;
void closeNative(NativeSocket s) {
    closesocket(s);
}
bool setNonBlocking(NativeSocket s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
bool wouldBlock() {
    const int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
int pollOne(NativeSocket s, short events, int timeoutMs) {
    WSAPOLLFD p{s, events, 0};
    return WSAPoll(&p, 1, timeoutMs);
}
// Winsock start-up and clean-up, counted process-wide.
std::mutex gWinsockMutex;
int gWinsockUsers = 0;
void winsockAcquire() {
    std::lock_guard<std::mutex> lock(gWinsockMutex);
    if (gWinsockUsers++ == 0) {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
}
void winsockRelease() {
    std::lock_guard<std::mutex> lock(gWinsockMutex);
    if (--gWinsockUsers == 0) WSACleanup();
}
constexpr int kNoSignal = 0;
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
void closeNative(NativeSocket s) {
    ::close(s);
}
bool setNonBlocking(NativeSocket s) {
    const int flags = fcntl(s, F_GETFL, 0);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool wouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
}
int pollOne(NativeSocket s, short events, int timeoutMs) {
    pollfd p{s, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r;
}
void winsockAcquire() {}
void winsockRelease() {}
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

constexpr int kConnectTimeoutMs = 1000;

}  // namespace

struct FBTCPIP::Impl {
    std::map<int, NativeSocket> sockets;
    int nextHandle = 1;

    NativeSocket find(int handle) const {
        auto it = sockets.find(handle);
        return it == sockets.end() ? kNoSocket : it->second;
    }
};

FBTCPIP::FBTCPIP() : mImpl(std::make_unique<Impl>()) {
    winsockAcquire();
}

FBTCPIP::~FBTCPIP() {
    for (auto& entry : mImpl->sockets) closeNative(entry.second);
    mImpl->sockets.clear();
    winsockRelease();
}

bool FBTCPIP::CreateSocket(int& socket, kFBTCPIPSocketType type, const char*, bool) {
    socket = 0;
    if (type != kFBTCPIP_Stream) return false;
    NativeSocket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kNoSocket) return false;
    if (!setNonBlocking(s)) {
        closeNative(s);
        return false;
    }
    socket = mImpl->nextHandle++;
    mImpl->sockets[socket] = s;
    return true;
}

bool FBTCPIP::Connect(int socket, const char* address, int port) {
    const NativeSocket s = mImpl->find(socket);
    if (s == kNoSocket || !address || port <= 0 || port > 65535) return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<unsigned short>(port));
    const char* dotted = std::strcmp(address, "localhost") == 0 ? "127.0.0.1" : address;
    if (inet_pton(AF_INET, dotted, &peer.sin_addr) != 1) return false;
    if (::connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0) return true;
    if (!wouldBlock()) return false;
    if (pollOne(s, POLLOUT, kConnectTimeoutMs) <= 0) return false;
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return false;
    return error == 0;
}

bool FBTCPIP::Read(int socket, void* buffer, int size, int* numRead) {
    if (numRead) *numRead = 0;
    const NativeSocket s = mImpl->find(socket);
    if (s == kNoSocket || !buffer || size < 0) return false;
    if (size == 0) return true;
    const auto n = ::recv(s, static_cast<char*>(buffer), size, 0);
    if (n > 0) {
        if (numRead) *numRead = static_cast<int>(n);
        return true;
    }
    if (n == 0) return false;  // the peer closed the connection
    return wouldBlock();
}

bool FBTCPIP::Write(int socket, const void* buffer, int size, int* numWritten) {
    if (numWritten) *numWritten = 0;
    const NativeSocket s = mImpl->find(socket);
    if (s == kNoSocket || !buffer || size < 0) return false;
    if (size == 0) return true;
    const auto n = ::send(s, static_cast<const char*>(buffer), size, kNoSignal);
    if (n >= 0) {
        if (numWritten) *numWritten = static_cast<int>(n);
        return true;
    }
    return wouldBlock();
}

bool FBTCPIP::CloseSocket(int socket) {
    auto it = mImpl->sockets.find(socket);
    if (it == mImpl->sockets.end()) return false;
    closeNative(it->second);
    mImpl->sockets.erase(it);
    return true;
}

}  // namespace ORSDK2026
