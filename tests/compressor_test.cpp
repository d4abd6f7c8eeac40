// The compressors: the curve and its transfer, the peak ring, the per-block
// gain ramp, the attack, the two instances with their own keys and state,
// and both end to end through korvex render.
#include "effects/tone/Compressor.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr int kN = 128;

class CompressorFixture : public ::testing::Test {
protected:
    CompressorFixture()
        : input(params, Compressor::Which::Input, context), output(params, Compressor::Which::Output, context)
    {
        input.start(48000);
        output.start(48000);
    }

    // A block whose peak is exactly level (a square wave).
    static std::vector<double> block(double level, int n = kN)
    {
        std::vector<double> b(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) b[static_cast<size_t>(i)] = (i % 2 ? -level : level);
        return b;
    }

    // The gain a block of this peak level should get once it fills the ring.
    double targetGain(Compressor& c, double peak, double r, double thresholdDb)
    {
        const double k = std::pow(10.0, (thresholdDb + 15.0) / 20.0);
        const double a = static_cast<float>(peak * k);
        return c.transfer(a, r) / peak / k;
    }

    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    CompressorParams params;
    Compressor input;
    Compressor output;
};

TEST_F(CompressorFixture, CurvePassesItsPointsFlatAtTheQuietEndAndFreeAtTheLoudEnd)
{
    const double in[] = {-100, -70, -60.6, -52.1, -40.7, -25.1, 0, 30};
    const double out[] = {-100, -69.5, -56.4, -41.9, -31.8, -25.4, -19.8, -16};
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(input.curveDb(in[i]), out[i], 1e-9) << in[i];
    // Slope 0 at -100 dB (a natural end there would start at about 1).
    const double h = 1e-4;
    EXPECT_NEAR((input.curveDb(-100.0 + h) - input.curveDb(-100.0)) / h, 0.0, 1e-3);
    // No bending at +30 dB: the second difference vanishes.
    const double second = (input.curveDb(30.0) - 2.0 * input.curveDb(30.0 - h) + input.curveDb(30.0 - 2 * h)) / (h * h);
    EXPECT_NEAR(second, 0.0, 1e-3);
    // But the curve does bend inside.
    const double inner = (input.curveDb(-52.1 + h) - 2.0 * input.curveDb(-52.1) + input.curveDb(-52.1 - h)) / (h * h);
    EXPECT_GT(std::fabs(inner), 1e-3);
}

TEST_F(CompressorFixture, TransferFigures)
{
    // At a table point the full curve applies: 2 * 10^(-25.4/20) for a level
    // 25.1 dB below twice full scale.
    const double a = 2.0 * std::pow(10.0, -25.1 / 20.0);
    EXPECT_NEAR(input.transfer(a, 1.0), 2.0 * std::pow(10.0, -25.4 / 20.0), 1e-12);
    EXPECT_NEAR(input.transfer(2.0, 1.0), 2.0 * std::pow(10.0, -19.8 / 20.0), 1e-12);
    // Half compression: half way in dB.
    EXPECT_NEAR(input.transfer(2.0, 0.5), 2.0 * std::pow(10.0, -9.9 / 20.0), 1e-12);
    // The sign is kept.
    EXPECT_NEAR(input.transfer(-2.0, 1.0), -2.0 * std::pow(10.0, -19.8 / 20.0), 1e-12);
    // No compression: the identity.
    for (double x : {1e-5, 0.001, 0.3, 1.0, 4.0}) EXPECT_NEAR(input.transfer(x, 0.0), x, 1e-12 * x) << x;
    // Below 1e-5 the level is returned as it is, whatever the compression.
    EXPECT_EQ(input.transfer(9.99e-6, 1.0), 9.99e-6);
    EXPECT_EQ(input.transfer(-3e-7, 1.0), -3e-7);
    EXPECT_EQ(input.transfer(0.0, 1.0), 0.0);
}

