// telmoralink_core: the Python module the Blender add-on stands on. Discovery, one subject's
// stream with its health, the latest pose and the default skeleton, all from the plug-in's own
// motion core and network layer. Every network and solving step runs on C++ threads; no call
// here waits while it holds the interpreter's lock.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <tuple>

#include "blender/module/live_stream.h"
#include "network/discovery_service.h"
#include "telmora/version.h"

namespace py = pybind11;
using namespace telmora;

namespace {

// Discovery on one port, started when made.
class Discovery {
public:
    explicit Discovery(int port)
        : service_(boundedLogWriter([](LogStream, const std::string&) {})) {
        service_.Start(port);
    }
    ~Discovery() { service_.Stop(); }
    void Stop() { service_.Stop(); }
    bool Listening() const { return service_.Listening(); }
    int Port() const { return service_.ListenPort(); }
    // The announcing servers, sorted by name and address.
    py::list Servers() const {
        const ServerMap servers = service_.GetServers();
        std::vector<const ServerInfo*> sorted;
        for (const auto& entry : servers) sorted.push_back(&entry.second);
        std::sort(sorted.begin(), sorted.end(), [](const ServerInfo* a, const ServerInfo* b) {
            return std::tie(a->serverName, a->ip) < std::tie(b->serverName, b->ip);
        });
        py::list list;
        for (const ServerInfo* server : sorted) {
            py::dict entry;
            entry["name"] = server->serverName;
            entry["ip"] = server->ip;
            entry["stream_port"] = server->streamPort;
            entry["subjects"] = server->subjects;
            list.append(entry);
        }
        return list;
    }

private:
    DiscoveryService service_;
};

py::dict healthDict(const StreamHealthSnapshot& health) {
    py::dict d;
    d["rate_hz"] = health.rateHz;
    d["last_frame_age"] = health.silenceSeconds;
    d["any_frame"] = health.anyFrame;
    d["stale"] = health.stale;
    d["frames"] = health.framesAccepted;
    d["refused"] = health.refused();
    d["gaps"] = health.gapCount;
    d["longest_gap"] = health.longestGapSeconds;
    return d;
}

}  // namespace

