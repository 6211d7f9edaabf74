#include "tools/host/host_driver.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace telmora::host {

using namespace ORSDK2026;

FBVisualComponent* findControl(FBLayout& layout, const std::string& region) {
    for (int i = 0; i < layout.GetRegionCount(); ++i) {
        const char* name = layout.GetRegionName(i);
        FBVisualComponent* control = layout.GetControl(name);
        if (!control) continue;
        if (region == name) return control;
        if (control->Is(FBLayout::TypeInfo)) {
            if (FBVisualComponent* found = findControl(*static_cast<FBLayout*>(control), region))
                return found;
        }
    }
    return nullptr;
}

int listIndexOf(const FBList& list, const std::string& text) {
    for (int i = 0; i < list.Items.GetCount(); ++i) {
        if (text == list.Items[i]) return i;
    }
    return -1;
}

std::vector<std::string> listItems(const FBList& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Items.GetCount(); ++i) items.emplace_back(list.Items[i]);
    return items;
}

bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& pump, std::chrono::microseconds pause) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        if (pump) pump();
        std::this_thread::sleep_for(pause);
    }
}

PacedStepper::PacedStepper(FBTime period) : period_(period), start_(Clock::now()) {}

void PacedStepper::step() {
    ++steps_;
    const auto due = start_ + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                  period_.GetSecondDouble() * 1e9 * static_cast<double>(steps_)));
    std::this_thread::sleep_until(due);
    fbhost::Host& host = fbhost::Host::instance();
    host.step(period_);
    host.runIdle();
}

bool nodeValueFinite(FBAnimationNode* node, FBTime time, double* value) {
    double v[3] = {0.0, 0.0, 0.0};
    node->Evaluate(v, time);
    if (value) std::copy(v, v + 3, value);
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

std::optional<std::uint64_t> deviceFigure(FBDevice* device, const char* property) {
    if (device == nullptr) return std::nullopt;
    const auto* figure =
        dynamic_cast<const FBPropertyULongLong*>(device->PropertyList.Find(property));
    if (figure == nullptr) return std::nullopt;
    return static_cast<std::uint64_t>(figure->Get());
}

bool setDeviceText(FBDevice* device, const char* property, const std::string& text) {
    if (device == nullptr) return false;
    auto* value = dynamic_cast<FBPropertyString*>(device->PropertyList.Find(property));
    if (value == nullptr) return false;
    *value = text.c_str();
    return true;
}

std::optional<std::string> deviceText(FBDevice* device, const char* property) {
    if (device == nullptr) return std::nullopt;
    const auto* value = dynamic_cast<const FBPropertyString*>(device->PropertyList.Find(property));
    if (value == nullptr) return std::nullopt;
    return std::string(value->Get().str());
}

}  // namespace telmora::host
