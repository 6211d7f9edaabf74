// Devices as the host makes and drives them: many at once, their class names and type numbers,
// and every short sequence of device operations with and without a server announcing.

#include "live/device_texts.h"
#include "motion/skeleton.h"
#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"
#include "tools/host/validate/check_context.h"
#include "tools/host/validate/scene.h"
#include "ui/panel_texts.h"

namespace telmora::host {

using namespace ORSDK2026;

namespace {

// A device of the default skeleton: one translation and one rotation node per bone.
constexpr int kDefaultNodeCount = kNodesPerChannel * kDefaultBoneCount;

void checkManyDevices(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const int baseline = processThreadCount();
    std::vector<FBDevice*> devices;
    for (int i = 0; i < 50; ++i) {
        const std::string which = "device " + std::to_string(i + 1);
        ctx.step("create " + which + ", Init");
        std::string error;
        FBDevice* device =
            host.createDevice(kDeviceEntry, "TelmoraLink " + std::to_string(i), &error);
        ctx.require(device != nullptr, which + ": " + error);
        ctx.require(host.deviceOperation(device, kOpInit), "Init of " + which + " failed");
        const std::size_t nodes = host.deviceNodes(device).size();
        ctx.require(nodes == kDefaultNodeCount, which + " has " + std::to_string(nodes) +
                                                    " nodes, not " +
                                                    std::to_string(kDefaultNodeCount));
        devices.push_back(device);
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
        ctx.step("destroy device " + std::to_string(i + 1));
        ctx.require(host.destroyDevice(devices[i]), "the host does not hold the device");
    }
    requireNoPluginFailure(ctx);
    ctx.require(waitForThreadCount(baseline),
                std::to_string(processThreadCount() - baseline) +
                    " thread(s) left after the 50 devices were destroyed");
    ctx.summary = "50 devices created, initialised (" + std::to_string(kDefaultNodeCount) +
                  " nodes each) and destroyed; no thread left";
}

void checkTypeNumbers(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    std::string error;
    FBDevice* first = host.createDevice(kDeviceEntry, "first", &error);
    FBDevice* second = host.createDevice(kDeviceEntry, "second", &error);
    ctx.require(first && second, "no device: " + error);
    FBDeviceLayout* layout = host.openPanel(first, &error);
    ctx.require(layout != nullptr, "no panel: " + error);
    const int deviceType = first->GetTypeId();
    const int layoutType = layout->GetTypeId();
    ctx.step("device type " + std::to_string(deviceType) + ", layout type " +
             std::to_string(layoutType));
    ctx.require(std::string(first->ClassName()) == kDeviceClassName,
                std::string("device class name '") + first->ClassName() + "'");
    ctx.require(std::string(layout->ClassName()) == kLayoutClassName,
                std::string("layout class name '") + layout->ClassName() + "'");
    ctx.require(second->GetTypeId() == deviceType, "two devices have different type numbers");
    ctx.require(layoutType == deviceType + 1, "the layout's type number is not the device's + 1");
    ctx.require(first->Is(deviceType), "the device does not answer true for its own type");
    ctx.require(first->Is(FBDevice::TypeInfo) && first->Is(FBBox::TypeInfo) &&
                    first->Is(FBComponent::TypeInfo),
                "the device does not defer to FBDevice::Is");
    ctx.require(!first->Is(layoutType) && !first->Is(FBModel::TypeInfo) &&
                    !first->Is(FBDeviceLayout::TypeInfo),
                "the device answers true for a type it is not");
    ctx.require(layout->Is(layoutType), "the layout does not answer true for its own type");
    ctx.require(layout->Is(FBDeviceLayout::TypeInfo) && layout->Is(FBLayout::TypeInfo),
                "the layout does not defer to FBDeviceLayout::Is");
    ctx.require(!layout->Is(deviceType) && !layout->Is(FBDevice::TypeInfo),
                "the layout answers true for a type it is not");
    requireNoPluginFailure(ctx);
    ctx.summary = "device " + std::to_string(deviceType) + ", layout " +
                  std::to_string(layoutType) + "; own types true, others deferred";
}

// The status texts a device may show: its own, and "" before it shows any.
bool isShownStatusText(const std::string& text) {
    return text.empty() || isDeviceStatusText(text);
}

// Every sequence of up to `length` operations from {0..6}, on a fresh device each.
void runOperationSequences(CheckContext& ctx, bool announcing) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const int length = ctx.options.quick ? 3 : 4;
    std::unique_ptr<SimServer> sender;
    std::uint16_t port = 0;
    if (announcing) {
        port = freeUdpPort();
        sender = startSender(ctx, port);
    }
    const std::vector<std::string> setup = ctx.steps;
    // Sequences of exactly `length` operations: each shorter one is a prefix of one of them and
    // is checked on the way.
    int total = 1;
    for (int i = 0; i < length; ++i) total *= 7;
    for (int index = 0; index < total; ++index) {
        std::vector<int> ops;
        for (int i = 0, rest = index; i < length; ++i, rest /= 7) ops.insert(ops.begin(), rest % 7);
        ctx.steps = setup;
        DeviceUnderTest dut;
        if (announcing) {
            dut = openDevice(ctx, port);
            pickSenderInPanel(ctx, dut, kSenderName, kSenderSubject);
        } else {
            std::string error;
            ctx.step("create a device (no source picked)");
            dut.device = host.createDevice(kDeviceEntry, kDeviceEntry, &error);
            ctx.require(dut.device != nullptr, "no device: " + error);
        }
        for (int op : ops) {
            ctx.step("DeviceOperation(" + std::to_string(op) + "), idle");
            host.deviceOperation(dut.device, op);
            host.runIdle();
            requireNoPluginFailure(ctx);
            for (const std::string& text : host.statusTexts(dut.device)) {
                ctx.require(isShownStatusText(text),
                            "status text '" + text + "' is none of the device's");
            }
        }
        ctx.step("destroy the device");
        host.destroyDevice(dut.device);
        requireNoPluginFailure(ctx);
    }
    for (const fbhost::ProgressRecord& progress : host.progressShown()) {
        ctx.require(progress.done, "progress '" + progress.caption + "' was left open");
    }
    if (sender) sender->Stop();
    ctx.summary = std::to_string(total) + " sequences of " + std::to_string(length) +
                  " operations (and their prefixes), each on a fresh device" +
                  (announcing ? ", source and subject picked" : "");
}

}  // namespace

std::vector<Check> deviceChecks() {
    return {
        {{"device.create-50", "50 devices created, initialised and destroyed"}, checkManyDevices},
        {{"device.type-numbers", "class names, type numbers and type tests of device and layout"},
         checkTypeNumbers},
        {{"device.operations-announcing",
          "every sequence of up to four device operations from 0..6 on a fresh device with a "
          "server announcing: no exception, every status text a known one"},
         [](CheckContext& ctx) { runOperationSequences(ctx, true); }},
        {{"device.operations-silent", "the same with no server announcing"},
         [](CheckContext& ctx) { runOperationSequences(ctx, false); }},
    };
}

}  // namespace telmora::host
