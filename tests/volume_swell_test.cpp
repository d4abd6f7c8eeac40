// The volume swell: its curve, the muting of quiet strings, the rise of a
// note along the curve, the low-pass corners, the sense, "Auto" (served by
// the audio thread while the window waits, or withdrawn after the wait),
// the denormal offset, and the stage end to end through korvex render.
// test-label: threads
#include "effects/tone/VolumeSwell.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr double kTwoPiExact = 6.283185307179586;

std::vector<double> tone(double freq, int fs, double seconds, double amp)
{
    std::vector<double> v(static_cast<size_t>(fs * seconds));
    for (size_t i = 0; i < v.size(); ++i) v[i] = amp * std::sin(kTwoPiExact * freq * static_cast<double>(i) / fs);
    return v;
}

class SwellFixture : public ::testing::Test {
protected:
    SwellFixture() : swell(params, context) { swell.start(48000); }

    void run(std::vector<double>& v, int block = 128)
    {
        for (size_t i = 0; i < v.size(); i += static_cast<size_t>(block))
            swell.process(v.data() + i, static_cast<int>(std::min<size_t>(static_cast<size_t>(block), v.size() - i)));
    }

    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    SwellParams params;
    VolumeSwell swell;
};

TEST_F(SwellFixture, CurveFigures)
{
    EXPECT_EQ(swell.curve(0.0), 0.0);
    EXPECT_EQ(swell.curve(0.05), 0.0);
    EXPECT_EQ(swell.curve(0.1), 0.0);
    EXPECT_EQ(swell.curve(0.15), 0.0);
    EXPECT_NEAR(swell.curve(0.516129), 0.017857, 1e-12);
    EXPECT_NEAR(swell.curve(0.594982), 0.047619, 1e-12);
    EXPECT_NEAR(swell.curve(0.670251), 0.152778, 1e-12); // about 0.15 at g = 0.67
    EXPECT_EQ(swell.curve(1.0), 1.0);
    EXPECT_EQ(swell.curve(1.3), 1.0);
    EXPECT_GT(swell.curve(0.16), 0.0);
    // Given slopes: 2.704074 at the top.
    const double h = 1e-6;
    EXPECT_NEAR((swell.curve(1.0) - swell.curve(1.0 - h)) / h, 2.704074, 1e-4);
    double prev = 0.0;
    for (int i = 0; i <= 1000; ++i) {
        const double y = swell.curve(i / 1000.0);
        EXPECT_GE(y, prev - 1e-15) << i;
        prev = y;
    }
    EXPECT_EQ(messages.count(), 0u);
}

TEST_F(SwellFixture, TheDenormalOffsetKeepsItsOwnCountAcrossBlocks)
{
    std::vector<double> z(200, 0.0);
    run(z, 7);
    for (size_t i = 0; i < z.size(); ++i) {
        // Sign flips on every tenth sample of the stream: + for 0..8, - for
        // 9..18, + for 19..28, ...
        const bool negative = ((i + 1) / 10) % 2 == 1;
        ASSERT_EQ(z[i], negative ? -1e-15 : 1e-15) << i;
    }
}

TEST_F(SwellFixture, QuietStringsAreMutedExactly)
{
    // Noise 30 dB below the sense never lifts the gain past 0.15, where the
    // curve is exactly 0: only the denormal offset comes out.
    params.swell_sense = -50.0f;
    for (int blk = 0; blk < 400; ++blk) {
        auto b = tone(330.0, 48000, 128.0 / 48000, 3e-4);
        swell.process(b.data(), 128);
        for (double y : b) ASSERT_EQ(std::fabs(y), 1e-15) << blk;
        ASSERT_LE(swell.gain(), 0.15);
    }
    EXPECT_GT(swell.gain(), 0.0); // the noise is heard by the detector
}