PYBIND11_MODULE(telmoralink_core, m) {
    m.doc() = "TelmoraLink's motion core and network layer for Blender";
    m.attr("__version__") = kVersion;
    m.attr("DEFAULT_LISTEN_PORT") = static_cast<int>(kDefaultListenPort);

    m.def(
        "default_skeleton",
        [] {
            py::list bones;
            for (const SkeletonBone& bone : defaultSkeletonBones())
                bones.append(
                    py::make_tuple(bone.name, bone.parent,
                                   py::make_tuple(bone.restPosition[0], bone.restPosition[1],
                                                  bone.restPosition[2])));
            return bones;
        },
        "The default skeleton: (name, parent index or -1, rest position in cm) per bone, "
        "parents first");

    m.def(
        "armature_pose",
        [](py::array_t<double, py::array::c_style | py::array::forcecast> restMatrices,
           const std::vector<int>& parents,
           py::array_t<double, py::array::c_style | py::array::forcecast> translations,
           py::array_t<double, py::array::c_style | py::array::forcecast> rotations) {
            const auto bones = static_cast<std::size_t>(parents.size());
            if (restMatrices.size() != static_cast<py::ssize_t>(bones * 16) ||
                translations.size() < static_cast<py::ssize_t>(bones * 3) ||
                rotations.size() < static_cast<py::ssize_t>(bones * 4))
                throw std::invalid_argument(
                    "armature_pose: rest matrices (bones x 4 x 4), translations (bones x 3) and "
                    "rotations (bones x 4) must match the parents' count");
            std::vector<std::array<double, 16>> rest(bones);
            std::vector<std::array<double, 3>> t(bones);
            std::vector<std::array<double, 4>> r(bones);
            const double* restData = restMatrices.data();
            const double* tData = translations.data();
            const double* rData = rotations.data();
            for (std::size_t b = 0; b < bones; ++b) {
                std::copy(restData + 16 * b, restData + 16 * b + 16, rest[b].begin());
                std::copy(tData + 3 * b, tData + 3 * b + 3, t[b].begin());
                std::copy(rData + 4 * b, rData + 4 * b + 4, r[b].begin());
            }
            const std::vector<BoneBasis> basis = armaturePose(rest, parents, t, r);
            py::array_t<double> locations({static_cast<py::ssize_t>(bones), py::ssize_t{3}});
            py::array_t<double> quaternions({static_cast<py::ssize_t>(bones), py::ssize_t{4}});
            auto l = locations.mutable_unchecked<2>();
            auto q = quaternions.mutable_unchecked<2>();
            for (std::size_t b = 0; b < bones; ++b) {
                const auto i = static_cast<py::ssize_t>(b);
                for (py::ssize_t c = 0; c < 3; ++c)
                    l(i, c) = basis[b].location[static_cast<std::size_t>(c)];
                for (py::ssize_t c = 0; c < 4; ++c)
                    q(i, c) = basis[b].rotation[static_cast<std::size_t>(c)];
            }
            return py::make_tuple(locations, quaternions);
        },
        py::arg("rest_matrices"), py::arg("parents"), py::arg("translations"), py::arg("rotations"),
        "Pose bones' (locations (bones x 3), rotation quaternions (bones x 4, w x y z)) that put "
        "each bone's head on its channel translation (cm, y up) and turn its rest frame by its "
        "channel rotation, as (x, -z, y) / 100 in Blender's axes");

    py::class_<Discovery>(m, "Discovery", "The Telmora servers announcing on a port")
        .def(py::init<int>(), py::arg("port") = static_cast<int>(kDefaultListenPort),
             py::call_guard<py::gil_scoped_release>())
        .def("servers", &Discovery::Servers,
             "The servers heard: dicts of name, ip, stream_port and subjects")
        .def("stop", &Discovery::Stop, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("listening", &Discovery::Listening)
        .def_property_readonly("port", &Discovery::Port);

    py::class_<LiveStream>(m, "Stream", "One subject's stream from one server")
        .def(py::init<>())
        .def("connect", &LiveStream::Connect, py::arg("ip"), py::arg("stream_port"),
             py::arg("subject"), py::call_guard<py::gil_scoped_release>())
        .def("disconnect", &LiveStream::Disconnect, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("connected", &LiveStream::connected)
        .def_property_readonly("ended", &LiveStream::ended)
        .def("set_stale_seconds", &LiveStream::SetStaleSeconds)
        .def(
            "health", [](const LiveStream& stream) { return healthDict(stream.Health()); },
            "rate_hz, last_frame_age (s), any_frame, stale, frames, refused, gaps, longest_gap")
        .def(
            "snapshot",
            [](const LiveStream& stream) {
                PoseSnapshot pose;
                {
                    py::gil_scoped_release release;
                    pose = stream.Snapshot();
                }
                const auto bones = static_cast<py::ssize_t>(pose.translations.size());
                py::array_t<double> translations({bones, py::ssize_t{3}});
                py::array_t<double> rotations({bones, py::ssize_t{4}});
                auto t = translations.mutable_unchecked<2>();
                auto r = rotations.mutable_unchecked<2>();
                for (py::ssize_t b = 0; b < bones; ++b) {
                    for (py::ssize_t c = 0; c < 3; ++c)
                        t(b, c) = pose.translations[static_cast<std::size_t>(b)][c];
                    for (py::ssize_t c = 0; c < 4; ++c)
                        r(b, c) = pose.rotations[static_cast<std::size_t>(b)][c];
                }
                return py::make_tuple(pose.sequence, translations, rotations);
            },
            "(sequence, translations (bones x 3, cm), rotations (bones x 4, w x y z)) of the "
            "latest frame, all of one frame; sequence 0 before the first");
}
