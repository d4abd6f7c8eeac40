// Echo: repeats at the tap delays and feedback gains, the single-precision
// read positions, two taps (mono and spread), the stereo forms, the low-pass
// on the line input, prepare, reset and re-enabling, values a preset may
// carry, the chain's choice of form, `korvex render`, and requests from
// another thread while blocks run.
// test-label: threads
#include "effects/modulation/Echo.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/MathConstants.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace stravik;
using stravik::effects::Echo;

namespace {

struct EchoFixture : ::testing::Test {
    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    effects::EffectContext context{worker, messages};
    effects::EchoParams params;
    std::unique_ptr<Echo> echo = std::make_unique<Echo>(params, context);

    void SetUp() override
    {
        params.echo_delay = 0.5f;
        params.echo_fb = 0.4f;
        params.echo_dry = 0.7f;
        params.echo_wet = 0.3f;
        params.echo_2tap = 0;
        params.echo_lpass = 0;
        echo->start(48000);
    }

    // Mono blocks of varying length (1 to 128 frames), as the live paths
    // deliver them.
    std::vector<double> runMono(std::vector<double> in)
    {
        size_t at = 0;
        int len = 1;
        while (at < in.size()) {
            const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(len), in.size() - at));
            echo->processMono(in.data() + at, n);
            at += static_cast<size_t>(n);
            len = len % 128 + 37;
            if (len > 128) len = 128;
        }
        return in;
    }
    // Interleaved frames in blocks of 128.
    template <typename Form>
    std::vector<double> runStereo(std::vector<double> in, Form form)
    {
        const size_t frames = in.size() / 2;
        for (size_t at = 0; at < frames; at += 128) {
            const int n = static_cast<int>(std::min<size_t>(128, frames - at));
            (echo.get()->*form)(in.data() + 2 * at, n);
        }
        return in;
    }
};

std::vector<double> impulse(size_t length, double height = 1.0, size_t at = 0)
{
    std::vector<double> v(length, 0.0);
    v[at] = height;
    return v;
}

// Every sample not listed must be exactly zero.
void expectOnly(const std::vector<double>& out, const std::vector<std::pair<size_t, double>>& expected,
                double tolerance = 1e-12)
{
    std::vector<bool> listed(out.size(), false);
    for (const auto& [at, value] : expected) {
        ASSERT_LT(at, out.size());
        EXPECT_NEAR(out[at], value, tolerance) << "at " << at;
        listed[at] = true;
    }
    for (size_t i = 0; i < out.size(); ++i) {
        if (!listed[i]) {
            ASSERT_EQ(out[i], 0.0) << "unexpected sound at " << i;
        }
    }
}

} // namespace

TEST_F(EchoFixture, HalfASecondAt48kRepeatsAnImpulseAtTheWetGainThenTimesTheFeedback)
{
    const auto out = runMono(impulse(24000 * 4 + 10));
    expectOnly(out, {{0, 0.7}, {24000, 0.3}, {48000, 0.3 * 0.4}, {72000, 0.3 * 0.4 * 0.4},
                     {96000, 0.3 * 0.4 * 0.4 * 0.4}},
               1e-7);
    // The gains are single-precision parameters: the repeat is wet as a float.
    EXPECT_EQ(out[24000], static_cast<double>(0.3f));
}

