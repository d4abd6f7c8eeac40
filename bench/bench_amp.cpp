// The amp simulator per 128-frame block at 48000 Hz, on one core (every
// convolver kept on the calling thread), with its real-time factor
// (x_realtime: seconds of sound per second).
//
//   AmpStage/...        the oversampled middle alone (512 samples): the power
//                       stage, then with the preamp boost and the speaker model
//   Cabinet/N           the cabinet convolution of an N-tap response
//                       (partitioned, by FFT)
//   WholeStage/N/...    what the chain runs with the amp on: the pre-stage,
//                       up-sampling, the amp, down-sampling and an N-tap
//                       cabinet; "default" as a run starts (no preamp boost,
//                       no speaker model), "preamp+speaker" with both (and so
//                       the correction filter too)
#include "dsp/BackgroundWorker.h"
#include "dsp/Oversampler.h"
#include "dsp/UserMessages.h"
#include "effects/tone/AmpSimulator.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace stravik;
using effects::AmpSimulator;
using effects::CabinetConvolver;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

// A guitar-like test signal: a decaying pluck repeated, one second long.
std::vector<double> testSignal()
{
    std::vector<double> s(kRate);
    for (int i = 0; i < kRate; ++i) {
        const double t = static_cast<double>(i % (kRate / 4)) / kRate;
        s[static_cast<size_t>(i)] = 0.6 * std::exp(-6.0 * t)
                                    * (std::sin(2.0 * M_PI * 110.0 * t) + 0.5 * std::sin(2.0 * M_PI * 330.0 * t));
    }
    return s;
}

std::vector<double> randomResponse(int taps)
{
    std::mt19937 rng(5);
    std::normal_distribution<double> d(0.0, 1.0);
    std::vector<double> h(static_cast<size_t>(taps));
    for (int i = 0; i < taps; ++i) h[static_cast<size_t>(i)] = d(rng) * std::exp(-5.0 * i / taps);
    return h;
}

struct Rig {
    SilentMessages messages;
    dsp::BackgroundWorker worker;
    effects::AmpParams params;
    effects::EffectContext context{worker, messages};
    std::unique_ptr<AmpSimulator> amp;
    dsp::Oversampler oversampler;

    explicit Rig(int taps, bool preampAndSpeaker)
    {
        params.spkcab_enabled = 1;
        params.preamp_stage = preampAndSpeaker ? 1 : 0;
        params.spk_dist_enabled = preampAndSpeaker ? 1 : 0;
        params.spk_gain = 6;
        amp = std::make_unique<AmpSimulator>(params, context);
        amp->start(kRate);
        const std::vector<double> h = randomResponse(taps);
        amp->cabinet().loadSamples(h.data(), taps, kRate, kRate, taps);
        oversampler.setup(kRate);
        // One core: nothing is handed to the pool's helpers.
        amp->speakerCorrection().setWorkerLimit(0);
        oversampler.interpolator().setWorkerLimit(0);
        oversampler.decimator().setWorkerLimit(0);
    }
};

void realtime(benchmark::State& state)
{
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(kFrames) / kRate * state.iterations(), benchmark::Counter::kIsRate);
}

void ampStage(benchmark::State& state, bool preampAndSpeaker)
{
    Rig rig(4000, preampAndSpeaker);
    const std::vector<double> in = testSignal();
    double buf[4 * kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < 4 * kFrames; ++i) buf[i] = in[(pos + static_cast<size_t>(i) / 4) % in.size()];
        pos = (pos + kFrames) % in.size();
        rig.amp->processAmp(buf, 4 * kFrames);
        benchmark::DoNotOptimize(buf[0]);
    }
    realtime(state);
}

void cabinet(benchmark::State& state, int taps)
{
    Rig rig(taps, false);
    CabinetConvolver& cab = rig.amp->cabinet();
    const std::vector<double> h = randomResponse(taps);
    cab.loadSamples(h.data(), taps, kRate, kRate, taps);
    const std::vector<double> in = testSignal();
    double buf[kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i) buf[i] = in[(pos + static_cast<size_t>(i)) % in.size()];
        pos = (pos + kFrames) % in.size();
        cab.process(buf, kFrames);
        benchmark::DoNotOptimize(buf[0]);
    }
    realtime(state);
}

void wholeStage(benchmark::State& state, int taps, bool preampAndSpeaker)
{
    Rig rig(taps, preampAndSpeaker);
    const std::vector<double> in = testSignal();
    double work[kFrames];
    double over[4 * kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i) work[i] = in[(pos + static_cast<size_t>(i)) % in.size()];
        pos = (pos + kFrames) % in.size();
        rig.amp->processPreStage(work, kFrames);
        rig.oversampler.upsample(over, work, kFrames);
        rig.amp->processAmp(over, 4 * kFrames);
        rig.oversampler.downsample(work, over, kFrames);
        rig.amp->processCabinet(work, kFrames);
        benchmark::DoNotOptimize(work[0]);
    }
    realtime(state);
}

int registerAll()
{
    benchmark::RegisterBenchmark("AmpStage/power", [](benchmark::State& s) { ampStage(s, false); });
    benchmark::RegisterBenchmark("AmpStage/preamp+speaker", [](benchmark::State& s) { ampStage(s, true); });
    for (int taps : {256, 512, 1024, 4000, 16000})
        benchmark::RegisterBenchmark(("Cabinet/" + std::to_string(taps)).c_str(),
                                     [taps](benchmark::State& s) { cabinet(s, taps); });
    for (int taps : {4000, 16000})
        for (bool all : {false, true})
            benchmark::RegisterBenchmark(("WholeStage/" + std::to_string(taps) + (all ? "/preamp+speaker" : "/default")).c_str(),
                                         [taps, all](benchmark::State& s) { wholeStage(s, taps, all); });
    return 0;
}

const int registered = registerAll();

} // namespace
