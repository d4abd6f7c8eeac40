// The phaser: the plain form's delay sweep measured on its output, the
// "Vintage analog" form's centre sweep and all-pass stages with their spacing,
// both forms transparent without wet signal, prepare storing the form, the
// reset after use, values from presets outside the page's ranges, a prepare
// from another thread while blocks run, and the phaser through `korvex render`.
// test-label: threads
#include "effects/modulation/Phaser.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/IirFilter.h"
#include "dsp/RecordingMessages.h"
#include "dsp/UserMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace stravik;
using stravik::effects::Phaser;
using stravik::effects::PhaserParams;

namespace {

constexpr int kRate = 48000;

struct Rig {
    SilentMessages messages;
    dsp::BackgroundWorker worker;
    effects::EffectContext context{worker, messages};
    PhaserParams params;
    std::unique_ptr<Phaser> phaser;

    Rig() { phaser = std::make_unique<Phaser>(params, context); }

    std::vector<double> run(std::vector<double> buf, int block = 128)
    {
        for (size_t at = 0; at < buf.size(); at += static_cast<size_t>(block)) {
            const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(block), buf.size() - at));
            phaser->process(buf.data() + at, n);
        }
        return buf;
    }
};

std::vector<double> noise(size_t n, double level, unsigned seed = 11)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-level, level);
    std::vector<double> v(n);
    for (auto& x : v) x = d(gen);
    return v;
}

double peak(const std::vector<double>& v)
{
    double p = 0.0;
    for (double x : v) p = std::max(p, std::abs(x));
    return p;
}

// Plain form, no feedback, full wet: impulses every spacing samples over one
// whole period; each impulse comes back first after the delay the sweep had
// at that moment. Returns the shortest and longest delays heard, in samples.
std::pair<int, int> measuredDelayRange(float centre, float depth, float period, int spacing)
{
    Rig rig;
    rig.params.phaser_delay = centre;
    rig.params.phaser_depth = depth;
    rig.params.phaser_period = period;
    rig.params.phaser_fb = 0.0f;
    rig.params.phaser_wet = 1.0f;
    rig.phaser->start(kRate);
    const size_t length = static_cast<size_t>(period * kRate) + static_cast<size_t>(spacing);
    std::vector<double> in(length, 0.0);
    for (size_t k = 0; k + static_cast<size_t>(spacing) <= length; k += static_cast<size_t>(spacing)) in[k] = 1.0;
    const auto out = rig.run(in);
    int shortest = std::numeric_limits<int>::max(), longest = -1;
    for (size_t k = 0; k + static_cast<size_t>(spacing) <= length; k += static_cast<size_t>(spacing)) {
        for (int j = 1; j < spacing; ++j)
            if (out[k + static_cast<size_t>(j)] != 0.0) {
                shortest = std::min(shortest, j);
                longest = std::max(longest, j);
                break;
            }
    }
    return {shortest, longest};
}

} // namespace

TEST(Phaser, NoWetSignalReturnsTheInputInBothForms)
{
    for (int analog : {0, 1}) {
        Rig rig;
        rig.params.phaser_wet = 0.0f;
        rig.params.phaser_fb = 0.8f;
        rig.phaser->start(kRate);
        rig.phaser->prepare(analog);
        const auto in = noise(kRate / 2, 0.9);
        EXPECT_EQ(rig.run(in), in) << "analog " << analog;
    }
}

TEST(Phaser, PlainSweepAtOneKilohertzAndHalfDepthSpansHalfToOneAndAHalfMilliseconds)
{
    Rig rig;
    rig.phaser->start(kRate);
    const auto sweep = rig.phaser->plainSweep();
    EXPECT_FLOAT_EQ(sweep.dMin, 0.0005f);
    EXPECT_FLOAT_EQ(sweep.dMax, 0.0015f);

    const auto [shortest, longest] = measuredDelayRange(1000.0f, 50.0f, 1.0f, 400);
    EXPECT_NEAR(shortest, 0.0005 * kRate, 2.0);
    EXPECT_NEAR(longest, 0.0015 * kRate, 2.0);
}