TEST_F(SwellFixture, AFullScaleNoteRisesAlongTheCurve)
{
    params.swell_sense = -50.0f;
    params.swell_attack = 0.3f;
    auto x = tone(220.0, 48000, 1.5, 0.9);
    std::vector<double> y = x;
    double offset = 1e-15;
    int counter = 0;
    double maxGain = 0.0;
    double gainAt100ms = -1.0;
    for (size_t i = 0; i < y.size(); ++i) {
        swell.process(&y[i], 1);
        if (++counter == 10) {
            counter = 0;
            offset = -offset;
        }
        // Each sample is the curve of the gain reached at that sample.
        ASSERT_NEAR(y[i], swell.curve(swell.gain()) * x[i] + offset, 1e-17) << i;
        maxGain = std::max(maxGain, swell.gain());
        if (i == 4800) gainAt100ms = swell.gain();
    }
    // A slow swell: the gain is still low after 100 ms and near 1 at the end.
    EXPECT_GT(gainAt100ms, 0.1);
    EXPECT_LT(gainAt100ms, 0.67);
    EXPECT_GT(swell.gain(), 0.95);
    EXPECT_LE(maxGain, 1.05);
    // Audible: quiet at the start, full at the end.
    double early = 0.0, late = 0.0;
    for (size_t i = 0; i < 2400; ++i) early = std::max(early, std::fabs(y[i]));
    for (size_t i = y.size() - 2400; i < y.size(); ++i) late = std::max(late, std::fabs(y[i]));
    EXPECT_LT(early, 0.01);
    EXPECT_GT(late, 0.8);
}

TEST_F(SwellFixture, EachLowPassTakesOverFromTheCurrentGain)
{
    // Note, silence, note again: the gain moves smoothly through every
    // change of direction, never jumping to a low-pass's old state.
    auto x = tone(220.0, 48000, 1.3, 0.5);
    std::fill(x.begin() + 19200, x.begin() + 38400, 0.0);
    double prev = swell.gain();
    double biggestStep = 0.0;
    double lowest = 1.0;
    for (size_t i = 0; i < x.size(); ++i) {
        swell.process(&x[i], 1);
        biggestStep = std::max(biggestStep, std::fabs(swell.gain() - prev));
        prev = swell.gain();
        if (i == 19199) {
            ASSERT_GT(swell.gain(), 0.8); // the first note came up
        }
        if (i >= 19200 && i < 38400) lowest = std::min(lowest, swell.gain());
    }
    EXPECT_LT(biggestStep, 0.002);
    EXPECT_LT(lowest, 0.15); // muted during the pause
    EXPECT_GT(swell.gain(), 0.8); // and up again
}

TEST_F(SwellFixture, LowPassCornersFollowTheAttackSetting)
{
    struct Case {
        float attack;
        double rise, fall;
    };
    for (const Case& c : {Case{0.0f, 0.3, 1.0}, Case{1.0f, 10.3, 6.0}, Case{0.3f, 1.2, 1.45}}) {
        params.swell_attack = c.attack;
        std::vector<double> b(128, 0.0);
        swell.process(b.data(), 128); // redesigned with every block
        EXPECT_NEAR(swell.riseCorner(), c.rise, 1e-6) << c.attack;
        EXPECT_NEAR(swell.fallCorner(), c.fall, 1e-6) << c.attack;
    }
    // The corners decide how fast a note comes up: time to reach g = 0.5.
    auto riseTime = [&](float attack) {
        params.swell_attack = attack;
        swell.start(48000);
        auto x = tone(220.0, 48000, 3.0, 0.5);
        for (size_t i = 0; i < x.size(); i += 128) {
            swell.process(&x[i], 128);
            if (swell.gain() >= 0.5) return static_cast<double>(i) / 48000;
        }
        return 99.0;
    };
    // A first-order low-pass reaches half way after ln 2 / (2 pi f): 0.37 s at
    // 0.3 Hz, 11 ms at 10.3 Hz (the detector adds a little).
    const double slow = riseTime(0.0), fast = riseTime(1.0);
    EXPECT_NEAR(slow, 0.37, 0.05);
    EXPECT_LT(fast, 0.03);
    EXPECT_GT(fast, 0.008);
}

TEST_F(SwellFixture, TheSenseSeparatesNotesFromNoise)
{
    params.swell_sense = -50.0f;
    auto quiet = tone(220.0, 48000, 1.0, std::pow(10.0, -70.0 / 20.0));
    run(quiet);
    for (double y : quiet) ASSERT_EQ(std::fabs(y), 1e-15);
    auto loud = tone(220.0, 48000, 1.0, std::pow(10.0, -20.0 / 20.0));
    run(loud);
    EXPECT_GT(swell.gain(), 0.8);
    // A more sensitive setting opens for the quiet tone as well.
    swell.start(48000);
    params.swell_sense = -90.0f;
    quiet = tone(220.0, 48000, 1.0, std::pow(10.0, -70.0 / 20.0));
    run(quiet);
    EXPECT_GT(swell.gain(), 0.8);
}

