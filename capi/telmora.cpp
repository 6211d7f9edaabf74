// The C API over the live stream, discovery and the default skeleton. Every entry point catches
// whatever the C++ below it throws and turns it into a status and a message: nothing but a
// status crosses into the caller.

#include "telmora.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "capi/live_stream.h"
#include "capture/capture_reader.h"
#include "capture/capture_writer.h"
#include "motion/channel_table.h"
#include "motion/retarget.h"
#include "motion/sensor_frame.h"
#include "network/discovery_service.h"
#include "network/socket.h"
#include "telmora/version.h"

using telmora::LiveStream;

struct telmora_discovery {
    telmora::DiscoveryService service{
        telmora::boundedLogWriter([](telmora::LogStream, const std::string&) {})};
};

struct telmora_server_list {
    struct Entry {
        std::string name;
        std::string ip;
        int streamPort = 0;
        std::vector<std::string> subjects;
        std::vector<const char*> subjectTexts;  // into `subjects`
    };
    std::vector<Entry> servers;
};

struct telmora_stream {
    LiveStream live;
};

struct telmora_retarget {
    telmora::Retargeter rig;
    mutable telmora::RetargetPose pose;  // the last solve's, reused
};

struct telmora_capture {
    telmora::TelmoraCapture capture;
    std::string server, subject;
    std::vector<const std::vector<std::uint8_t>*> frames;  // the stream's sensor frames
    std::vector<double> seconds;                           // each one's time after the first
    telmora::ChannelTable table;                           // solves them one at a time
};

namespace {

thread_local std::string lastError;

telmora_status fail(telmora_status status, std::string message) {
    lastError = std::move(message);
    return status;
}

// Runs `body` (which returns a status), turning anything it throws into a status.
template <typename Body>
telmora_status guarded(const char* call, Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail(TELMORA_ERROR_INTERNAL, std::string(call) + ": out of memory");
    } catch (const std::exception& error) {
        return fail(TELMORA_ERROR_INTERNAL, std::string(call) + ": " + error.what());
    } catch (...) {
        return fail(TELMORA_ERROR_INTERNAL, std::string(call) + ": unknown error");
    }
}

// Pose buffers with room for fewer bones than a pose has.
telmora_status tooFewBones(const char* call, int capacity) {
    return fail(TELMORA_ERROR_ARGUMENT, std::string(call) + ": the buffers hold " +
                                            std::to_string(capacity) + " bones, a pose has " +
                                            std::to_string(TELMORA_BONE_COUNT));
}

telmora_status nullArgument(const char* call, const char* what) {
    return fail(TELMORA_ERROR_ARGUMENT, std::string(call) + ": " + what + " is null");
}

// The default skeleton, built once; its names live as long as the library.
const std::vector<telmora::SkeletonBone>& skeletonBones() {
    static const std::vector<telmora::SkeletonBone> bones = telmora::defaultSkeletonBones();
    return bones;
}

// The default skeleton as the retargeting takes it: names, parents, rest positions.
struct PerformerSkeleton {
    std::vector<const char*> names;
    std::vector<std::int32_t> parents;
    std::vector<double> restPositions;
};
const PerformerSkeleton& performerSkeleton() {
    static const PerformerSkeleton skeleton = [] {
        PerformerSkeleton s;
        for (const telmora::SkeletonBone& bone : skeletonBones()) {
            s.names.push_back(bone.name.c_str());
            s.parents.push_back(bone.parent);
            s.restPositions.insert(s.restPositions.end(), bone.restPosition.begin(),
                                   bone.restPosition.end());
        }
        return s;
    }();
    return skeleton;
}

bool allFinite(const double* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(values[i])) return false;
    return true;
}

}  // namespace

