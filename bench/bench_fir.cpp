// FirConvolver per audio block: 128 frames at 48000 Hz (2.67 ms of sound),
// for each routine the processor has, on the caller alone and with the
// worker pool. The time per iteration is the time per block; "MAC/s" counts
// multiply-adds and "xRealtime" how many times faster than real time it runs.
//
// The sizes: an 85-tap equaliser/oversampling kernel, a 4000-tap and the
// longest (16384-tap) cabinet response; the oversampled cases filter 512
// samples (4 x 128) with the 85-tap interpolation kernel and decimate 512 to
// 128 with a 66-tap kernel. FIRSweep and FIRPaced show what splitting a block
// over the helpers costs and gains, back to back and paced like the audio
// thread; they set the pool's threshold for that.
#include "dsp/ConvolverPool.h"
#include "dsp/FirConvolver.h"
#include "dsp/Realtime.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using stravik::dsp::FirConvolver;
using Path = FirConvolver::Path;
using Threading = FirConvolver::Threading;

constexpr double kSampleRate = 48000.0;
constexpr int kBlock = 128;

std::vector<double> randomValues(int n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = dist(rng);
    return v;
}

struct Case {
    Path path;
    bool pool;
    int taps;
    int n;         // samples per call
    int step;      // 1: process(), else processDecimating()
    int frames;    // the block's length at the base rate (its duration)
    bool paced;    // wait one block's duration between blocks, as the audio thread does
    bool split;    // split over the helpers whatever the amount of work
};

void runFir(benchmark::State& state, const Case& c)
{
    // Like the audio thread: real-time priority where the system grants it,
    // which also keeps the (real-time) helpers from preempting this thread.
    stravik::dsp::raiseThreadPriority();
    stravik::dsp::ConvolverPool& pool = stravik::dsp::ConvolverPool::instance();
    const double threshold = pool.splitThresholdMicros();
    if (c.split) pool.setSplitThresholdMicros(0.0);

    FirConvolver conv(c.pool ? Threading::WorkerPool : Threading::CallerOnly);
    conv.setPathOverride(c.path);
    const std::vector<double> h = randomValues(c.taps, 1);
    conv.setCoefficients(h.data(), c.taps);
    const std::vector<double> in = randomValues(c.n, 2);
    std::vector<double> buf(in.size());
    const auto period = std::chrono::microseconds(static_cast<long>(c.frames * 1e6 / kSampleRate));

    for (auto _ : state) {
        if (c.paced) {
            state.PauseTiming();
            std::this_thread::sleep_for(period);
            state.ResumeTiming();
        }
        std::copy(in.begin(), in.end(), buf.begin()); // filtering is in place
        if (c.step == 1)
            conv.process(buf.data(), c.n);
        else
            conv.processDecimating(buf.data(), c.n, c.step);
        benchmark::DoNotOptimize(buf.data());
        benchmark::ClobberMemory();
    }
    pool.setSplitThresholdMicros(threshold);

    const double outputs = c.step == 1 ? c.n : (c.n + c.step - 1) / c.step;
    const double blocks = static_cast<double>(state.iterations());
    state.counters["MAC/s"] = benchmark::Counter(blocks * outputs * c.taps, benchmark::Counter::kIsRate);
    if (!c.paced) {
        // Seconds of sound filtered per second: how many times faster than real time.
        state.counters["xRealtime"] = benchmark::Counter(blocks * c.frames / kSampleRate, benchmark::Counter::kIsRate);
    }
}

const char* pathName(Path p)
{
    switch (p) {
    case Path::Scalar: return "Scalar";
    case Path::Sse: return "Sse";
    case Path::Avx2: return "Avx2";
    case Path::Avx512: return "Avx512";
    default: return "Auto";
    }
}

std::vector<Path> supportedPaths()
{
    std::vector<Path> paths;
    FirConvolver probe(Threading::CallerOnly);
    for (Path p : {Path::Scalar, Path::Sse, Path::Avx2, Path::Avx512}) {
        probe.setPathOverride(p);
        if (probe.activePath() == p) paths.push_back(p);
    }
    return paths;
}

void add(const std::string& name, const Case& c)
{
    auto* b = benchmark::RegisterBenchmark(name.c_str(), [c](benchmark::State& s) { runFir(s, c); });
    b->Unit(benchmark::kMicrosecond)->UseRealTime(); // the helpers' time does not show in the caller's CPU time
    if (c.paced) b->Iterations(200);
}

int registerAll()
{
    const std::vector<Path> paths = supportedPaths();
    for (bool pool : {false, true}) {
        for (Path p : paths) {
            const std::string suffix = std::string(pathName(p)) + (pool ? "/workers" : "");
            for (int taps : {85, 4000, 16384})
                add("FIR/" + std::to_string(taps) + "taps/128/" + suffix, {p, pool, taps, kBlock, 1, kBlock, false, false});
            add("FIR/85taps/512/" + suffix, {p, pool, 85, 4 * kBlock, 1, kBlock, false, false});
            add("FIR/66taps/512/step4/" + suffix, {p, pool, 66, 4 * kBlock, 4, kBlock, false, false});
        }
    }
    // What splitting costs and gains, with the threshold out of the way:
    // back to back (helpers stay awake) and paced like the audio thread
    // (helpers sleep between blocks and must be woken).
    const Path widest = paths.back();
    struct Sweep {
        Path path;
        int taps;
        int n;
    };
    const Sweep sweeps[] = {{Path::Scalar, 32, 128},    {Path::Scalar, 128, 128},  {Path::Scalar, 512, 128},
                            {Path::Scalar, 4000, 128},  {widest, 1024, 1024},      {widest, 16384, 128},
                            {widest, 4096, 1024},       {widest, 16384, 1024}};
    for (bool paced : {false, true})
        for (const Sweep& w : sweeps)
            for (bool pool : {false, true})
                add(std::string(paced ? "FIRPaced/" : "FIRSweep/") + std::to_string(w.taps) + "taps/" +
                        std::to_string(w.n) + "/" + pathName(w.path) + (pool ? "/split" : ""),
                    {w.path, pool, w.taps, w.n, 1, w.n, paced, pool});
    return 0;
}

const int registered = registerAll();

} // namespace