TEST_F(EchoFixture, ReadPositionsAreSinglePrecisionTruncatedTowardZero)
{
    // At 22050 Hz, 0.01 s is 220.5 samples. From write position 0 the first
    // read position is truncate(-220.5) = -220, wrapped: a 220-sample delay.
    // Further on, truncate(w - 220.5) lies 221 samples back.
    echo->start(22050);
    params.echo_delay = 0.01f;
    params.echo_fb = 0.0f;
    std::vector<double> block(128, 0.0);
    block[0] = 1.0;
    int r1 = 0, r2 = 0;
    echo->readPositions(r1, r2);
    EXPECT_EQ(r1, Echo::kLineLength - 220);
    std::vector<double> out;
    for (int b = 0; b < 10; ++b) {
        std::vector<double> in = b == 0 ? block : std::vector<double>(128, 0.0);
        echo->processMono(in.data(), 128);
        out.insert(out.end(), in.begin(), in.end());
    }
    expectOnly(out, {{0, static_cast<double>(0.7f)}, {220, static_cast<double>(0.3f)}}, 0.0);

    // A block that starts at write position 1280 (ten blocks in).
    ASSERT_EQ(echo->writePosition(), 1280);
    echo->readPositions(r1, r2);
    EXPECT_EQ(r1, 1059);
    out.clear();
    for (int b = 0; b < 3; ++b) {
        std::vector<double> in = b == 0 ? block : std::vector<double>(128, 0.0);
        echo->processMono(in.data(), 128);
        out.insert(out.end(), in.begin(), in.end());
    }
    expectOnly(out, {{0, static_cast<double>(0.7f)}, {221, static_cast<double>(0.3f)}}, 0.0);

    // At 48000 Hz, 0.01 s in single precision is exactly 480 samples (in
    // double precision it would fall just short: 479 from write position 0).
    echo->start(48000);
    out.clear();
    for (int b = 0; b < 15; ++b) {
        std::vector<double> in(128, 0.0);
        if (b == 0 || b == 10) in[0] = 1.0;
        echo->processMono(in.data(), 128);
        out.insert(out.end(), in.begin(), in.end());
    }
    const double dry = 0.7f, wet = 0.3f;
    expectOnly(out, {{0, dry}, {480, wet}, {1280, dry}, {1280 + 480, wet}}, 0.0);
}

TEST_F(EchoFixture, TwoTapMonoRepeatsAtBothTapsAndFeedsBackOnlyTheFirst)
{
    params.echo_2tap = 1;
    params.echo_2tapdel = 0.1f; // 4800 samples behind the first tap
    const double wet = 0.3f, fb = 0.4f;
    const auto out = runMono(impulse(80000));
    expectOnly(out, {{0, static_cast<double>(0.7f)},
                     {24000, wet},
                     {28800, wet},
                     {48000, wet * fb},
                     {52800, wet * fb},
                     {72000, wet * fb * fb},
                     {76800, wet * fb * fb}});
}

TEST_F(EchoFixture, BothDelaysAtTheirLongestReadTheSampleOfThreeSecondsAgo)
{
    params.echo_delay = 2.0f;
    params.echo_2tapdel = 1.0f;
    params.echo_2tap = 1;
    params.echo_fb = 0.0f;
    params.echo_dry = 1.0f;
    params.echo_wet = 0.5f;
    // A steady signal with one marked sample: the second tap must not return
    // the sample being written (that would add half of every input at once).
    std::vector<double> in(144000 + 300, 0.0);
    in[100] = 1.0;
    const auto out = runMono(in);
    expectOnly(out, {{100, 1.0}, {100 + 96000, 0.5}, {100 + 144000, 0.5}});
}

TEST_F(EchoFixture, TheLowPassFiltersEachInputOnceOnItsWayIntoTheLine)
{
    params.echo_lpass = 1;
    params.echo_lpfreq = 1000.0f;
    params.echo_delay = 0.1f; // 4800 samples
    params.echo_fb = 0.5f;
    echo->start(48000);
    const auto out = runMono(impulse(4800 * 3));

    dsp::IirFilter reference;
    reference.designLowPass(1000, 1.0, 1.0, 48000);
    std::vector<double> h = impulse(4800 * 3);
    reference.process2(h.data(), static_cast<int>(h.size()));

    const double wet = 0.3f, fb = 0.5f;
    EXPECT_NEAR(out[0], 0.7f, 1e-12); // the dry part is not filtered
    for (size_t k = 0; k < 4800; ++k) {
        // First repeat: the filtered impulse. Second: the first repeat times
        // the feedback, not filtered again (plus the filter's own tail).
        ASSERT_NEAR(out[4800 + k], wet * h[k], 1e-12) << k;
        ASSERT_NEAR(out[9600 + k], wet * (fb * h[k] + h[4800 + k]), 1e-12) << k;
    }
}

