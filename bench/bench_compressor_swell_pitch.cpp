// The compressor, the volume swell and the pitch shifter per 128-frame block at
// 48000 Hz, with their real-time factors (x_realtime: audio seconds processed
// per second), and the pitch shifter's splice blocks, the expensive ones, as a
// share of the block time (pct_of_block). The splice search alone runs in each
// of its routines for comparison.
#include "effects/modulation/PitchShifter.h"
#include "effects/modulation/SpliceSearch.h"
#include "effects/tone/Compressor.h"
#include "effects/tone/VolumeSwell.h"

#include "dsp/BackgroundWorker.h"
#include "dsp/UserMessages.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <time.h>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr int kRate = 48000;
constexpr int kFrames = 128;
constexpr double kBlockSeconds = static_cast<double>(kFrames) / kRate;

// Plucked notes with harmonics, restruck every 0.4 s, as a guitar would give.
const std::vector<double>& guitar()
{
    static const std::vector<double> v = [] {
        std::vector<double> s(static_cast<size_t>(kRate) * 4);
        const double notes[] = {110.0, 146.83, 196.0, 164.81, 220.0, 261.63};
        for (size_t i = 0; i < s.size(); ++i) {
            const double t = static_cast<double>(i) / kRate;
            const int k = static_cast<int>(t / 0.4);
            const double local = t - 0.4 * k;
            double x = 0.0;
            for (int h = 1; h <= 6; ++h) x += std::sin(6.283185307179586 * notes[k % 6] * h * local) / h;
            s[i] = 0.3 * std::exp(-2.5 * local) * x;
        }
        return s;
    }();
    return v;
}

// CPU time of the calling thread. The machine is shared, so the wall clock
// around one block also counts the time other processes held the core; the
// thread's own CPU time is the block's cost on one core.
double threadSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double percentOfBlock(double seconds) { return 100.0 * seconds / kBlockSeconds; }

struct Context {
    dsp::BackgroundWorker worker;
    SilentMessages messages;
    EffectContext effect{worker, messages};
};