TEST_F(CompressorFixture, RingLengthFollowsTheRate)
{
    Compressor c(params, Compressor::Which::Input, context);
    c.start(48000);
    EXPECT_EQ(c.ringLength(), 8);
    c.start(44100);
    EXPECT_EQ(c.ringLength(), 8);
    c.start(22050);
    EXPECT_EQ(c.ringLength(), 4);
    c.start(11025);
    EXPECT_EQ(c.ringLength(), 2);
    c.start(96000); // beyond the ring's size: held to it
    EXPECT_EQ(c.ringLength(), 8);
    EXPECT_EQ(c.previousGain(), 1.0);
    EXPECT_EQ(c.previousPeak(), 0.0);
    EXPECT_FALSE(c.attackActive());
}

TEST_F(CompressorFixture, CompressionZeroIsTheIdentityButForTheSinglePrecisionLevel)
{
    params.compr_i = 0.0f;
    params.compr_treshi = -7.0f;
    const double k = std::pow(10.0, 8.0 / 20.0);
    int rounded = 0;
    for (double level : {0.9, 0.05, 0.3, 0.0007, 0.6}) {
        Compressor c(params, Compressor::Which::Input, context);
        c.start(48000);
        auto b = block(level);
        c.process(b.data(), kN);
        b = block(level);
        const auto x = b;
        c.process(b.data(), kN); // the gain now holds steady
        // The level went through the curve as a single-precision value, and
        // that rounding is all that is left of the gain.
        const double a = static_cast<float>(level * k);
        const double expected = a / level / k;
        for (int i = 0; i < kN; ++i) ASSERT_NEAR(b[i], x[i] * expected, 1e-16) << level;
        EXPECT_NEAR(expected, 1.0, 6e-8);
        if (std::fabs(expected - 1.0) > 1e-12) ++rounded;
    }
    EXPECT_GT(rounded, 2);
}

TEST_F(CompressorFixture, LevelsBelowTheQuietLimitGetGainOne)
{
    // Full compression would raise a -106 dB level a lot; below 1e-5 the
    // curve is left out.
    params.compr_i = 1.0f;
    for (int rep = 0; rep < 10; ++rep) {
        auto b = block(5e-6);
        input.process(b.data(), kN);
        for (int i = 0; i < kN; ++i) ASSERT_NEAR(std::fabs(b[i]) / 5e-6, 1.0, 1.2e-7);
    }
    // A block of exact zeros keeps gain 1 and leaves no NaN behind.
    auto z = block(0.0);
    for (int rep = 0; rep < 10; ++rep) input.process(z.data(), kN); // the ring forgets the earlier level
    EXPECT_EQ(input.previousGain(), 1.0);
    for (double v : z) EXPECT_EQ(v, 0.0);
    auto after = block(0.5);
    input.process(after.data(), kN);
    for (double v : after) EXPECT_TRUE(std::isfinite(v));
}

TEST_F(CompressorFixture, ALoudBlockHoldsTheGainDownForRingLengthBlocks)
{
    for (int rate : {48000, 22050}) {
        params.compr_i = 1.0f;
        input.start(rate);
        const int ring = input.ringLength();
        std::vector<double> quiet;
        for (int i = 0; i < 20; ++i) {
            quiet = block(0.01);
            input.process(quiet.data(), kN);
        }
        const double quietGain = targetGain(input, 0.01, 1.0, -15.0);
        EXPECT_DOUBLE_EQ(input.previousGain(), quietGain);
        auto loud = block(0.9);
        input.process(loud.data(), kN);
        const double loudGain = targetGain(input, 0.9, 1.0, -15.0);
        EXPECT_DOUBLE_EQ(input.previousGain(), loudGain);
        for (int i = 1; i < ring; ++i) {
            quiet = block(0.01);
            input.process(quiet.data(), kN);
            EXPECT_DOUBLE_EQ(input.previousGain(), loudGain) << "block " << i << " after, rate " << rate;
        }
        quiet = block(0.01);
        input.process(quiet.data(), kN);
        EXPECT_DOUBLE_EQ(input.previousGain(), quietGain) << rate;
    }
}

