#include "tools/host/validate/scene.h"

#include <array>
#include <optional>
#include <vector>

#include "tools/host/host_driver.h"
#include "tools/performance/performance.h"

namespace telmora::host {

using namespace ORSDK2026;
using namespace std::chrono_literals;

LogWriter SenderLog::writer() {
    return [this](LogStream, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_ += line;
    };
}

std::string SenderLog::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

SimServerConfig senderConfig(std::uint16_t announcePort, double frameRate) {
    SimServerConfig config;
    config.serverName = kSenderName;
    config.announcePort = announcePort;
    config.announceInterval = 20ms;
    config.frameRate = frameRate;
    return config;
}

std::unique_ptr<SimServer> startSender(CheckContext& ctx, std::uint16_t announcePort,
                                       double frameRate, LogWriter log) {
    return startSender(ctx, senderConfig(announcePort, frameRate), std::move(log));
}

std::unique_ptr<SimServer> startSender(CheckContext& ctx, SimServerConfig config, LogWriter log) {
    const std::string name = config.serverName;
    const std::uint16_t announcePort = config.announcePort;
    auto sender = std::make_unique<SimServer>(
        config,
        std::vector<SimSubject>{{kSenderSubject, std::make_shared<const Performance>(
                                                     syntheticPerformance(kSenderSubject))}},
        log ? std::move(log) : [](LogStream, const std::string&) {});
    std::string error;
    ctx.step("start a sender '" + name + "' announcing to port " + std::to_string(announcePort));
    ctx.require(sender->Start(error), "the test sender did not start: " + error);
    return sender;
}

DeviceUnderTest openDevice(CheckContext& ctx, std::uint16_t listeningPort) {
    fbhost::Host& host = fbhost::Host::instance();
    DeviceUnderTest dut;
    std::string error;
    dut.device = host.createDevice(kDeviceEntry, kDeviceEntry, &error);
    ctx.require(dut.device != nullptr, "no device: " + error);
    FBDeviceLayout* layout = host.openPanel(dut.device, &error);
    ctx.require(layout != nullptr, "no panel: " + error);
    std::optional<PanelControls> panel = findPanelControls(layout, error);
    ctx.require(panel.has_value(), error);
    dut.panel = *panel;
    ctx.step("type " + std::to_string(listeningPort) + " into the port field, click Connect");
    applyListeningPort(dut.panel, listeningPort);
    return dut;
}

void pickSenderInPanel(CheckContext& ctx, DeviceUnderTest& dut, const std::string& source,
                       const std::string& subject) {
    ctx.step("pick source '" + source + "'");
    ctx.require(waitAndPick(*dut.panel.sources, source, 3000ms),
                "source '" + source + "' not listed within 3 s (listed: " +
                    joined(listItems(*dut.panel.sources)) + ")");
    ctx.step("pick subject '" + subject + "'");
    ctx.require(waitAndPick(*dut.panel.subjects, subject, 3000ms),
                "subject '" + subject + "' not listed within 3 s");
}

FBAnimationNode* startStreaming(CheckContext& ctx, DeviceUnderTest& dut, std::uint16_t port) {
    dut = openDevice(ctx, port);
    pickSenderInPanel(ctx, dut, kSenderName, kSenderSubject);
    goLive(ctx, dut);
    FBAnimationNode* hips = fbhost::Host::instance().findNode(dut.device, "Hips T");
    ctx.require(hips != nullptr, "the device has no node 'Hips T'");
    ctx.require(nodeMoves(hips, 3000ms), "no frame reached the device");
    return hips;
}

bool nodeMoves(FBAnimationNode* node, std::chrono::milliseconds timeout) {
    fbhost::Host& host = fbhost::Host::instance();
    auto value = [&] {
        std::array<double, 3> v{};
        nodeValueFinite(node, host.localTime(), v.data());
        return v;
    };
    const std::array<double, 3> before = value();
    return pumpUntil([&] { return value() != before; }, timeout,
                     [&] {
                         host.step(kStep);
                         host.runIdle();
                     },
                     std::chrono::milliseconds(2));
}

void goLive(CheckContext& ctx, DeviceUnderTest& dut) {
    fbhost::Host& host = fbhost::Host::instance();
    ctx.step("DeviceOperation(0), bind the templates, go online");
    ctx.require(host.deviceOperation(dut.device, kOpInit), "Init failed");
    ctx.require(host.bindTemplates(dut.device) != nullptr, "binding the templates gave no model");
    ctx.require(host.setOnline(dut.device, true), "the device did not go online");
}

}  // namespace telmora::host