TEST_F(EchoFixture, TheLowPassCutoffIsHeldBelowHalfTheRate)
{
    // A preset with 12000 Hz at 22050 Hz: the cutoff becomes 10975 Hz.
    params.echo_lpfreq = 12000.0f;
    echo->start(22050);
    const double w0 = dsp::kTwoPi * 10975 / 22050;
    const double alpha = std::sin(w0) / 2.0;
    const double a0 = 1.0 + alpha;
    const auto& lp = echo->lowPass();
    EXPECT_NEAR(lp.coefficient(dsp::IirFilter::kB0), (1.0 - std::cos(w0)) / 2.0 / a0, 1e-15);
    EXPECT_NEAR(lp.coefficient(dsp::IirFilter::kB1), (1.0 - std::cos(w0)) / a0, 1e-15);
    EXPECT_NEAR(lp.coefficient(dsp::IirFilter::kA1), -2.0 * std::cos(w0) / a0, 1e-15);
    EXPECT_NEAR(lp.coefficient(dsp::IirFilter::kA2), (1.0 - alpha) / a0, 1e-15);
}

TEST_F(EchoFixture, ACutoffBelowOneHertzFromAPresetStaysStable)
{
    // Negative, zero and not-a-number frequencies would make the biquad grow
    // without bound and fill the line with it.
    for (float f : {-500.0f, 0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0e30f}) {
        params.echo_lpass = 1;
        params.echo_lpfreq = f;
        echo->start(48000);
        std::vector<double> in(48000);
        for (size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.05 * static_cast<double>(i));
        const auto out = runMono(in);
        for (double v : out) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 4.0) << f;
    }
}

TEST_F(EchoFixture, RedesignTakesEffectAtTheNextBlockAndKeepsTheHistory)
{
    params.echo_lpass = 1;
    params.echo_lpfreq = 2000.0f;
    echo->start(48000);
    runMono(std::vector<double>(500, 0.25));
    const double* before = echo->lowPass().values();
    std::vector<double> history(before + dsp::IirFilter::kInputHistory, before + dsp::IirFilter::kInputGain);

    params.echo_lpfreq = 500.0f;
    echo->redesignLowPass();
    dsp::IirFilter expected;
    expected.designLowPass(2000, 1.0, 1.0, 48000);
    EXPECT_EQ(echo->lowPass().coefficient(dsp::IirFilter::kB0), expected.coefficient(dsp::IirFilter::kB0));
    echo->processMono(nullptr, 0); // an empty block carries the request out
    expected.designLowPass(500, 1.0, 1.0, 48000);
    for (int c : {dsp::IirFilter::kB0, dsp::IirFilter::kB1, dsp::IirFilter::kA1, dsp::IirFilter::kA2})
        EXPECT_EQ(echo->lowPass().coefficient(c), expected.coefficient(c));
    const double* after = echo->lowPass().values();
    for (size_t i = 0; i < history.size(); ++i) EXPECT_EQ(after[dsp::IirFilter::kInputHistory + i], history[i]);
}

TEST_F(EchoFixture, SpreadOnePutsTheFirstTapLeftAndTheSecondRight)
{
    params.echo_2tap = 1;
    params.echo_2tapdel = 0.1f;
    params.echo_fb = 0.0f;
    params.echo_2tapspread = 1.0f;
    std::vector<double> in(2 * 30000, 0.0);
    in[0] = in[1] = 1.0;
    const auto out = runStereo(in, &Echo::processSpread);
    std::vector<double> left, right;
    for (size_t i = 0; i < out.size(); i += 2) {
        left.push_back(out[i]);
        right.push_back(out[i + 1]);
    }
    const double dry = 0.7f, wet = 0.3f;
    expectOnly(left, {{0, dry}, {24000, wet}});
    expectOnly(right, {{0, dry}, {28800, wet}});
}