TEST_F(CompressorFixture, WithoutAttackTheGainRampsLinearlyWithinOneBlock)
{
    params.compr_i = 0.8f;
    params.compr_iattime = 0.0f;
    const double c = 0.4;
    auto b = std::vector<double>(kN, c);
    input.process(b.data(), kN);
    const double g = targetGain(input, c, static_cast<double>(0.8f), -15.0);
    ASSERT_LT(g, 0.9); // there is something to ramp
    for (int i = 0; i < kN; ++i) ASSERT_NEAR(b[i], c * (1.0 + (g - 1.0) * i / kN), 1e-15) << i;
    EXPECT_FALSE(input.attackActive());
    // The next block at the same level holds the reached gain.
    b.assign(kN, c);
    input.process(b.data(), kN);
    for (int i = 0; i < kN; ++i) ASSERT_NEAR(b[i], c * g, 1e-15);
    // Once the loud blocks have left the ring, a quieter level holds its own
    // gain.
    for (int rep = 0; rep < 8; ++rep) {
        b.assign(kN, 0.01);
        input.process(b.data(), kN);
    }
    const double g2 = targetGain(input, 0.01, static_cast<double>(0.8f), -15.0);
    b.assign(kN, 0.01);
    input.process(b.data(), kN);
    for (int i = 0; i < kN; ++i) ASSERT_NEAR(b[i], 0.01 * g2, 1e-15);
}

TEST_F(CompressorFixture, TheFirstBlockAfterSetUpStartsAnAttack)
{
    params.compr_i = 1.0f;
    params.compr_iattime = 0.01f; // 10 ms: four blocks at 48000 Hz
    const double attack = static_cast<double>(0.01f);
    const double c = 0.5;
    const double g = targetGain(input, c, 1.0, -15.0);
    double elapsed = 0.0;
    for (int blk = 0; blk < 6; ++blk) {
        std::vector<double> b(kN, c);
        input.process(b.data(), kN);
        if (elapsed < attack) {
            // One factor for the whole block, from gain 1 towards the target.
            const double factor = 1.0 + (g - 1.0) * (elapsed / attack);
            for (int i = 0; i < kN; ++i) ASSERT_NEAR(b[i], c * factor, 1e-15) << "block " << blk;
            elapsed += static_cast<double>(kN) / 48000;
            EXPECT_EQ(input.attackActive(), elapsed < attack) << blk;
        } else {
            for (int i = 0; i < kN; ++i) ASSERT_NEAR(b[i], c * g, 1e-15) << "block " << blk;
        }
    }
}

TEST_F(CompressorFixture, AnAttackStartsOnlyWhenTheLevelMoreThanDoubles)
{
    params.compr_i = 1.0f;
    params.compr_iattime = 0.005f;
    std::vector<double> b = block(0.1);
    for (int rep = 0; rep < 12; ++rep) {
        b = block(0.1);
        input.process(b.data(), kN);
    }
    EXPECT_FALSE(input.attackActive());
    // Twice the level is not more than twice.
    for (int rep = 0; rep < 12; ++rep) {
        b = block(0.2);
        input.process(b.data(), kN);
    }
    b = block(0.4);
    input.process(b.data(), kN);
    EXPECT_FALSE(input.attackActive());
    // Beyond twice it is.
    for (int rep = 0; rep < 12; ++rep) {
        b = block(0.05);
        input.process(b.data(), kN);
    }
    b = block(0.11);
    input.process(b.data(), kN);
    EXPECT_TRUE(input.attackActive());
}

TEST_F(CompressorFixture, AttackStartGainIsLimitedToTwo)
{
    // Full compression lifts a level near -52 dB by about 10 dB; an attack
    // starting from there starts from 2, not from that boost.
    params.compr_i = 1.0f;
    params.compr_iattime = 0.02f;
    const double quiet = 2.0 * std::pow(10.0, -52.1 / 20.0);
    ASSERT_GT(targetGain(input, quiet, 1.0, -15.0), 2.0);
    std::vector<double> b;
    for (int rep = 0; rep < 20; ++rep) {
        b = block(quiet);
        input.process(b.data(), kN);
    }
    EXPECT_GT(input.previousGain(), 2.0);
    b = block(0.5);
    const auto x = b;
    input.process(b.data(), kN);
    EXPECT_TRUE(input.attackActive());
    EXPECT_EQ(input.attackStartGain(), 2.0);
    for (int i = 0; i < kN; ++i) ASSERT_DOUBLE_EQ(b[i], 2.0 * x[i]);
}

