#pragma once
// Every input the system takes from outside, driven from raw bytes through the real handling,
// with the properties that must hold whatever the bytes are. Each check returns an empty string
// when they hold and a description of the first broken one otherwise. The fuzz targets call
// them for every generated input; the corpus replay test calls them for every stored input.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace telmora::fuzz {

// Any bytes as one stream datagram into a set-up channel table (decode, solve, publish). Holds
// one table for its life, so each datagram meets the state the earlier ones left:
// - a solved frame publishes exactly once, and every published value is finite;
// - anything else publishes nothing: the snapshot (the last good frame) is unchanged;
// - a datagram of type 6 is either solved or counted as dropped, anything else neither.
class StreamDatagramCheck {
public:
    StreamDatagramCheck();
    ~StreamDatagramCheck();
    std::string operator()(const std::uint8_t* data, std::size_t size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Any bytes as one announcement datagram into a discovery service that already lists two
// servers (one of them at the datagram's sender). Holds one service for its life:
// - no exception leaves the handling;
// - a valid announcement (JSON object for our plug-in, string "serverName", numeric
//   "streamPort" in 1..65535, string array "subjects") lists its sender and name with exactly
//   its values and leaves the other entries alone;
// - anything else leaves the whole list unchanged, times of last sight included.
class AnnouncementCheck {
public:
    AnnouncementCheck();
    ~AnnouncementCheck();
    std::string operator()(const std::uint8_t* data, std::size_t size);

private:
    // A fresh service that knows the server "Known" at two addresses.
    void Reset();

    struct State;
    std::unique_ptr<State> state_;
};

// Any bytes as a take file (.bvh) into the test sender's loader: either no performance and a
// non-empty error message, or a performance with frames at a finite, positive frame rate.
// The bytes go through a file of this process's own in the temporary folder.
class TakeFileCheck {
public:
    TakeFileCheck();
    ~TakeFileCheck();
    std::string operator()(const std::uint8_t* data, std::size_t size);

private:
    std::string path_;
};

// Any bytes as a capture file (pcap or pcapng) into the capture reader and its search for the
// Telmora traffic: either nothing and a non-empty error message, or a capture whose every
// stream has datagrams, each an index into the capture's datagrams, in capture order and sent
// by the stream's server endpoint. The bytes go through a file of this process's own.
class CaptureFileCheck {
public:
    CaptureFileCheck();
    ~CaptureFileCheck();
    std::string operator()(const std::uint8_t* data, std::size_t size);

private:
    std::string path_;
};

}  // namespace telmora::fuzz
