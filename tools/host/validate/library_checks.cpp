// The library as the host loads it: load and unload, its exports, its registrations, its
// entry point called again, and a class name it does not know.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <thread>

#include "plugin/registrations.h"
#include "tools/host/host_driver.h"
#include "tools/host/library_exports.h"
#include "tools/host/process_figures.h"
#include "tools/host/validate/check_context.h"
#include "tools/host/validate/scene.h"

namespace telmora::host {

using namespace ORSDK2026;

namespace {

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
    std::vector<std::string> expected = {kEntryPointSymbol, kLibraryInitSymbol};
    std::sort(expected.begin(), expected.end());
    if (*names != expected) {
        std::vector<std::string> shown(names->begin(),
                                       names->begin() + std::min<std::ptrdiff_t>(6, names->size()));
        ctx.fail("exports " + std::to_string(names->size()) + " symbols: " + joined(shown) +
                 (names->size() > shown.size() ? ", ..." : ""));
    }
    ensureLoaded(ctx);
    ctx.require(sharedLibrary().callLibraryInit(),
                std::string(kLibraryInitSymbol) + " did not return true");
    ctx.summary = std::string("exactly ") + kLibraryInitSymbol + " and " + kEntryPointSymbol +
                  "; " + kLibraryInitSymbol + " gives true";
}

void checkRegistrations(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
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
    for (const fbhost::Registration& r : host.registrations()) {
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
        ctx.step(std::string("call ") + kEntryPointSymbol + "(" + std::to_string(operation) + ")");
        ctx.require(sharedLibrary().callEntryPoint(operation), sharedLibrary().error());
    }
    ctx.require(host.registrations().size() == before,
                std::to_string(host.registrations().size() - before) + " new registration(s)");
    ctx.summary = "entry point called 5 more times (0, 0, 1, 2, 0): nothing new registered";
}

void checkUnknownClass(CheckContext& ctx) {
    ensureLoaded(ctx);
    fbhost::Host& host = fbhost::Host::instance();
    // The stored class is no device list entry, and entries are matched exactly.
    for (const char* name : {"NoSuchDevice", kDeviceClassName, "telmoralink", ""}) {
        ctx.step(std::string("create a device of class '") + name + "'");
        ctx.require(host.createDevice(name, "Unknown") == nullptr,
                    std::string("a device was created for '") + name + "'");
    }
    requireNoPluginFailure(ctx);
    ctx.summary = std::string("no device for NoSuchDevice, ") + kDeviceClassName +
                  " (not a device entry), telmoralink, \"\"";
}

}  // namespace

std::vector<Check> libraryChecks() {
    return {
        {{"library.load-unload",
          "loads and unloads 20 times (a device and its panel open each time); no thread "
          "outlives an unload; load plus registration under 100 ms"},
         checkLoadUnload},
        {{"library.exports", "exports exactly LIBRARY_INIT and EntryPointordeviceskeleton"},
         checkExports},
        {{"library.registrations",
          "the three registrations, in order, with their names, descriptions, flags and icons"},
         checkRegistrations},
        {{"library.entry-point-again", "the entry point called again registers nothing new"},
         checkEntryPointAgain},
        {{"library.unknown-class", "an unknown class name gives no device"}, checkUnknownClass},
    };
}

}  // namespace telmora::host
