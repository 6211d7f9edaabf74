#pragma once
// What the harness needs to act as the host and its user: finding a panel's controls by region
// as a user finds them on screen, waiting for a condition while the host keeps running, pacing
// host steps to the wall clock, and a device's properties as the property view shows them.

#include <fbhost/host.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace telmora::host {

using Clock = std::chrono::steady_clock;

// The control placed in `region` of `layout` or of a layout nested in it at any depth; null when
// no region of that name holds a control.
ORSDK2026::FBVisualComponent* findControl(ORSDK2026::FBLayout& layout, const std::string& region);
// The same, when the control is of the given SDK class (its type number); null otherwise.
template <class Control>
Control* findControlOf(ORSDK2026::FBLayout& layout, const std::string& region) {
    ORSDK2026::FBVisualComponent* control = findControl(layout, region);
    return control && control->Is(Control::TypeInfo) ? static_cast<Control*>(control) : nullptr;
}

// The index of the first item of `list` whose text is `text`, or -1.
int listIndexOf(const ORSDK2026::FBList& list, const std::string& text);
std::vector<std::string> listItems(const ORSDK2026::FBList& list);

// Calls `pump` until `condition` holds or `timeout` has passed; true when it holds. `pump` runs
// the host (idle, steps) and may wait a little itself; a pause of `pause` follows each round.
bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
               const std::function<void()>& pump,
               std::chrono::microseconds pause = std::chrono::microseconds(500));

// Steps the host by a fixed period, each step at its wall-clock moment: after n steps the host's
// local time has advanced by n periods and about as much real time has passed. A step that is
// late (the process was descheduled) is taken at once; the host's time never skips.
class PacedStepper {
public:
    explicit PacedStepper(ORSDK2026::FBTime period);
    // Waits for the next step's moment, then steps the host and runs its idle.
    void step();
    std::uint64_t steps() const { return steps_; }
    ORSDK2026::FBTime period() const { return period_; }

private:
    ORSDK2026::FBTime period_;
    Clock::time_point start_;
    std::uint64_t steps_ = 0;
};

// A device's unsigned figure published as a property (TelmoraLink's "FramesReceived" and
// "FramesSolved"), read as the host's property view reads it; nothing when it has no such
// property.
std::optional<std::uint64_t> deviceFigure(ORSDK2026::FBDevice* device, const char* property);

// A device's text property ("ReplayFile", "CapturePath"): set as the user sets it in the
// property view (false when it has no such text property), and read.
bool setDeviceText(ORSDK2026::FBDevice* device, const char* property, const std::string& text);
std::optional<std::string> deviceText(ORSDK2026::FBDevice* device, const char* property);

// Every value of a node (as the host evaluates it now) is finite.
bool nodeValueFinite(ORSDK2026::FBAnimationNode* node, ORSDK2026::FBTime time,
                     double* value = nullptr);

}  // namespace telmora::host
