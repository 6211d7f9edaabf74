// The Wireshark dissector read by Debian's tshark: a capture written by the project, and every
// field tshark shows of each sensor frame equal to what the decoder reads from the same bytes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture/capture_writer.h"
#include "motion/sensor_frame.h"
#include "network/announcement.h"
#include "network/protocol.h"

namespace telmora {
namespace {

namespace fs = std::filesystem;

// Everything tshark prints for one packet: field name to its values, in order.
using Fields = std::map<std::string, std::vector<std::string>>;

std::vector<Fields> tsharkFields(const std::string& capture,
                                 const std::vector<std::string>& names) {
    std::string command = std::string(TELMORA_TSHARK) + " -X lua_script:" + TELMORA_DISSECTOR +
                          " -r " + capture + " -T fields -E separator=/t -E occurrence=a" +
                          " -E aggregator=, -e frame.number";
    for (const std::string& name : names) command += " -e " + name;
    command += " 2>/dev/null";
    std::vector<Fields> packets;
    FILE* output = ::popen(command.c_str(), "r");
    if (output == nullptr) return packets;
    char line[65536];
    while (std::fgets(line, sizeof line, output)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        std::vector<std::string> columns;
        std::stringstream in(text);
        for (std::string column; std::getline(in, column, '\t');) columns.push_back(column);
        columns.resize(names.size() + 1);
        Fields fields;
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::stringstream values(columns[i + 1]);
            for (std::string value; std::getline(values, value, ',');)
                fields[names[i]].push_back(value);
        }
        packets.push_back(std::move(fields));
    }
    ::pclose(output);
    return packets;
}

const char* const kRotations[] = {"hips",       "left_hand",     "right_hand",    "left_foot",
                                  "right_foot", "left_shoulder", "right_shoulder"};

std::vector<std::string> fieldNames() {
    std::vector<std::string> names = {"telmora.kind",
                                      "telmora.type",
                                      "telmora.version",
                                      "telmora.root_position.x",
                                      "telmora.root_position.y",
                                      "telmora.root_position.z",
                                      "telmora.aux",
                                      "telmora.target.position.x",
                                      "telmora.target.position.y",
                                      "telmora.target.position.z",
                                      "telmora.target.pole.x",
                                      "telmora.target.pole.y",
                                      "telmora.target.pole.z",
                                      "telmora.target.length",
                                      "telmora.hips_height",
                                      "telmora.trailer",
                                      "telmora.keepalive.subject",
                                      "json.member"};
    for (const char* rotation : kRotations)
        for (const char* c : {"x", "y", "z", "w"})
            names.push_back(std::string("telmora.rotation.") + rotation + "." + c);
    return names;
}

// The decoder's values for the same fields, in tshark's order.
Fields decoderFields(const SensorFrame& frame) {
    Fields fields;
    auto add = [&](const std::string& name, double value) {
        fields[name].push_back(std::to_string(value));
    };
    add("telmora.root_position.x", frame.rootPosition.x);
    add("telmora.root_position.y", frame.rootPosition.y);
    add("telmora.root_position.z", frame.rootPosition.z);
    const glm::quat* rotations[] = {&frame.hipsRotation,         &frame.leftHandRotation,
                                    &frame.rightHandRotation,    &frame.leftFootRotation,
                                    &frame.rightFootRotation,    &frame.leftShoulderRotation,
                                    &frame.rightShoulderRotation};
    for (int r = 0; r < 7; ++r) {
        const std::string prefix = std::string("telmora.rotation.") + kRotations[r] + ".";
        add(prefix + "x", rotations[r]->x);
        add(prefix + "y", rotations[r]->y);
        add(prefix + "z", rotations[r]->z);
        add(prefix + "w", rotations[r]->w);
    }
    if (frame.hasAuxValues())
        for (float value : frame.auxValues) add("telmora.aux", value);
    for (std::size_t t = 0; t < frame.targets.size(); ++t) {
        const ChainTarget& target = frame.targets[t];
        add("telmora.target.position.x", target.position.x);
        add("telmora.target.position.y", target.position.y);
        add("telmora.target.position.z", target.position.z);
        if (t < 6) {
            add("telmora.target.pole.x", target.pole.x);
            add("telmora.target.pole.y", target.pole.y);
            add("telmora.target.pole.z", target.pole.z);
        }
        add("telmora.target.length", target.length);
    }
    add("telmora.hips_height", frame.hipsHeight);
    return fields;
}

TEST(WiresharkDissector, TsharkShowsEveryFieldAsTheDecoderReadsIt) {
#ifndef TELMORA_TSHARK
    GTEST_SKIP() << "tshark is not installed (scripts/setup.sh tests)";
#else
    const fs::path file =
        fs::temp_directory_path() / ("telmora-dissector-" + std::to_string(::getpid()) + ".pcap");
    // Frames of every version and both lengths, their bytes random: every pattern decodes.
    std::mt19937 random(20261209);
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::uint8_t version : {0, 1, 2, 3, 255}) {
        for (std::size_t size : {kSensorFrameMinSize, std::size_t{300}}) {
            std::vector<std::uint8_t> frame(size);
            for (std::uint8_t& byte : frame) byte = static_cast<std::uint8_t>(random());
            frame[0] = 6;
            frame[1] = version;
            // Root positions as plain floats, not random bit patterns (NaN prints as text).
            for (int axis = 0; axis < 3; ++axis) {
                const float value = static_cast<float>(random() % 20000) / 1000.0f - 10.0f;
                std::memcpy(frame.data() + 2 + 4 * axis, &value, 4);
            }
            frames.push_back(frame);
        }
    }
    {
        CaptureWriter writer([](LogStream, const std::string&) {});
        std::string error;
        ASSERT_TRUE(writer.Start(file.string(), error)) << error;
        const Ipv4Endpoint server{0x7F000001, 47000}, client{0x7F000001, 47001};
        auto tap = [&](const Ipv4Endpoint& from, const Ipv4Endpoint& to,
                       const std::vector<std::uint8_t>& bytes) {
            writer.Tap({std::chrono::system_clock::now(), from, to, bytes.data(), bytes.size()});
        };
        const std::string announcement = announcementText("Dissected", 47000, {"walk"});
        tap({0x7F000001, 47002}, {0x7F000001, kDefaultListenPort},
            std::vector<std::uint8_t>(announcement.begin(), announcement.end()));
        const std::string keepAlive = "mobu:walk";
        tap(client, server, std::vector<std::uint8_t>(keepAlive.begin(), keepAlive.end()));
        for (const auto& frame : frames) tap(server, client, frame);
        tap(server, client, {kEndOfStreamByte});
        writer.Stop();
    }

