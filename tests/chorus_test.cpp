// Chorus: the fixed delay of a still voice, the limits of the sweep, the voice
// gain, the stereo form's averaging line and faster right voices, the glide
// smoothers, prepare bringing the voices into phase, reset, values a preset
// may carry, `korvex render`, and prepare from another thread while blocks run.
// test-label: threads
#include "effects/modulation/Chorus.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace stravik;
using stravik::effects::Chorus;

namespace {

// Slope of the test ramp. A ramp passes a linear interpolation unchanged, so
// a voice reading d samples back returns exactly kSlope * (n - d): the output
// tells the delay of every sample.
constexpr double kSlope = 1e-3;

struct ChorusFixture : ::testing::Test {
    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    effects::EffectContext context{worker, messages};
    effects::ChorusParams params;
    std::unique_ptr<Chorus> chorus = std::make_unique<Chorus>(params, context);

    void SetUp() override { chorus->start(48000); }

    // A single voice heard alone, without feedback: the output is the tap.
    void tapOnly(int voices = 1)
    {
        params.chorus_voices = voices;
        params.chorus_fb = 0.0f;
        params.chorus_dry = 0.0f;
        params.chorus_wet = 1.0f;
    }
    std::vector<double> runMono(std::vector<double> in, int block = 128)
    {
        for (size_t at = 0; at < in.size(); at += static_cast<size_t>(block))
            chorus->processMono(in.data() + at, static_cast<int>(std::min<size_t>(block, in.size() - at)));
        return in;
    }
    std::vector<double> runStereo(std::vector<double> in)
    {
        const size_t frames = in.size() / 2;
        for (size_t at = 0; at < frames; at += 128)
            chorus->processStereo(in.data() + 2 * at, static_cast<int>(std::min<size_t>(128, frames - at)));
        return in;
    }
};

std::vector<double> ramp(size_t n)
{
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = kSlope * static_cast<double>(i);
    return v;
}

// Delay of every sample recovered from a ramp's output (one voice, tap only).
std::vector<double> delaysOf(const std::vector<double>& out, size_t from)
{
    std::vector<double> d;
    for (size_t n = from; n < out.size(); ++n) d.push_back(static_cast<double>(n) - out[n] / kSlope);
    return d;
}

} // namespace

TEST_F(ChorusFixture, OneStillVoiceIsAFixedDelayOfTheCentreDelay)
{
    params.chorus_delay = 0.02f;
    params.chorus_depth = 0.0f;
    params.chorus_voices = 1;
    params.chorus_fb = 0.25f;
    params.chorus_wet = 0.5f;
    params.chorus_dry = 0.5f;
    chorus->prepare();
    // 0.02 s at 48000 Hz is 960 samples; the centre lies one sample further.
    EXPECT_EQ(chorus->derived().centreDelay, 961);
    std::vector<double> in(6000, 0.0);
    in[2000] = 1.0; // after the smoothers have settled
    const auto out = runMono(in);
    for (size_t i = 0; i < out.size(); ++i) {
        double expected = 0.0;
        if (i == 2000) expected = 0.5;                  // dry
        if (i == 2000 + 961) expected = 0.5;            // the voice
        if (i == 2000 + 2 * 961) expected = 0.5 * 0.25; // fed back once
        if (i == 2000 + 3 * 961) expected = 0.5 * 0.25 * 0.25;
        if (i == 2000 + 4 * 961) expected = 0.5 * 0.25 * 0.25 * 0.25;
        if (i == 2000 + 5 * 961) expected = 0.5 * 0.25 * 0.25 * 0.25 * 0.25;
        ASSERT_NEAR(out[i], expected, 1e-9) << i;
    }
}

TEST_F(ChorusFixture, TheMinimumDelayIsHeldAtZero)
{
    params.chorus_delay = 0.01f;
    params.chorus_depth = 0.05f;
    params.chorus_period = 0.1f;
    tapOnly();
    chorus->prepare();
    const auto d = chorus->derived();
    EXPECT_EQ(d.minDelay, 0.0f);
    EXPECT_FLOAT_EQ(d.maxDelay, 0.035f);
    EXPECT_EQ(d.centreDelay, 841); // 0.0175 s + one sample
    EXPECT_NEAR(d.amplitude, 0.0175, 1e-8);
    // The sweep runs from one sample (0 s) to 0.035 s, not from -15 ms.
    const auto delays = delaysOf(runMono(ramp(48000)), 2000);
    const auto [lo, hi] = std::minmax_element(delays.begin(), delays.end());
    EXPECT_NEAR(*lo, 1.0, 0.3);
    EXPECT_NEAR(*hi, 0.035 * 48000 + 1.0, 0.3);
}

