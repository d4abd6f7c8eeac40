// Conversions at the chain's edges, the soft clipper and the output limiter.
#include "engine/OutputLimiter.h"
#include "engine/Samples.h"
#include "engine/SoftClipper.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace stravik;

TEST(Samples, InputConversionScalesByVolumeOver32768)
{
    const int16_t in[4] = {-32768, 32767, 16384, -1};
    double out[4];
    samples::inputConvert(in, out, 4, 1.0f);
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(out[1], 32767.0 / 32768.0);
    EXPECT_EQ(out[2], 0.5);
    // The volume is a single-precision value, the arithmetic double.
    const float vol = 0.1f;
    samples::inputConvert(in, out, 4, vol);
    EXPECT_EQ(out[0], -32768.0 * static_cast<double>(vol) / 32768.0);
    EXPECT_EQ(out[3], -1.0 * static_cast<double>(vol) / 32768.0);

    const int16_t frames[6] = {100, -7, -200, 9, 300, 11};
    samples::inputConvertLeft(frames, out, 3, 2.0f);
    EXPECT_EQ(out[0], 200.0 / 32768.0);
    EXPECT_EQ(out[1], -400.0 / 32768.0);
    EXPECT_EQ(out[2], 600.0 / 32768.0);
}

TEST(Samples, ClipTestCountsBothFullScaleValues)
{
    const int16_t quiet[3] = {32766, -32766, 0};
    EXPECT_FALSE(samples::clipTest(quiet, 3));
    const int16_t top[2] = {0, 32767};
    EXPECT_TRUE(samples::clipTest(top, 2));
    const int16_t bottom[2] = {-32768, 0};
    EXPECT_TRUE(samples::clipTest(bottom, 2));
    const int16_t minus32767[1] = {-32767};
    EXPECT_TRUE(samples::clipTest(minus32767, 1));
    EXPECT_FALSE(samples::clipTest(top, 1)); // only the first n values count
}

TEST(Samples, OutputConversionTruncatesAndNeverProducesMinus32768)
{
    EXPECT_EQ(samples::outputValue(0.5, 1.0f), 16384);
    EXPECT_EQ(samples::outputValue(0.99999, 1.0f), 32767);  // 32767.67 -> 32767
    EXPECT_EQ(samples::outputValue(1.0, 1.0f), 32767);      // 32768 is limited
    EXPECT_EQ(samples::outputValue(-1.0, 1.0f), -32767);    // never -32768
    EXPECT_EQ(samples::outputValue(-0.00002, 1.0f), 0);     // -0.65 truncates to 0
    EXPECT_EQ(samples::outputValue(1.5e-4, 1.0f), 4);       // 4.9 -> 4
    EXPECT_EQ(samples::outputValue(-1.5e-4, 1.0f), -4);
    // A whole step minus the denormal offset is still that step.
    EXPECT_EQ(samples::outputValue(123.0 / 32768.0 - 1e-15, 1.0f), 123);
    EXPECT_EQ(samples::outputValue(-123.0 / 32768.0 + 1e-15, 1.0f), -123);
    EXPECT_EQ(samples::outputValue(122.9999 / 32768.0, 1.0f), 122); // but not a real fraction
    EXPECT_EQ(samples::outputValue(0.25, 2.0f), 16384);     // volume applies
    EXPECT_EQ(samples::outputValue(1e300, 1.0f), 32767);
    EXPECT_EQ(samples::outputValue(-std::numeric_limits<double>::infinity(), 1.0f), -32767);
    EXPECT_EQ(samples::outputValue(std::numeric_limits<double>::quiet_NaN(), 1.0f), 0);
    const double in[3] = {0.1, -0.2, 0.3};
    int16_t out[3];
    samples::outputConvert(in, out, 3, 0.5f);
    EXPECT_EQ(out[0], 1638);
    EXPECT_EQ(out[1], -3276);
    EXPECT_EQ(out[2], 4915);
    // A block converts every value as one value does, edges included.
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const double edges[] = {0.0, -0.0, 1e-310, -1e-310, 0.99999, 1.0, -1.0, 32767.0 / 32768.0,
                            -32767.0 / 32768.0, 32766.9999999 / 32768.0, -32766.9999999 / 32768.0,
                            123.0 / 32768.0 - 1e-15, -123.0 / 32768.0 + 1e-15, 122.9999 / 32768.0, 1e300,
                            -1e300, inf, -inf, nan, -nan, 1.5e-4, -1.5e-4, -0.00002};
    constexpr int kCount = sizeof(edges) / sizeof(edges[0]);
    for (float volume : {1.0f, 0.5f, 2.0f}) {
        int16_t block[kCount];
        samples::outputConvert(edges, block, kCount, volume);
        for (int i = 0; i < kCount; ++i)
            EXPECT_EQ(block[i], samples::outputValue(edges[i], volume)) << edges[i] << " at volume " << volume;
    }
}

