// The whole chain per 128-frame block at 48000 Hz, with its real-time factor
// (x_realtime: audio seconds processed per second; shown with a /s unit).
#include "dsp/UserMessages.h"
#include "engine/Engine.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace stravik;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

void runChain(benchmark::State& state, bool stereo, bool limiter, bool distAndAmp, bool everything = false)
{
    SilentMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    engine->settings.stereo = stereo ? 1 : 0;
    engine->settings.EnableLimiter = limiter ? 1 : 0;
    engine->settings.BeepOnStart = 0;
    engine->params.dist.dist_enabled = distAndAmp ? 1 : 0;
    engine->params.amp.spkcab_enabled = distAndAmp ? 1 : 0;
    if (everything) {
        // Every stage at once (both wahs cannot run together: the auto wah).
        auto& p = engine->params;
        p.io.nf_enabled = p.io.ictrl_enabled = p.io.octrl_enabled = p.io.io_hiss = p.io.io_50hz = 1;
        p.compr.icompr_enabled = p.compr.ocompr_enabled = 1;
        p.swell.swell_enabled = 1;
        p.pitch.pitch_enabled = 1;
        p.wah.wah_enabled = 1;
        p.phaser.phaser_enabled = 1;
        p.amp.preamp_stage = p.amp.spk_dist_enabled = p.amp.actrl_enabled = 1;
        p.trem.trem_enabled = 1;
        p.chorus.chorus_enabled = p.chorus.chorus_stereo = 1;
        p.chorus.chorus_voices = 3;
        p.echo.echo_enabled = p.echo.echo_2tap = 1;
        p.rev.rev_enabled = 1;
    }
    engine->beginRun(kRate);
    // One second of a 220 Hz tone, computed outside the timed loop.
    std::vector<double> tone(kRate);
    for (int i = 0; i < kRate; ++i) tone[i] = 0.8 * std::sin(2.0 * 3.141592653589793 * 220.0 * i / kRate);
    size_t pos = 0;
    for (auto _ : state) {
        std::memcpy(engine->WorkBuffer, tone.data() + pos, sizeof(double) * kFrames);
        pos = (pos + kFrames) % (tone.size() - kFrames);
        engine->ProcessBlock(kFrames);
        benchmark::DoNotOptimize(engine->OutputSamples[0]);
    }
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] = benchmark::Counter(blockSeconds * state.iterations(),
                                                      benchmark::Counter::kIsRate);
}

void BM_ProcessBlockAllOffMono(benchmark::State& s) { runChain(s, false, false, false); }
void BM_ProcessBlockAllOffStereoLimiter(benchmark::State& s) { runChain(s, true, true, false); }
// With the distortion and amp sections on, both oversampler pairs run.
void BM_ProcessBlockOversampledSections(benchmark::State& s) { runChain(s, false, false, true); }
// Every effect on, stereo, limiter: the heaviest block the program can run
// (the cabinet at its default 4000 samples).
void BM_ProcessBlockEveryEffectStereo(benchmark::State& s) { runChain(s, true, true, true, true); }

} // namespace

BENCHMARK(BM_ProcessBlockAllOffMono);
BENCHMARK(BM_ProcessBlockAllOffStereoLimiter);
BENCHMARK(BM_ProcessBlockOversampledSections);
BENCHMARK(BM_ProcessBlockEveryEffectStereo);
