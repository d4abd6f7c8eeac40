#pragma once
// Timing helpers shared by the chain benchmarks: a stand-in for the engine's
// stages that times every call it forwards, a 60 s guitar recording, and
// per-block clocks.
#include "assets/DemoGuitar.h"
#include "engine/Engine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <vector>

namespace stravik::timing {

constexpr int kRate = 48000;
constexpr int kFrames = Engine::kBlockFrames;
constexpr double kBlockMicros = 1e6 * kFrames / kRate;

// The demonstration guitar played over and over to 60 s, as the chain's
// input values.
inline std::vector<double> sixtySecondGuitar()
{
    const std::vector<int16_t> demo = assets::synthesizeDemoGuitar(kRate);
    std::vector<double> out(static_cast<size_t>(60 * kRate));
    for (size_t i = 0; i < out.size(); ++i) out[i] = demo[i % demo.size()] / 32768.0;
    return out;
}

inline double threadCpuMicros()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

inline double wallMicros()
{
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

// Value at fraction q (0..1) of the sorted values.
inline double quantile(std::vector<double> v, double q)
{
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t at = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5));
    return v[at];
}

// Forwards every stage call to the engine's own stages and adds up the wall
// time each took (steady clock: cheap to read; a preempted call counts
// long, which the medians of repeated runs smooth out).
class TimingStages final : public ChainStages {
public:
    enum Stage : int {
        kGate, kInput, kEnvelope, kInCompressor, kSwell, kPitch, kWah, kPhaser, kDistortion, kAmpEq,
        kOutCompressor, kAmp, kCabinet, kTremolo, kChorus, kOutput, kEcho, kReverb, kOther, kStageCount
    };
    static const char* name(int s)
    {
        static const char* const names[kStageCount] = {
            "noise gate", "input eq, hiss, hum", "envelope follower", "input compressor", "volume swell",
            "pitch shifter", "wah", "phaser", "distortion (4x)", "amp eq", "output compressor",
            "amp: preamp, power, speaker (4x)", "speaker correction + cabinet", "tremolo", "chorus",
            "output eq", "echo", "reverb", "metronome, pedal, resets"};
        return names[s];
    }

    explicit TimingStages(EffectStages& fx) : fx_(fx) {}

    double micros[kStageCount] = {};
    void clear() { std::fill(std::begin(micros), std::end(micros), 0.0); }

    void startRun(int r) override { fx_.startRun(r); }
    void phaserReset() override { time(kOther, [&] { fx_.phaserReset(); }); }
    void chorusReset() override { time(kOther, [&] { fx_.chorusReset(); }); }
    void echoReset() override { time(kOther, [&] { fx_.echoReset(); }); }
    void noiseGate(double* b, int n) override { time(kGate, [&] { fx_.noiseGate(b, n); }); }
    void inputControl(double* b, int n) override { time(kInput, [&] { fx_.inputControl(b, n); }); }
    void envelopeFollow(const double* b, int n) override { time(kEnvelope, [&] { fx_.envelopeFollow(b, n); }); }
    void inputCompressor(double* b, int n) override { time(kInCompressor, [&] { fx_.inputCompressor(b, n); }); }
    void volumeSwell(double* b, int n) override { time(kSwell, [&] { fx_.volumeSwell(b, n); }); }
    void pitchShifter(double* b, int n) override { time(kPitch, [&] { fx_.pitchShifter(b, n); }); }
    void wah(double* b, int n) override { time(kWah, [&] { fx_.wah(b, n); }); }
    void phaser(double* b, int n) override { time(kPhaser, [&] { fx_.phaser(b, n); }); }
    void ampPreStage(double* b, int n) override { time(kAmpEq, [&] { fx_.ampPreStage(b, n); }); }
    void outputCompressor(double* b, int n) override { time(kOutCompressor, [&] { fx_.outputCompressor(b, n); }); }
    void cabinet(double* b, int n) override { time(kCabinet, [&] { fx_.cabinet(b, n); }); }
    void tremolo(double* b, int n) override { time(kTremolo, [&] { fx_.tremolo(b, n); }); }
    void chorusMono(double* b, int n) override { time(kChorus, [&] { fx_.chorusMono(b, n); }); }
    void outputControl(double* b, int n) override { time(kOutput, [&] { fx_.outputControl(b, n); }); }
    void echoMono(double* b, int n) override { time(kEcho, [&] { fx_.echoMono(b, n); }); }
    void distortion(double* b, int n) override { time(kDistortion, [&] { fx_.distortion(b, n); }); }
    void amp(double* b, int n) override { time(kAmp, [&] { fx_.amp(b, n); }); }
    void chorusStereo(double* s, int f) override { time(kChorus, [&] { fx_.chorusStereo(s, f); }); }
    void echoSpread(double* s, int f) override { time(kEcho, [&] { fx_.echoSpread(s, f); }); }
    void echoMonoOnStereo(double* s, int f) override { time(kEcho, [&] { fx_.echoMonoOnStereo(s, f); }); }
    void reverb(double* out, const double* in, int f, bool st) override
    {
        time(kReverb, [&] { fx_.reverb(out, in, f, st); });
    }
    void metronome(double* b, int f, bool st) override { time(kOther, [&] { fx_.metronome(b, f, st); }); }
    void pollPedal() override { time(kOther, [&] { fx_.pollPedal(); }); }

private:
    template <typename F>
    void time(int stage, F&& f)
    {
        const double t0 = wallMicros();
        f();
        micros[stage] += wallMicros() - t0;
    }

    EffectStages& fx_;
};

} // namespace stravik::timing