TEST(Samples, WidenAndFold)
{
    const double mono[3] = {0.1, -0.2, 0.3};
    double stereo[6];
    samples::widen(mono, stereo, 3);
    EXPECT_EQ(stereo[0], 0.1);
    EXPECT_EQ(stereo[1], 0.1);
    EXPECT_EQ(stereo[4], 0.3);
    EXPECT_EQ(stereo[5], 0.3);
    const double lr[4] = {1.0, 0.5, -0.25, 0.75};
    double folded[2];
    samples::fold(lr, folded, 2);
    EXPECT_EQ(folded[0], 0.75);
    EXPECT_EQ(folded[1], 0.25);
    // Widening a buffer into itself.
    double inplace[6] = {1, 2, 3, 0, 0, 0};
    samples::widen(inplace, inplace, 3);
    EXPECT_EQ(std::vector<double>(inplace, inplace + 6), (std::vector<double>{1, 1, 2, 2, 3, 3}));
}

TEST(Samples, DecibelsAndBlockPeaks)
{
    EXPECT_EQ(samples::dB(1.0), 0.0);
    EXPECT_NEAR(samples::dB(0.5), -6.0206, 1e-4);
    EXPECT_EQ(samples::dB(0.0), -100.0);
    EXPECT_EQ(samples::dB(0.99999e-5), -100.0);
    EXPECT_NEAR(samples::dB(1e-5), -100.0, 1e-9);
    const double block[4] = {0.1, -0.5, 0.25, 0.0};
    EXPECT_NEAR(samples::blockPeakDb(block, 4), -6.0206, 1e-4);
    const double silence[4] = {};
    EXPECT_EQ(samples::blockPeakDb(silence, 4), -100.0);
    const int16_t s[3] = {100, -32768, 5};
    EXPECT_EQ(samples::blockPeakDb(s, 3), 0.0);
    const int16_t half[1] = {16384};
    EXPECT_NEAR(samples::blockPeakDb(half, 1), -6.0206, 1e-4);
}

TEST(SoftClipper, BendsOnlyBeyond097AndLandsOnOne)
{
    EXPECT_EQ(SoftClipper::kWidth, 1.03 - 0.97);
    EXPECT_EQ(SoftClipper::kWidth, 0.06000000000000005);
    SoftClipper c;
    double buf[8] = {0.0, 0.5, -0.97, 0.97, 1.0, 1.03, 2.0, -5.0};
    c.process(buf, 8, 1.0f);
    EXPECT_EQ(buf[0], 0.0);
    EXPECT_EQ(buf[1], 0.5);
    EXPECT_EQ(buf[2], -0.97);
    EXPECT_EQ(buf[3], 0.97);
    EXPECT_LT(buf[4], 1.0);
    EXPECT_GT(buf[4], 0.97);
    EXPECT_NEAR(buf[4], 0.97 + SoftClipper::kWidth * 0.41, 0.02);
    EXPECT_EQ(buf[5], 1.0);
    EXPECT_EQ(buf[6], 1.0);
    EXPECT_EQ(buf[7], -1.0);
    // Full scale converts below 32767; 2.0 lands on exactly 32767.
    double one = 1.0, two = 2.0, minusTwo = -2.0;
    c.process(&one, 1, 1.0f);
    c.process(&two, 1, 1.0f);
    c.process(&minusTwo, 1, 1.0f);
    EXPECT_LT(samples::outputValue(one, 1.0f), 32767);
    EXPECT_EQ(samples::outputValue(two, 1.0f), 32767);
    EXPECT_EQ(samples::outputValue(minusTwo, 1.0f), -32767);
}

