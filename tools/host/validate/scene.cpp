#include "tools/host/validate/scene.h"

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

std::unique_ptr<SimServer> startSender(CheckContext& ctx, std::uint16_t announcePort,
                                       double frameRate, LogWriter log) {
    SimServerConfig config;
    config.serverName = kSenderName;
    config.announcePort = announcePort;
    config.announceInterval = 20ms;
    config.frameRate = frameRate;
    auto sender = std::make_unique<SimServer>(
        config,
        std::vector<SimSubject>{{kSenderSubject, std::make_shared<const Performance>(
                                                     syntheticPerformance(kSenderSubject))}},
        log ? std::move(log) : [](LogStream, const std::string&) {});
    std::string error;
    ctx.step("start a sender '" + std::string(kSenderName) + "' announcing to port " +
             std::to_string(announcePort));
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

void goLive(CheckContext& ctx, DeviceUnderTest& dut) {
    fbhost::Host& host = fbhost::Host::instance();
    ctx.step("DeviceOperation(0), bind the templates, go online");
    ctx.require(host.deviceOperation(dut.device, kOpInit), "Init failed");
    ctx.require(host.bindTemplates(dut.device) != nullptr, "binding the templates gave no model");
    ctx.require(host.setOnline(dut.device, true), "the device did not go online");
}

}  // namespace telmora::host
