// Tremolo: the square's cycle and edges, the sine's swing, the triangle's
// restart every period, level 0 leaving every shape alone, each shape keeping
// its own state, periods a preset may carry, and `korvex render`.
#include "effects/modulation/Tremolo.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <vector>

using namespace stravik;
using stravik::effects::Tremolo;

namespace {

struct TremoloFixture : ::testing::Test {
    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    effects::EffectContext context{worker, messages};
    effects::TremoloParams params;
    Tremolo trem{params, context};

    void SetUp() override { trem.start(48000); }

    // The gain of each sample: the tremolo applied to ones.
    std::vector<double> gains(size_t n, int block = 128)
    {
        std::vector<double> g(n, 1.0);
        for (size_t at = 0; at < n; at += static_cast<size_t>(block))
            trem.process(g.data() + at, static_cast<int>(std::min<size_t>(block, n - at)));
        return g;
    }
};

} // namespace

TEST_F(TremoloFixture, SquareAt48kAnd200MillisecondsHasN9600AndTwentySampleEdges)
{
    params.trem_lfo = Tremolo::kSquare;
    params.trem_period = 0.2f;
    params.trem_level = 0.5f;
    EXPECT_EQ(trem.squareLength(), 9600);
    const int cycle = 9600 + 2;
    const auto g = gains(3 * cycle + 50, 100);
    const double level = 0.5;
    for (int i = 0; i < static_cast<int>(g.size()); ++i) {
        const int k = i % cycle;
        double expected = 1.0;
        if (k < 20)
            expected = 1.0 - k * level / 20.0; // falls from 1
        else if (k < 4800)
            expected = 1.0 - level; // low from sample 20 to 4799
        else if (k < 4820)
            expected = 1.0 - (4800 - k + 20) * level / 20.0; // rises
        ASSERT_NEAR(g[static_cast<size_t>(i)], expected, 1e-12) << i;
    }
    // The edges end where they should.
    EXPECT_NEAR(g[19], 1.0 - 19 * level / 20.0, 1e-12);
    EXPECT_NEAR(g[4819], 1.0 - level / 20.0, 1e-12);
    EXPECT_EQ(g[4820], 1.0);
    EXPECT_EQ(g[9601], 1.0);
    EXPECT_EQ(g[9602], 1.0); // the next cycle starts at k = 0
    EXPECT_NEAR(g[9603], 1.0 - level / 20.0, 1e-12);
}

TEST_F(TremoloFixture, LevelZeroLeavesEveryShapeUnchanged)
{
    params.trem_level = 0.0f;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int shape : {Tremolo::kSine, Tremolo::kTriangle, Tremolo::kSquare}) {
        params.trem_lfo = shape;
        for (float period : {0.01f, 0.2f, 3.0f}) {
            params.trem_period = period;
            std::vector<double> in(20000);
            for (double& v : in) v = u(rng);
            std::vector<double> out = in;
            for (size_t at = 0; at < out.size(); at += 128)
                trem.process(out.data() + at, static_cast<int>(std::min<size_t>(128, out.size() - at)));
            ASSERT_EQ(out, in) << shape << " " << period;
        }
    }
}

TEST_F(TremoloFixture, SineAtFullLevelSwingsBetweenZeroAndOne)
{
    params.trem_lfo = Tremolo::kSine;
    params.trem_period = 0.1f;
    params.trem_level = 1.0f;
    const auto g = gains(48000);
    double lo = 2.0, hi = -1.0;
    for (size_t i = 0; i < g.size(); ++i) {
        const double t = static_cast<double>(i) / 48000.0;
        ASSERT_NEAR(g[i], 0.5 + 0.5 * std::sin(2.0 * 3.14159265 * t / static_cast<double>(0.1f)), 1e-6) << i;
        lo = std::min(lo, g[i]);
        hi = std::max(hi, g[i]);
    }
    EXPECT_NEAR(lo, 0.0, 1e-6);
    EXPECT_NEAR(hi, 1.0, 1e-6);
    // Level 0.3: between 0.7 and 1.
    params.trem_level = 0.3f;
    const auto g3 = gains(4800);
    EXPECT_NEAR(*std::min_element(g3.begin(), g3.end()), 0.7, 1e-6);
    EXPECT_NEAR(*std::max_element(g3.begin(), g3.end()), 1.0, 1e-6);
}

// Minutes of play at the shortest period take the sine's phase past 1e5
// radians, where the block routine hands over to the library's sine: the
// swing stays whole and smooth across that point.
TEST_F(TremoloFixture, SineStaysSmoothAfterMinutesAtTheShortestPeriod)
{
    params.trem_lfo = Tremolo::kSine;
    params.trem_period = 0.01f;
    params.trem_level = 1.0f;
    const auto g = gains(48000 * 170); // the phase passes 1e5 after about 159 s
    // At most the sine's steepest step between two samples.
    const double steepest = 0.5 * 2.0 * 3.14159265 / 0.01 / 48000.0 * 1.0001;
    double lo = 2.0, hi = -1.0;
    for (size_t i = 1; i < g.size(); ++i) {
        ASSERT_LE(std::fabs(g[i] - g[i - 1]), steepest) << "sample " << i;
        lo = std::min(lo, g[i]);
        hi = std::max(hi, g[i]);
    }
    EXPECT_NEAR(lo, 0.0, 1e-4);
    EXPECT_NEAR(hi, 1.0, 1e-4);
}

