#include "tools/host/validate/fake_server.h"

#include <array>
#include <nlohmann/json.hpp>

#include "network/protocol.h"
#include "tools/host/host_driver.h"

namespace telmora::host {

namespace {

// Binds `socket` to `preferred`, or to 127.0.0.1 where the system has no such loopback alias.
std::optional<Ipv4Endpoint> bindLoopback(UdpSocket& socket, const char* preferred) {
    for (const char* address : {preferred, "127.0.0.1"}) {
        if (socket.open() != 0) return std::nullopt;
        if (socket.bind({*parseIpv4(address), 0}) == 0) return socket.localEndpoint();
    }
    return std::nullopt;
}

Ipv4Endpoint loopbackPort(std::uint16_t port) {
    return {*parseIpv4("127.0.0.1"), port};
}

}  // namespace

bool FakeServer::Open(std::string& error) {
    const std::optional<Ipv4Endpoint> endpoint = bindLoopback(socket_, "127.0.0.2");
    if (!endpoint) {
        error = "cannot bind the fake server's socket";
        return false;
    }
    streamEndpoint_ = *endpoint;
    socket_.setReceiveTimeout(std::chrono::milliseconds(5));
    if (!bindLoopback(stranger_, "127.0.0.3")) {
        error = "cannot bind the announcing socket";
        return false;
    }
    return true;
}

void FakeServer::Announce(std::uint16_t listeningPort) const {
    const std::string text = nlohmann::json{
        {kServerNameMember, name_},
        {kStreamPortMember, streamEndpoint_.port},
        {kSubjectsMember,
         {subject_}}}.dump();
    socket_.sendTo(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(),
                   loopbackPort(listeningPort));
}

void FakeServer::AnnounceAsStranger(std::uint16_t listeningPort,
                                    const std::vector<std::uint8_t>& bytes) const {
    stranger_.sendTo(bytes.data(), bytes.size(), loopbackPort(listeningPort));
}

bool FakeServer::WaitForKeepAlive(std::chrono::milliseconds timeout,
                                  const std::function<void()>& pump) {
    const std::string keepAlive = kKeepAlivePrefix + subject_;
    std::array<std::uint8_t, kMaxStreamDatagramSize> buffer{};
    pumpUntil([&] { return client_.has_value(); }, timeout,
              [&] {
                  const ReceiveResult r = socket_.receiveFrom(buffer.data(), buffer.size());
                  if (r.outcome == ReceiveOutcome::Datagram &&
                      std::string(buffer.begin(), buffer.begin() + static_cast<long>(r.size)) ==
                          keepAlive)
                      client_ = r.source;
                  pump();
              });
    return client_.has_value();
}

void FakeServer::Send(const std::vector<std::uint8_t>& datagram) const {
    if (client_) socket_.sendTo(datagram.data(), datagram.size(), *client_);
}

}  // namespace telmora::host
