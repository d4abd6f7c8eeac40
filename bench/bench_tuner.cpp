// The practice tools: one tuner analysis per captured buffer (32768 samples,
// 0.74 s of audio: x_realtime says how many times faster than the capture
// fills buffers), and the metronome's click mixing per 128-frame block.
#include "dsp/UserMessages.h"
#include "engine/Settings.h"
#include "tools/Metronome.h"
#include "tools/PitchAnalyzer.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

using namespace stravik;
using namespace stravik::tools;

namespace {

void BM_TunerAnalysis(benchmark::State& state)
{
    PitchAnalyzer analyzer;
    // A string with a few harmonics, as a guitar gives.
    std::vector<int16_t> buf(PitchAnalyzer::kBufferSamples);
    for (size_t i = 0; i < buf.size(); ++i) {
        const double t = static_cast<double>(i) / PitchAnalyzer::kSampleRate;
        double x = 0.0;
        for (int k = 1; k <= 6; ++k) x += 6000.0 / k * std::sin(2.0 * 3.141592653589793 * 110.0 * k * t);
        buf[i] = static_cast<int16_t>(x);
    }
    for (auto _ : state) benchmark::DoNotOptimize(analyzer.analyse(buf.data(), buf.size()));
    const double bufferSeconds = static_cast<double>(PitchAnalyzer::kBufferSamples) / PitchAnalyzer::kSampleRate;
    state.counters["x_realtime"] =
        benchmark::Counter(bufferSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

void mixClicks(benchmark::State& state, int sound, bool stereo)
{
    constexpr int kRate = 48000;
    constexpr int kFrames = 128;
    Settings settings;
    settings.MetroSound = sound;
    settings.MetroTempo = 300.0f; // the click sounds most of the time
    settings.BeepOnStart = 0;
    SilentMessages messages;
    Metronome metronome(settings, messages);
    metronome.startRun(kRate);
    std::vector<double> block(2 * kFrames, 0.0);
    for (auto _ : state) {
        metronome.mix(block.data(), kFrames, stereo);
        benchmark::DoNotOptimize(block[0]);
    }
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] = benchmark::Counter(blockSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_ClickMixDrumMono(benchmark::State& s) { mixClicks(s, Metronome::kDrumKick, false); }
void BM_ClickMixDrumStereo(benchmark::State& s) { mixClicks(s, Metronome::kDrumKick, true); }
void BM_ClickMixBeepMono(benchmark::State& s) { mixClicks(s, Metronome::kBeep, false); }

} // namespace

BENCHMARK(BM_TunerAnalysis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClickMixDrumMono);
BENCHMARK(BM_ClickMixDrumStereo);
BENCHMARK(BM_ClickMixBeepMono);
