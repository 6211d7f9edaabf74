#pragma once
// A server of the validator's own that sends whatever a check asks: it announces one subject
// to a device's listening port, learns the device's stream endpoint from its keep-alive and
// sends datagrams there. Its socket sits on a loopback address of its own (127.0.0.2 where the
// system has it) so that no real sender on 127.0.0.1 shares its entry in the device's server
// list, which is keyed by address; announcements from a second socket (127.0.0.3) reach the
// same port without being this server's.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "network/socket.h"

namespace telmora::host {

class FakeServer {
public:
    FakeServer(std::string name, std::string subject)
        : name_(std::move(name)), subject_(std::move(subject)) {}

    // Binds the server's and the stranger's sockets; false with the reason in `error`.
    bool Open(std::string& error);

    const std::string& name() const { return name_; }
    const std::string& subject() const { return subject_; }
    std::uint16_t streamPort() const { return streamEndpoint_.port; }

    // Announces this server and its subject to 127.0.0.1:`listeningPort`.
    void Announce(std::uint16_t listeningPort) const;
    // Sends a datagram to 127.0.0.1:`listeningPort` from another address, as a stranger would.
    void AnnounceAsStranger(std::uint16_t listeningPort,
                            const std::vector<std::uint8_t>& bytes) const;

    // Reads its socket, calling `pump` between reads, until a keep-alive for its subject arrives
    // or `timeout` passes; true when the device's stream endpoint is known.
    bool WaitForKeepAlive(std::chrono::milliseconds timeout, const std::function<void()>& pump);
    // Sends to the device's stream endpoint (nothing before a keep-alive arrived).
    void Send(const std::vector<std::uint8_t>& datagram) const;

private:
    std::string name_;
    std::string subject_;
    UdpSocket socket_;
    UdpSocket stranger_;
    Ipv4Endpoint streamEndpoint_{};
    std::optional<Ipv4Endpoint> client_;
};

}  // namespace telmora::host