TEST_F(ChorusFixture, TheMaximumDelayIsHeldAt180Milliseconds)
{
    params.chorus_delay = 0.2f; // a preset: the page cannot go there
    params.chorus_depth = 0.01f;
    params.chorus_period = 0.1f;
    tapOnly();
    chorus->prepare();
    const auto d = chorus->derived();
    EXPECT_FLOAT_EQ(d.maxDelay, 0.18f);
    EXPECT_LE(d.minDelay, d.maxDelay);
    // No read lies further back than 0.18 s (and the centre's one sample).
    const auto delays = delaysOf(runMono(ramp(30000)), 12000);
    for (double x : delays) ASSERT_LE(x, 0.18 * 48000 + 1.0 + 1e-6);
    EXPECT_NEAR(*std::max_element(delays.begin(), delays.end()), 0.18 * 48000 + 1.0, 1e-6);
}

TEST_F(ChorusFixture, ReadsStayInsideTheLineWhateverAPresetHolds)
{
    params.chorus_voices = 3;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float cases[][4] = {// delay, depth, sdepth, period
                              {5.0f, 0.0f, 5.0f, 1.0f},
                              {-1.0f, -3.0f, -2.0f, 0.5f},
                              {0.05f, 10.0f, 0.1f, 0.2f},
                              {nan, nan, nan, nan},
                              {1e30f, 1e30f, 1e30f, 1e30f}};
    for (const auto& c : cases) {
        params.chorus_delay = c[0];
        params.chorus_depth = c[1];
        params.chorus_sdepth = c[2];
        params.chorus_period = c[3];
        chorus->prepare();
        const auto d = chorus->derived();
        EXPECT_GE(d.minDelay, 0.0f);
        EXPECT_LE(d.minDelay, d.maxDelay);
        EXPECT_LE(d.maxDelay, 0.18f);
        std::vector<double> in(2 * 20000);
        for (size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.003 * static_cast<double>(i));
        for (double s : runStereo(in)) ASSERT_TRUE(std::isfinite(s)) << c[0];
        for (double s : runMono(std::vector<double>(in.begin(), in.begin() + 20000))) ASSERT_TRUE(std::isfinite(s));
    }
}

TEST_F(ChorusFixture, EachVoiceAndTheFeedbackAreScaledByOneOverTheRootOfTheVoices)
{
    params.chorus_delay = 0.01f; // 481 samples
    params.chorus_depth = 0.0f;
    params.chorus_fb = 0.5f;
    params.chorus_dry = 0.0f;
    params.chorus_wet = 1.0f;
    for (int voices : {1, 2, 3}) {
        params.chorus_voices = voices;
        chorus->start(48000);
        EXPECT_DOUBLE_EQ(chorus->derived().voiceGain, 1.0 / std::sqrt(static_cast<double>(voices)));
        std::vector<double> in(4000, 0.0);
        in[2000] = 1.0;
        const auto out = runMono(in);
        // Still voices read the same sample: v taps of 1/sqrt(v) each. The
        // line gets the sum scaled once more, so each trip keeps fb.
        const double sum = voices / std::sqrt(static_cast<double>(voices));
        EXPECT_NEAR(out[2000 + 481], sum, 1e-9) << voices;
        EXPECT_NEAR(out[2000 + 962], sum * 0.5, 1e-9) << voices;
        EXPECT_NEAR(out[2000 + 1443], sum * 0.25, 1e-9) << voices;
        EXPECT_EQ(out[2000 + 480], 0.0);
        // The line is shared: after a reset the next voice count starts clean.
        chorus->reset();
    }
}

TEST_F(ChorusFixture, VoiceCountsOutsideOneToThreeAreHeld)
{
    params.chorus_delay = 0.01f;
    params.chorus_depth = 0.0f;
    params.chorus_fb = 0.5f;
    params.chorus_dry = 0.0f;
    params.chorus_wet = 1.0f;
    for (const auto& [given, held] : {std::pair{0, 1}, std::pair{-4, 1}, std::pair{7, 3}}) {
        params.chorus_voices = given;
        chorus->start(48000);
        chorus->reset();
        std::vector<double> in(4000, 0.0);
        in[2000] = 1.0;
        const auto out = runMono(in);
        for (double s : out) ASSERT_TRUE(std::isfinite(s)) << given;
        EXPECT_NEAR(out[2000 + 481], std::sqrt(static_cast<double>(held)), 1e-9) << given;
        EXPECT_NEAR(out[2000 + 962], std::sqrt(static_cast<double>(held)) * 0.5, 1e-9) << given;
        chorus->reset();
    }
}

