// What the device does at every host idle: follows the stream's health and figures, starts
// and watches the raw capture, loads a changed replay file, ends a stream that ended, and plots
// a finished recording.

#include <chrono>
#include <filesystem>
#include <string>

#include "device/device.h"
#include "device/host_guards.h"
#include "live/device_texts.h"

using namespace ORSDK2026;
using namespace telmora::device;

void ORDeviceSkeleton::EventIdle(HISender /*sender*/, HKEvent /*event*/) {
    guardedVoid([this] {
        WatchCaptureAndReplay();
        hardware.AdvanceReplay();
        RefreshFrameFigures();
        WatchStream();
        if (streamEnded.exchange(false)) {
            Close();
            Online = false;
            Live = false;
            DeviceOperation(kOpStop);
        }
        if (recordingDone) {
            recordingDone = false;
            Plot();
        }
    });
}

void ORDeviceSkeleton::RefreshFrameFigures() {
    const telmora::ChannelTable& table = hardware.channelTable();
    const std::uint64_t solved = table.framesSolved();
    framesSolved = solved;
    framesReceived = solved + table.framesDropped();
}

std::string ORDeviceSkeleton::StreamHealthLine() const {
    if (!Online.Get() || !hardware.streaming()) return {};
    const telmora::StreamHealthSnapshot health = hardware.streamHealth();
    const std::string source = telmora::escapeControlCharacters(hardware.sourceName());
    if (health.stale) return telmora::noFramesStatus(source, health.silenceSeconds);
    return telmora::streamHealthLine(health.rateHz, health.silenceSeconds, health.refused(),
                                     health.gapCount);
}

void ORDeviceSkeleton::WatchStream() {
    hardware.SetStaleSeconds(staleTime.Get());
    if (!Online.Get() || !hardware.streaming()) return;
    const std::string moved = hardware.FollowMovedServer();
    if (!moved.empty()) telmora::writeLine(log, telmora::LogStream::Out, moved);
    const std::string source = telmora::escapeControlCharacters(hardware.sourceName());
    const telmora::StreamHealthSnapshot health = hardware.streamHealth();
    const double now = system.LocalTime.Get().GetSecondDouble();
    auto show = [this](const std::string& text) {
        if (std::string(Status.Get().str()) != text) Status = text.c_str();
    };
    if (health.stale) {
        staleShown = true;
        show(telmora::noFramesStatus(source, health.silenceSeconds));
        return;
    }
    if (health.gapCount > gapsLogged) {
        // The gap ended with the last frame: it began its own length before that.
        const double start = now - health.silenceSeconds - health.lastGapSeconds;
        telmora::writeLine(log, telmora::LogStream::Out,
                           telmora::streamGapLine(health.lastGapSeconds, source, start));
        gapsLogged = health.gapCount;
    }
    if (staleShown) {
        staleShown = false;
        show(telmora::framesBackStatus(source));
    }
}

void ORDeviceSkeleton::WatchCaptureAndReplay() {
    const std::string wanted = replayFile.Get().str();
    // A new replay file waits until the device is offline: it never cuts a running stream.
    if (wanted != replayLoaded && !(Online.Get() && hardware.streaming())) {
        replayLoaded = wanted;
        std::string error;
        if (!hardware.LoadReplay(wanted, error)) {
            const std::string text = telmora::kStatusReplayFailedPrefix + error;
            telmora::writeLine(log, telmora::LogStream::Err, text + "\n");
            Status = text.c_str();
        }
    }
    const telmora::CaptureFigures capture = hardware.captureFigures();
    if (!capture.error.empty() && !captureErrorShown) {
        captureErrorShown = true;
        Status = (telmora::kStatusCaptureStoppedPrefix + capture.error).c_str();
    }
}

void ORDeviceSkeleton::StartCapture() {
    captureErrorShown = false;
    if (!captureRawStream.Get() || hardware.replaying()) return;
    // UTC, to the second: one file per online period, in the order they were made.
    const std::filesystem::path folder(captureFolder.Get().str());
    const std::filesystem::path path =
        folder / telmora::captureFileName(hardware.sourceName(), hardware.subjectName(),
                                          telmora::utcStamp(std::chrono::system_clock::now()));
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::string error;
    if (!hardware.StartCapture(path.string(), error)) {
        // The stream goes on without its capture.
        const std::string text = telmora::kStatusCaptureFailedPrefix + error;
        telmora::writeLine(log, telmora::LogStream::Err, text + "\n");
        Status = text.c_str();
        return;
    }
    capturePath = path.string().c_str();
}