extern "C" {

int telmora_api_version(void) {
    return TELMORA_API_VERSION;
}

const char* telmora_version(void) {
    return telmora::kVersion;
}

const char* telmora_last_error(void) {
    return lastError.c_str();
}

telmora_status telmora_skeleton_bone(int index, telmora_bone* bone) {
    return guarded("telmora_skeleton_bone", [&] {
        if (bone == nullptr) return nullArgument("telmora_skeleton_bone", "bone");
        const auto& bones = skeletonBones();
        if (index < 0 || static_cast<std::size_t>(index) >= bones.size())
            return fail(TELMORA_ERROR_ARGUMENT, "telmora_skeleton_bone: no bone " +
                                                    std::to_string(index) + " (0 to " +
                                                    std::to_string(bones.size() - 1) + ")");
        const telmora::SkeletonBone& source = bones[static_cast<std::size_t>(index)];
        bone->name = source.name.c_str();
        bone->parent = source.parent;
        std::copy(source.restPosition.begin(), source.restPosition.end(), bone->rest_position);
        return TELMORA_OK;
    });
}

telmora_status telmora_discovery_open(int port, telmora_discovery** discovery) {
    return guarded("telmora_discovery_open", [&] {
        if (discovery == nullptr) return nullArgument("telmora_discovery_open", "discovery");
        *discovery = nullptr;
        if (port < 1 || port > 65535)
            return fail(TELMORA_ERROR_ARGUMENT, "telmora_discovery_open: port " +
                                                    std::to_string(port) +
                                                    " is not between 1 and 65535");
        auto opened = std::make_unique<telmora_discovery>();
        opened->service.Start(port);
        *discovery = opened.release();
        return TELMORA_OK;
    });
}

void telmora_discovery_close(telmora_discovery* discovery) {
    if (discovery == nullptr) return;
    guarded("telmora_discovery_close", [&] {
        discovery->service.Stop();
        delete discovery;
        return TELMORA_OK;
    });
}

int telmora_discovery_listening(const telmora_discovery* discovery) {
    return discovery != nullptr && discovery->service.Listening() ? 1 : 0;
}

telmora_status telmora_discovery_servers(const telmora_discovery* discovery,
                                         telmora_server_list** list) {
    return guarded("telmora_discovery_servers", [&] {
        if (list == nullptr) return nullArgument("telmora_discovery_servers", "list");
        *list = nullptr;
        if (discovery == nullptr) return nullArgument("telmora_discovery_servers", "discovery");
        const telmora::ServerMap servers = discovery->service.GetServers();
        auto snapshot = std::make_unique<telmora_server_list>();
        snapshot->servers.reserve(servers.size());
        for (const auto& entry : servers) {
            const telmora::ServerInfo& info = entry.second;
            snapshot->servers.push_back(
                {info.serverName, info.ip, info.streamPort, info.subjects, {}});
        }
        std::sort(snapshot->servers.begin(), snapshot->servers.end(),
                  [](const auto& a, const auto& b) {
                      return std::tie(a.name, a.ip) < std::tie(b.name, b.ip);
                  });
        // The texts point into the entries once they have stopped moving.
        for (auto& server : snapshot->servers)
            for (const std::string& subject : server.subjects)
                server.subjectTexts.push_back(subject.c_str());
        *list = snapshot.release();
        return TELMORA_OK;
    });
}

int telmora_server_list_count(const telmora_server_list* list) {
    return list == nullptr ? 0 : static_cast<int>(list->servers.size());
}

telmora_status telmora_server_list_get(const telmora_server_list* list, int index,
                                       telmora_server* server) {
    return guarded("telmora_server_list_get", [&] {
        if (list == nullptr) return nullArgument("telmora_server_list_get", "list");
        if (server == nullptr) return nullArgument("telmora_server_list_get", "server");
        if (index < 0 || static_cast<std::size_t>(index) >= list->servers.size())
            return fail(TELMORA_ERROR_ARGUMENT, "telmora_server_list_get: no server " +
                                                    std::to_string(index) + " in a list of " +
                                                    std::to_string(list->servers.size()));
        const auto& entry = list->servers[static_cast<std::size_t>(index)];
        server->name = entry.name.c_str();
        server->ip = entry.ip.c_str();
        server->stream_port = entry.streamPort;
        server->subject_count = static_cast<int>(entry.subjectTexts.size());
        server->subjects = entry.subjectTexts.data();
        return TELMORA_OK;
    });
}

void telmora_server_list_free(telmora_server_list* list) {
    delete list;
}

telmora_status telmora_stream_open(const char* ip, int stream_port, const char* subject,
                                   telmora_stream** stream) {
    return guarded("telmora_stream_open", [&] {
        if (stream == nullptr) return nullArgument("telmora_stream_open", "stream");
        *stream = nullptr;
        if (ip == nullptr) return nullArgument("telmora_stream_open", "ip");
        if (subject == nullptr) return nullArgument("telmora_stream_open", "subject");
        if (stream_port < 1 || stream_port > 65535)
            return fail(TELMORA_ERROR_ARGUMENT, "telmora_stream_open: stream port " +
                                                    std::to_string(stream_port) +
                                                    " is not between 1 and 65535");
        if (!telmora::parseIpv4(ip))
            return fail(TELMORA_ERROR_NETWORK,
                        std::string("telmora_stream_open: '") + ip + "' is not an IPv4 address");
        auto opened = std::make_unique<telmora_stream>();
        opened->live.Connect(ip, static_cast<std::uint16_t>(stream_port), subject);
        *stream = opened.release();
        return TELMORA_OK;
    });
}

void telmora_stream_close(telmora_stream* stream) {
    if (stream == nullptr) return;
    guarded("telmora_stream_close", [&] {
        stream->live.Disconnect();
        delete stream;
        return TELMORA_OK;
    });
}

telmora_status telmora_stream_health(const telmora_stream* stream, telmora_health* health) {
    return guarded("telmora_stream_health", [&] {
        if (stream == nullptr) return nullArgument("telmora_stream_health", "stream");
        if (health == nullptr) return nullArgument("telmora_stream_health", "health");
        const telmora::StreamHealthSnapshot figures = stream->live.Health();
        health->rate_hz = figures.rateHz;
        health->last_frame_age = figures.silenceSeconds;
        health->any_frame = figures.anyFrame ? 1 : 0;
        health->stale = figures.stale ? 1 : 0;
        health->ended = stream->live.ended() ? 1 : 0;
        health->frames = figures.framesAccepted;
        health->refused = figures.refused();
        health->gaps = figures.gapCount;
        health->longest_gap = figures.longestGapSeconds;
        health->stale_seconds = stream->live.staleSeconds();
        return TELMORA_OK;
    });
}

telmora_status telmora_stream_set_stale_seconds(telmora_stream* stream, double seconds) {
    return guarded("telmora_stream_set_stale_seconds", [&] {
        if (stream == nullptr) return nullArgument("telmora_stream_set_stale_seconds", "stream");
        if (!std::isfinite(seconds) || seconds <= 0.0)
            return fail(TELMORA_ERROR_ARGUMENT,
                        "telmora_stream_set_stale_seconds: the stale time must be a positive "
                        "number of seconds");
        stream->live.SetStaleSeconds(seconds);
        return TELMORA_OK;
    });
}

telmora_status telmora_stream_pose(const telmora_stream* stream, uint64_t* sequence,
                                   double* translations, double* rotations, int bone_capacity) {
    return guarded("telmora_stream_pose", [&] {
        if (stream == nullptr) return nullArgument("telmora_stream_pose", "stream");
        if (sequence == nullptr) return nullArgument("telmora_stream_pose", "sequence");
        if (translations == nullptr) return nullArgument("telmora_stream_pose", "translations");
        if (rotations == nullptr) return nullArgument("telmora_stream_pose", "rotations");
        if (bone_capacity < TELMORA_BONE_COUNT)
            return tooFewBones("telmora_stream_pose", bone_capacity);
        stream->live.CopyPose(sequence, translations, rotations, TELMORA_BONE_COUNT);
        return TELMORA_OK;
    });
}

telmora_status telmora_armature_pose(int bone_count, const double* rest_matrices,
                                     const int* parents, const double* translations,
                                     const double* rotations, double* locations,
                                     double* quaternions) {
    return guarded("telmora_armature_pose", [&] {
        const char* call = "telmora_armature_pose";
        if (bone_count < 0)
            return fail(TELMORA_ERROR_ARGUMENT, "telmora_armature_pose: a negative bone count");
        if (bone_count == 0) return TELMORA_OK;
        if (rest_matrices == nullptr) return nullArgument(call, "rest_matrices");
        if (parents == nullptr) return nullArgument(call, "parents");
        if (translations == nullptr) return nullArgument(call, "translations");
        if (rotations == nullptr) return nullArgument(call, "rotations");
        if (locations == nullptr) return nullArgument(call, "locations");
        if (quaternions == nullptr) return nullArgument(call, "quaternions");
        const auto count = static_cast<std::size_t>(bone_count);
        for (std::size_t b = 0; b < count; ++b)
            if (parents[b] < -1 || parents[b] >= static_cast<int>(b))
                return fail(TELMORA_ERROR_ARGUMENT,
                            "telmora_armature_pose: bone " + std::to_string(b) + "'s parent " +
                                std::to_string(parents[b]) + " is not a bone before it");
        telmora::armaturePose(count, rest_matrices, parents, translations, rotations, locations,
                              quaternions);
        return TELMORA_OK;
    });
}

telmora_status telmora_retarget_calibrate(int bone_count, const int* parents, const int* sources,
                                          const double* rest_matrices,
                                          const double* calibration_poses,
                                          const double* object_matrix,
                                          telmora_retarget** retarget) {
    return guarded("telmora_retarget_calibrate", [&] {
        const char* call = "telmora_retarget_calibrate";
        if (retarget == nullptr) return nullArgument(call, "retarget");
        *retarget = nullptr;
        if (bone_count <= 0) return fail(TELMORA_ERROR_INPUT, "The rig has no bones");
        if (parents == nullptr) return nullArgument(call, "parents");
        if (sources == nullptr) return nullArgument(call, "sources");
        if (rest_matrices == nullptr) return nullArgument(call, "rest_matrices");
        if (calibration_poses == nullptr) return nullArgument(call, "calibration_poses");
        if (object_matrix == nullptr) return nullArgument(call, "object_matrix");
        const auto count = static_cast<std::size_t>(bone_count);
        if (!allFinite(rest_matrices, 16 * count) || !allFinite(calibration_poses, 16 * count) ||
            !allFinite(object_matrix, 16))
            return fail(TELMORA_ERROR_INPUT, "The rig's matrices are not all finite");
        const PerformerSkeleton& performer = performerSkeleton();
        telmora::RetargetSetup setup;
        setup.boneCount = bone_count;
        setup.parents = parents;
        setup.sources = sources;
        setup.restMatrices = rest_matrices;
        setup.calibrationPoses = calibration_poses;
        setup.objectMatrix = object_matrix;
        setup.performerBoneCount = static_cast<std::int32_t>(performer.names.size());
        setup.performerNames = performer.names.data();
        setup.performerParents = performer.parents.data();
        setup.performerRestPositions = performer.restPositions.data();
        std::string error;
        std::optional<telmora::Retargeter> rig = telmora::Retargeter::Calibrate(setup, error);
        if (!rig) return fail(TELMORA_ERROR_INPUT, error);
        *retarget = new telmora_retarget{std::move(*rig), {}};
        return TELMORA_OK;
    });
}

void telmora_retarget_free(telmora_retarget* retarget) {
    delete retarget;
}

double telmora_retarget_scale(const telmora_retarget* retarget) {
    return retarget == nullptr ? 0.0 : retarget->rig.scale();
}

telmora_status telmora_retarget_solve(const telmora_retarget* retarget, const double* translations,
                                      const double* rotations, int root_motion, int foot_planting,
                                      double* locations, double* quaternions,
                                      double* object_offset) {
    return guarded("telmora_retarget_solve", [&] {
        const char* call = "telmora_retarget_solve";
        if (retarget == nullptr) return nullArgument(call, "retarget");
        if (translations == nullptr) return nullArgument(call, "translations");
        if (rotations == nullptr) return nullArgument(call, "rotations");
        if (locations == nullptr) return nullArgument(call, "locations");
        if (quaternions == nullptr) return nullArgument(call, "quaternions");
        if (root_motion < TELMORA_ROOT_FULL || root_motion > TELMORA_ROOT_OBJECT)
            return fail(TELMORA_ERROR_ARGUMENT,
                        "telmora_retarget_solve: root motion " + std::to_string(root_motion) +
                            " is none of full (0), in place (1) or object (2)");
        if (!allFinite(translations, 3 * TELMORA_BONE_COUNT) ||
            !allFinite(rotations, 4 * TELMORA_BONE_COUNT))
            return fail(TELMORA_ERROR_ARGUMENT,
                        "telmora_retarget_solve: the performer's pose is not all finite");
        telmora::RetargetFrame frame;
        frame.translations = translations;
        frame.rotations = rotations;
        frame.rootMotion = static_cast<telmora::RootMotion>(root_motion);
        frame.footPlanting = foot_planting != 0;
        telmora::RetargetPose& pose = retarget->pose;
        retarget->rig.Solve(frame, pose);
        for (std::size_t b = 0; b < pose.locations.size(); ++b) {
            std::copy(pose.locations[b].begin(), pose.locations[b].end(), locations + 3 * b);
            std::copy(pose.rotations[b].begin(), pose.rotations[b].end(), quaternions + 4 * b);
        }
        if (object_offset != nullptr)
            std::copy(pose.objectOffset.begin(), pose.objectOffset.end(), object_offset);
        return TELMORA_OK;
    });
}

int telmora_capture_supported(void) {
    return telmora::CaptureWriter::Available() ? 1 : 0;
}

telmora_status telmora_capture_open(const char* path, const char* server, const char* subject,
                                    telmora_capture** capture) {
    return guarded("telmora_capture_open", [&] {
        const char* call = "telmora_capture_open";
        if (capture == nullptr) return nullArgument(call, "capture");
        *capture = nullptr;
        if (path == nullptr) return nullArgument(call, "path");
        if (!telmora::CaptureWriter::Available())
            return fail(TELMORA_ERROR_UNSUPPORTED,
                        "This build cannot read captures (it has no pcap library)");
        std::string error;
        std::optional<telmora::TelmoraCapture> read = telmora::readTelmoraCapture(path, error);
        if (!read) return fail(TELMORA_ERROR_INPUT, error);
        auto opened = std::make_unique<telmora_capture>();
        opened->capture = std::move(*read);
        const telmora::CapturedStream* stream =
            telmora::pickStream(opened->capture, server != nullptr ? server : "",
                                subject != nullptr ? subject : "", error);
        if (stream == nullptr) return fail(TELMORA_ERROR_INPUT, error);
        opened->server = stream->serverName;
        opened->subject = stream->subject;
        const std::vector<std::int64_t> offsets = telmora::streamOffsets(opened->capture, *stream);
        for (std::size_t i = 0; i < stream->datagrams.size(); ++i) {
            const auto& bytes = opened->capture.file.datagrams[stream->datagrams[i]].bytes;
            if (!telmora::isCompleteSensorFrame(bytes)) continue;
            opened->frames.push_back(&bytes);
            opened->seconds.push_back(static_cast<double>(offsets[i]) / 1e6);
        }
        opened->table.SetupChannels();
        *capture = opened.release();
        return TELMORA_OK;
    });
}

void telmora_capture_close(telmora_capture* capture) {
    delete capture;
}

const char* telmora_capture_server(const telmora_capture* capture) {
    return capture == nullptr ? "" : capture->server.c_str();
}

const char* telmora_capture_subject(const telmora_capture* capture) {
    return capture == nullptr ? "" : capture->subject.c_str();
}

int telmora_capture_frame_count(const telmora_capture* capture) {
    return capture == nullptr ? 0 : static_cast<int>(capture->frames.size());
}

telmora_status telmora_capture_frame_times(const telmora_capture* capture, double* seconds,
                                           int capacity) {
    return guarded("telmora_capture_frame_times", [&] {
        if (capture == nullptr) return nullArgument("telmora_capture_frame_times", "capture");
        if (seconds == nullptr) return nullArgument("telmora_capture_frame_times", "seconds");
        if (capacity < static_cast<int>(capture->seconds.size()))
            return fail(TELMORA_ERROR_ARGUMENT,
                        "telmora_capture_frame_times: room for " + std::to_string(capacity) +
                            " times, the stream has " + std::to_string(capture->seconds.size()));
        std::copy(capture->seconds.begin(), capture->seconds.end(), seconds);
        return TELMORA_OK;
    });
}

telmora_status telmora_capture_pose(telmora_capture* capture, int index, double* translations,
                                    double* rotations, int bone_capacity) {
    return guarded("telmora_capture_pose", [&] {
        const char* call = "telmora_capture_pose";
        if (capture == nullptr) return nullArgument(call, "capture");
        if (translations == nullptr) return nullArgument(call, "translations");
        if (rotations == nullptr) return nullArgument(call, "rotations");
        if (bone_capacity < TELMORA_BONE_COUNT) return tooFewBones(call, bone_capacity);
        if (index < 0 || static_cast<std::size_t>(index) >= capture->frames.size())
            return fail(TELMORA_ERROR_ARGUMENT, "telmora_capture_pose: no frame " +
                                                    std::to_string(index) + " in a stream of " +
                                                    std::to_string(capture->frames.size()));
        const auto result =
            capture->table.HandlePacket(*capture->frames[static_cast<std::size_t>(index)]);
        if (result != telmora::ChannelTable::PacketResult::kPublished)
            return fail(TELMORA_ERROR_INPUT,
                        "Frame " + std::to_string(index) + " of the capture cannot be solved");
        telmora::copyPose(capture->table, translations, rotations, TELMORA_BONE_COUNT);
        return TELMORA_OK;
    });
}

}  // extern "C"