TEST_F(EchoFixture, SpreadSharesTheTapsByItsGainsAndFeedsTheLineFromTheLeftOnly)
{
    params.echo_2tap = 1;
    params.echo_2tapdel = 0.1f;
    params.echo_fb = 0.5f;
    params.echo_2tapspread = 0.5f;
    const double wet = 0.3f, fb = 0.5f;
    const double gA = static_cast<float>((0.5f + 0.25f) * 0.3f), gB = static_cast<float>((0.5f - 0.25f) * 0.3f);
    // Impulse on the left only, then on the right only.
    std::vector<double> in(2 * 60000, 0.0);
    in[0] = 1.0;
    in[2 * 100 + 1] = 1.0; // the right input is never fed into the line
    const auto out = runStereo(in, &Echo::processSpread);
    std::vector<double> left, right;
    for (size_t i = 0; i < out.size(); i += 2) {
        left.push_back(out[i]);
        right.push_back(out[i + 1]);
    }
    const double dry = 0.7f;
    expectOnly(left, {{0, dry}, {24000, gA}, {28800, gB}, {48000, gA * fb}, {52800, gB * fb}});
    expectOnly(right, {{100, dry}, {24000, gB}, {28800, gA}, {48000, gB * fb}, {52800, gA * fb}});
    EXPECT_NEAR(gA + gB, wet, 1e-7);
}

TEST_F(EchoFixture, MonoOnStereoHearsTheLeftAndWritesBothSides)
{
    params.echo_2tap = 1;
    params.echo_2tapdel = 0.1f;
    params.echo_fb = 0.0f;
    std::vector<double> in(2 * 30000, 0.0);
    in[0] = 1.0;  // left
    in[1] = -0.5; // right: ignored
    in[2 * 10 + 1] = 0.9;
    const auto out = runStereo(in, &Echo::processMonoOnStereo);
    std::vector<double> left, right;
    for (size_t i = 0; i < out.size(); i += 2) {
        left.push_back(out[i]);
        right.push_back(out[i + 1]);
    }
    EXPECT_EQ(left, right);
    expectOnly(left, {{0, static_cast<double>(0.7f)}, {24000, static_cast<double>(0.3f)},
                      {28800, static_cast<double>(0.3f)}});
}

TEST_F(EchoFixture, TheDispatchSpreadsOnlyWithTwoTapsASpreadAndAStereoOutput)
{
    params.echo_2tap = 1;
    params.echo_2tapdel = 0.1f;
    params.echo_fb = 0.0f;
    params.echo_2tapspread = 1.0f;
    // Stereo output: spread form on frames; the right side hears only tap two.
    std::vector<double> frames(2 * 128, 0.0);
    frames[0] = frames[1] = 1.0;
    echo->process(frames.data(), 128, true);
    for (int b = 0; b < 230; ++b) {
        std::fill(frames.begin(), frames.end(), 0.0);
        echo->process(frames.data(), 128, true);
        for (int i = 0; i < 128; ++i) {
            const int at = (b + 1) * 128 + i;
            if (at == 24000) {
                EXPECT_NEAR(frames[2 * i], 0.3, 1e-7);
                EXPECT_EQ(frames[2 * i + 1], 0.0);
            }
            if (at == 28800) {
                EXPECT_EQ(frames[2 * i], 0.0);
                EXPECT_NEAR(frames[2 * i + 1], 0.3, 1e-7);
            }
        }
    }
    // Spread 0 or a mono output: the mono form, both taps at full wet level.
    for (bool stereoOut : {true, false}) {
        params.echo_2tapspread = stereoOut ? 0.0f : 1.0f;
        echo->start(48000);
        const auto out = [&] {
            std::vector<double> in = impulse(30000);
            for (size_t at = 0; at < in.size(); at += 100)
                echo->process(in.data() + at, static_cast<int>(std::min<size_t>(100, in.size() - at)), stereoOut);
            return in;
        }();
        expectOnly(out, {{0, static_cast<double>(0.7f)}, {24000, static_cast<double>(0.3f)},
                         {28800, static_cast<double>(0.3f)}});
    }
}

