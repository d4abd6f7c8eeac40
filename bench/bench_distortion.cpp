// The distortion stage per 128-frame block at 48000 Hz, with its oversampling
// pair (up-sample, the stage on 512 samples, down-sample), for each mode;
// x_realtime is audio seconds processed per second (shown with a /s unit).
#include "dsp/BackgroundWorker.h"
#include "dsp/Oversampler.h"
#include "dsp/UserMessages.h"
#include "effects/tone/Distortion.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

void runDistortion(benchmark::State& state, int mode, bool saturation)
{
    dsp::BackgroundWorker worker;
    SilentMessages messages;
    EffectContext context{worker, messages};
    DistortionParams params;
    params.dist_mode = mode;
    params.dist_fbon = saturation ? 1 : 0;
    params.dist_drive = 700.0;
    auto unit = std::make_unique<Distortion>(params, context);
    unit->start(kRate);
    dsp::Oversampler oversampler;
    oversampler.setup(kRate);
    // One second of a decaying chord, computed outside the timed loop.
    std::vector<double> input(kRate);
    for (int i = 0; i < kRate; ++i) {
        const double t = static_cast<double>(i) / kRate;
        input[static_cast<size_t>(i)] =
            0.4 * std::exp(-2.0 * t) *
            (std::sin(2.0 * 3.141592653589793 * 82.4 * t) + std::sin(2.0 * 3.141592653589793 * 123.5 * t) +
             std::sin(2.0 * 3.141592653589793 * 164.8 * t));
    }
    alignas(64) double work[kFrames];
    alignas(64) double over[4 * kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i) work[i] = input[pos + static_cast<size_t>(i)];
        pos = (pos + kFrames) % (input.size() - kFrames);
        oversampler.upsample(over, work, kFrames);
        unit->process(over, 4 * kFrames);
        oversampler.downsample(work, over, kFrames);
        benchmark::DoNotOptimize(work[0]);
    }
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] =
        benchmark::Counter(blockSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_DistortionOverdrive(benchmark::State& s) { runDistortion(s, kOverdrive, false); }
void BM_DistortionOverdriveSaturation(benchmark::State& s) { runDistortion(s, kOverdrive, true); }
void BM_DistortionDistortion(benchmark::State& s) { runDistortion(s, kDistortion, false); }
void BM_DistortionDistortionSaturation(benchmark::State& s) { runDistortion(s, kDistortion, true); }
void BM_DistortionMetal(benchmark::State& s) { runDistortion(s, kMetalDistortion, false); }
void BM_DistortionMetalSaturation(benchmark::State& s) { runDistortion(s, kMetalDistortion, true); }

// The overdrive table job alone (what the background worker does per drive change).
void BM_OverdriveTableBuild(benchmark::State& state)
{
    auto table = std::make_unique<OverdriveTable>();
    int clip = 0;
    for (auto _ : state) {
        table->build(500.0, clip, [] {});
        clip = (clip + 1) % 4;
        benchmark::DoNotOptimize(table->entry(1999));
    }
}

} // namespace

BENCHMARK(BM_DistortionOverdrive);
BENCHMARK(BM_DistortionOverdriveSaturation);
BENCHMARK(BM_DistortionDistortion);
BENCHMARK(BM_DistortionDistortionSaturation);
BENCHMARK(BM_DistortionMetal);
BENCHMARK(BM_DistortionMetalSaturation);
BENCHMARK(BM_OverdriveTableBuild)->Unit(benchmark::kMillisecond);