TEST_F(TremoloFixture, TriangleRisesOverHalfAPeriodAndRestartsEachPeriod)
{
    params.trem_lfo = Tremolo::kTriangle;
    params.trem_period = 0.01f; // 480 samples
    params.trem_level = 0.4f;
    const auto g = gains(48000 * 5);
    // Every cycle starts at exactly 1 - level (t back at 0), and all cycles
    // are equally long: no rounding piles up over 500 periods.
    std::vector<size_t> starts;
    for (size_t i = 0; i < g.size(); ++i)
        if (g[i] == 1.0 - static_cast<double>(0.4f)) starts.push_back(i);
    ASSERT_GE(starts.size(), 400u);
    EXPECT_EQ(starts[0], 0u);
    const size_t length = starts[1] - starts[0];
    EXPECT_GE(length, 480u);
    EXPECT_LE(length, 482u);
    for (size_t c = 1; c < starts.size(); ++c) ASSERT_EQ(starts[c] - starts[c - 1], length) << c;
    // The top of each cycle is 1 at half a period; in between the gain is a
    // straight line.
    EXPECT_NEAR(g[240], 1.0, 1e-6);
    EXPECT_NEAR(g[120], 1.0 - 0.2, 1e-6);
    EXPECT_NEAR(g[360], 1.0 - 0.2, 1e-6);
    for (size_t i = 0; i < length; ++i) {
        ASSERT_GE(g[i], 1.0 - static_cast<double>(0.4f) - 1e-12);
        ASSERT_LE(g[i], 1.0 + 1e-12);
    }
}

TEST_F(TremoloFixture, EachShapeContinuesFromItsOwnState)
{
    params.trem_period = 0.2f;
    params.trem_level = 0.5f;
    params.trem_lfo = Tremolo::kSquare;
    gains(100);
    EXPECT_EQ(trem.squareCount(), 100);
    params.trem_lfo = Tremolo::kSine;
    gains(50);
    EXPECT_EQ(trem.squareCount(), 100); // the sine leaves the count alone
    EXPECT_NEAR(trem.lfoTime(), 50.0 / 48000.0, 1e-15);
    params.trem_lfo = Tremolo::kSquare;
    auto g = gains(1);
    EXPECT_EQ(g[0], 0.5); // k = 100: the low phase
    EXPECT_NEAR(trem.lfoTime(), 50.0 / 48000.0, 1e-15);
    params.trem_lfo = Tremolo::kSine;
    g = gains(1);
    const double t = 50.0 / 48000.0;
    EXPECT_NEAR(g[0], std::sin(t * 6.2831853 / static_cast<double>(0.2f)) * 0.25 + 0.75, 1e-12);
}

TEST_F(TremoloFixture, APeriodBelowThePageRangeIsHeldAtTenMilliseconds)
{
    params.trem_level = 0.6f;
    for (int shape : {Tremolo::kSine, Tremolo::kTriangle, Tremolo::kSquare}) {
        for (float period : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
            effects::TremoloParams heldParams;
            heldParams.trem_lfo = shape;
            heldParams.trem_level = 0.6f;
            heldParams.trem_period = 0.01f;
            Tremolo reference(heldParams, context);
            reference.start(48000);
            params.trem_lfo = shape;
            params.trem_period = period;
            Tremolo held(params, context);
            held.start(48000);
            std::vector<double> a(5000, 0.8), b(5000, 0.8);
            for (size_t at = 0; at < a.size(); at += 100) {
                reference.process(a.data() + at, 100);
                held.process(b.data() + at, 100);
            }
            for (double v : b) ASSERT_TRUE(std::isfinite(v));
            ASSERT_EQ(a, b) << shape << " " << period;
        }
    }
}

TEST_F(TremoloFixture, AVeryLongSquarePeriodDoesNotOverflowTheCount)
{
    params.trem_lfo = Tremolo::kSquare;
    params.trem_period = 1.0e30f;
    params.trem_level = 0.5f;
    EXPECT_GT(trem.squareLength(), 0);
    const auto g = gains(1000);
    EXPECT_EQ(g[0], 1.0);
    EXPECT_EQ(g[500], 0.5);
}

TEST(TremoloRender, KorvexRenderDrivesTheTremoloThroughSet)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(48000 / 4, 10000);
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    for (const char* s : {"stereo=0", "trem_enabled=1", "trem_lfo=2", "trem_period=0.1", "trem_level=0.5"})
        ASSERT_TRUE(job.applySetting(s, error)) << error;
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), in.size());
    // N = 4800: low from 20 to 2399, high from 2420 to 4801, again at 4802.
    EXPECT_NEAR(out[0], 10000, 2);
    EXPECT_NEAR(out[100], 5000, 2);
    EXPECT_NEAR(out[2399], 5000, 2);
    EXPECT_NEAR(out[3000], 10000, 2);
    EXPECT_NEAR(out[4801], 10000, 2);
    EXPECT_NEAR(out[4802 + 100], 5000, 2);
}
