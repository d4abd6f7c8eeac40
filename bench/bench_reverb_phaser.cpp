// The reverb (mono and stereo output) and the phaser (plain and "Vintage
// analog" forms) per 128-frame block at 48000 Hz, with their real-time factor
// (x_realtime: audio seconds processed per second; shown with a /s unit).
#include "dsp/BackgroundWorker.h"
#include "dsp/UserMessages.h"
#include "effects/modulation/Phaser.h"
#include "effects/modulation/Reverb.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace stravik;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

// One second of a 220 Hz tone, computed outside the timed loops.
const std::vector<double>& tone()
{
    static const std::vector<double> t = [] {
        std::vector<double> v(kRate);
        for (int i = 0; i < kRate; ++i) v[i] = 0.5 * std::sin(2.0 * 3.141592653589793 * 220.0 * i / kRate);
        return v;
    }();
    return t;
}

void reportRate(benchmark::State& state)
{
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] = benchmark::Counter(blockSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

void runReverb(benchmark::State& state, bool stereo, bool clearEachBlock = false)
{
    SilentMessages messages;
    dsp::BackgroundWorker worker;
    effects::EffectContext context{worker, messages};
    effects::ReverbParams params; // absorption and first reflections on, as a new page has them
    auto reverb = std::make_unique<effects::Reverb>(params, context);
    reverb->start(kRate);
    double mono[kFrames];
    double out[2 * kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        std::memcpy(mono, tone().data() + pos, sizeof(mono));
        for (int i = 0; i < kFrames; ++i) out[2 * i] = out[2 * i + 1] = mono[i];
        pos = (pos + kFrames) % (tone().size() - kFrames);
        if (clearEachBlock) reverb->clear();
        reverb->process(stereo ? out : mono, mono, kFrames, stereo);
        benchmark::DoNotOptimize(stereo ? out[0] : mono[0]);
    }
    reportRate(state);
}

void runPhaser(benchmark::State& state, int analog, int stages)
{
    SilentMessages messages;
    dsp::BackgroundWorker worker;
    effects::EffectContext context{worker, messages};
    effects::PhaserParams params;
    params.phaser_filt_stages = stages;
    auto phaser = std::make_unique<effects::Phaser>(params, context);
    phaser->start(kRate);
    phaser->prepare(analog);
    double buf[kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        std::memcpy(buf, tone().data() + pos, sizeof(buf));
        pos = (pos + kFrames) % (tone().size() - kFrames);
        phaser->process(buf, kFrames);
        benchmark::DoNotOptimize(buf[0]);
    }
    reportRate(state);
}

void BM_ReverbMono(benchmark::State& s) { runReverb(s, false); }
void BM_ReverbStereo(benchmark::State& s) { runReverb(s, true); }
// The block after the reverb is switched on empties every line first: the
// cost of that one block.
void BM_ReverbStereoBlockAfterSwitchOn(benchmark::State& s) { runReverb(s, true, true); }
void BM_PhaserPlain(benchmark::State& s) { runPhaser(s, 0, 4); }
void BM_PhaserAnalog4Stages(benchmark::State& s) { runPhaser(s, 1, 4); }
void BM_PhaserAnalog10Stages(benchmark::State& s) { runPhaser(s, 1, 10); }

} // namespace

BENCHMARK(BM_ReverbMono);
BENCHMARK(BM_ReverbStereo);
BENCHMARK(BM_ReverbStereoBlockAfterSwitchOn);
BENCHMARK(BM_PhaserPlain);
BENCHMARK(BM_PhaserAnalog4Stages);
BENCHMARK(BM_PhaserAnalog10Stages);
