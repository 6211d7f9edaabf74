#include "tools/skeleton_test_server/skeleton_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "motion/channel_table.h"
#include "motion/sensor_frame.h"
#include "tools/performer/performer_model.h"

namespace telmora {

namespace {

// How long one client may hold up the sending thread before it is dropped.
constexpr int kSendTimeoutMs = 200;

void putLittleEndian(std::uint8_t* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

std::array<std::uint8_t, SkeletonTestRecord::kSize> SkeletonTestRecord::encode(
    std::uint64_t sequence, const Values& values) {
    std::array<std::uint8_t, kSize> bytes{};
    putLittleEndian(bytes.data(), sequence, 8);
    putLittleEndian(bytes.data() + 8, kEntryCount, 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &values[i], sizeof bits);
        putLittleEndian(bytes.data() + kHeaderSize + i * 8, bits, 8);
    }
    return bytes;
}

SkeletonTestServer::SkeletonTestServer(SkeletonTestServerConfig config, ValueSource values,
                                       LogWriter log)
    : config_(std::move(config)), values_(std::move(values)), log_(std::move(log)) {}

SkeletonTestServer::~SkeletonTestServer() {
    Stop();
}

bool SkeletonTestServer::Start(std::string& error) {
    if (threads_.Running() || listenSocket_ >= 0) {
        error = "already started";
        return false;
    }
    if (!(config_.recordRate >= 1.0 && config_.recordRate <= kMaxRecordRate)) {
        error = "record rate out of range";
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config_.port);
    if (inet_pton(AF_INET, config_.bindAddress.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + config_.bindAddress;
        return false;
    }
    listenSocket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenSocket_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listenSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenSocket_, 8) != 0) {
        error = std::string("bind/listen on ") + config_.bindAddress + ":" +
                std::to_string(config_.port) + ": " + std::strerror(errno);
        ::close(listenSocket_);
        listenSocket_ = -1;
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&bound), &length);
    boundPort_ = ntohs(bound.sin_port);
    try {
        threads_.Start([this] { SendLoop(); });
    } catch (const std::exception& e) {
        error = std::string("cannot start the sending thread: ") + e.what();
        ::close(listenSocket_);
        listenSocket_ = -1;
        return false;
    }
    log_(LogStream::Out, "Skeleton test server listening on " + config_.bindAddress + ":" +
                             std::to_string(boundPort_) + "\n");
    return true;
}

void SkeletonTestServer::Stop() {
    threads_.Stop();
    for (int client : clients_) ::close(client);
    clients_.clear();
    clientCount_ = 0;
    if (listenSocket_ >= 0) ::close(listenSocket_);
    listenSocket_ = -1;
}

void SkeletonTestServer::AcceptClients() {
    for (;;) {
        const int client = ::accept4(listenSocket_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) return;  // nothing pending (EAGAIN) or a transient failure
        timeval timeout{0, kSendTimeoutMs * 1000};
        ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        clients_.push_back(client);
        ++clientsAccepted_;
    }
}

bool SkeletonTestServer::SendAll(int client, const std::uint8_t* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        if (threads_.Stopping()) return false;
        const ssize_t n = ::send(client, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;  // closed, reset, or not reading for kSendTimeoutMs
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void SkeletonTestServer::SendLoop() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config_.recordRate));
    const Clock::time_point start = Clock::now();
    SkeletonTestRecord::Values values{};
    for (std::uint64_t sequence = 0;; ++sequence) {
        // Paced against the start, not the previous send, so the rate does not drift.
        const Clock::time_point due = start + period * static_cast<Clock::rep>(sequence);
        if (threads_.PauseUntil(due)) return;
        AcceptClients();
        clientCount_ = clients_.size();
        if (clients_.empty()) continue;
        values.fill(0.0);
        if (values_) {
            values_(sequence, std::chrono::duration<double>(due - start).count(), values);
        }
        const auto record = SkeletonTestRecord::encode(sequence, values);
        for (std::size_t c = 0; c < clients_.size();) {
            if (SendAll(clients_[c], record.data(), record.size())) {
                ++recordsSent_;
                ++c;
            } else {
                ::close(clients_[c]);
                clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(c));
            }
        }
        clientCount_ = clients_.size();
    }
}

SkeletonTestServer::ValueSource channelValuesOf(std::shared_ptr<const Performance> performance) {
    // The table is only touched by the sending thread, one record after another.
    auto table = std::make_shared<ChannelTable>();
    table->SetupChannels();
    return [performance = std::move(performance), table](std::uint64_t, double seconds,
                                                         SkeletonTestRecord::Values& values) {
        if (!performance || performance->frames.empty()) return;
        const SensorFrame frame = makePerformerFrame(performance->frameAt(seconds),
                                                     performance->rest, table->boneSlotMap());
        table->HandlePacket(encodeSensorFrame(frame));
        const ChannelSnapshot channels = table->snapshot();
        const std::size_t count = std::min<std::size_t>(
            static_cast<std::size_t>(channels.channelCount), SkeletonTestRecord::kEntryCount);
        for (std::size_t e = 0; e < count; ++e) {
            const ChannelRecord& record = channels.records[e];
            for (int k = 0; k < 3; ++k) {
                values[e * 6 + k] = record.translation[k];
                values[e * 6 + 3 + k] = record.rotation[k];
            }
        }
    };
}

}  // namespace telmora
