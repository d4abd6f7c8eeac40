// test-label: threads
// The "IO Control" group: the noise gate (window by rate, bit-exact pass above
// the threshold, the hold, the expansion law, silence, its own denormal
// offset), the hiss and hum filters, the input and output stages' switches,
// rebuilds after a preset, allocation-free processing and the group inside
// the engine's chain.
#include "effects/tone/ToneControl.h"

#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "effects/tone/NoiseGate.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "AllocationCounter.h"

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr double kTestPi = 3.14159265358979323846;

struct Rig {
    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    IoControlParams params;
    std::unique_ptr<ToneControl> unit = std::make_unique<ToneControl>(params, context);
};

// A block of whole sine periods: its RMS is exactly amplitude / sqrt(2).
std::vector<double> sineBlock(double amplitude, int n = 128, int periods = 4)
{
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = amplitude * std::sin(2.0 * kTestPi * periods * i / n);
    return v;
}

double rmsOf(const std::vector<double>& v)
{
    double s = 0.0;
    for (double x : v) s += x * x;
    return std::sqrt(s / static_cast<double>(v.size()));
}

enum class Stage { Input, Output };

double stageGainDb(ToneControl& t, Stage stage, double hz, int fs)
{
    const int n = fs / 2;
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = 0.1 * std::sin(2.0 * kTestPi * hz * i / fs);
    const auto in = v;
    for (int at = 0; at < n; at += 128) {
        if (stage == Stage::Input)
            t.processInput(v.data() + at, std::min(128, n - at));
        else
            t.processOutput(v.data() + at, std::min(128, n - at));
    }
    double sIn = 0.0, sOut = 0.0;
    for (int i = n / 2; i < n; ++i) {
        sIn += in[static_cast<size_t>(i)] * in[static_cast<size_t>(i)];
        sOut += v[static_cast<size_t>(i)] * v[static_cast<size_t>(i)];
    }
    return 10.0 * std::log10(sOut / sIn);
}

} // namespace

// ---------------------------------------------------------------- noise gate

TEST(NoiseGate, HoldsTheLevelOverFourOrEightBlocksByRate)
{
    NoiseGate g;
    g.setup(22050);
    EXPECT_EQ(g.window(), 4);
    g.setup(44100);
    EXPECT_EQ(g.window(), 8);
    g.setup(48000);
    EXPECT_EQ(g.window(), 8);

    for (int rate : {22050, 44100, 48000}) {
        g.setup(rate);
        const int w = g.window();
        auto loud = sineBlock(0.2);
        g.process(loud.data(), 128, -50.0, 2.0);
        // The quiet blocks after it are judged by the loud one until it
        // leaves the window: they pass untouched ...
        for (int k = 1; k < w; ++k) {
            auto quiet = sineBlock(1e-5);
            const auto in = quiet;
            g.process(quiet.data(), 128, -50.0, 2.0);
            EXPECT_EQ(quiet, in) << rate << " block " << k;
        }
        // ... and the next one is gated.
        auto quiet = sineBlock(1e-5);
        const auto in = quiet;
        g.process(quiet.data(), 128, -50.0, 2.0);
        EXPECT_LT(rmsOf(quiet), rmsOf(in) / 10.0) << rate;
    }
}

TEST(NoiseGate, BlocksAboveTheThresholdPassBitExact)
{
    NoiseGate g;
    g.setup(44100);
    for (int k = 0; k < 20; ++k) {
        auto v = sineBlock(0.05 + 0.01 * k, 128, 3);
        const auto in = v;
        g.process(v.data(), 128, -40.0, 4.0);
        ASSERT_EQ(v, in) << k;
    }
    // Exactly at the threshold still passes: level L = 20 log10(RMS / 2).
    g.setup(44100);
    auto v = sineBlock(2.0 * std::sqrt(2.0) * std::pow(10.0, -30.0 / 20.0));
    const double levelDb = 20.0 * std::log10(rmsOf(v) / 2.0);
    const auto in = v;
    g.process(v.data(), 128, levelDb, 3.0);
    EXPECT_EQ(v, in);
}

TEST(NoiseGate, BelowTheThresholdTheLevelFallsByTheRatio)
{
    for (double ratio : {1.0, 2.0, 5.5, 10.0}) {
        NoiseGate g;
        g.setup(48000);
        const double threshold = -45.0;
        auto v = sineBlock(0.004);
        const double levelDb = 20.0 * std::log10(rmsOf(v) / 2.0); // about -57 dB
        ASSERT_LT(levelDb, threshold);
        g.process(v.data(), 128, threshold, ratio);
        const double outDb = 20.0 * std::log10(rmsOf(v) / 2.0);
        EXPECT_NEAR(outDb, threshold - (threshold - levelDb) * ratio, 1e-6) << ratio;
    }
}

