// The tuner's per-buffer pitch analysis: pure tones land on their frequency,
// the lowest strong partial wins, silence and DC read 0, the 10 kHz limit.
#include "tools/PitchAnalyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using namespace stravik::tools;

namespace {

constexpr double kPiExact = 3.141592653589793;

// Partials: (multiple of f, amplitude in 16-bit units).
std::vector<int16_t> harmonicTone(double f, std::vector<std::pair<int, double>> partials, int offset = 0,
                                  size_t n = PitchAnalyzer::kBufferSamples)
{
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        double x = offset;
        for (const auto& [k, a] : partials) x += a * std::sin(2.0 * kPiExact * f * k * static_cast<double>(i) / 44100.0);
        v[i] = static_cast<int16_t>(std::lround(std::clamp(x, -32767.0, 32767.0)));
    }
    return v;
}

std::vector<int16_t> tone(double f, double amplitude = 12000.0) { return harmonicTone(f, {{1, amplitude}}); }

} // namespace

TEST(PitchAnalyzer, APure110HzToneReads110WithinFiveHundredthsOfAHertz)
{
    PitchAnalyzer a;
    const auto v = tone(110.0);
    EXPECT_NEAR(a.analyse(v.data(), v.size()), 110.0, 0.05);
    // 110 Hz sits at bin 163.47; the peak is bin 163.
    EXPECT_GT(a.lastPosition(), 163.0);
    EXPECT_LT(a.lastPosition(), 164.0);
}

TEST(PitchAnalyzer, TheStringsOfAGuitarReadWithinAFewCents)
{
    PitchAnalyzer a;
    for (double f : {82.4069, 110.0, 146.832, 195.998, 246.942, 329.628, 440.0, 1000.0, 41.2034}) {
        const auto v = tone(f, 8000.0);
        const double r = a.analyse(v.data(), v.size());
        EXPECT_LT(std::fabs(1200.0 * std::log2(r / f)), 5.0) << f << " read " << r;
    }
}

TEST(PitchAnalyzer, TheLowestPartialAboveAFifthOfTheStrongestIsTaken)
{
    PitchAnalyzer a;
    // The second harmonic is the strongest; the fundamental still reaches
    // more than a fifth of it: the fundamental is read.
    const auto strongSecond = harmonicTone(98.0, {{1, 3000.0}, {2, 9000.0}, {3, 2000.0}});
    EXPECT_NEAR(a.analyse(strongSecond.data(), strongSecond.size()), 98.0, 0.3);
    // A fundamental below a fifth of the strongest partial is passed over.
    const auto weakFundamental = harmonicTone(98.0, {{1, 1000.0}, {2, 9000.0}, {3, 2000.0}});
    EXPECT_NEAR(a.analyse(weakFundamental.data(), weakFundamental.size()), 196.0, 0.3);
}

TEST(PitchAnalyzer, SilenceAndAConstantOffsetReadZero)
{
    PitchAnalyzer a;
    for (int16_t level : {0, 1234, -32768, 32767}) {
        const std::vector<int16_t> flat(PitchAnalyzer::kBufferSamples, level);
        EXPECT_EQ(a.analyse(flat.data(), flat.size()), 0.0) << level;
        EXPECT_EQ(a.lastPosition(), 0.0);
    }
}

TEST(PitchAnalyzer, ADcOffsetDoesNotMoveTheReading)
{
    PitchAnalyzer a;
    const auto clean = tone(196.0, 6000.0);
    const auto offset = harmonicTone(196.0, {{1, 6000.0}}, 9000);
    const double r1 = a.analyse(clean.data(), clean.size());
    const double r2 = a.analyse(offset.data(), offset.size());
    EXPECT_NEAR(r1, 196.0, 0.3);
    EXPECT_NEAR(r2, r1, 1e-6);
}

TEST(PitchAnalyzer, ReadingsAbove10kHzBecomeZero)
{
    PitchAnalyzer a;
    const auto high = tone(12000.0);
    EXPECT_EQ(a.analyse(high.data(), high.size()), 0.0);
    EXPECT_GT(a.lastPosition(), 17000.0); // found, then refused
    const auto below = tone(9000.0);
    EXPECT_NEAR(a.analyse(below.data(), below.size()), 9000.0, 1.0);
}

TEST(PitchAnalyzer, OnlyTheFirstBufferOfALongerBlockCounts)
{
    PitchAnalyzer a;
    auto v = tone(146.83);
    const auto other = tone(300.0);
    v.insert(v.end(), other.begin(), other.end());
    EXPECT_NEAR(a.analyse(v.data(), v.size()), 146.83, 0.3);
}

TEST(PitchAnalyzer, EachAnalysisStandsAlone)
{
    PitchAnalyzer a;
    const auto first = tone(330.0);
    const auto silence = std::vector<int16_t>(PitchAnalyzer::kBufferSamples, 0);
    EXPECT_GT(a.analyse(first.data(), first.size()), 300.0);
    EXPECT_EQ(a.analyse(silence.data(), silence.size()), 0.0);
    const auto second = tone(110.0);
    EXPECT_NEAR(a.analyse(second.data(), second.size()), 110.0, 0.05);
}
