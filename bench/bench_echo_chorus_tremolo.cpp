// The echo, chorus and tremolo stages per 128-frame block at 48000 Hz, in
// their mono and stereo forms, with their real-time factor (x_realtime: audio
// seconds processed per second; shown with a /s unit).
#include "dsp/BackgroundWorker.h"
#include "dsp/UserMessages.h"
#include "effects/modulation/Chorus.h"
#include "effects/modulation/Echo.h"
#include "effects/modulation/Tremolo.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace stravik;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

struct Signal {
    // One second of a 220 Hz tone, mono and as interleaved frames, computed
    // outside the timed loop.
    std::vector<double> mono, stereo;
    size_t pos = 0;
    Signal() : mono(kRate), stereo(2 * kRate)
    {
        for (int i = 0; i < kRate; ++i) {
            mono[i] = 0.8 * std::sin(2.0 * 3.141592653589793 * 220.0 * i / kRate);
            stereo[2 * i] = stereo[2 * i + 1] = mono[i];
        }
    }
    void nextMono(double* dst)
    {
        std::memcpy(dst, mono.data() + pos, sizeof(double) * kFrames);
        pos = (pos + kFrames) % (mono.size() - kFrames);
    }
    void nextStereo(double* dst)
    {
        std::memcpy(dst, stereo.data() + 2 * pos, sizeof(double) * 2 * kFrames);
        pos = (pos + kFrames) % (mono.size() - kFrames);
    }
};

void setRealtimeCounter(benchmark::State& state)
{
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] = benchmark::Counter(blockSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

struct Context {
    dsp::BackgroundWorker worker;
    SilentMessages messages;
    effects::EffectContext context{worker, messages};
};

enum class EchoForm { Mono, MonoTwoTapLowPass, Spread, MonoOnStereo };

void runEcho(benchmark::State& state, EchoForm form)
{
    Context c;
    effects::EchoParams params;
    params.echo_delay = 0.35f;
    params.echo_2tapdel = 0.12f;
    const bool extras = form != EchoForm::Mono;
    params.echo_2tap = extras ? 1 : 0;
    params.echo_lpass = extras ? 1 : 0;
    params.echo_lpfreq = 3000.0f;
    auto echo = std::make_unique<effects::Echo>(params, c.context);
    echo->start(kRate);
    Signal s;
    double buf[2 * kFrames];
    for (auto _ : state) {
        switch (form) {
        case EchoForm::Mono:
        case EchoForm::MonoTwoTapLowPass:
            s.nextMono(buf);
            echo->processMono(buf, kFrames);
            break;
        case EchoForm::Spread:
            s.nextStereo(buf);
            echo->processSpread(buf, kFrames);
            break;
        case EchoForm::MonoOnStereo:
            s.nextStereo(buf);
            echo->processMonoOnStereo(buf, kFrames);
            break;
        }
        benchmark::DoNotOptimize(buf[0]);
    }
    setRealtimeCounter(state);
}

void runChorus(benchmark::State& state, bool stereo)
{
    Context c;
    effects::ChorusParams params;
    params.chorus_voices = static_cast<int>(state.range(0));
    params.chorus_depth = 0.004f;
    params.chorus_period = 2.0f;
    auto chorus = std::make_unique<effects::Chorus>(params, c.context);
    chorus->start(kRate);
    Signal s;
    double buf[2 * kFrames];
    for (auto _ : state) {
        if (stereo) {
            s.nextStereo(buf);
            chorus->processStereo(buf, kFrames);
        } else {
            s.nextMono(buf);
            chorus->processMono(buf, kFrames);
        }
        benchmark::DoNotOptimize(buf[0]);
    }
    setRealtimeCounter(state);
}

void runTremolo(benchmark::State& state, int shape)
{
    Context c;
    effects::TremoloParams params;
    params.trem_lfo = shape;
    effects::Tremolo trem(params, c.context);
    trem.start(kRate);
    Signal s;
    double buf[kFrames];
    for (auto _ : state) {
        s.nextMono(buf);
        trem.process(buf, kFrames);
        benchmark::DoNotOptimize(buf[0]);
    }
    setRealtimeCounter(state);
}

void BM_EchoMono(benchmark::State& s) { runEcho(s, EchoForm::Mono); }
void BM_EchoMonoTwoTapLowPass(benchmark::State& s) { runEcho(s, EchoForm::MonoTwoTapLowPass); }
void BM_EchoSpread(benchmark::State& s) { runEcho(s, EchoForm::Spread); }
void BM_EchoMonoOnStereo(benchmark::State& s) { runEcho(s, EchoForm::MonoOnStereo); }
// Argument: the number of voices.
void BM_ChorusMono(benchmark::State& s) { runChorus(s, false); }
void BM_ChorusStereo(benchmark::State& s) { runChorus(s, true); }
void BM_TremoloSine(benchmark::State& s) { runTremolo(s, effects::Tremolo::kSine); }
void BM_TremoloTriangle(benchmark::State& s) { runTremolo(s, effects::Tremolo::kTriangle); }
void BM_TremoloSquare(benchmark::State& s) { runTremolo(s, effects::Tremolo::kSquare); }

} // namespace

BENCHMARK(BM_EchoMono);
BENCHMARK(BM_EchoMonoTwoTapLowPass);
BENCHMARK(BM_EchoSpread);
BENCHMARK(BM_EchoMonoOnStereo);
BENCHMARK(BM_ChorusMono)->Arg(1)->Arg(3);
BENCHMARK(BM_ChorusStereo)->Arg(1)->Arg(3);
BENCHMARK(BM_TremoloSine);
BENCHMARK(BM_TremoloTriangle);
BENCHMARK(BM_TremoloSquare);
