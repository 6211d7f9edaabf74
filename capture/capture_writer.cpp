#include "capture/capture_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "capture/ip_packet.h"
#include "network/protocol.h"

#if TELMORA_HAVE_PCAP
#include <pcap/pcap.h>
#endif

namespace telmora {

CaptureWriter::CaptureWriter(LogWriter log) : log(std::move(log)) {}

CaptureWriter::~CaptureWriter() {
    Stop();
}

bool CaptureWriter::Available() {
    return TELMORA_HAVE_PCAP != 0;
}

CaptureFigures CaptureWriter::Figures() const {
    std::lock_guard<std::mutex> lock(queueMutex);
    return figures;
}

void CaptureWriter::Tap(const TappedDatagram& datagram) noexcept {
    if (!accepting.load(std::memory_order_relaxed)) return;
    if (datagram.size > kMaxStreamDatagramSize) return;
    std::lock_guard<std::mutex> lock(queueMutex);
    if (!figures.running) return;
    if (fillCount == filling.size()) {
        ++figures.dropped;
        return;
    }
    Slot& slot = filling[fillCount++];
    slot.at = datagram.at;
    slot.from = datagram.from;
    slot.to = datagram.to;
    // The slot's buffer is kept from batch to batch: after the first few seconds this copies
    // without allocating.
    try {
        slot.bytes.assign(datagram.data, datagram.data + datagram.size);
    } catch (...) {
        --fillCount;
        ++figures.dropped;
    }
}

#if TELMORA_HAVE_PCAP

bool CaptureWriter::Start(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    StopLocked();
    pcap_t* handle = pcap_open_dead(DLT_RAW, 65535);
    if (handle == nullptr) {
        error = "cannot start a capture";
        return false;
    }
    pcap_dumper_t* file = pcap_dump_open(handle, path.c_str());
    if (file == nullptr) {
        error = "cannot write '" + path + "': " + pcap_geterr(handle);
        pcap_close(handle);
        return false;
    }
    dead = handle;
    dumper = file;
    filling.assign(kQueueLength, Slot{});
    draining.assign(kQueueLength, Slot{});
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        fillCount = 0;
        figures = CaptureFigures{};
        figures.running = true;
        figures.path = path;
    }
    hereFacing.clear();
    try {
        threads.Start([this] { WriteLoop(); });
    } catch (const std::exception& failure) {
        error = std::string("cannot start the capture's thread: ") + failure.what();
        pcap_dump_close(file);
        pcap_close(handle);
        dumper = dead = nullptr;
        std::lock_guard<std::mutex> lock(queueMutex);
        figures.running = false;
        return false;
    }
    accepting.store(true);
    writeLine(log, LogStream::Out, "Capturing the raw stream to " + path + "\n");
    return true;
}

void CaptureWriter::Stop() {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    StopLocked();
}

void CaptureWriter::StopLocked() {
    threads.Stop();
    accepting.store(false);
    if (dumper != nullptr) {
        pcap_dump_close(static_cast<pcap_dumper_t*>(dumper));
        dumper = nullptr;
        const CaptureFigures done = Figures();
        writeLine(log, LogStream::Out,
                  "Capture closed: " + std::to_string(done.written) + " datagrams in " + done.path +
                      (done.dropped > 0 ? ", " + std::to_string(done.dropped) + " dropped" : "") +
                      "\n");
    }
    if (dead != nullptr) {
        pcap_close(static_cast<pcap_t*>(dead));
        dead = nullptr;
    }
    std::lock_guard<std::mutex> lock(queueMutex);
    figures.running = false;
}

void CaptureWriter::WriteLoop() {
    auto lastFlush = std::chrono::steady_clock::now();
    bool last = false;
    while (!last) {
        last = threads.PauseFor(kWritePeriod);
        std::size_t count = 0;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (last) figures.running = false;  // the sockets' last datagrams are in
            std::swap(filling, draining);
            count = fillCount;
            fillCount = 0;
        }
        if (!WriteBatch(draining, count)) return;
        const auto now = std::chrono::steady_clock::now();
        if (last || now - lastFlush >= kFlushPeriod) {
            lastFlush = now;
            if (pcap_dump_flush(static_cast<pcap_dumper_t*>(dumper)) != 0) {
                FailWriting();
                return;
            }
        }
    }
}

bool CaptureWriter::WriteBatch(std::vector<Slot>& batch, std::size_t count) {
    std::vector<std::uint8_t> packet;
    auto* file = static_cast<pcap_dumper_t*>(dumper);
    for (std::size_t i = 0; i < count; ++i) {
        Slot& slot = batch[i];
        Ipv4Endpoint from = slot.from;
        Ipv4Endpoint to = slot.to;
        if (from.address == 0) from.address = HereFacing(to.address);
        if (to.address == 0) to.address = HereFacing(from.address);
        buildIpv4Udp(from, to, nextId++, slot.bytes.data(), slot.bytes.size(), packet);
        const auto sinceEpoch =
            std::chrono::duration_cast<std::chrono::microseconds>(slot.at.time_since_epoch())
                .count();
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<decltype(header.ts.tv_sec)>(sinceEpoch / 1000000);
        header.ts.tv_usec = static_cast<decltype(header.ts.tv_usec)>(sinceEpoch % 1000000);
        header.caplen = header.len = static_cast<bpf_u_int32>(packet.size());
        pcap_dump(reinterpret_cast<u_char*>(file), &header, packet.data());
    }
    if (std::ferror(pcap_dump_file(file))) {
        FailWriting();
        return false;
    }
    std::lock_guard<std::mutex> lock(queueMutex);
    figures.written += count;
    return true;
}

#else

bool CaptureWriter::Start(const std::string&, std::string& error) {
    error = "this build cannot capture (it has no pcap library)";
    return false;
}

void CaptureWriter::Stop() {}

void CaptureWriter::StopLocked() {}

void CaptureWriter::WriteLoop() {}

bool CaptureWriter::WriteBatch(std::vector<Slot>&, std::size_t) {
    return false;
}

#endif

std::uint32_t CaptureWriter::HereFacing(std::uint32_t remote) {
    auto known = hereFacing.find(remote);
    if (known != hereFacing.end()) return known->second;
    // Without a route (the cable is out) the capture still names a sender: the loopback.
    const std::uint32_t here = localAddressTowards(remote).value_or(0x7F000001);
    if (hereFacing.size() < 256) hereFacing.emplace(remote, here);
    return here;
}

void CaptureWriter::FailWriting() {
    const std::string reason = std::strerror(errno);  // before anything can change errno
    accepting.store(false);
    std::string error;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        error = "cannot write to " + figures.path + ": " + reason;
        figures.running = false;
        figures.error = error;
    }
    writeLine(log, LogStream::Err, "Capture stopped: " + error + "\n");
}

}  // namespace telmora
