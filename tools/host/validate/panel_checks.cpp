// The panel as a user handles it: seeded random picks, port texts, clicks, online and offline
// and host steps, with the lists and the scene checked after each.

#include <algorithm>

#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"
#include "tools/host/validate/check_context.h"
#include "tools/host/validate/scene.h"
#include "ui/panel_texts.h"

namespace telmora::host {

using namespace ORSDK2026;

namespace {

// One random user action on the panel or the device; returns which (0 to 9).
int randomPanelAction(CheckContext& ctx, DeviceUnderTest& dut, std::uint16_t port,
                      const std::vector<std::string>& portTexts, bool& online) {
    fbhost::Host& host = fbhost::Host::instance();
    const int action = ctx.uniform(0, 9);
    FBList& list = ctx.uniform(0, 1) == 0 ? *dut.panel.sources : *dut.panel.subjects;
    const bool sources = &list == dut.panel.sources;
    switch (action) {
        case 0:
        case 1: {
            const int index = ctx.uniform(-2, list.Items.GetCount() + 1);
            ctx.step(std::string("pick ") + (sources ? "source" : "subject") + " item " +
                     std::to_string(index));
            host.pick(list, index);
            break;
        }
        case 2: {
            const std::string& text = portTexts[static_cast<std::size_t>(
                ctx.uniform(0, static_cast<int>(portTexts.size()) - 1))];
            ctx.step("type '" + text.substr(0, 24) + (text.size() > 24 ? "...'" : "'") +
                     " into the port field");
            host.type(*dut.panel.port, text);
            break;
        }
        case 3:
            ctx.step("click Connect");
            host.click(*dut.panel.connect);
            break;
        case 4:
            ctx.step("click Characterize");
            host.click(*dut.panel.characterize);
            break;
        case 5:
            ctx.step(online ? "go offline" : "go online");
            online = host.setOnline(dut.device, !online);
            break;
        case 6:
            ctx.step("type the sender's port, click Connect");
            applyListeningPort(dut.panel, port);
            break;
        default:
            ctx.step("step the host, idle");
            host.step(kStep);
            host.runIdle();
            break;
    }
    return action;
}

// What must hold after any action: no failure, lists that start with the placeholder and
// select inside their items, a port field of digits after Connect, a finite scene.
void requirePanelSound(CheckContext& ctx, DeviceUnderTest& dut, bool connectClicked) {
    requireNoPluginFailure(ctx);
    for (FBList* each : {dut.panel.sources, dut.panel.subjects}) {
        ctx.require(each->Items.GetCount() >= 1 && std::string(each->Items[0]) == kListPlaceholder,
                    std::string("a list does not start with '") + kListPlaceholder + "'");
        ctx.require(each->ItemIndex.Get() >= -1 && each->ItemIndex.Get() < each->Items.GetCount(),
                    "a list's selected index is outside its items");
    }
    if (connectClicked) {
        const std::string text = dut.panel.port->Text.Get().str();
        ctx.require(
            !text.empty() && std::all_of(text.begin(), text.end(),
                                         [](char c) { return (c >= '0' && c <= '9') || c == '-'; }),
            "after Connect the port field shows '" + text + "'");
    }
    requireFiniteScene(ctx, dut.device);
}

void checkPanelActions(CheckContext& ctx) {
    ensureLoaded(ctx);
    ctx.seeded = true;
    fbhost::Host& host = fbhost::Host::instance();
    const std::uint16_t port = freeUdpPort();
    const std::uint16_t otherPort = freeUdpPort();
    std::unique_ptr<SimServer> sender = startSender(ctx, port);
    DeviceUnderTest dut = openDevice(ctx, port);
    ctx.step("DeviceOperation(0)");
    host.deviceOperation(dut.device, kOpInit);
    const int steps = ctx.options.quick ? 600 : 3000;
    const std::vector<std::string> portTexts = {std::to_string(port),
                                                std::to_string(otherPort),
                                                "abc",
                                                "",
                                                "-1",
                                                "0",
                                                "65536",
                                                "99999999999999999999",
                                                " " + std::to_string(port),
                                                std::to_string(port) + "x",
                                                "0x10",
                                                std::string(300, '9')};
    bool online = false;
    for (int i = 0; i < steps; ++i) {
        const int action = randomPanelAction(ctx, dut, port, portTexts, online);
        requirePanelSound(ctx, dut, action == 3 || action == 6);
    }
    if (online) host.setOnline(dut.device, false);
    sender->Stop();
    ctx.summary = std::to_string(steps) +
                  " random actions (picks, port texts, Connect, "
                  "Characterize, online/offline, steps)";
}

}  // namespace

std::vector<Check> panelChecks() {
    return {
        {{"panel.random-actions",
          "seeded random panel actions (list picks, port texts, clicks, online and offline, host "
          "steps)"},
         checkPanelActions},
    };
}

}  // namespace telmora::host
