// Writes the generated part of the fuzz seed corpus: sensor frame datagrams encoded by the
// frame encoder from poses of the model performer, and announcements. Usage:
//   telmora-fuzz-seeds CORPUS_DIR     (writes CORPUS_DIR/stream and CORPUS_DIR/announcement)
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "motion/channel_table.h"
#include "motion/sensor_frame.h"
#include "motion/skeleton.h"
#include "network/protocol.h"
#include "telmora/version.h"
#include "tools/performer/performer_model.h"

namespace {

using namespace telmora;

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

bool writeText(const std::string& path, const std::string& text) {
    return writeFile(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("telmora-fuzz-seeds %s\n", kVersion);
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: telmora-fuzz-seeds CORPUS_DIR\n");
        return 2;
    }
    const std::string corpus = argv[1];
    bool ok = true;

    const Skeleton& rest = defaultSkeleton().skeleton;

    const BoneSlotMap& slots = defaultSkeleton().slots;
    // A stride: hips forward, one arm and one leg swung, the spine bent.
    Skeleton stride = rest;
    const auto turn = [&](const char* bone, float degrees, const glm::vec3& axis) {
        const std::int32_t i = findBone(stride, bone);
        if (i >= 0) stride.bones[i].rotation = glm::angleAxis(glm::radians(degrees), axis);
    };
    turn("LeftUpLeg", 25.0f, glm::vec3(1, 0, 0));
    turn("RightUpLeg", -20.0f, glm::vec3(1, 0, 0));
    turn("LeftLeg", -30.0f, glm::vec3(1, 0, 0));
    turn("LeftArm", 40.0f, glm::vec3(0, 0, 1));
    turn("RightForeArm", 60.0f, glm::vec3(0, 1, 0));
    turn("Spine1", 12.0f, glm::vec3(1, 0, 0));
    turn("Neck", -15.0f, glm::vec3(0, 1, 0));
    stride.bones[0].offset += glm::vec3(0.0f, -4.0f, 12.0f);

    const SensorFrame restFrame = makePerformerFrame(rest, slots);
    const SensorFrame strideFrame = makePerformerFrame(stride, slots);
    const std::string stream = corpus + "/stream/";
    ok &= writeFile(stream + "rest-v2", encodeSensorFrame(restFrame));
    ok &= writeFile(stream + "stride-v2", encodeSensorFrame(strideFrame));
    ok &= writeFile(stream + "stride-v1", encodeSensorFrame(strideFrame, 1));
    ok &= writeFile(stream + "stride-v2-long", encodeSensorFrame(strideFrame, 2, 300));
    std::vector<std::uint8_t> cut = encodeSensorFrame(strideFrame);
    cut.resize(kSensorFrameMinSize - 1);
    ok &= writeFile(stream + "stride-cut", cut);
    ok &= writeFile(stream + "stream-end", {kEndOfStreamByte});

    const std::string announcement = corpus + "/announcement/";
    ok &= writeText(announcement + "plain",
                    R"({"serverName": "Studio A", "streamPort": 5000, "subjects": ["Alice"]})");
    ok &= writeText(announcement + "addressed",
                    R"({"pluginName": "Quenbrix", "serverName": "Studio B", "streamPort": 5001,)"
                    R"( "subjects": ["Alice", "Bob"], "extra": {"x": [1, 2.5, null, true]}})");
    ok &= writeText(announcement + "other-plugin",
                    R"({"pluginName": "Other", "serverName": "S", "streamPort": 5000,)"
                    R"( "subjects": []})");
    ok &= writeText(announcement + "port-out-of-range",
                    R"({"serverName": "S", "streamPort": 70000, "subjects": []})");
    ok &= writeText(announcement + "port-fraction",
                    R"({"serverName": "S", "streamPort": 5000.9, "subjects": ["\u00e9"]})");
    ok &= writeText(announcement + "nul-terminated",
                    std::string(R"({"serverName": "S", "streamPort": 1, "subjects": []})") +
                        std::string(1, '\0') + "trailing");
    if (!ok) {
        std::fprintf(stderr, "telmora-fuzz-seeds: could not write into %s\n", corpus.c_str());
        return 1;
    }
    return 0;
}