template <typename Process>
void runBlocks(benchmark::State& state, Process&& process)
{
    const auto& src = guitar();
    double buf[kFrames];
    size_t pos = 0;
    for (auto _ : state) {
        std::memcpy(buf, src.data() + pos, sizeof(buf));
        pos = (pos + kFrames) % (src.size() - kFrames);
        process(buf);
        benchmark::DoNotOptimize(buf[0]);
    }
    state.counters["x_realtime"] = benchmark::Counter(kBlockSeconds * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_Compressor(benchmark::State& state)
{
    Context c;
    CompressorParams p;
    p.compr_i = 0.8f;
    p.compr_treshi = -20.0f;
    p.compr_iattime = 0.01f;
    Compressor unit(p, Compressor::Which::Input, c.effect);
    unit.start(kRate);
    runBlocks(state, [&](double* b) { unit.process(b, kFrames); });
}

void BM_VolumeSwell(benchmark::State& state)
{
    Context c;
    SwellParams p;
    VolumeSwell unit(p, c.effect);
    unit.start(kRate);
    runBlocks(state, [&](double* b) { unit.process(b, kFrames); });
}

// Steady running on guitar, splice blocks and plain blocks together.
// Arguments: type, ratio in percent.
void BM_PitchShifter(benchmark::State& state)
{
    Context c;
    PitchParams p;
    p.pitch_type = static_cast<int>(state.range(0));
    p.pitch_oct = static_cast<float>(state.range(1)) / 100.0f;
    auto unit = std::make_unique<PitchShifter>(p, c.effect);
    unit->start(kRate);
    runBlocks(state, [&](double* b) { unit->process(b, kFrames); });
}

// White noise: every segment length matches about equally badly, so the
// search can give up on hardly any group of lengths. The worst case for the
// splice blocks.
const std::vector<double>& noise()
{
    static const std::vector<double> v = [] {
        std::vector<double> s(static_cast<size_t>(kRate) * 4);
        std::mt19937 gen(11);
        std::uniform_real_distribution<double> u(-0.5, 0.5);
        for (double& x : s) x = u(gen);
        return s;
    }();
    return v;
}

// Ten seconds through type 4 (the longest segments), every block timed in
// CPU time: the splice blocks' median, 99th percentile and worst as a share
// of the block time. Arguments: the ratio in percent; the signal (0 guitar,
// 1 white noise); the search (1 the routine this machine uses, 0 the
// portable one).
void BM_PitchSpliceBlocksType4(benchmark::State& state)
{
    Context c;
    PitchParams p;
    p.pitch_type = 4;
    p.pitch_oct = static_cast<float>(state.range(0)) / 100.0f;
    const auto& src = state.range(1) == 0 ? guitar() : noise();
    std::vector<double> spliceTimes;
    spliceTimes.reserve(4096);
    for (auto _ : state) {
        auto unit = std::make_unique<PitchShifter>(p, c.effect);
        unit->start(kRate);
        if (state.range(2) == 0) unit->setSearch(&splice::bestSpliceScalar);
        double buf[kFrames];
        spliceTimes.clear();
        long splices = 0;
        double elapsed = 0.0;
        for (int blk = 0; blk < 10 * kRate / kFrames; ++blk) {
            std::memcpy(buf, src.data() + (static_cast<size_t>(blk) * kFrames) % (src.size() - kFrames), sizeof(buf));
            const double t0 = threadSeconds();
            unit->process(buf, kFrames);
            const double s = threadSeconds() - t0;
            elapsed += s;
            const long now = unit->stats().splices;
            if (now != splices) spliceTimes.push_back(s);
            splices = now;
        }
        state.SetIterationTime(elapsed);
    }
    std::sort(spliceTimes.begin(), spliceTimes.end());
    if (!spliceTimes.empty()) {
        state.counters["splice_blocks"] = static_cast<double>(spliceTimes.size());
        state.counters["median_pct_of_block"] = percentOfBlock(spliceTimes[spliceTimes.size() / 2]);
        state.counters["p99_pct_of_block"] = percentOfBlock(spliceTimes[spliceTimes.size() * 99 / 100]);
        state.counters["worst_pct_of_block"] = percentOfBlock(spliceTimes.back());
    }
    state.counters["avx2"] = state.range(2) != 0 && splice::avx2Usable() ? 1 : 0;
}

// The search alone for the longest segments (513 lengths, 1024 samples
// compared for each) on noise, in each routine. Argument: 0 plain, 1
// portable, 2 SSE2, 3 AVX2.
void BM_SpliceSearch(benchmark::State& state)
{
    std::vector<double> a(4096);
    std::mt19937 gen(3);
    std::normal_distribution<double> n(0.0, 0.3);
    for (double& v : a) v = n(gen);
    const splice::SearchFn routines[] = {&splice::bestSplicePlain, &splice::bestSpliceScalar,
                                         &splice::bestSpliceSse2, &splice::bestSpliceAvx2};
    const splice::SearchFn fn = routines[state.range(0)];
    if ((state.range(0) == 2 && !splice::sse2Usable()) || (state.range(0) == 3 && !splice::avx2Usable())) {
        state.SkipWithError("not available here");
        return;
    }
    double total = 0.0;
    for (auto _ : state) {
        const double t0 = threadSeconds();
        benchmark::DoNotOptimize(fn(a.data(), 512, 1024, 1024));
        total += threadSeconds() - t0;
    }
    state.counters["pct_of_block"] = percentOfBlock(total / static_cast<double>(state.iterations()));
}

} // namespace

BENCHMARK(BM_Compressor);
BENCHMARK(BM_VolumeSwell);
BENCHMARK(BM_PitchShifter)->ArgsProduct({{0, 1, 2, 3, 4}, {200, 50}});
BENCHMARK(BM_PitchSpliceBlocksType4)
    ->ArgsProduct({{200, 50}, {0, 1}, {1, 0}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpliceSearch)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);