TEST_F(ChorusFixture, TheStereoLineHoldsTheAverageAndTheRightReadsLagBySdepth)
{
    params.chorus_delay = 0.02f; // 961 samples
    params.chorus_depth = 0.0f;
    params.chorus_sdepth = 0.01f; // 480 samples more on the right
    params.chorus_fb = 0.5f;
    params.chorus_wet = 0.5f;
    params.chorus_dry = 0.5f;
    chorus->prepare();
    std::vector<double> in(2 * 6000, 0.0);
    in[2 * 2000] = 1.0;     // left
    in[2 * 2000 + 1] = 1.0; // right
    const auto out = runStereo(in);
    std::vector<double> left, right;
    for (size_t i = 0; i < out.size(); i += 2) {
        left.push_back(out[i]);
        right.push_back(out[i + 1]);
    }
    // The dry part of each side is halved; the line gets (L + R) / 2 = 1.
    // Each voice's feedback enters the line halved too: 0.25 from the left at
    // 961, 0.25 from the right at 961 + 480, and so on.
    const std::vector<std::pair<size_t, double>> expectLeft{
        {2000, 0.25}, {2961, 0.5}, {3922, 0.125}, {4402, 0.125}, {4883, 0.03125}};
    const std::vector<std::pair<size_t, double>> expectRight{
        {2000, 0.25}, {3441, 0.5}, {4402, 0.125}, {4882, 0.125}};
    for (size_t i = 0; i < 5300; ++i) {
        double l = 0.0, r = 0.0;
        for (const auto& [at, v] : expectLeft)
            if (at == i) l = v;
        for (const auto& [at, v] : expectRight)
            if (at == i) r = v;
        ASSERT_NEAR(left[i], l, 1e-9) << i;
        ASSERT_NEAR(right[i], r, 1e-9) << i;
    }
}

TEST_F(ChorusFixture, TheRightVoicesTurnOneAndAHalfTimesAsFast)
{
    params.chorus_delay = 0.01f;
    params.chorus_depth = 0.004f;
    params.chorus_sdepth = 0.0f;
    params.chorus_period = 0.1f;
    tapOnly();
    chorus->prepare();
    const auto r = ramp(30000);
    std::vector<double> in(2 * r.size());
    for (size_t i = 0; i < r.size(); ++i) in[2 * i] = in[2 * i + 1] = r[i];
    const auto out = runStereo(in);
    std::vector<double> left, right;
    for (size_t i = 0; i < out.size(); i += 2) {
        left.push_back(out[i]);
        right.push_back(out[i + 1]);
    }
    // Both channels keep their LFO time within the same period; the right one
    // turns at 9.424777962 / period instead of 6.283185308 / period, with the
    // same amplitude around the same centre.
    const auto d = chorus->derived();
    const double period = d.period[0];
    const double swing = 48000.0 * d.amplitude; // 96 samples
    EXPECT_NEAR(swing, 96.0, 1e-3);
    const size_t from = 1000;
    const auto dl = delaysOf(left, from), dr = delaysOf(right, from);
    double largestLeft = 0.0, largestRight = 0.0;
    for (size_t k = 0; k < dl.size(); ++k) {
        const double t = std::fmod(static_cast<double>(from + k) / 48000.0, period);
        const double wantLeft = d.centreDelay + swing * std::sin(6.283185308 / period * t);
        const double wantRight = d.centreDelay + swing * std::sin(9.424777962 / period * t);
        // The open smoothers lag a fraction of a sample behind.
        ASSERT_NEAR(dl[k], wantLeft, 0.3) << k;
        ASSERT_NEAR(dr[k], wantRight, 0.3) << k;
        largestLeft = std::max(largestLeft, dl[k] - d.centreDelay);
        largestRight = std::max(largestRight, dr[k] - d.centreDelay);
    }
    EXPECT_NEAR(largestLeft, swing, 0.2);
    EXPECT_NEAR(largestRight, swing, 0.2);
}