TEST_F(EchoFixture, ResetClearsAUsedLineSoReenablingStartsSilent)
{
    params.echo_lpass = 1;
    EXPECT_FALSE(echo->used());
    runMono(impulse(1000, 0.8));
    EXPECT_TRUE(echo->used());
    EXPECT_NE(echo->writePosition(), 0);
    echo->reset();
    EXPECT_FALSE(echo->used());
    EXPECT_EQ(echo->writePosition(), 0);
    const double* v = echo->lowPass().values();
    for (int i = dsp::IirFilter::kInputHistory; i < dsp::IirFilter::kInputGain; ++i) EXPECT_EQ(v[i], 0.0);
    // No old repeat comes back.
    const auto out = runMono(std::vector<double>(50000, 0.0));
    for (double s : out) ASSERT_EQ(s, 0.0);
}

TEST_F(EchoFixture, ResetOfAnUnusedLineChangesNothing)
{
    // A line that has not been used since it was cleared is left alone; the
    // write position a prepare left stays where it is.
    echo->reset();
    EXPECT_EQ(echo->writePosition(), 0);
    runMono(impulse(300));
    echo->reset();
    echo->reset();
    EXPECT_FALSE(echo->used());
    EXPECT_EQ(echo->writePosition(), 0);
}

TEST_F(EchoFixture, PrepareClearsTheLineAndRestartsTheWritePositionAtTheNextBlock)
{
    runMono(impulse(10000));
    ASSERT_EQ(echo->writePosition(), 10000);
    params.echo_lpfreq = 3000.0f;
    echo->prepare();
    std::vector<double> silence(30000, 0.0);
    echo->processMono(silence.data(), 0);
    EXPECT_EQ(echo->writePosition(), 0);
    dsp::IirFilter expected;
    expected.designLowPass(3000, 1.0, 1.0, 48000);
    EXPECT_EQ(echo->lowPass().coefficient(dsp::IirFilter::kB0), expected.coefficient(dsp::IirFilter::kB0));
    const auto out = runMono(silence);
    for (double s : out) ASSERT_EQ(s, 0.0); // the repeat at 24000 is gone
}

TEST_F(EchoFixture, AClearedLineSoundsLikeANewOneWhateverTheTapsDo)
{
    // This echo's line is full of loud noise when it is cleared; a second
    // echo, just started, has never held anything. Driven alike from then on
    // (every form, delays from none to beyond the line, delays changing
    // between blocks, blocks of every length, a second clear part way), the
    // two must give the same samples to the bit.
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    params.echo_fb = 0.9f;
    params.echo_2tap = 1;
    params.echo_delay = 1.0f;
    params.echo_2tapdel = 1.0f;
    std::vector<double> loud(2 * 200000);
    for (double& s : loud) s = noise(rng);
    runMono(std::vector<double>(loud.begin(), loud.begin() + 200000));
    runStereo(loud, &Echo::processSpread); // every slot written, recently
    echo->reset();

    auto fresh = std::make_unique<Echo>(params, context);
    fresh->start(48000);
    const float delays[] = {0.0f, 1e-5f, 0.0027f, 0.25f, 1.0f, 2.0f, 2.9999f, 3.0f, 5.0f};
    std::vector<double> a(256), b(256);
    for (int block = 0; block < 5000; ++block) {
        const int frames = block % 7 == 0 ? 128 : static_cast<int>(rng() % 129);
        if (block % 5 == 0) {
            params.echo_delay = delays[rng() % 9];
            params.echo_2tapdel = delays[rng() % 9];
            params.echo_2tap = static_cast<int>(rng() % 4 != 0);
            params.echo_lpass = static_cast<int>(rng() % 2);
            params.echo_2tapspread = static_cast<float>(rng() % 3) / 2.0f;
        }
        if (block == 2500) {
            echo->reset();
            fresh->reset();
        }
        if (block == 3700) {
            echo->prepare();
            fresh->prepare();
        }
        for (int i = 0; i < 2 * frames; ++i) a[i] = b[i] = 0.5 * noise(rng) * (block % 40 < 20);
        switch (rng() % 3) {
        case 0:
            echo->processMono(a.data(), frames);
            fresh->processMono(b.data(), frames);
            break;
        case 1:
            echo->processSpread(a.data(), frames);
            fresh->processSpread(b.data(), frames);
            break;
        default:
            echo->processMonoOnStereo(a.data(), frames);
            fresh->processMonoOnStereo(b.data(), frames);
            break;
        }
        for (int i = 0; i < 2 * frames; ++i) ASSERT_EQ(a[i], b[i]) << "block " << block << " sample " << i;
    }
}

