// Writing a take at 60 Hz of the 65-joint default skeleton, 1, 5 and 10 minutes long, to each
// export file: the time the host harness spends after plotting. The take is made up (every joint
// swinging) but has the shape of a plotted one; the files go to a temporary folder, removed
// afterwards.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <map>
#include <string>

#include "motion/skeleton.h"
#include "tools/take_export/take_export.h"

namespace {

using telmora::Take;

constexpr double kRate = 60.0;

Take madeUpTake(double seconds) {
    {
        const telmora::Skeleton& skeleton = telmora::defaultSkeleton().skeleton;
        Take made;
        made.framePeriod = 1.0 / kRate;
        for (int b = 0; b < skeleton.boneCount; ++b)
            made.joints.push_back({skeleton.bones[b].name, skeleton.bones[b].parent});
        const int keys = static_cast<int>(seconds * kRate);
        for (int k = 0; k < keys; ++k) {
            const double t = k / kRate;
            std::vector<telmora::JointPose> poses;
            for (int b = 0; b < skeleton.boneCount; ++b) {
                const glm::mat4 rest = telmora::boneLocalMatrix(skeleton, b, true);
                glm::dvec3 translation(rest[3]);
                if (b == 0) translation.z += 100.0 * t;  // walking forward a metre a second
                poses.push_back({translation, glm::dvec3(30.0 * std::sin(6.0 * t + b),
                                                         20.0 * std::sin(3.0 * t + 2.0 * b),
                                                         200.0 * std::sin(0.5 * t + b))});
            }
            made.times.push_back(t);
            made.poses.push_back(std::move(poses));
        }
        return made;
    }
}

// The take of `minutes`, made once.
const Take& takeOf(int minutes) {
    static std::map<int, Take> takes;
    auto found = takes.find(minutes);
    if (found == takes.end()) found = takes.emplace(minutes, madeUpTake(60.0 * minutes)).first;
    return found->second;
}

// Every key of every joint as the harness's CSV rows (the local values stand in for the recorded
// global ones; the writer does not look at them).
std::vector<telmora::TakeCsvRow> csvRows(const Take& take) {
    std::vector<telmora::TakeCsvRow> rows;
    for (std::size_t k = 0; k < take.times.size(); ++k)
        for (std::size_t j = 0; j < take.joints.size(); ++j)
            rows.push_back({take.times[k], take.joints[j].name, take.poses[k][j].translation,
                            take.poses[k][j].rotation});
    return rows;
}

class ExportFolder {
public:
    ExportFolder()
        : path_(std::filesystem::temp_directory_path() /
                ("telmora-take-bench-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path_);
    }
    ~ExportFolder() { std::filesystem::remove_all(path_); }
    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

template <typename Write>
void writeRepeatedly(benchmark::State& state, const char* name, Write write) {
    const ExportFolder folder;
    const std::string path = folder.file(name);
    std::string error;
    for (auto _ : state) {
        if (!write(path, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.counters["MB"] = std::filesystem::file_size(path) / 1e6;
}

void BM_WriteTakeGlb(benchmark::State& state) {
    const Take& take = takeOf(static_cast<int>(state.range(0)));
    writeRepeatedly(state, "take.glb", [&](const std::string& path, std::string& error) {
        return telmora::writeTakeGlb(path, take, error);
    });
}

void BM_WriteTakeBvh(benchmark::State& state) {
    const Take& take = takeOf(static_cast<int>(state.range(0)));
    writeRepeatedly(state, "take.bvh", [&](const std::string& path, std::string& error) {
        return telmora::writeTakeBvh(path, take, error);
    });
}

void BM_WriteTakeCsv(benchmark::State& state) {
    const std::vector<telmora::TakeCsvRow> rows = csvRows(takeOf(static_cast<int>(state.range(0))));
    writeRepeatedly(state, "take.csv", [&](const std::string& path, std::string& error) {
        return telmora::writeTakeCsv(path, rows, error);
    });
}

void BM_WriteTakePicture(benchmark::State& state) {
    const Take& take = takeOf(static_cast<int>(state.range(0)));
    writeRepeatedly(state, "take.png", [&](const std::string& path, std::string& error) {
        return telmora::writeTakePicture(path, take, "bench", error);
    });
}

// The argument is the take's length in minutes.
BENCHMARK(BM_WriteTakeGlb)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteTakeBvh)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteTakeCsv)->Arg(1)->Arg(5)->Arg(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteTakePicture)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
