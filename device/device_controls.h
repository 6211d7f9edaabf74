#pragma once
// What the settings panel may do with its device, and all it sees of it: the listening port,
// the choice of server ("source") and subject, the skeleton test server, the discovered servers,
// the live channel values and the model a character is built on. The device implements it; the
// panel never reaches into the device's hardware or fields.
//
// Threads: every call on the host's user-interface thread, except the servers-changed callback,
// which runs on a discovery thread and must only record that something changed.

#include <fbsdk/fbsdk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "motion/channel_table.h"
#include "network/discovery_service.h"

namespace telmora {

class DeviceControls {
public:
    // The UDP port discovery listens on (and the test server's TCP port); 22000 by default.
    virtual std::int32_t ListeningPort() const = 0;
    // A different port restarts discovery there; the same port changes nothing.
    virtual void SetListeningPort(std::int32_t port) = 0;
    // False while discovery could not bind the listening port (in use, no permission).
    virtual bool Listening() const = 0;
    // One line on the stream while the device is online: "120 Hz · last frame 8 ms ago ·
    // 0 refused · 0 gaps", or how long it has been silent; "" while offline.
    virtual std::string StreamHealthLine() const = 0;

    // The chosen server and subject, by name; "" when none. The next open streams from them.
    virtual std::string SourceName() const = 0;
    virtual std::string SubjectName() const = 0;
    virtual void SelectSource(const std::string& name) = 0;
    virtual void SelectSubject(const std::string& name) = 0;

    // Whether recorded samples are paced by the skeleton test server, and its host.
    virtual bool UseTestServer() const = 0;
    virtual void SetUseTestServer(bool use) = 0;
    virtual std::string TestServerAddress() const = 0;
    virtual void SetTestServerAddress(const std::string& address) = 0;

    // Raw capture of each online period's datagrams, and the folder its files go to.
    virtual bool CaptureRawStream() const = 0;
    virtual void SetCaptureRawStream(bool capture) = 0;
    virtual std::string CaptureFolder() const = 0;
    virtual void SetCaptureFolder(const std::string& folder) = 0;

    // The servers announcing themselves on the listening port now.
    virtual ServerMap Servers() const = 0;
    // `changed` is called (on a discovery thread) whenever the servers change, for as long as
    // the returned token lives; releasing it waits for a running call.
    virtual std::shared_ptr<void> OnServersChanged(std::function<void()> changed) = 0;

    // The channel values of one whole publication.
    virtual ChannelSnapshot Channels() const = 0;
    // How many bone templates Init has linked under "Reference": the channel count, or 0 before
    // Init. Characterize makes a character only when there are some.
    virtual int LinkedBoneCount() const = 0;
    // The model bound to the "Reference" template, or null: the tree a character is built on.
    virtual ORSDK2026::FBModel* ReferenceModel() const = 0;

protected:
    ~DeviceControls() = default;
};

}  // namespace telmora