TEST(Phaser, PlainSweepAtOneHundredHertzAndFullDepthSpansZeroToTwentyMilliseconds)
{
    Rig rig;
    rig.params.phaser_delay = 100.0f;
    rig.params.phaser_depth = 100.0f;
    rig.phaser->start(kRate);
    const auto sweep = rig.phaser->plainSweep();
    EXPECT_EQ(sweep.dMin, 0.0f);
    EXPECT_FLOAT_EQ(sweep.dMax, 0.02f);

    const auto [shortest, longest] = measuredDelayRange(100.0f, 100.0f, 10.0f, 2500);
    EXPECT_NEAR(shortest, 0.0, 2.0);
    EXPECT_NEAR(longest, 0.02 * kRate, 2.0);
}

TEST(Phaser, AnalogCentreSweepsAroundTheCentreFrequency)
{
    Rig rig;
    rig.params.phaser_period = 1.0f;
    rig.phaser->start(kRate);
    rig.phaser->prepare(1);
    const auto sweep = rig.phaser->analogSweep();
    EXPECT_EQ(sweep.fMin, 500.0);
    EXPECT_EQ(sweep.fMax, 1500.0);
    double lowest = 1e9, highest = 0.0;
    std::vector<double> block(128, 0.0);
    for (int b = 0; b < 2 * kRate / 128; ++b) {
        rig.phaser->process(block.data(), 128);
        const auto last = rig.phaser->lastAnalogBlock();
        lowest = std::min(lowest, last.centre);
        highest = std::max(highest, last.centre);
    }
    EXPECT_NEAR(lowest, 500.0, 1.0);
    EXPECT_NEAR(highest, 1500.0, 1.0);
}

TEST(Phaser, AnalogAllPassesSitAtHalfTheCentrePlusFiftyPlusTheSpacing)
{
    const int spacings[] = {3000, 1000, 700, 500, 400};
    for (int stages : {2, 4, 6, 8, 10}) {
        Rig rig;
        rig.params.phaser_filt_stages = stages;
        rig.params.phaser_period = 0.37f;
        rig.phaser->start(kRate);
        rig.phaser->prepare(1);
        std::vector<double> block(128, 0.0);
        for (int b = 0; b < 40; ++b) {
            rig.phaser->process(block.data(), 128);
            const auto last = rig.phaser->lastAnalogBlock();
            ASSERT_EQ(last.stages, stages);
            ASSERT_EQ(last.highPass, static_cast<int>(0.25 * last.centre + 50));
            const int spacing = spacings[stages / 2 - 1];
            for (int s = 0; s < stages; ++s) {
                const int f = static_cast<int>(last.centre / 2 + 50 + s * spacing);
                ASSERT_EQ(last.allPass[s], f) << stages << " stages, stage " << s;
                // The stage really is the all-pass of that frequency, width 1.
                dsp::IirFilter expected;
                expected.designAllPass(f, 1.0, kRate);
                const auto stage = rig.phaser->allPassStage(s);
                for (int c : {dsp::IirFilter::kB0, dsp::IirFilter::kB1, dsp::IirFilter::kB2, dsp::IirFilter::kA1,
                              dsp::IirFilter::kA2})
                    ASSERT_EQ(stage.coefficient(c), expected.coefficient(c));
            }
        }
    }
    // With four stages at a centre of 1000 Hz, the stages sit at 550, 1550,
    // 2550 and 3550 Hz when the sweep passes its middle (t = 0).
    Rig rig;
    rig.phaser->start(kRate);
    rig.phaser->prepare(1);
    std::vector<double> block(128, 0.0);
    rig.phaser->process(block.data(), 128);
    const auto first = rig.phaser->lastAnalogBlock();
    EXPECT_EQ(first.centre, 1000.0);
    EXPECT_EQ(first.allPass[0], 550);
    EXPECT_EQ(first.allPass[3], 3550);
}