TEST_F(EchoFixture, DelaysBeyondTheLineFromAPresetStayInsideIt)
{
    params.echo_fb = 0.0f;
    params.echo_dry = 0.0f;
    params.echo_wet = 1.0f;
    // Longer than the line holds: the oldest sample (3.0 s at 48000 Hz).
    params.echo_delay = 10.0f;
    auto out = runMono(impulse(144000 + 10, 1.0, 5));
    expectOnly(out, {{5 + 144000, 1.0}});
    // Negative or not a number: the sample just written.
    for (float d : {-1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        params.echo_delay = d;
        params.echo_2tap = 1;
        params.echo_2tapdel = -3.0f;
        echo->start(48000);
        out = runMono(impulse(1000, 1.0, 7));
        expectOnly(out, {{7, 2.0}});
    }
    // A second tap far beyond the line still reads inside it.
    params.echo_delay = 2.5f;
    params.echo_2tapdel = 100.0f;
    echo->start(48000);
    out = runMono(impulse(150000, 1.0, 3));
    for (double s : out) ASSERT_TRUE(std::isfinite(s));
    EXPECT_EQ(out[3 + 120000], 1.0);
}

TEST_F(EchoFixture, OtherSampleRatesScaleTheDelay)
{
    params.echo_fb = 0.0f;
    params.echo_delay = 0.25f;
    for (int rate : {22050, 44100}) {
        echo->start(rate);
        const auto out = runMono(impulse(static_cast<size_t>(rate)));
        const size_t at = static_cast<size_t>(rate / 4); // 5512.5 truncates to 5512 from w = 0
        expectOnly(out, {{0, static_cast<double>(0.7f)}, {at, static_cast<double>(0.3f)}});
    }
}

TEST_F(EchoFixture, PrepareAndRedesignFromAnotherThreadWhileBlocksRun)
{
    params.echo_lpass = 1;
    params.echo_2tap = 1;
    std::atomic<bool> stop{false};
    std::thread page([&] {
        int i = 0;
        while (!stop.load()) {
            params.echo_lpfreq = static_cast<float>(100 + (i * 731) % 7900);
            params.echo_delay = 0.01f + static_cast<float>(i % 200) / 100.0f;
            if (i % 3 == 0) echo->prepare();
            else echo->redesignLowPass();
            ++i;
            std::this_thread::yield();
        }
    });
    std::vector<double> block(128);
    for (int b = 0; b < 1500; ++b) {
        for (int i = 0; i < 128; ++i) block[i] = std::sin(0.01 * (b * 128 + i));
        echo->processMono(block.data(), 128);
        for (double s : block) ASSERT_TRUE(std::isfinite(s) && std::fabs(s) < 10.0);
    }
    stop = true;
    page.join();
    // After a last prepare the line is empty: silence in gives silence out
    // (with the low-pass off, whose history a prepare keeps).
    params.echo_lpass = 0;
    echo->prepare();
    const auto out = runMono(std::vector<double>(5000, 0.0));
    for (double s : out) ASSERT_EQ(s, 0.0);
}

// Through the chain: with a stereo output, spread 0 runs the mono form on the
// work buffer, a spread widens, and switching the echo off and on is silent.
struct EchoChainFixture : ::testing::Test {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);

    void SetUp() override
    {
        engine->settings.BeepOnStart = 0;
        engine->settings.stereo = 1;
        auto& e = engine->params.echo;
        e.echo_enabled = 1;
        e.echo_delay = 0.01f; // 480 samples
        e.echo_fb = 0.0f;
        e.echo_2tap = 1;
        e.echo_2tapdel = 0.01f;
        engine->beginRun(48000);
    }
    // n blocks of 128; an impulse of 0.5 at the start; the stereo frames.
    std::vector<double> render(int blocks, bool pulse = true)
    {
        std::vector<double> frames;
        for (int b = 0; b < blocks; ++b) {
            for (int i = 0; i < 128; ++i) engine->WorkBuffer[i] = (pulse && b == 0 && i == 0) ? 0.5 : 0.0;
            engine->ProcessBlock(128);
            frames.insert(frames.end(), engine->StereoBuffer, engine->StereoBuffer + 256);
        }
        return frames;
    }
};