TEST_F(SwellFixture, AutoSetsTheSenseFromTheNextBlock)
{
    struct Case {
        double peak;
        float sense;
    };
    // Peak plus 10 dB, truncated toward zero, never below -60 dB.
    for (const Case& c : {Case{1e-4, -60.0f}, Case{std::pow(10.0, -70.5 / 20.0), -60.0f}, Case{0.01, -30.0f},
                          Case{0.005, -36.0f}, Case{std::pow(10.0, -69.0 / 20.0), -59.0f}, Case{0.0, -60.0f}}) {
        params.swell_sense = -5.0f;
        swell.postAutoRequest();
        EXPECT_TRUE(swell.autoPending());
        std::vector<double> b(128, 0.0);
        b[17] = -c.peak; // the peak is taken of the magnitude
        b[40] = c.peak / 2;
        swell.process(b.data(), 128);
        EXPECT_FALSE(swell.autoPending());
        EXPECT_EQ(params.swell_sense.get(), c.sense) << c.peak;
        // Served once: the next block leaves the sense alone.
        params.swell_sense = -5.0f;
        swell.process(b.data(), 128);
        EXPECT_EQ(params.swell_sense.get(), -5.0f);
    }
}

TEST_F(SwellFixture, AutoWaitsForTheAudioThreadAndGivesUpWhenNothingRuns)
{
    params.swell_sense = -5.0f;
    std::atomic<bool> stop{false};
    std::thread audio([&] {
        std::vector<double> b(128);
        while (!stop.load()) {
            for (int i = 0; i < 128; ++i) b[i] = (i % 2 ? 1 : -1) * 0.001; // -60 dBFS, plus 10 dB: -50
            swell.process(b.data(), 128);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(swell.requestAuto(std::chrono::milliseconds(5000)));
    stop = true;
    audio.join();
    EXPECT_EQ(params.swell_sense.get(), -50.0f);

    // No processing: the bounded wait ends and the request is withdrawn, so
    // a block processed much later does not act on it.
    params.swell_sense = -5.0f;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(swell.requestAuto(std::chrono::milliseconds(150)));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    EXPECT_FALSE(swell.autoPending());
    std::vector<double> b(128, 0.001);
    swell.process(b.data(), 128);
    EXPECT_EQ(params.swell_sense.get(), -5.0f);
}

TEST_F(SwellFixture, StartMutesAgain)
{
    auto x = tone(220.0, 48000, 1.0, 0.5);
    run(x);
    ASSERT_GT(swell.gain(), 0.5);
    swell.start(44100);
    EXPECT_EQ(swell.gain(), 0.0);
    EXPECT_EQ(swell.envelope(), 0.0);
    EXPECT_EQ(swell.denormalGuard().counter(), 0);
    std::vector<double> b(64, 0.0);
    b[0] = 0.5;
    swell.process(b.data(), 64);
    EXPECT_EQ(b[0], 1e-15); // muted from the first sample
}

// The swell in the chain, before and after the distortion: silence stays
// silent, and a note comes up slowly to full level.
TEST(SwellRender, KorvexRenderSwellsANoteIn)
{
    for (const char* place : {"swell_place=0", "swell_place=1"}) {
        testfiles::TempDir dir;
        std::vector<int16_t> in(48000 * 2, 0);
        for (size_t i = 12000; i < in.size(); ++i)
            in[i] = static_cast<int16_t>(16000.0 * std::sin(kTwoPiExact * 196.0 * static_cast<double>(i) / 48000));
        testfiles::writeWav(dir.file("in.wav"), in, 48000);
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        for (const char* s : {"stereo=0", "swell_enabled=1", "swell_attack=0.3", place})
            ASSERT_TRUE(job.applySetting(s, error)) << error;
        ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
        const auto out = testfiles::readSamples(dir.file("out.wav"));
        ASSERT_GE(out.size(), in.size());
        auto peak = [&](size_t from, size_t to) {
            int p = 0;
            for (size_t i = from; i < to; ++i) p = std::max(p, std::abs(static_cast<int>(out[i])));
            return p;
        };
        EXPECT_EQ(peak(0, 12000), 0) << place;
        EXPECT_LT(peak(12000, 12000 + 1200), 16000 / 50) << place; // first 25 ms of the note
        EXPECT_GT(peak(in.size() - 9600, in.size()), 16000 * 9 / 10) << place;
    }
}

} // namespace