TEST(Phaser, PrepareStoresTheFormAndProcessRunsIt)
{
    Rig rig;
    rig.phaser->start(kRate);
    rig.phaser->prepare(1);
    EXPECT_EQ(rig.params.phaser_analog.get(), 1);
    const auto in = noise(4096, 0.5);
    const auto analogOut = rig.run(in);
    rig.phaser->reset();
    rig.phaser->prepare(0);
    EXPECT_EQ(rig.params.phaser_analog.get(), 0);
    const auto plainOut = rig.run(in);
    EXPECT_NE(analogOut, in);
    EXPECT_NE(plainOut, in);
    EXPECT_NE(analogOut, plainOut);
    // The analog form moves its sweep once per block: one block later the
    // LFO time has advanced by the block's length.
    rig.phaser->prepare(1);
    const double before = rig.phaser->lfoTime();
    std::vector<double> block(100, 0.0);
    rig.phaser->process(block.data(), 100);
    EXPECT_NEAR(rig.phaser->lfoTime() - before, 100.0 / kRate, 1e-12);
}

TEST(Phaser, TheLfoTimeWrapsAtThePeriod)
{
    Rig rig;
    rig.params.phaser_period = 0.5f;
    rig.phaser->start(kRate);
    rig.run(std::vector<double>(static_cast<size_t>(kRate * 0.75), 0.0));
    EXPECT_NEAR(rig.phaser->lfoTime(), 0.25, 1e-6);
}

TEST(Phaser, ResetAfterUseClearsBothForms)
{
    for (int analog : {0, 1}) {
        Rig rig;
        rig.phaser->start(kRate);
        rig.phaser->prepare(analog);
        EXPECT_FALSE(rig.phaser->used());
        rig.run(noise(kRate / 4, 0.5));
        EXPECT_TRUE(rig.phaser->used());
        rig.phaser->reset(); // the phaser was switched off
        EXPECT_FALSE(rig.phaser->used());
        // Switched on again: silence in, silence out; nothing of the old
        // sound, not even the analog form's fed-back last sample.
        const auto out = rig.run(std::vector<double>(kRate / 10, 0.0));
        EXPECT_EQ(peak(out), 0.0) << "analog " << analog;
    }
    // Without the reset, the old sound rings on.
    Rig rig;
    rig.phaser->start(kRate);
    rig.run(noise(kRate / 4, 0.5));
    EXPECT_GT(peak(rig.run(std::vector<double>(kRate / 10, 0.0))), 1e-3);
}

TEST(Phaser, ResetAlsoClearsTheFormNotInUse)
{
    // Used in the plain form, switched to analog while on, then off: the
    // plain form's lines must not bring the old sound back later.
    Rig rig;
    rig.phaser->start(kRate);
    rig.run(noise(kRate / 4, 0.5));
    rig.phaser->prepare(1);
    rig.run(noise(256, 0.5));
    rig.phaser->reset();
    rig.phaser->prepare(0);
    EXPECT_EQ(peak(rig.run(std::vector<double>(kRate / 10, 0.0))), 0.0);
}

TEST(Phaser, ZeroPeriodOrCentreFromAPresetIsHeldToThePageRange)
{
    for (int analog : {0, 1}) {
        Rig rig;
        rig.params.phaser_period = 0.0f;
        rig.params.phaser_delay = 0.0f;
        rig.phaser->start(kRate);
        rig.phaser->prepare(analog);
        const auto plain = rig.phaser->plainSweep();
        EXPECT_FLOAT_EQ(plain.dMin, 0.005f); // 100 Hz at 50 %
        EXPECT_FLOAT_EQ(plain.dMax, 0.015f);
        EXPECT_DOUBLE_EQ(plain.omega, 6.283185308 / static_cast<double>(0.1f));
        EXPECT_EQ(rig.phaser->analogSweep().mid, 100.0);
        const auto out = rig.run(noise(kRate / 4, 0.5));
        for (double x : out) ASSERT_TRUE(std::isfinite(x));
    }
}