TEST_F(EchoChainFixture, SpreadZeroRunsTheMonoFormWithBothTapsAtFullLevel)
{
    engine->params.echo.echo_2tapspread = 0.0f;
    const auto f = render(10);
    for (size_t at : {size_t{480}, size_t{960}}) {
        EXPECT_NEAR(f[2 * at], 0.5 * 0.3, 1e-6) << at;
        EXPECT_NEAR(f[2 * at + 1], 0.5 * 0.3, 1e-6) << at;
    }
}

TEST_F(EchoChainFixture, SpreadOneThroughTheChainSplitsTheTaps)
{
    engine->params.echo.echo_2tapspread = 1.0f;
    const auto f = render(10);
    EXPECT_NEAR(f[2 * 480], 0.5 * 0.3, 1e-6);
    EXPECT_NEAR(f[2 * 480 + 1], 0.0, 1e-9);
    EXPECT_NEAR(f[2 * 960], 0.0, 1e-9);
    EXPECT_NEAR(f[2 * 960 + 1], 0.5 * 0.3, 1e-6);
}

TEST_F(EchoChainFixture, SwitchingOffAndOnBringsNoOldRepeats)
{
    engine->params.echo.echo_delay = 0.1f; // 4800 samples: longer than the pause
    engine->params.echo.echo_fb = 0.8f;
    render(4);
    engine->params.echo.echo_enabled = 0;
    render(1, false);
    engine->params.echo.echo_enabled = 1;
    const auto f = render(200, false);
    for (double s : f) ASSERT_LT(std::fabs(s), 1e-12);
}

TEST(EchoRender, KorvexRenderDrivesTheEchoThroughSet)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(48000 / 2, 0);
    in[100] = 16000;
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    for (const char* s : {"stereo=0", "echo_enabled=1", "echo_delay=0.1", "echo_fb=0.5"})
        ASSERT_TRUE(job.applySetting(s, error)) << error;
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), in.size());
    // Dry 0.7, wet 0.3: 11200 now, 4800 after 0.1 s, 2400 after 0.2 s.
    EXPECT_NEAR(out[100], 11200, 2);
    EXPECT_NEAR(out[100 + 4800], 4800, 2);
    EXPECT_NEAR(out[100 + 9600], 2400, 2);
    EXPECT_NEAR(out[100 + 14400], 1200, 2);
    EXPECT_EQ(out[100 + 4799], 0);
    EXPECT_EQ(out[100 + 4801], 0);
}