TEST_F(ChorusFixture, TheGlideFlagSlowsTheSmoothersUntilCleared)
{
    params.chorus_delay = 0.01f; // 481
    params.chorus_depth = 0.0f;
    tapOnly();
    chorus->prepare();
    std::vector<double> r = ramp(20000);
    size_t at = 0;
    auto delayAfter = [&](size_t samples) {
        for (size_t end = at + samples; at < end; at += 128) chorus->processMono(r.data() + at, 128);
        return static_cast<double>(at - 1) - r[at - 1] / kSlope;
    };
    EXPECT_NEAR(delayAfter(2048), 481.0, 1e-6);

    // Without glide the new delay is reached within a block.
    params.chorus_delay = 0.02f; // 961
    chorus->prepare();
    EXPECT_NEAR(delayAfter(128), 961.0, 1e-3);

    // A slider movement with glide: the delay moves at 4 / period Hz
    // (1 Hz here), so after a block it has barely left.
    chorus->setGlideFlag();
    EXPECT_TRUE(chorus->glideFlag());
    params.chorus_delay = 0.01f;
    chorus->prepare();
    const double gliding = delayAfter(128);
    EXPECT_GT(gliding, 940.0);
    EXPECT_LT(gliding, 960.0);
    // A check box clears the flag: the smoothers open at the next block.
    chorus->clearGlideFlag();
    EXPECT_FALSE(chorus->glideFlag());
    EXPECT_NEAR(delayAfter(256), 481.0, 1e-3);
}

TEST_F(ChorusFixture, PrepareBringsTheVoicesOfEachChannelIntoPhase)
{
    params.chorus_voices = 3;
    params.chorus_period = 0.1f; // voices of 0.1, 0.12 and 0.14 s
    chorus->prepare();
    runStereo(std::vector<double>(2 * 6000, 0.0)); // 0.125 s
    for (int ch : {0, 1}) {
        EXPECT_NEAR(chorus->lfoTime(ch, 0), 0.025, 1e-8);
        EXPECT_NEAR(chorus->lfoTime(ch, 1), 0.005, 1e-8);
        EXPECT_NEAR(chorus->lfoTime(ch, 2), 0.125, 1e-8);
    }
    // The audio side takes a prepare over at its next block (here one frame).
    const double frame = 1.0 / 48000.0;
    chorus->prepare();
    runStereo(std::vector<double>(2, 0.0));
    for (int ch : {0, 1})
        for (int v : {1, 2}) EXPECT_EQ(chorus->lfoTime(ch, v), chorus->lfoTime(ch, 0));

    // A first voice beyond a shorter period is wrapped once for the others.
    params.chorus_period = 1.0f;
    chorus->prepare();
    runStereo(std::vector<double>(2 * 43199, 0.0)); // 0.9 s more: 0.925
    params.chorus_period = 0.1f;
    chorus->prepare();
    runStereo(std::vector<double>(2, 0.0));
    // Voices 1 and 2 restart from 0.925 wrapped once by their periods; the
    // frame then moves every voice on and wraps it again (all three are past
    // their periods).
    for (int ch : {0, 1}) {
        EXPECT_NEAR(chorus->lfoTime(ch, 0), 0.925 + frame - 0.1, 1e-8);
        EXPECT_NEAR(chorus->lfoTime(ch, 1), 0.925 - 0.12 + frame - 0.12, 1e-8);
        EXPECT_NEAR(chorus->lfoTime(ch, 2), 0.925 - 0.14 + frame - 0.14, 1e-8);
    }
}

TEST_F(ChorusFixture, ResetClearsAUsedLineAndKeepsTheRest)
{
    params.chorus_depth = 0.0f;
    EXPECT_FALSE(chorus->used());
    std::vector<double> in(3000, 0.0);
    in[2500] = 1.0;
    runMono(in);
    EXPECT_TRUE(chorus->used());
    const int w = chorus->writePosition();
    const double t = chorus->lfoTime(0, 0);
    chorus->reset();
    EXPECT_FALSE(chorus->used());
    EXPECT_EQ(chorus->writePosition(), w);
    EXPECT_EQ(chorus->lfoTime(0, 0), t);
    // Re-enabled: no old echo of the impulse.
    for (double s : runMono(std::vector<double>(4000, 0.0))) ASSERT_EQ(s, 0.0);
}

