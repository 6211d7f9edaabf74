// The stand-in host's plot: a device of 65 bones (130 nodes, 65 templates in a chain of
// parents) with a 60 s take recorded at 60 Hz, plotted onto its 65 bound models at 60 Hz.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "fbhost/host.h"
#include "fbsdk/fbsdk.h"

namespace {

using namespace ORSDK2026;
using fbhost::Host;

constexpr int kBones = 65;
constexpr int kFrames = 60 * 60;

struct BoneDevice : FBDevice {
    BoneDevice() : FBDevice("bones") {
        for (int i = 0; i < kBones; ++i) {
            const std::string name = "Bone" + std::to_string(i);
            auto t = std::make_unique<FBModelTemplate>("B", name.c_str(), kFBModelTemplateSkeleton);
            FBAnimationNode* tn =
                AnimationNodeOutCreate(i, (name + " T").c_str(), "Lcl Translation");
            FBAnimationNode* rn = AnimationNodeOutCreate(i, (name + " R").c_str(), "Lcl Rotation");
            t->Bindings.Add(tn);
            t->Bindings.Add(rn);
            // A parent for every fourth bone's children: a shallow, wide tree like a skeleton.
            if (i == 0) {
                ModelTemplate.Add(t.get());
            } else {
                templates[static_cast<std::size_t>((i - 1) / 4)]->Children.Add(t.get());
            }
            nodes.push_back(tn);
            nodes.push_back(rn);
            templates.push_back(std::move(t));
        }
    }
    std::vector<std::unique_ptr<FBModelTemplate>> templates;
    std::vector<FBAnimationNode*> nodes;
};

void BM_PlotSixtySecondsAtSixtyHertz(benchmark::State& state) {
    Host& host = Host::instance();
    host.reset();
    BoneDevice device;
    const FBTime frame = FBTime(0, 0, 1) / 60.0;
    for (FBAnimationNode* node : device.nodes) {
        double zero[3] = {0, 0, 0};
        node->WriteGlobalData(zero);
        for (int f = 0; f < kFrames; ++f) {
            double v[3] = {f * 0.01, 1.0, -f * 0.02};
            node->KeyAdd(frame * static_cast<double>(f), v);
        }
    }
    host.bindTemplates(&device);
    for (FBModel* m : host.models()) m->Selected = true;
    host.currentTake()->LocalTimeSpan = FBTimeSpan(FBTime(0), frame * (kFrames - 1.0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(host.currentTake()->PlotTakeOnSelected(frame));
    }
    host.unbindTemplates(&device);
    host.reset();
}
BENCHMARK(BM_PlotSixtySecondsAtSixtyHertz)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