    const std::vector<std::string> names = fieldNames();
    const std::vector<Fields> packets = tsharkFields(file.string(), names);
    if (!std::getenv("TELMORA_KEEP_TEST_FILES")) fs::remove(file);
    ASSERT_EQ(packets.size(), frames.size() + 3);
    for (std::size_t i = 0; i < packets.size(); ++i)
        ASSERT_TRUE(packets[i].count("telmora.kind")) << "packet " << i + 1 << " is not dissected";
    // The announcement, through the JSON dissector; the keep-alive; the end of stream.
    EXPECT_EQ(packets[0].at("telmora.kind"), std::vector<std::string>{"3"});
    EXPECT_FALSE(packets[0].count("json.member") == 0);
    EXPECT_EQ(packets[1].at("telmora.keepalive.subject"), std::vector<std::string>{"walk"});
    EXPECT_EQ(packets.back().at("telmora.kind"), std::vector<std::string>{"1"});

    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Fields& shown = packets[i + 2];
        const SensorFrame frame = decodeSensorFrame(frames[i]);
        SCOPED_TRACE("frame " + std::to_string(i) + ", version " + std::to_string(frames[i][1]) +
                     ", " + std::to_string(frames[i].size()) + " bytes");
        EXPECT_EQ(shown.at("telmora.type"), std::vector<std::string>{"6"});
        EXPECT_EQ(shown.at("telmora.version"),
                  std::vector<std::string>{std::to_string(frames[i][1])});
        EXPECT_EQ(shown.at("telmora.trailer"), std::vector<std::string>{[&] {
                      char hex[8];
                      std::snprintf(hex, sizeof hex, "0x%02x", frames[i].back());
                      return std::string(hex);
                  }()});
        for (const auto& [name, expected] : decoderFields(frame)) {
            ASSERT_TRUE(shown.count(name)) << name;
            const std::vector<std::string>& values = shown.at(name);
            ASSERT_EQ(values.size(), expected.size()) << name;
            for (std::size_t v = 0; v < values.size(); ++v) {
                const double a = std::stod(values[v]), b = std::stod(expected[v]);
                // tshark prints six significant digits.
                EXPECT_NEAR(a, b, 1e-5 * std::max(1.0, std::abs(b))) << name << " #" << v;
            }
        }
    }
#endif
}

}  // namespace
}  // namespace telmora
