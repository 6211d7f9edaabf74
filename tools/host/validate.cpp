#include "tools/host/validate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "motion/glm_conventions.h"
#include "motion/sensor_frame.h"
#include "network/socket.h"
#include "plugin/registrations.h"
#include "tools/host/host_driver.h"
#include "tools/host/panel_user.h"
#include "tools/performance/performance.h"
#include "tools/sim_server/sim_server.h"

namespace telmora::host {

using namespace ORSDK2026;
using namespace std::chrono_literals;

namespace {

constexpr const char* kDeviceEntry = "TelmoraLink";
constexpr const char* kSenderName = "Validator Sender";
constexpr const char* kSenderSubject = "synthetic";
const FBTime kStep = FBTime(FBTime::kTicksPerSecond / 60);

// The status texts a TelmoraLink device may show; "" before it shows any.
const std::set<std::string>& allowedStatusTexts() {
    static const std::set<std::string> texts = {
        "",
        "Could not get channel information from device.",
        "Could not open device",
        "Retrieving channel information",
        "Could not start data stream.",
        "Closing device communication",
        "Could not close device",
        "Could not stop data stream.",
    };
    return texts;
}

// A check failed: what went wrong.
struct CheckFailure {
    std::string reason;
};

// What a check has to work with, and what it did (for the failure report).
class CheckContext {
public:
    CheckContext(const ValidateOptions& options, std::uint64_t checkSeed)
        : options(options), seed(checkSeed), random(checkSeed) {}

    const ValidateOptions& options;
    std::uint64_t seed;
    std::mt19937_64 random;
    // The actions taken so far, in order; printed when the check fails.
    std::vector<std::string> steps;
    // Summary for the verdict line of a check that passed.
    std::string summary;
    // The check used random actions drawn from `seed`.
    bool seeded = false;

