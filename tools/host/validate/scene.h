#pragma once
// The scenes the validator's checks set up as a user would: a test sender announcing on the
// loopback, and a device of the plug-in with its panel open, a sender picked in its lists.

#include <fbhost/host.h>

#include <memory>
#include <mutex>
#include <string>

#include "plugin/registrations.h"
#include "tools/host/panel_user.h"
#include "tools/host/validate/check_context.h"
#include "tools/sim_server/sim_server.h"

namespace telmora::host {

// The device list entry the checks create their devices from.
inline constexpr const char* kDeviceEntry = kDeviceListRegistration.entry;
inline constexpr const char* kSenderName = "Validator Sender";
inline constexpr const char* kSenderSubject = "synthetic";
// One host step: a 60 Hz frame.
inline const ORSDK2026::FBTime kStep = ORSDK2026::FBTime(ORSDK2026::FBTime::kTicksPerSecond / 60);

// What a sender wrote, kept for a failure's message.
class SenderLog {
public:
    LogWriter writer();
    std::string text() const;

private:
    mutable std::mutex mutex_;
    std::string lines_;
};

// A sender in this process announcing `kSenderName` with the subject `kSenderSubject` to
// `announcePort` every 20 ms; its log goes to `log`, or nowhere.
std::unique_ptr<SimServer> startSender(CheckContext& ctx, std::uint16_t announcePort,
                                       double frameRate = 120.0, LogWriter log = nullptr);
// A sender as `config` has it (name, ports, rate), offering `kSenderSubject`, announcing every
// 20 ms.
std::unique_ptr<SimServer> startSender(CheckContext& ctx, SimServerConfig config,
                                       LogWriter log = nullptr);
// The config of the senders above: kSenderName announcing to `announcePort`.
SimServerConfig senderConfig(std::uint16_t announcePort, double frameRate = 120.0);

struct DeviceUnderTest {
    ORSDK2026::FBDevice* device = nullptr;
    PanelControls panel;
};

// A new device with its panel open and its listening port set through the panel.
DeviceUnderTest openDevice(CheckContext& ctx, std::uint16_t listeningPort);

// Picks `source`, then `subject`, in the panel's lists, waiting up to 3 s for each to be listed.
void pickSenderInPanel(CheckContext& ctx, DeviceUnderTest& dut, const std::string& source,
                       const std::string& subject);

// Init, the templates bound to a new model, online: the device as a user has it when streaming.
void goLive(CheckContext& ctx, DeviceUnderTest& dut);

// A new device with its panel open on `port`, the sender kSenderName / kSenderSubject picked,
// live, and a frame on its hips: returns the hips' translation node ("Hips T").
ORSDK2026::FBAnimationNode* startStreaming(CheckContext& ctx, DeviceUnderTest& dut,
                                           std::uint16_t port);

// Steps the host until `node`'s value changes (a frame arrived and was written), up to
// `timeout`; true when it did.
bool nodeMoves(ORSDK2026::FBAnimationNode* node, std::chrono::milliseconds timeout);

}  // namespace telmora::host
