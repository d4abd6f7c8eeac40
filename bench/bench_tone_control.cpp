// The "IO Control" stages per 128-frame block at 48000 Hz: each equaliser
// type (three sections, the 1024-tap five-band and graphic FIRs), the noise
// gate, and the hiss and hum filters; x_realtime is audio seconds processed
// per second (shown with a /s unit). Also the curve-to-FIR design that the
// background worker runs after every equaliser change.
#include "dsp/BackgroundWorker.h"
#include "dsp/UserMessages.h"
#include "effects/tone/CurveFirDesign.h"
#include "effects/tone/Equaliser.h"
#include "effects/tone/ToneControl.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

std::vector<double> testSignal()
{
    std::vector<double> v(kRate);
    for (int i = 0; i < kRate; ++i)
        v[static_cast<size_t>(i)] = 0.3 * std::sin(2.0 * 3.141592653589793 * 196.0 * i / kRate) +
                                    0.1 * std::sin(2.0 * 3.141592653589793 * 2350.0 * i / kRate);
    return v;
}

void setRealtime(benchmark::State& state)
{
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] =
        benchmark::Counter(blockSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void runEqualiser(benchmark::State& state, int type)
{
    dsp::BackgroundWorker worker;
    SilentMessages messages;
    EffectContext context{worker, messages};
    EqualiserSettings settings;
    settings.eqtype = type;
    settings.bass = 0.8f;
    settings.treble = 0.3f;
    settings.bands[1] = 0.7f;
    auto eq = std::make_unique<Equaliser>(settings, context, 3, 4);
    eq->start(kRate);
    const auto input = testSignal();
    alignas(64) double work[kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i) work[i] = input[pos + static_cast<size_t>(i)];
        pos = (pos + kFrames) % (input.size() - kFrames);
        eq->process(work, kFrames);
        benchmark::DoNotOptimize(work[0]);
    }
    setRealtime(state);
}

void BM_EqualiserHiFi(benchmark::State& s) { runEqualiser(s, kEqHiFi); }
void BM_EqualiserAmpUk(benchmark::State& s) { runEqualiser(s, kEqAmpUk); }
void BM_EqualiserAmpUs(benchmark::State& s) { runEqualiser(s, kEqAmpUs); }
void BM_EqualiserFiveBand(benchmark::State& s) { runEqualiser(s, kEqFiveBand); }
void BM_EqualiserGraphic(benchmark::State& s) { runEqualiser(s, kEqGraphic); }

// The gate on a quiet signal (every block gated) and the input stage with
// the hiss and hum filters (equaliser off).
void runIoStage(benchmark::State& state, bool gate)
{
    dsp::BackgroundWorker worker;
    SilentMessages messages;
    EffectContext context{worker, messages};
    IoControlParams params;
    params.io_hiss = 1;
    params.io_50hz = 1;
    auto unit = std::make_unique<ToneControl>(params, context);
    unit->start(kRate);
    auto input = testSignal();
    if (gate)
        for (double& x : input) x *= 1e-4;
    alignas(64) double work[kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        for (int i = 0; i < kFrames; ++i) work[i] = input[pos + static_cast<size_t>(i)];
        pos = (pos + kFrames) % (input.size() - kFrames);
        if (gate)
            unit->processNoiseGate(work, kFrames);
        else
            unit->processInput(work, kFrames);
        benchmark::DoNotOptimize(work[0]);
    }
    setRealtime(state);
}

void BM_NoiseGate(benchmark::State& s) { runIoStage(s, true); }
void BM_HissAndHumFilters(benchmark::State& s) { runIoStage(s, false); }

void BM_CurveFirDesign(benchmark::State& state)
{
    auto designer = std::make_unique<CurveFirDesigner>();
    const double hz[5] = {100, 600, 1000, 3300, 10000};
    double db[5] = {3, -4, 8, 0, -6};
    std::vector<double> taps(CurveFirDesigner::kTaps);
    for (auto _ : state) {
        db[0] = -db[0];
        benchmark::DoNotOptimize(designer->design(hz, db, 5, kRate, taps.data()));
    }
}

} // namespace

BENCHMARK(BM_EqualiserHiFi);
BENCHMARK(BM_EqualiserAmpUk);
BENCHMARK(BM_EqualiserAmpUs);
BENCHMARK(BM_EqualiserFiveBand);
BENCHMARK(BM_EqualiserGraphic);
BENCHMARK(BM_NoiseGate);
BENCHMARK(BM_HissAndHumFilters);
BENCHMARK(BM_CurveFirDesign)->Unit(benchmark::kMillisecond);
