// The stream as a failing network and a hostile sender deliver it: malformed datagrams and
// announcements to an online device, and its sender stopping and starting again.

#include <array>
#include <cmath>
#include <map>
#include <sstream>

#include "live/device_texts.h"
#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"
#include "tools/host/validate/check_context.h"
#include "tools/host/validate/fake_server.h"
#include "tools/host/validate/random_datagrams.h"
#include "tools/host/validate/scene.h"

namespace telmora::host {

using namespace ORSDK2026;
using namespace std::chrono_literals;

namespace {

using Translation = std::array<double, 3>;

// The translation node's value at the host's current time.
Translation nodeValue(FBAnimationNode* node) {
    Translation v{};
    nodeValueFinite(node, fbhost::Host::instance().localTime(), v.data());
    return v;
}

void stepHost() {
    fbhost::Host& host = fbhost::Host::instance();
    host.step(kStep);
    host.runIdle();
}

// Sends `frame` until the hips move (or, given `expected`, reach it); their value in `value`.
bool sendUntilLanded(FakeServer& server, FBAnimationNode* hips,
                     const std::vector<std::uint8_t>& frame, Translation& value,
                     const Translation* expected) {
    const Translation before = nodeValue(hips);
    return pumpUntil(
        [&] {
            value = nodeValue(hips);
            if (!expected) return value != before;
            for (int i = 0; i < 3; ++i)
                if (std::abs(value[i] - (*expected)[i]) >= 1e-6) return false;
            return true;
        },
        3000ms,
        [&] {
            server.Send(frame);
            stepHost();
        },
        2ms);
}

// Random and malformed datagrams to the device's stream endpoint and announcements to its
// listening port for `duration`, the host stepping and the device checked as it goes; the
// summary of what was sent.
std::string sendStorm(CheckContext& ctx, FakeServer& server, DeviceUnderTest& dut,
                      std::uint16_t port, std::vector<std::vector<std::uint8_t>> frames,
                      std::chrono::milliseconds duration) {
    RandomDatagrams random(ctx.random, std::move(frames));
    int datagrams = 0, announcements = 0;
    std::map<std::string, int> kinds;
    const Clock::time_point end = Clock::now() + duration;
    while (Clock::now() < end) {
        const RandomDatagram datagram = random.streamDatagram();
        server.Send(datagram.bytes);
        ++datagrams;
        ++kinds[datagram.kind];
        if (ctx.uniform(0, 3) == 0) {
            server.AnnounceAsStranger(port, random.announcement());
            ++announcements;
        }
        if (datagrams % 8 == 0) {
            server.Announce(port);
            stepHost();
            requireNoPluginFailure(ctx);
            requireFiniteScene(ctx, dut.device);
            ctx.require(dut.device->Online.Get(), "the device went offline");
        }
    }
    std::ostringstream summary;
    summary << datagrams << " datagrams (";
    bool first = true;
    for (const auto& [kind, count] : kinds) {
        summary << (first ? "" : ", ") << count << " " << kind;
        first = false;
    }
    summary << ") and " << announcements << " announcements";
    return summary.str();
}

void checkMalformedInput(CheckContext& ctx) {
    ensureLoaded(ctx);
    ctx.seeded = true;
    fbhost::Host& host = fbhost::Host::instance();
    FakeServer server("Validator Fake", "fake");
    std::string error;
    ctx.require(server.Open(error), error);
    const std::uint16_t port = freeUdpPort();

    DeviceUnderTest dut = openDevice(ctx, port);
    ctx.step("announce '" + server.name() + "' (stream port " +
             std::to_string(server.streamPort()) + ") to port " + std::to_string(port));
    server.Announce(port);
    pumpUntil([&] { return listIndexOf(*dut.panel.sources, server.name()) >= 0; }, 3000ms,
              [&] {
                  server.Announce(port);
                  host.runIdle();
              },
              5ms);
    pickSenderInPanel(ctx, dut, server.name(), server.subject());
    goLive(ctx, dut);

    ctx.step("wait for the device's keep-alive for '" + server.subject() + "'");
    ctx.require(server.WaitForKeepAlive(5000ms, stepHost),
                "no keep-alive for '" + server.subject() + "' within 5 s");

    FBAnimationNode* hips = host.findNode(dut.device, "Hips T");
    ctx.require(hips != nullptr, "the device has no node 'Hips T'");
    const std::vector<std::uint8_t> frameA = standingFrame(0.0f);
    const std::vector<std::uint8_t> frameB = standingFrame(0.5f);
    Translation valueA{}, valueB{};
    ctx.step("send a valid frame A, then B");
    ctx.require(sendUntilLanded(server, hips, frameA, valueA, nullptr),
                "a valid frame changed nothing in 3 s");
    ctx.require(sendUntilLanded(server, hips, frameB, valueB, nullptr),
                "a second valid frame changed nothing in 3 s");

    const auto duration = ctx.options.quick ? 1000ms : 3000ms;
    ctx.step("for " + std::to_string(duration.count()) +
             " ms: random and malformed datagrams to the device's stream endpoint and "
             "announcements to its listening port, the host stepping");
    const std::string sent = sendStorm(ctx, server, dut, port, {frameA, frameB}, duration);
    ctx.step("send frame A again");
    Translation again{};
    ctx.require(sendUntilLanded(server, hips, frameA, again, &valueA),
                "after the malformed input a valid frame no longer gives its pose");
    ctx.require(dut.device->Online.Get(), "the device went offline");
    requireFiniteScene(ctx, dut.device);
    host.setOnline(dut.device, false);
    ctx.summary = sent + "; online throughout, every node finite, valid frames still land";
}

void checkSenderRestart(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const std::uint16_t port = freeUdpPort();
    SenderLog senderLog;
    std::unique_ptr<SimServer> sender = startSender(ctx, port, 120.0, senderLog.writer());
    // Each failure below shows what the sender saw.
    auto require = [&](bool condition, const std::string& reason) {
        ctx.require(condition, reason + "; the sender's log:\n" + senderLog.text());
    };
    DeviceUnderTest dut = openDevice(ctx, port);
    pickSenderInPanel(ctx, dut, kSenderName, kSenderSubject);
    goLive(ctx, dut);
    FBAnimationNode* hips = host.findNode(dut.device, "Hips T");
    ctx.require(hips != nullptr, "the device has no node 'Hips T'");
    auto framesFlow = [&](const char* when) {
        const Translation first = nodeValue(hips);
        ctx.step(std::string("step the host until the sender streams to the device and the hips "
                             "move (") +
                 when + ")");
        const bool moved =
            pumpUntil([&] { return sender->clients().size() == 1 && nodeValue(hips) != first; },
                      3000ms, stepHost, 2ms);
        require(moved, std::string("no frame reached the device ") + when);
    };
    framesFlow("before the sender stops");
    ctx.step("stop the sender (it sends the stream-end datagram and exits)");
    sender->Stop();
    sender.reset();
    ctx.step("step the host and run its idle until the device is offline");
    const bool offline = pumpUntil([&] { return !dut.device->Online.Get(); }, 3000ms, stepHost);
    require(offline, "the device was still online 3 s after the sender stopped");
    const std::vector<std::string> texts = host.statusTexts(dut.device);
    ctx.require(!texts.empty() && texts.back() == kStatusClosing,
                "the device went offline without closing (last status '" +
                    (texts.empty() ? std::string() : texts.back()) + "')");
    requireNoPluginFailure(ctx);
    sender = startSender(ctx, port, 120.0, senderLog.writer());
    ctx.step("wait for the restarted sender's announcements");
    pumpUntil([&] { return sender->announcementsSent() >= 3; }, 2000ms, [&] { host.runIdle(); },
              2ms);
    ctx.step("go online again");
    ctx.require(host.setOnline(dut.device, true), "the device did not go online again");
    framesFlow("after the sender restarted");
    host.setOnline(dut.device, false);
    sender->Stop();
    requireNoPluginFailure(ctx);
    ctx.summary =
        "offline through its idle handler after the sender stopped, online again "
        "with frames after it restarted";
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void checkStallNotKeyed(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const std::uint16_t port = freeUdpPort();
    std::unique_ptr<SimServer> sender = startSender(ctx, port);
    DeviceUnderTest dut;
    FBAnimationNode* hips = startStreaming(ctx, dut, port);
    ctx.step("start recording, then hold the sender's stream (it keeps announcing)");
    ctx.require(host.startRecording(), "the host did not start recording");
    ctx.require(nodeMoves(hips, 3000ms), "no frame while recording");
    sender->SetStreaming(false);
    const Clock::time_point held = Clock::now();
    const std::string stale = std::string(kStatusNoFramesPrefix) + kSenderName + "' for ";
    auto status = [&] {
        const std::vector<std::string> texts = host.statusTexts(dut.device);
        return texts.empty() ? std::string() : texts.back();
    };
    const bool shown =
        pumpUntil([&] { return status().rfind(stale, 0) == 0; }, 3000ms, stepHost, 2ms);
    const double detectedMs = msSince(held);
    ctx.require(shown, "the status never said the stream had stopped (last '" + status() + "')");
    const std::size_t keys = host.keys(hips).size();
    ctx.step("step the host 30 times while the stream is held");
    for (int i = 0; i < 30; ++i) stepHost();
    ctx.require(host.keys(hips).size() == keys, std::to_string(host.keys(hips).size() - keys) +
                                                    " samples of the frozen pose were keyed");
    ctx.require(dut.device->Online.Get(), "the device went offline while the stream was held");
    ctx.step("let the stream go on");
    sender->SetStreaming(true);
    const Clock::time_point resumed = Clock::now();
    const bool back =
        pumpUntil([&] { return status() == framesBackStatus(kSenderName); }, 3000ms, stepHost, 2ms);
    const double backMs = msSince(resumed);
    ctx.require(back, "the status never said the frames were back (last '" + status() + "')");
    ctx.require(nodeMoves(hips, 3000ms), "no frame after the stream went on");
    host.stopRecording();
    host.setOnline(dut.device, false);
    sender->Stop();
    requireNoPluginFailure(ctx);
    char summary[200];
    std::snprintf(summary, sizeof summary,
                  "stale shown %.0f ms into the silence; 30 samples while held, none keyed; "
                  "frames back shown %.0f ms after the stream went on",
                  detectedMs, backMs);
    ctx.summary = summary;
}

void checkServerMoves(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const std::uint16_t port = freeUdpPort();
    std::unique_ptr<SimServer> sender = startSender(ctx, port);
    DeviceUnderTest dut;
    FBAnimationNode* hips = startStreaming(ctx, dut, port);
    const std::uint16_t firstPort = sender->streamPort();

    ctx.step("the sender dies without a word; it comes back on the same stream port");
    sender->Kill();
    SimServerConfig config = senderConfig(port);
    config.streamPort = firstPort;
    Clock::time_point start = Clock::now();
    sender = startSender(ctx, config);
    ctx.require(nodeMoves(hips, 5000ms), "no frame after the sender came back on its port");
    const double samePortMs = msSince(start);

    ctx.step("the sender dies again; it comes back on another stream port");
    sender->Kill();
    config.streamPort = 0;
    start = Clock::now();
    sender = startSender(ctx, config);
    ctx.require(sender->streamPort() != firstPort, "the new sender got the old port");
    ctx.require(nodeMoves(hips, 5000ms), "no frame from the sender on its new port");
    const double newPortMs = msSince(start);
    ctx.require(dut.device->Online.Get(), "the device went offline");
    host.setOnline(dut.device, false);
    sender->Stop();
    requireNoPluginFailure(ctx);
    char summary[200];
    std::snprintf(summary, sizeof summary,
                  "back on its port: first frame %.0f ms after its start (keep-alives); on a new "
                  "port: %.0f ms (followed the announcement)",
                  samePortMs, newPortMs);
    ctx.summary = summary;
}

}  // namespace

std::vector<Check> streamChecks() {
    return {
        {{"stream.malformed-input",
          "random and malformed datagrams to the online device's stream endpoint and "
          "announcements to its listening port: it stays online, nothing non-finite reaches a "
          "node"},
         checkMalformedInput},
        {{"stream.sender-restart",
          "the sender stopped and restarted while the device is online: offline through the idle "
          "handler, then online again"},
         checkSenderRestart},
        {{"stream.stall-not-keyed",
          "the sender's stream held while recording: the status says so, no sample of the frozen "
          "pose is keyed, and the status says when frames are back"},
         checkStallNotKeyed},
        {{"stream.server-moves",
          "the sender dies without a word and comes back on its stream port, then on another: "
          "frames reach the device again each time, online throughout"},
         checkServerMoves},
    };
}

}  // namespace telmora::host