TEST(Phaser, WildPresetValuesStayInsideTheLinesAndBounded)
{
    for (int analog : {0, 1}) {
        Rig rig;
        rig.params.phaser_delay = 1.0f;     // far below the page's 100 Hz
        rig.params.phaser_depth = -900.0f;  // far outside 0..100 %
        rig.params.phaser_fb = 3.0f;        // would run away
        rig.params.phaser_period = std::numeric_limits<float>::quiet_NaN();
        rig.params.phaser_filt_stages = 50; // more stages than there are filters
        rig.phaser->start(kRate);
        rig.phaser->prepare(analog);
        const auto out = rig.run(noise(kRate, 0.5));
        for (double x : out) ASSERT_TRUE(std::isfinite(x));
        EXPECT_LT(peak(out), 20.0) << "analog " << analog;
        if (analog) {
            EXPECT_EQ(rig.phaser->lastAnalogBlock().stages, Phaser::kMaxStages);
        }
    }
}

TEST(Phaser, FeedbackAtThePageMaximumStaysBounded)
{
    for (int analog : {0, 1})
        for (int stages : {2, 10}) {
            Rig rig;
            rig.params.phaser_fb = 0.8f;
            rig.params.phaser_wet = 1.0f;
            rig.params.phaser_filt_stages = stages;
            rig.params.phaser_period = 0.5f;
            rig.phaser->start(kRate);
            rig.phaser->prepare(analog);
            const auto out = rig.run(noise(2 * kRate, 0.5));
            EXPECT_LT(peak(out), 20.0) << analog << " " << stages;
        }
}

TEST(Phaser, PrepareFromAnotherThreadWhileBlocksRun)
{
    Rig rig;
    rig.phaser->start(kRate);
    std::atomic<bool> done{false};
    std::thread page([&] {
        int i = 0;
        while (!done.load()) {
            rig.params.phaser_delay = static_cast<float>(100 + (i * 37) % 3900);
            rig.params.phaser_depth = static_cast<float>(i % 101);
            rig.params.phaser_period = 0.1f + static_cast<float>(i % 50) / 10.0f;
            rig.params.phaser_filt_stages = 2 * (1 + i % 5);
            rig.phaser->prepare(i % 2);
            ++i;
            std::this_thread::yield();
        }
    });
    const auto in = noise(128, 0.5);
    double loudest = 0.0;
    for (int block = 0; block < 1500; ++block) {
        std::vector<double> buf = in;
        rig.phaser->process(buf.data(), 128);
        if (block % 50 == 0) rig.phaser->reset();
        loudest = std::max(loudest, peak(buf));
    }
    done = true;
    page.join();
    EXPECT_TRUE(std::isfinite(loudest));
    EXPECT_LT(loudest, 20.0);
}

TEST(PhaserRender, KorvexRenderDrivesThePhaserThroughSet)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(24000);
    std::mt19937 gen(3);
    std::uniform_int_distribution<int> d(-12000, 12000);
    for (auto& s : in) s = static_cast<int16_t>(d(gen));
    testfiles::writeWav(dir.file("in.wav"), in);

    auto render = [&](std::vector<std::string> sets) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        sets.insert(sets.begin(), "stereo=0");
        for (const auto& s : sets) EXPECT_TRUE(job.applySetting(s, error)) << error;
        EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
        return testfiles::readSamples(dir.file("out.wav"));
    };
    auto differing = [&](const std::vector<int16_t>& out) {
        size_t n = 0;
        for (size_t i = 0; i < in.size(); ++i) n += std::abs(out[i] - in[i]) > 1;
        return n;
    };
    for (const char* form : {"phaser_analog=0", "phaser_analog=1"}) {
        EXPECT_GT(differing(render({"phaser_enabled=1", form})), in.size() / 2) << form;
        // Level 0 passes the input (to the last bit of the conversion).
        EXPECT_EQ(differing(render({"phaser_enabled=1", "phaser_wet=0", form})), 0u) << form;
        // The early place (before the distortion) runs it as well.
        EXPECT_GT(differing(render({"phaser_enabled=1", "dist_afterwah=1", form})), in.size() / 2) << form;
    }
}