    void step(const std::string& what) { steps.push_back(what); }
    [[noreturn]] void fail(const std::string& reason) { throw CheckFailure{reason}; }
    void require(bool condition, const std::string& reason) {
        if (!condition) fail(reason);
    }
    int uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
};

// The plug-in library, loaded once for the checks that need it loaded.
fbhost::PluginLibrary& sharedLibrary() {
    static fbhost::PluginLibrary library;
    return library;
}

void ensureLoaded(CheckContext& ctx) {
    fbhost::PluginLibrary& library = sharedLibrary();
    if (library.isLoaded()) return;
    ctx.step("load " + ctx.options.pluginPath);
    ctx.require(library.load(ctx.options.pluginPath), library.error());
    ctx.step("call EntryPointordeviceskeleton(0)");
    ctx.require(library.callEntryPoint(0), library.error());
}

void requireNoPluginFailure(CheckContext& ctx) {
    const std::vector<fbhost::PluginFailure> failures = fbhost::Host::instance().failures();
    if (failures.empty()) return;
    ctx.fail("an exception left the plug-in in " + failures.front().call + ": " +
             failures.front().what);
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

bool waitForThreadCount(int expected) {
    return pumpUntil([&] { return processThreadCount() <= expected; }, 2000ms, nullptr, 1ms);
}

// What a sender wrote, kept for a failure's message.
class SenderLog {
public:
    LogWriter writer() {
        return [this](LogStream, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_ += line;
        };
    }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::string lines_;
};

// A sender in this process, announcing to `announcePort` every 20 ms; its log goes to `log`, or
// nowhere.
std::unique_ptr<SimServer> startSender(CheckContext& ctx, std::uint16_t announcePort,
                                       double frameRate = 120.0, LogWriter log = nullptr) {
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

struct DeviceUnderTest {
    FBDevice* device = nullptr;
    PanelControls panel;
};

// A new device with its panel open and its listening port set through the panel.
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

// Every node value and bound model finite at the host's current time.
void requireFiniteScene(CheckContext& ctx, FBDevice* device) {
    fbhost::Host& host = fbhost::Host::instance();
    const FBTime now = host.localTime();
    for (FBAnimationNode* node : host.deviceNodes(device)) {
        if (!nodeValueFinite(node, now))
            ctx.fail("node '" + std::string(node->Name.Get().str()) + "' holds a non-finite value");
    }
    for (FBModel* model : host.models()) {
        const FBMatrix m = host.modelGlobalMatrix(model, now);
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                if (!std::isfinite(m(r, c)))
                    ctx.fail("model '" + std::string(model->Name.Get().str()) +
                             "' has a non-finite global matrix");
    }
}

// ---- The checks ----

void checkLoadUnload(CheckContext& ctx) {
    sharedLibrary().unload();
    fbhost::Host& host = fbhost::Host::instance();
    // A runtime may start helper threads of its own at the first thread the process makes (the
    // thread sanitizer does): one thread started and joined first lets them exist before the
    // count.
    std::thread([] {}).join();
    const int baseline = processThreadCount();
    ctx.require(baseline > 0, "cannot count this process's threads");
    double slowestMs = 0.0;
    for (int cycle = 1; cycle <= 20; ++cycle) {
        fbhost::PluginLibrary library;
        ctx.step("cycle " + std::to_string(cycle) + ": load, entry point 0");
        const Clock::time_point start = Clock::now();
        ctx.require(library.load(ctx.options.pluginPath), library.error());
        ctx.require(library.callEntryPoint(0), library.error());
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        slowestMs = std::max(slowestMs, ms);
        ctx.require(ms < 100.0, "load plus registration took " + std::to_string(ms) + " ms");
        ctx.step("cycle " + std::to_string(cycle) + ": create a device, Init, open its panel");
        std::string error;
        FBDevice* device = host.createDevice(kDeviceEntry, kDeviceEntry, &error);
        ctx.require(device != nullptr, "no device: " + error);
        host.deviceOperation(device, kOpInit);
        ctx.require(host.openPanel(device, &error) != nullptr, "no panel: " + error);
        ctx.step("cycle " + std::to_string(cycle) + ": unload (device and panel still open)");
        library.unload();
        ctx.require(!library.isLoaded(), "the library is still loaded after unload");
        if (!waitForThreadCount(baseline))
            ctx.fail(std::to_string(processThreadCount() - baseline) +
                     " thread(s) still running 2 s after unload (" + std::to_string(baseline) +
                     " before load)");
        requireNoPluginFailure(ctx);
    }
    char text[160];
    std::snprintf(text, sizeof(text),
                  "20 cycles with a device and panel left open; %d threads before and after; "
                  "slowest load %.1f ms",
                  baseline, slowestMs);
    ctx.summary = text;
}

void checkExports(CheckContext& ctx) {
    std::string error;
    ctx.step("read the dynamic symbol table of " + ctx.options.pluginPath);
    std::optional<std::vector<std::string>> names = exportedSymbols(ctx.options.pluginPath, error);
    ctx.require(names.has_value(), error);
    std::sort(names->begin(), names->end());
    const std::vector<std::string> expected = {"EntryPointordeviceskeleton", "LIBRARY_INIT"};
    if (*names != expected) {
        std::vector<std::string> shown(names->begin(),
                                       names->begin() + std::min<std::ptrdiff_t>(6, names->size()));
        ctx.fail("exports " + std::to_string(names->size()) + " symbols: " + joined(shown) +
                 (names->size() > shown.size() ? ", ..." : ""));
    }
    ensureLoaded(ctx);
    ctx.require(sharedLibrary().callLibraryInit(), "LIBRARY_INIT did not return true");
    ctx.summary = "exactly LIBRARY_INIT and EntryPointordeviceskeleton; LIBRARY_INIT gives true";
}

void checkRegistrations(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const std::vector<fbhost::Registration> all = host.registrations();
    const void* library = nullptr;
    std::vector<std::string> expected;
    for (const Registration& row : kRegistrations) {
        const std::string where = std::string(row.group) + "/" + row.entry;
        expected.push_back(where);
        const fbhost::Registration* r = host.findRegistration(row.group, row.entry);
        ctx.require(r != nullptr, "no registration " + where);
        ctx.require(r->description == row.description,
                    where + " has description '" + r->description + "'");
        ctx.require(r->flag, where + " has flag false");
        ctx.require(r->icon == row.icon, where + " has icon '" + r->icon + "'");
        ctx.require(r->creator != nullptr, where + " has no factory");
        ctx.require(r->library != nullptr, where + " was not made while the library loaded");
        if (!library) library = r->library;
        ctx.require(r->library == library, where + " was made under another library");
    }
    // The registrations must be in the table's order, and the library makes no others.
    std::vector<std::string> made;
    for (const fbhost::Registration& r : all) {
        if (r.library == library) made.push_back(r.group + "/" + r.entry);
    }
    ctx.require(made == expected, "the library registered " + joined(made));
    const fbhost::Registration* device =
        host.findRegistration(kDeviceListRegistration.group, kDeviceListRegistration.entry);
    const fbhost::Registration* stored =
        host.findRegistration(kDeviceClassRegistration.group, kDeviceClassRegistration.entry);
    ctx.require(device->creator == stored->creator,
                "the two device registrations have different factories");
    ctx.summary = "the three registrations with their names, descriptions, flags and icons";
}

void checkEntryPointAgain(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const std::size_t before = host.registrations().size();
    for (int operation : {0, 0, 1, 2, 0}) {
        ctx.step("call EntryPointordeviceskeleton(" + std::to_string(operation) + ")");
        ctx.require(sharedLibrary().callEntryPoint(operation), sharedLibrary().error());
    }
    ctx.require(host.registrations().size() == before,
                std::to_string(host.registrations().size() - before) + " new registration(s)");
    ctx.summary = "entry point called 5 more times (0, 0, 1, 2, 0): nothing new registered";
}

void checkUnknownClass(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    for (const char* name : {"NoSuchDevice", "ORDeviceSkeleton", "telmoralink", ""}) {
        ctx.step(std::string("create a device of class '") + name + "'");
        ctx.require(host.createDevice(name, "Unknown") == nullptr,
                    std::string("a device was created for '") + name + "'");
    }
    requireNoPluginFailure(ctx);
    ctx.summary =
        "no device for NoSuchDevice, ORDeviceSkeleton (not a device entry), "
        "telmoralink, \"\"";
}

void checkManyDevices(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    const int baseline = processThreadCount();
    std::vector<FBDevice*> devices;
    for (int i = 0; i < 50; ++i) {
        ctx.step("create device " + std::to_string(i + 1) + ", Init");
        std::string error;
        FBDevice* device =
            host.createDevice(kDeviceEntry, "TelmoraLink " + std::to_string(i), &error);
        ctx.require(device != nullptr, "device " + std::to_string(i + 1) + ": " + error);
        ctx.require(host.deviceOperation(device, kOpInit),
                    "Init of device " + std::to_string(i + 1) + " failed");
        ctx.require(host.deviceNodes(device).size() == 130,
                    "device " + std::to_string(i + 1) + " has " +
                        std::to_string(host.deviceNodes(device).size()) + " nodes, not 130");
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
    ctx.summary = "50 devices created, initialised (130 nodes each) and destroyed; no thread left";
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
    ctx.require(std::string(first->ClassName()) == "ORDeviceSkeleton",
                std::string("device class name '") + first->ClassName() + "'");
    ctx.require(std::string(layout->ClassName()) == "ORDeviceSkeletonLayout",
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
            const std::vector<std::string> texts = host.statusTexts(dut.device);
            for (const std::string& text : texts) {
                ctx.require(allowedStatusTexts().count(text) == 1,
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

void checkSequencesAnnouncing(CheckContext& ctx) {
    runOperationSequences(ctx, true);
}
void checkSequencesSilent(CheckContext& ctx) {
    runOperationSequences(ctx, false);
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
        requireNoPluginFailure(ctx);
        for (FBList* each : {dut.panel.sources, dut.panel.subjects}) {
            ctx.require(each->Items.GetCount() >= 1 && std::string(each->Items[0]) == "Select",
                        "a list does not start with 'Select'");
            ctx.require(
                each->ItemIndex.Get() >= -1 && each->ItemIndex.Get() < each->Items.GetCount(),
                "a list's selected index is outside its items");
        }
        if (action == 3 || action == 6) {
            const std::string text = dut.panel.port->Text.Get().str();
            ctx.require(!text.empty() &&
                            std::all_of(text.begin(), text.end(),
                                        [](char c) { return (c >= '0' && c <= '9') || c == '-'; }),
                        "after Connect the port field shows '" + text + "'");
        }
        requireFiniteScene(ctx, dut.device);
    }
    if (online) host.setOnline(dut.device, false);
    sender->Stop();
    ctx.summary = std::to_string(steps) +
                  " random actions (picks, port texts, Connect, "
                  "Characterize, online/offline, steps)";
}

// Sensor frames with every value at or beyond the edge of its range: the encoder clamps, so
// these are the most extreme frames the wire can carry.
std::vector<std::uint8_t> extremeFrame(CheckContext& ctx) {
    SensorFrame frame;
    const float edges[] = {0.0f, 1e-30f, -1e-30f, 1e6f, -1e6f, 3.4e38f, -3.4e38f, 1.0f};
    auto edge = [&] { return edges[ctx.uniform(0, 7)]; };
    frame.rootPosition = {edge(), edge(), edge()};
    for (glm::quat* q : {&frame.hipsRotation, &frame.leftHandRotation, &frame.rightHandRotation,
                         &frame.leftFootRotation, &frame.rightFootRotation,
                         &frame.leftShoulderRotation, &frame.rightShoulderRotation}) {
        *q = quatXYZW(edge(), edge(), edge(), edge());
    }
    for (float& v : frame.auxValues) v = edge();
    for (ChainTarget& target : frame.targets) {
        target.position = {edge(), edge(), edge()};
        target.pole = {edge(), edge(), edge()};
        target.length = edge();
    }
    frame.hipsHeight = edge();
    const std::size_t size = static_cast<std::size_t>(ctx.uniform(246, 4096));
    return encodeSensorFrame(frame, static_cast<std::uint8_t>(ctx.uniform(0, 255)), size);
}

// A valid frame of a person standing, the root moved by `x` metres.
std::vector<std::uint8_t> standingFrame(float x) {
    SensorFrame frame;
    frame.rootPosition = {x, 0.95f, 0.0f};
    frame.hipsHeight = 0.95f;
    for (ChainTarget& target : frame.targets) target.length = 0.4f;
    frame.targets[kLeftLegTarget].position = {0.0f, -0.85f, 0.0f};
    frame.targets[kRightLegTarget].position = {0.0f, -0.85f, 0.0f};
    frame.targets[kLeftLegTarget].length = frame.targets[kRightLegTarget].length = 0.9f;
    return encodeSensorFrame(frame);
}

std::optional<Ipv4Endpoint> loopbackAlias(UdpSocket& socket, const char* preferred) {
    for (const char* address : {preferred, "127.0.0.1"}) {
        if (socket.open() != 0) return std::nullopt;
        if (socket.bind({*parseIpv4(address), 0}) == 0) return socket.localEndpoint();
    }
    return std::nullopt;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void checkMalformedInput(CheckContext& ctx) {
    ensureLoaded(ctx);
    ctx.seeded = true;
    fbhost::Host& host = fbhost::Host::instance();
    // A fake server of our own, on a loopback address of its own so that no real sender on
    // 127.0.0.1 shares its entry in the device's server list (entries are keyed by address).
    UdpSocket server;
    const std::optional<Ipv4Endpoint> serverEndpoint = loopbackAlias(server, "127.0.0.2");
    ctx.require(serverEndpoint.has_value(), "cannot bind the fake server's socket");
    server.setReceiveTimeout(5ms);
    UdpSocket announcer;
    ctx.require(loopbackAlias(announcer, "127.0.0.3").has_value(),
                "cannot bind the announcing socket");
    const std::uint16_t port = freeUdpPort();
    const Ipv4Endpoint listening{*parseIpv4("127.0.0.1"), port};
    const std::string announcement = "{\"serverName\": \"Validator Fake\", \"streamPort\": " +
                                     std::to_string(serverEndpoint->port) +
                                     ", \"subjects\": [\"fake\"]}";
    auto announce = [&] {
        const std::vector<std::uint8_t> bytes = bytesOf(announcement);
        server.sendTo(bytes.data(), bytes.size(), listening);
    };

    DeviceUnderTest dut = openDevice(ctx, port);
    ctx.step("announce 'Validator Fake' (stream port " + std::to_string(serverEndpoint->port) +
             ") to port " + std::to_string(port));
    announce();
    pumpUntil([&] { return listIndexOf(*dut.panel.sources, "Validator Fake") >= 0; }, 3000ms,
              [&] {
                  announce();
                  host.runIdle();
              },
              5ms);
    pickSenderInPanel(ctx, dut, "Validator Fake", "fake");
    ctx.step("DeviceOperation(0), bind the templates, go online");
    ctx.require(host.deviceOperation(dut.device, kOpInit), "Init failed");
    ctx.require(host.bindTemplates(dut.device) != nullptr, "binding the templates gave no model");
    ctx.require(host.setOnline(dut.device, true), "the device did not go online");

    // The device's keep-alive tells us its stream endpoint.
    ctx.step("wait for the device's keep-alive 'mobu:fake'");
    std::optional<Ipv4Endpoint> client;
    std::array<std::uint8_t, 4096> buffer{};
    pumpUntil([&] { return client.has_value(); }, 5000ms,
              [&] {
                  const ReceiveResult r = server.receiveFrom(buffer.data(), buffer.size());
                  if (r.outcome == ReceiveOutcome::Datagram &&
                      std::string(buffer.begin(), buffer.begin() + static_cast<long>(r.size)) ==
                          "mobu:fake")
                      client = r.source;
                  host.step(kStep);
                  host.runIdle();
              });
    ctx.require(client.has_value(), "no keep-alive 'mobu:fake' within 5 s");

    FBAnimationNode* hips = host.findNode(dut.device, "Hips T");
    ctx.require(hips != nullptr, "the device has no node 'Hips T'");
    auto hipsValue = [&] {
        double v[3];
        nodeValueFinite(hips, host.localTime(), v);
        return std::array<double, 3>{v[0], v[1], v[2]};
    };
    // Two distinct valid frames and the values they give.
    auto landed = [&](const std::vector<std::uint8_t>& frame, std::array<double, 3>& value,
                      const std::array<double, 3>* expected) {
        const std::array<double, 3> before = hipsValue();
        return pumpUntil(
            [&] {
                value = hipsValue();
                if (expected) {
                    return std::abs(value[0] - (*expected)[0]) < 1e-6 &&
                           std::abs(value[1] - (*expected)[1]) < 1e-6 &&
                           std::abs(value[2] - (*expected)[2]) < 1e-6;
                }
                return value != before;
            },
            3000ms,
            [&] {
                server.sendTo(frame.data(), frame.size(), *client);
                host.step(kStep);
                host.runIdle();
            },
            2ms);
    };
    const std::vector<std::uint8_t> frameA = standingFrame(0.0f);
    const std::vector<std::uint8_t> frameB = standingFrame(0.5f);
    std::array<double, 3> valueA{}, valueB{};
    ctx.step("send a valid frame A, then B");
    ctx.require(landed(frameA, valueA, nullptr), "a valid frame changed nothing in 3 s");
    ctx.require(landed(frameB, valueB, nullptr), "a second valid frame changed nothing in 3 s");

    const auto duration = ctx.options.quick ? 1000ms : 3000ms;
    ctx.step("for " + std::to_string(duration.count()) +
             " ms: random and malformed datagrams to the device's stream endpoint and "
             "announcements to its listening port, the host stepping");
    const std::vector<std::string> jsonTexts = {
        "{",
        "}",
        "null",
        "[]",
        "{\"serverName\": 5}",
        "{\"serverName\": \"X\"}",
        "{\"serverName\": \"X\", \"streamPort\": -1, \"subjects\": []}",
        "{\"serverName\": \"X\", \"streamPort\": 70000, \"subjects\": [\"a\"]}",
        "{\"serverName\": \"X\", \"streamPort\": 5000, \"subjects\": \"a\"}",
        "{\"serverName\": \"X\", \"streamPort\": 5000, \"subjects\": [1, 2]}",
        "{\"serverName\": \"X\", \"streamPort\": 5000.5, \"subjects\": [\"a\"]}",
        "{\"serverName\": \"\\u0000\\u00ff\", \"streamPort\": 5000, \"subjects\": [\"\"]}",
        "{\"serverName\": \"Validator Fake\", \"streamPort\": 1, \"subjects\": [\"fake\"]} x",
        "/* comment */ {\"serverName\": \"Y\", \"streamPort\": 5000, \"subjects\": [\"a\"]}",
        std::string(5000, '['),
    };
    int datagrams = 0, announcements = 0;
    std::map<std::string, int> kinds;
    const Clock::time_point end = Clock::now() + duration;
    while (Clock::now() < end) {
        std::vector<std::uint8_t> datagram;
        std::string kind;
        switch (ctx.uniform(0, 4)) {
            case 0: {  // garbage of any length
                kind = "random bytes";
                datagram.resize(static_cast<std::size_t>(ctx.uniform(0, 6000)));
                for (auto& b : datagram) b = static_cast<std::uint8_t>(ctx.uniform(0, 255));
                break;
            }
            case 1: {  // a sensor frame cut short
                kind = "short frame";
                datagram = frameA;
                datagram.resize(static_cast<std::size_t>(ctx.uniform(1, 245)));
                break;
            }
            case 2: {  // a whole frame of random bits
                kind = "random frame";
                datagram.resize(static_cast<std::size_t>(ctx.uniform(246, 4096)));
                for (auto& b : datagram) b = static_cast<std::uint8_t>(ctx.uniform(0, 255));
                datagram[0] = kSensorFramePacket;
                break;
            }
            case 3:
                kind = "extreme frame";
                datagram = extremeFrame(ctx);
                break;
            default: {
                kind = "valid frame, long";
                datagram = ctx.uniform(0, 1) ? frameA : frameB;
                datagram.resize(static_cast<std::size_t>(ctx.uniform(246, 4096)),
                                static_cast<std::uint8_t>(ctx.uniform(0, 255)));
                break;
            }
        }
        // A one-byte 255 is the stream-end marker, which legitimately ends the stream.
        if (!datagram.empty() && datagram[0] == 0xFF) datagram[0] = 0xFE;
        server.sendTo(datagram.data(), datagram.size(), *client);
        ++datagrams;
        ++kinds[kind];
        if (ctx.uniform(0, 3) == 0) {
            std::vector<std::uint8_t> text;
            if (ctx.uniform(0, 2) == 0) {
                text.resize(static_cast<std::size_t>(ctx.uniform(0, 5000)));
                for (auto& b : text) b = static_cast<std::uint8_t>(ctx.uniform(0, 255));
            } else {
                text = bytesOf(jsonTexts[static_cast<std::size_t>(
                    ctx.uniform(0, static_cast<int>(jsonTexts.size()) - 1))]);
            }
            announcer.sendTo(text.data(), text.size(), listening);
            ++announcements;
        }
        if (datagrams % 8 == 0) {
            announce();
            host.step(kStep);
            host.runIdle();
            requireNoPluginFailure(ctx);
            requireFiniteScene(ctx, dut.device);
            ctx.require(dut.device->Online.Get(), "the device went offline");
        }
    }
    ctx.step("send frame A again");
    std::array<double, 3> again{};
    ctx.require(landed(frameA, again, &valueA),
                "after the malformed input a valid frame no longer gives its pose");
    ctx.require(dut.device->Online.Get(), "the device went offline");
    requireFiniteScene(ctx, dut.device);
    host.setOnline(dut.device, false);
    std::ostringstream summary;
    summary << datagrams << " datagrams (";
    bool first = true;
    for (const auto& [kind, count] : kinds) {
        summary << (first ? "" : ", ") << count << " " << kind;
        first = false;
    }
    summary << ") and " << announcements
            << " announcements; online throughout, every node finite, valid frames still land";
    ctx.summary = summary.str();
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
    ctx.step("DeviceOperation(0), bind the templates, go online");
    ctx.require(host.deviceOperation(dut.device, kOpInit), "Init failed");
    host.bindTemplates(dut.device);
    ctx.require(host.setOnline(dut.device, true), "the device did not go online");
    FBAnimationNode* hips = host.findNode(dut.device, "Hips T");
    ctx.require(hips != nullptr, "the device has no node 'Hips T'");
    auto framesFlow = [&](const char* when) {
        double first[3];
        nodeValueFinite(hips, host.localTime(), first);
        ctx.step(std::string("step the host until the sender streams to the device and the hips "
                             "move (") +
                 when + ")");
        const bool moved = pumpUntil(
            [&] {
                double now[3];
                nodeValueFinite(hips, host.localTime(), now);
                return sender->clients().size() == 1 &&
                       (now[0] != first[0] || now[1] != first[1] || now[2] != first[2]);
            },
            3000ms,
            [&] {
                host.step(kStep);
                host.runIdle();
            },
            2ms);
        require(moved, std::string("no frame reached the device ") + when);
    };
    framesFlow("before the sender stops");
    ctx.step("stop the sender (it sends the stream-end datagram and exits)");
    sender->Stop();
    sender.reset();
    ctx.step("step the host and run its idle until the device is offline");
    const bool offline = pumpUntil([&] { return !dut.device->Online.Get(); }, 3000ms,
                                   [&] {
                                       host.step(kStep);
                                       host.runIdle();
                                   });
    require(offline, "the device was still online 3 s after the sender stopped");
    const std::vector<std::string> texts = host.statusTexts(dut.device);
    ctx.require(!texts.empty() && texts.back() == "Closing device communication",
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

struct Check {
    CheckInfo info;
    std::function<void(CheckContext&)> run;
};

const std::vector<Check>& checks() {
    static const std::vector<Check> all = {
        {{"library.load-unload",
          "loads and unloads 20 times (a device and its panel open each "
          "time); no thread outlives an unload; load plus registration "
          "under 100 ms"},
         checkLoadUnload},
        {{"library.exports", "exports exactly LIBRARY_INIT and EntryPointordeviceskeleton"},
         checkExports},
        {{"library.registrations",
          "the three registrations, in order, with their names, "
          "descriptions, flags and icons"},
         checkRegistrations},
        {{"library.entry-point-again", "the entry point called again registers nothing new"},
         checkEntryPointAgain},
        {{"library.unknown-class", "an unknown class name gives no device"}, checkUnknownClass},
        {{"device.create-50", "50 devices created, initialised and destroyed"}, checkManyDevices},
        {{"device.type-numbers", "class names, type numbers and type tests of device and layout"},
         checkTypeNumbers},
        {{"device.operations-announcing",
          "every sequence of up to four device operations from "
          "0..6 on a fresh device with a server announcing: no "
          "exception, every status text a known one"},
         checkSequencesAnnouncing},
        {{"device.operations-silent", "the same with no server announcing"}, checkSequencesSilent},
        {{"panel.random-actions",
          "seeded random panel actions (list picks, port texts, clicks, "
          "online and offline, host steps)"},
         checkPanelActions},
        {{"stream.malformed-input",
          "random and malformed datagrams to the online device's stream "
          "endpoint and announcements to its listening port: it stays "
          "online, nothing non-finite reaches a node"},
         checkMalformedInput},
        {{"stream.sender-restart",
          "the sender stopped and restarted while the device is online: "
          "offline through the idle handler, then online again"},
         checkSenderRestart},
    };
    return all;
}

}  // namespace

std::vector<CheckInfo> validatorChecks() {
    std::vector<CheckInfo> infos;
    for (const Check& check : checks()) infos.push_back(check.info);
    return infos;
}

int runValidate(const ValidateOptions& options, Console& console) {
    std::regex only;
    try {
        only = std::regex(options.only.empty() ? std::string(".") : options.only);
    } catch (const std::regex_error& e) {
        console.line("--only: '" + options.only + "' is no regular expression: " + e.what());
        return 2;
    }
    std::vector<const Check*> selected;
    for (const Check& check : checks()) {
        if (options.only.empty() || std::regex_search(check.info.name, only))
            selected.push_back(&check);
    }
    if (selected.empty()) {
        console.line("--only '" + options.only + "' selects no check (see --list)");
        return 2;
    }
    console.line("Validating " + options.pluginPath);
    console.line("Seed " + std::to_string(options.seed) + " (repeat with --seed " +
                 std::to_string(options.seed) + ")");
    int passed = 0, failed = 0;
    fbhost::Host& host = fbhost::Host::instance();
    for (const Check* check : selected) {
        // Each check draws from its own stream, so --only repeats a check's actions exactly.
        std::seed_seq sequence{
            static_cast<std::uint32_t>(options.seed),
            static_cast<std::uint32_t>(options.seed >> 32),
            static_cast<std::uint32_t>(std::hash<std::string>{}(check->info.name))};
        std::array<std::uint64_t, 1> checkSeed{};
        sequence.generate(reinterpret_cast<std::uint32_t*>(checkSeed.data()),
                          reinterpret_cast<std::uint32_t*>(checkSeed.data()) + 2);
        CheckContext ctx(options, checkSeed[0]);
        const Clock::time_point start = Clock::now();
        std::optional<std::string> failure;
        try {
            host.clearFailures();
            check->run(ctx);
        } catch (const CheckFailure& f) {
            failure = f.reason;
        } catch (const std::exception& e) {
            failure = std::string("the harness caught ") + e.what();
        }
        host.reset();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char time[32];
        std::snprintf(time, sizeof(time), " [%.1f s]", seconds);
        if (!failure) {
            ++passed;
            console.line("PASS  " + check->info.name + ": " + ctx.summary + time);
            continue;
        }
        ++failed;
        console.line("FAIL  " + check->info.name + ": " + *failure + time);
        if (ctx.seeded)
            console.line("      random actions from seed " + std::to_string(options.seed) +
                         "; repeat with: --seed " + std::to_string(options.seed) + " --only '^" +
                         check->info.name + "$'");
        const std::size_t shown = std::min<std::size_t>(ctx.steps.size(), 40);
        console.line("      what was done, in order" +
                     (shown < ctx.steps.size() ? " (the last " + std::to_string(shown) + " of " +
                                                     std::to_string(ctx.steps.size()) + ")"
                                               : std::string()) +
                     ":");
        for (std::size_t i = ctx.steps.size() - shown; i < ctx.steps.size(); ++i)
            console.line("      " + std::to_string(i + 1) + ". " + ctx.steps[i]);
    }
    sharedLibrary().unload();
    console.line(std::to_string(passed) + " passed, " + std::to_string(failed) + " failed");
    return failed == 0 ? 0 : 3;
}

}  // namespace telmora::host
