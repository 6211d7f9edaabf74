#include "tools/host/validate/check_context.h"

#include <cmath>

#include "plugin/registrations.h"
#include "tools/host/host_driver.h"
#include "tools/host/process_figures.h"

namespace telmora::host {

using namespace ORSDK2026;
using namespace std::chrono_literals;

fbhost::PluginLibrary& sharedLibrary() {
    static fbhost::PluginLibrary library;
    return library;
}

void ensureLoaded(CheckContext& ctx) {
    fbhost::PluginLibrary& library = sharedLibrary();
    if (library.isLoaded()) return;
    ctx.step("load " + ctx.options.pluginPath);
    ctx.require(library.load(ctx.options.pluginPath), library.error());
    ctx.step(std::string("call ") + kEntryPointSymbol + "(0)");
    ctx.require(library.callEntryPoint(0), library.error());
}

void requireNoPluginFailure(CheckContext& ctx) {
    const std::vector<fbhost::PluginFailure> failures = fbhost::Host::instance().failures();
    if (failures.empty()) return;
    ctx.fail("an exception left the plug-in in " + failures.front().call + ": " +
             failures.front().what);
}

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

bool waitForThreadCount(int expected) {
    return pumpUntil([&] { return processThreadCount() <= expected; }, 2000ms, nullptr, 1ms);
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

}  // namespace telmora::host
