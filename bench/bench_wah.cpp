// The wah per 128-frame block at 48000 Hz, per filter type, with its
// real-time factor (x_realtime: audio seconds processed per second). The
// auto wah sweeps, so every block also runs the coefficient update; the
// envelope wah adds the follower.
#include "dsp/BackgroundWorker.h"
#include "dsp/UserMessages.h"
#include "effects/modulation/Wah.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;

void runWah(benchmark::State& state, int mode, bool envelope)
{
    SilentMessages messages;
    dsp::BackgroundWorker worker;
    EffectContext context{worker, messages};
    WahParams wah;
    EnvWahParams env;
    if (envelope) {
        env.ewah_enabled = 1;
        env.ewah_mode = mode;
    } else {
        wah.wah_enabled = 1;
        wah.wah_auto = kWahSweep;
        wah.wah_mode = mode;
    }
    auto unit = std::make_unique<Wah>(wah, env, context);
    unit->start(kRate);
    // One second of a plucked-sounding 110 Hz tone, computed outside the timed loop.
    std::vector<double> tone(kRate);
    for (int i = 0; i < kRate; ++i)
        tone[i] = 0.5 * std::exp(-3.0 * i / kRate) * std::sin(2.0 * 3.141592653589793 * 110.0 * i / kRate);
    double buf[kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        std::memcpy(buf, tone.data() + pos, sizeof(buf));
        pos = (pos + kFrames) % (tone.size() - kFrames);
        if (envelope) unit->followEnvelope(buf, kFrames);
        unit->process(buf, kFrames);
        benchmark::DoNotOptimize(buf[0]);
    }
    const double blockSeconds = static_cast<double>(kFrames) / kRate;
    state.counters["x_realtime"] = benchmark::Counter(blockSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_WahSweep60s70s(benchmark::State& s) { runWah(s, kWahSixties, false); }
void BM_WahSweepModern(benchmark::State& s) { runWah(s, kWahModern, false); }
void BM_WahSweepLegacy(benchmark::State& s) { runWah(s, kWahLegacy, false); }
void BM_WahSweepTalkBox(benchmark::State& s) { runWah(s, kWahTalkBox, false); }
void BM_EnvelopeWah60s70s(benchmark::State& s) { runWah(s, kWahSixties, true); }
void BM_EnvelopeWahTalkBox(benchmark::State& s) { runWah(s, kWahTalkBox, true); }

} // namespace

BENCHMARK(BM_WahSweep60s70s);
BENCHMARK(BM_WahSweepModern);
BENCHMARK(BM_WahSweepLegacy);
BENCHMARK(BM_WahSweepTalkBox);
BENCHMARK(BM_EnvelopeWah60s70s);
BENCHMARK(BM_EnvelopeWahTalkBox);