TEST_F(CompressorFixture, TurningTheAttackOffDuringAnAttackEndsIt)
{
    params.compr_i = 1.0f;
    params.compr_iattime = 0.25f;
    auto b = block(0.5);
    input.process(b.data(), kN);
    ASSERT_TRUE(input.attackActive());
    params.compr_iattime = 0.0f;
    b = block(0.5);
    input.process(b.data(), kN);
    EXPECT_FALSE(input.attackActive());
    for (double v : b) ASSERT_TRUE(std::isfinite(v));
}

TEST_F(CompressorFixture, ThresholdScalesTheLevelBeforeTheCurve)
{
    params.compr_i = 1.0f;
    params.compr_treshi = -35.0f; // k = 0.1
    std::vector<double> b;
    for (int rep = 0; rep < 10; ++rep) {
        b = block(0.3);
        input.process(b.data(), kN);
    }
    const double k = 0.1;
    const double a = static_cast<float>(0.3 * k);
    EXPECT_NEAR(input.previousGain(), input.transfer(a, 1.0) / 0.3 / k, 1e-12);
    EXPECT_NE(input.previousGain(), targetGain(input, 0.3, 1.0, -15.0));
}

TEST_F(CompressorFixture, InputAndOutputReadTheirOwnKeysAndKeepTheirOwnState)
{
    params.compr_i = 1.0f;
    params.compr_o = 0.0f;
    params.compr_oattime = 0.1f;
    std::vector<double> bi, bo;
    for (int rep = 0; rep < 10; ++rep) {
        bi = block(0.5);
        bo = block(0.05);
        input.process(bi.data(), kN);
        output.process(bo.data(), kN);
    }
    EXPECT_NEAR(input.previousGain(), targetGain(input, 0.5, 1.0, -15.0), 1e-12);
    EXPECT_NEAR(output.previousGain(), 1.0, 1.2e-7); // no compression on the output
    EXPECT_EQ(input.previousPeak(), 0.5);
    EXPECT_EQ(output.previousPeak(), 0.05);
    EXPECT_FALSE(input.attackActive()); // the input's attack time is 0
    // The output's own threshold.
    params.compr_o = 1.0f;
    params.compr_tresho = -25.0f;
    for (int rep = 0; rep < 10; ++rep) {
        bo = block(0.05);
        output.process(bo.data(), kN);
    }
    EXPECT_NEAR(output.previousGain(), targetGain(output, 0.05, 1.0, -25.0), 1e-12);
}

// Both compressors in the chain: a steady tone comes out at the level the
// curve gives it.
double renderedRms(const std::vector<const char*>& settings)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(48000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<int16_t>(16000.0 * std::sin(6.283185307179586 * 220.0 * static_cast<double>(i) / 48000));
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    EXPECT_TRUE(job.applySetting("stereo=0", error));
    for (const char* s : settings) EXPECT_TRUE(job.applySetting(s, error)) << error;
    EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    double s = 0.0;
    for (size_t i = 24000; i < 48000; ++i) s += static_cast<double>(out[i]) * out[i];
    return std::sqrt(s / 24000.0);
}

TEST(CompressorRender, BothCompressorsWorkThroughKorvexRender)
{
    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    CompressorParams p;
    Compressor c(p, Compressor::Which::Input, context);
    const double peak = 16000.0 / 32768.0;
    const double a = static_cast<float>(peak);
    const double gain = c.transfer(a, 1.0) / peak;
    ASSERT_LT(gain, 0.6);

    const double plain = renderedRms({});
    const double in = renderedRms({"icompr_enabled=1", "compr_i=1"});
    const double out = renderedRms({"ocompr_enabled=1", "compr_o=1", "ocompr_beforeamp=0"});
    const double outBefore = renderedRms({"ocompr_enabled=1", "compr_o=1", "ocompr_beforeamp=1"});
    EXPECT_NEAR(in / plain, gain, 0.01);
    EXPECT_NEAR(out / plain, gain, 0.01);
    EXPECT_NEAR(outBefore / plain, gain, 0.01);
    // Both in series compress twice.
    const double both = renderedRms({"icompr_enabled=1", "compr_i=1", "ocompr_enabled=1", "compr_o=1"});
    EXPECT_LT(both, in * 0.99);
}

} // namespace