TEST_F(ChorusFixture, APeriodOfZeroFromAPresetIsHeldAtTheShortestPagePeriod)
{
    params.chorus_depth = 0.01f;
    params.chorus_voices = 3;
    std::vector<double> in(128 * 160);
    for (size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.01 * static_cast<double>(i));

    params.chorus_period = 0.1f;
    auto reference = std::make_unique<Chorus>(params, context);
    reference->start(48000);
    std::vector<double> expected = in;
    for (size_t at = 0; at < expected.size(); at += 128) reference->processMono(expected.data() + at, 128);

    for (float period : {0.0f, -2.0f, std::numeric_limits<float>::quiet_NaN()}) {
        params.chorus_period = period;
        auto held = std::make_unique<Chorus>(params, context);
        held->start(48000);
        EXPECT_DOUBLE_EQ(held->derived().period[0], static_cast<double>(0.1f));
        std::vector<double> out = in;
        for (size_t at = 0; at < out.size(); at += 128) held->processMono(out.data() + at, 128);
        ASSERT_EQ(out, expected) << period;
    }
}

TEST_F(ChorusFixture, PrepareFromTheUserInterfaceWhileBlocksRun)
{
    params.chorus_voices = 3;
    std::atomic<bool> stop{false};
    std::thread page([&] {
        int i = 0;
        while (!stop.load()) {
            params.chorus_delay = static_cast<float>(i % 800) / 10000.0f;
            params.chorus_depth = static_cast<float>((i * 7) % 500) / 10000.0f;
            params.chorus_period = static_cast<float>(10 + (i * 13) % 990) / 100.0f;
            params.chorus_voices = 1 + i % 3;
            params.chorus_sdepth = static_cast<float>(i % 1000) / 10000.0f;
            if (i % 2) chorus->setGlideFlag();
            else chorus->clearGlideFlag();
            chorus->prepare();
            ++i;
            std::this_thread::yield();
        }
    });
    std::vector<double> block(256);
    for (int b = 0; b < 1500; ++b) {
        for (int i = 0; i < 256; ++i) block[i] = std::sin(0.02 * (b * 256 + i));
        if (b % 2) chorus->processStereo(block.data(), 128);
        else chorus->processMono(block.data(), 128);
        for (double s : block) ASSERT_TRUE(std::isfinite(s) && std::fabs(s) < 10.0);
    }
    stop = true;
    page.join();
    // The derived values are those of the last parameters.
    auto fresh = std::make_unique<Chorus>(params, context);
    fresh->start(48000);
    const auto a = chorus->derived(), b = fresh->derived();
    EXPECT_EQ(a.maxDelay, b.maxDelay);
    EXPECT_EQ(a.minDelay, b.minDelay);
    EXPECT_EQ(a.centreDelay, b.centreDelay);
    EXPECT_EQ(a.period[2], b.period[2]);
    EXPECT_EQ(a.voiceGain, b.voiceGain);
}

TEST(ChorusRender, RenderJobDrivesTheMonoChorusThroughSet)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(4000, 0);
    in[1000] = 16000;
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    for (const char* s : {"stereo=0", "chorus_enabled=1", "chorus_delay=0.01", "chorus_depth=0", "chorus_fb=0"})
        ASSERT_TRUE(job.applySetting(s, error)) << error;
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), in.size());
    EXPECT_NEAR(out[1000], 8000, 2);       // dry 0.5
    EXPECT_NEAR(out[1000 + 481], 8000, 2); // wet 0.5, 0.01 s + one sample later
    EXPECT_EQ(out[1000 + 480], 0);
    EXPECT_EQ(out[1000 + 482], 0);
}

TEST(ChorusRender, KorvexRenderWidensWithTheStereoChorus)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(4000, 0);
    in[1000] = 16000;
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    const std::string cmd = std::string(STRAVIK_BUILD_DIR) + "/korvex render --in " + dir.file("in.wav") + " --out "
                            + dir.file("out.wav")
                            + " --set stereo=1 --set chorus_enabled=1 --set chorus_stereo=1 --set chorus_delay=0.01"
                              " --set chorus_depth=0 --set chorus_fb=0 --set chorus_sdepth=0.01 >/dev/null 2>&1";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), 2 * in.size());
    auto l = [&](size_t i) { return out[2 * i]; };
    auto r = [&](size_t i) { return out[2 * i + 1]; };
    EXPECT_NEAR(l(1000), 4000, 2); // halved dry part on each side
    EXPECT_NEAR(r(1000), 4000, 2);
    EXPECT_NEAR(l(1481), 8000, 2);
    EXPECT_EQ(r(1481), 0);
    EXPECT_NEAR(r(1961), 8000, 2); // 0.01 s later on the right
    EXPECT_EQ(l(1961), 0);
}