TEST(NoiseGate, GatedBlocksCarryTheGatesOwnAlternatingOffset)
{
    NoiseGate g;
    g.setup(44100);
    // Silence: no level in dB at all; the block stays silent apart from the
    // offset (and never becomes NaN).
    std::vector<double> v(25, 0.0);
    g.process(v.data(), 25, -50.0, 2.0);
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(std::isfinite(v[static_cast<size_t>(i)]));
        const double expected = (i < 9 || i >= 19) ? 1e-15 : -1e-15;
        EXPECT_EQ(v[static_cast<size_t>(i)], expected) << i;
    }
    // The count runs on across blocks: 25 samples so far, the next flip is
    // at the 30th sample of the stream.
    std::vector<double> w(10, 0.0);
    g.process(w.data(), 10, -50.0, 2.0);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(w[static_cast<size_t>(i)], i < 4 ? 1e-15 : -1e-15) << i;
    EXPECT_EQ(g.guard().counter(), 5);
}

TEST(NoiseGate, SetupClearsTheHeldLevel)
{
    NoiseGate g;
    g.setup(44100);
    auto loud = sineBlock(0.5);
    g.process(loud.data(), 128, -50.0, 2.0);
    g.setup(44100);
    auto quiet = sineBlock(1e-5);
    const auto in = quiet;
    g.process(quiet.data(), 128, -50.0, 2.0);
    EXPECT_LT(rmsOf(quiet), rmsOf(in) / 10.0);
}

TEST(NoiseGate, RatioBelowOneFromADamagedPresetIsHeldAtOne)
{
    Rig rig;
    rig.params.nf_ratio = 0.0f;
    rig.params.nf_tresh = -50.0f;
    rig.unit->start(44100);
    auto v = sineBlock(1e-6);
    const auto in = v;
    rig.unit->processNoiseGate(v.data(), 128);
    for (size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(v[i], in[i], 1e-14);
}

// ---------------------------------------------------------------- stages

TEST(ToneControl, EverythingOffLeavesBothStagesBitExact)
{
    Rig rig;
    rig.unit->start(48000);
    auto v = sineBlock(0.7, 128, 5);
    const auto in = v;
    rig.unit->processInput(v.data(), 128);
    rig.unit->processOutput(v.data(), 128);
    EXPECT_EQ(v, in);
}

TEST(ToneControl, HissFilterIsAnEightKilohertzLowPassAtFourFifths)
{
    Rig rig;
    rig.params.io_hiss = 1;
    rig.unit->start(48000);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 500.0, 48000), 20.0 * std::log10(0.8), 0.1);
    EXPECT_LT(stageGainDb(*rig.unit, Stage::Input, 16000.0, 48000), -20.0);
    EXPECT_LT(stageGainDb(*rig.unit, Stage::Input, 20000.0, 48000), -30.0);
}

TEST(ToneControl, HumFilterTakesFiftyHertzAwayAndLittleElse)
{
    Rig rig;
    rig.params.io_50hz = 1;
    rig.unit->start(44100);
    EXPECT_LT(stageGainDb(*rig.unit, Stage::Input, 50.0, 44100), -30.0);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 200.0, 44100), 0.0, 1.0);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 1000.0, 44100), 0.0, 0.05);
}

TEST(ToneControl, InputEqualiserOnlyWhenSwitchedOnAndFiltersIndependently)
{
    Rig rig;
    rig.params.ictrl.eqtype = kEqHiFi;
    rig.params.ictrl.bass = 1.0f;
    rig.params.io_hiss = 1;
    rig.unit->start(48000);
    // Equaliser off: only the hiss filter's 0.8 at 100 Hz.
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 100.0, 48000), 20.0 * std::log10(0.8), 0.2);
    rig.params.ictrl_enabled = 1;
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 100.0, 48000), 20.0 + 20.0 * std::log10(0.8), 1.5);
    // The output stage has its own settings.
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Output, 100.0, 48000), 0.0, 1e-9);
}