TEST(SoftClipper, IsSmoothAndMonotonicThroughTheBend)
{
    SoftClipper c;
    double prev = 0.9;
    c.process(&prev, 1, 1.0f);
    double prevSlope = 1.0;
    for (int i = 1; i <= 2000; ++i) {
        double x = 0.9 + i * 0.0001;
        double y = x;
        c.process(&y, 1, 1.0f);
        EXPECT_GE(y, prev) << x;
        const double slope = (y - prev) / 0.0001;
        EXPECT_LT(std::fabs(slope - prevSlope), 0.02) << x; // no kink
        prev = y;
        prevSlope = slope;
    }
    EXPECT_NEAR(prevSlope, 0.0, 1e-9); // flat beyond 1.03
}

TEST(SoftClipper, ActsOnTheSignalAfterTheOutputVolume)
{
    SoftClipper c;
    // At volume 0.5, 1.9 becomes 0.95 at the output: untouched.
    double a = 1.9;
    c.process(&a, 1, 0.5f);
    EXPECT_EQ(a, 1.9);
    // 3.0 becomes 1.5: beyond the bend, so the result is 1.0 / 0.5.
    double b = 3.0;
    c.process(&b, 1, 0.5f);
    EXPECT_EQ(b, 2.0);
    EXPECT_EQ(samples::outputValue(b, 0.5f), 32767);
}

TEST(OutputLimiter, SilenceNeverDividesAndQuietBlocksPassUntouched)
{
    OutputLimiter lim;
    lim.setup(48000);
    std::vector<double> block(128, 0.0);
    for (int i = 0; i < 10; ++i) lim.process(block.data(), 128, 1.0f);
    for (double v : block) EXPECT_EQ(v, 0.0);
    std::vector<double> quiet(128);
    for (int i = 0; i < 128; ++i) quiet[i] = 0.89 * std::sin(i * 0.3);
    std::vector<double> copy = quiet;
    lim.process(quiet.data(), 128, 1.0f);
    EXPECT_EQ(quiet, copy);
}

TEST(OutputLimiter, TheFirstLoudBlockIsLimitedFromThatVeryBlock)
{
    OutputLimiter lim;
    lim.setup(44100);
    std::vector<double> block(128, 1.5);
    lim.process(block.data(), 128, 1.0f);
    // Its own peak is in the history: every value is divided, and never made
    // louder (a smoother that started from nothing would amplify).
    for (double v : block) {
        EXPECT_LT(v, 1.5);
        EXPECT_GT(v, 0.5);
    }
}

TEST(OutputLimiter, SettlesBetweenThresholdAndHeadroomAndRemembersFourBlocks)
{
    OutputLimiter lim;
    lim.setup(48000);
    std::vector<double> block(128);
    for (int b = 0; b < 40; ++b) {
        for (int i = 0; i < 128; ++i) block[i] = 2.0 * std::sin(2 * 3.14159265 * 440 * (b * 128 + i) / 48000.0);
        lim.process(block.data(), 128, 1.0f);
    }
    double peak = 0.0;
    for (double v : block) peak = std::max(peak, std::fabs(v));
    EXPECT_GE(peak, 0.9 * 0.99);
    EXPECT_LE(peak, 1.01);
    // Knee: m = 2.0, e = 1.1 >= 1 so g = 1 and the divisor is 2.0 / 1.01.
    EXPECT_NEAR(lim.smootherOutput(), 2.0 / 1.01, 1e-3);

    // Quiet blocks: the loud peak stays in the history for four blocks in all
    // (this one included), then the division stops at once.
    std::vector<double> quiet(128, 0.5);
    for (int b = 0; b < 3; ++b) {
        std::fill(quiet.begin(), quiet.end(), 0.5);
        lim.process(quiet.data(), 128, 1.0f);
        EXPECT_LT(quiet[0], 0.5) << b;
    }
    std::fill(quiet.begin(), quiet.end(), 0.5);
    lim.process(quiet.data(), 128, 1.0f);
    EXPECT_EQ(quiet[0], 0.5);
    EXPECT_EQ(quiet[127], 0.5);
}

TEST(OutputLimiter, ThresholdIsTheSinglePrecisionValueAndVolumeCounts)
{
    OutputLimiter lim;
    lim.setup(48000);
    // 0.9 as a double is above 0.9f (0.8999999761...): that block is limited.
    std::vector<double> block(64, 0.9);
    lim.process(block.data(), 64, 1.0f);
    EXPECT_LT(block[63], 0.9);
    // With the output volume at 0.5 a peak of 1.6 becomes 0.8: untouched.
    OutputLimiter lim2;
    lim2.setup(48000);
    std::vector<double> loud(64, 1.6);
    lim2.process(loud.data(), 64, 0.5f);
    EXPECT_EQ(loud[0], 1.6);
}