TEST(ToneControl, OutputEqualiserOnlyWhenSwitchedOn)
{
    Rig rig;
    rig.params.octrl.eqtype = kEqFiveBand;
    rig.params.octrl.bands[4] = 0.0f;
    rig.unit->start(48000);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Output, 10000.0, 48000), 0.0, 1e-9);
    rig.params.octrl_enabled = 1;
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Output, 10000.0, 48000), -20.0, 1.0);
    // The input stage does not see it.
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 10000.0, 48000), 0.0, 1e-9);
}

TEST(ToneControl, EqualisersUseTheirOwnJobNumbers)
{
    Rig rig;
    EXPECT_EQ(rig.unit->inputEqualiser().fiveBandJob(), 3);
    EXPECT_EQ(rig.unit->inputEqualiser().graphicJob(), 4);
    EXPECT_EQ(rig.unit->outputEqualiser().fiveBandJob(), 5);
    EXPECT_EQ(rig.unit->outputEqualiser().graphicJob(), 6);
}

TEST(ToneControl, PresetLoadedRedesignsBothEqualisers)
{
    Rig rig;
    rig.params.ictrl_enabled = 1;
    rig.params.octrl_enabled = 1;
    rig.params.octrl.eqtype = kEqGraphic;
    rig.unit->start(48000);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Input, 6000.0, 48000), 0.0, 0.05);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Output, 3000.0, 48000), 0.0, 0.1);
    // The loader writes the values, then asks for the designs.
    rig.params.ictrl.treble = 0.0f;
    rig.params.octrl.pointCount = 2;
    rig.params.octrl.pointX[0] = 100.0f;
    rig.params.octrl.pointY[0] = 8.0f;
    rig.params.octrl.pointX[1] = 20000.0f;
    rig.params.octrl.pointY[1] = 8.0f;
    rig.unit->presetLoaded();
    rig.worker.waitIdle();
    EXPECT_LT(stageGainDb(*rig.unit, Stage::Input, 6000.0, 48000), -15.0);
    EXPECT_NEAR(stageGainDb(*rig.unit, Stage::Output, 3000.0, 48000), 8.0, 0.5);
}

TEST(ToneControl, ProcessingAllocatesNothing)
{
    Rig rig;
    rig.params.nf_enabled = 1;
    rig.params.ictrl_enabled = 1;
    rig.params.octrl_enabled = 1;
    rig.params.io_hiss = 1;
    rig.params.io_50hz = 1;
    rig.unit->start(48000);
    auto v = sineBlock(0.001);
    for (int type = 0; type < 5; ++type) {
        rig.params.ictrl.eqtype = type;
        rig.params.octrl.eqtype = type;
        rig.params.ictrl.mid = 0.1f * type;
        rig.unit->inputEqualiser().design(Equaliser::Wait::UntilFinished);
        rig.unit->outputEqualiser().design(Equaliser::Wait::UntilFinished);
        rig.unit->designHissAndHum();
        gAllocations = 0;
        tCountAllocations = true;
        for (int k = 0; k < 10; ++k) {
            rig.unit->processNoiseGate(v.data(), 128);
            rig.unit->processInput(v.data(), 128);
            rig.unit->processOutput(v.data(), 128);
        }
        tCountAllocations = false;
        EXPECT_EQ(gAllocations.load(), 0) << "type " << type;
    }
}

// ---------------------------------------------------------------- in the chain

TEST(ToneControlInChain, TheEngineRunsGateInputAndOutputStages)
{
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    engine->settings.BeepOnStart = 0;
    engine->params.io.octrl_enabled = 1;
    engine->params.io.octrl.eqtype = kEqAmpUk;
    engine->params.io.octrl.mid = 1.0f; // +20 dB at 700 Hz
    engine->beginRun(48000);
    const int fs = 48000;
    double sIn = 0.0, sOut = 0.0;
    for (int block = 0; block < 100; ++block) {
        for (int i = 0; i < 128; ++i)
            engine->WorkBuffer[i] = 0.01 * std::sin(2.0 * kTestPi * 700.0 * (block * 128 + i) / fs);
        double in = 0.0;
        for (int i = 0; i < 128; ++i) in += engine->WorkBuffer[i] * engine->WorkBuffer[i];
        engine->ProcessBlock(128);
        if (block >= 50) {
            sIn += in;
            for (int i = 0; i < 128; ++i) sOut += static_cast<double>(engine->OutputSamples[i]) * engine->OutputSamples[i];
        }
    }
    // OutputSamples are 16-bit: the gain of the output equaliser shows in them.
    const double gainDb = 10.0 * std::log10(sOut / (32768.0 * 32768.0) / sIn);
    EXPECT_NEAR(gainDb, 20.0, 0.5);
}
