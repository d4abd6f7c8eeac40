// test-label: threads
// (the oversampler's convolvers run in worker-pool mode, which starts the
// shared pool's helper threads; large blocks below are split over them)
#include "dsp/Oversampler.h"

#include "dsp/CpuFeatures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

namespace stravik::dsp {
namespace {

constexpr double kPi = std::numbers::pi;

// The figures every kernel is designed to. Frequencies are fractions of the
// oversampled rate 4*fs.
constexpr double kPassEdge = 0.3 / 4.0;
constexpr double kStopEdge = 0.5 / 4.0;
constexpr double kMaxRippleDb = 0.25;
constexpr double kMinStopDb = 80.0;

const int kRates[] = {22050, 44100, 48000};

// |H(f)| of the taps, f in cycles per oversampled sample. Computed from the
// taps directly, without assuming symmetry.
double magnitude(const FirKernel& k, double f)
{
    std::complex<double> sum = 0.0;
    for (int n = 0; n < k.count; ++n)
        sum += k.taps[n] * std::polar(1.0, -2.0 * kPi * f * n);
    return std::abs(sum);
}

double tapSum(const FirKernel& k)
{
    double s = 0.0;
    for (int n = 0; n < k.count; ++n) s += k.taps[n];
    return s;
}

struct NamedKernel {
    std::string name;
    FirKernel kernel;
    int expectedTaps;
};

std::vector<NamedKernel> allKernels()
{
    return {
        {"interpolation", interpolationKernel(48000), 85},
        {"decimation 22050", decimationKernel(22050), 72},
        {"decimation 44100", decimationKernel(44100), 66},
        {"decimation 48000", decimationKernel(48000), 66},
    };
}

// ---------------------------------------------------------------------------
// The kernels, measured from their taps

TEST(OversamplingKernels, TapCounts)
{
    for (int rate : kRates) {
        SCOPED_TRACE(rate);
        const FirKernel up = interpolationKernel(rate);
        ASSERT_NE(up.taps, nullptr);
        EXPECT_EQ(up.count, 85);
    }
    EXPECT_EQ(decimationKernel(22050).count, 72);
    EXPECT_EQ(decimationKernel(44100).count, 66);
    EXPECT_EQ(decimationKernel(48000).count, 66);
    for (const NamedKernel& k : allKernels()) ASSERT_NE(k.kernel.taps, nullptr) << k.name;
}

TEST(OversamplingKernels, SymmetricForLinearPhase)
{
    for (const NamedKernel& k : allKernels()) {
        SCOPED_TRACE(k.name);
        const int n = k.kernel.count;
        for (int i = 0; i < n / 2; ++i)
            ASSERT_EQ(k.kernel.taps[i], k.kernel.taps[n - 1 - i]) << "tap " << i;
        // A symmetric kernel of all zeros would pass the loop above.
        EXPECT_GT(std::fabs(k.kernel.taps[n / 2]), 0.1);
    }
}

TEST(OversamplingKernels, GainNearOneAtDc)
{
    for (const NamedKernel& k : allKernels()) {
        SCOPED_TRACE(k.name);
        const double sum = tapSum(k.kernel);
        EXPECT_GE(sum, 0.97);
        EXPECT_LE(sum, 1.03);
    }
}

TEST(OversamplingKernels, PassBandFlatToThreeTenthsOfTheBaseRate)
{
    constexpr int kPoints = 3000;
    for (const NamedKernel& k : allKernels()) {
        SCOPED_TRACE(k.name);
        double worstDb = 0.0;
        double worstF = 0.0;
        for (int i = 0; i <= kPoints; ++i) {
            const double f = kPassEdge * i / kPoints;
            const double db = std::fabs(20.0 * std::log10(magnitude(k.kernel, f)));
            if (db > worstDb) {
                worstDb = db;
                worstF = f;
            }
        }
        EXPECT_LE(worstDb, kMaxRippleDb) << "at " << worstF * 4 << " * fs";
    }
}

TEST(OversamplingKernels, StopBandAtLeast80dBFromHalfTheBaseRate)
{
    constexpr int kPoints = 20000;
    for (const NamedKernel& k : allKernels()) {
        SCOPED_TRACE(k.name);
        const double dc = std::fabs(tapSum(k.kernel));
        double worst = 0.0;
        double worstF = 0.0;
        for (int i = 0; i <= kPoints; ++i) {
            const double f = kStopEdge + (0.5 - kStopEdge) * i / kPoints;
            const double m = magnitude(k.kernel, f);
            if (m > worst) {
                worst = m;
                worstF = f;
            }
        }
        EXPECT_GE(20.0 * std::log10(dc / worst), kMinStopDb) << "at " << worstF * 4 << " * fs";
    }
}

// Above fs - 20 kHz what the decimators let through folds into the audible
// band; the 44100 and 48000 Hz kernels are weighted to reject it further.
TEST(OversamplingKernels, DecimatorsRejectAudibleAliasesMoreDeeply)
{
    constexpr int kPoints = 20000;
    for (int rate : {44100, 48000}) {
        SCOPED_TRACE(rate);
        const FirKernel k = decimationKernel(rate);
        const double from = (rate - 20000.0) / (4.0 * rate);
        const double dc = std::fabs(tapSum(k));
        double worst = 0.0;
        for (int i = 0; i <= kPoints; ++i)
            worst = std::max(worst, magnitude(k, from + (0.5 - from) * i / kPoints));
        EXPECT_GE(20.0 * std::log10(dc / worst), 86.0);
    }
}

TEST(OversamplingKernels, DecimatorsAt44100And48000AreDifferentTables)
{
    const FirKernel a = decimationKernel(44100);
    const FirKernel b = decimationKernel(48000);
    ASSERT_EQ(a.count, b.count);
    EXPECT_NE(a.taps, b.taps);
    double largestDifference = 0.0;
    for (int i = 0; i < a.count; ++i)
        largestDifference = std::max(largestDifference, std::fabs(a.taps[i] - b.taps[i]));
    EXPECT_GT(largestDifference, 1e-4);
}

TEST(OversamplingKernels, OtherRatesUseTheNearestTable)
{
    const double* t22 = decimationKernel(22050).taps;
    const double* t44 = decimationKernel(44100).taps;
    const double* t48 = decimationKernel(48000).taps;
    ASSERT_NE(t22, t44);
    ASSERT_NE(t44, t48);
    ASSERT_NE(t22, t48);

    struct Case {
        int rate;
        const double* expected;
    };
    const Case cases[] = {
        {8000, t22},   {11025, t22}, {16000, t22}, {32000, t22}, {33075, t22}, // 33075: tie, lower wins
        {33076, t44},  {44000, t44}, {46050, t44},                             // 46050: tie
        {46051, t48},  {88200, t48}, {96000, t48}, {192000, t48},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decimationKernel(c.rate).taps, c.expected) << c.rate;
        EXPECT_EQ(interpolationKernel(c.rate).taps, interpolationKernel(48000).taps) << c.rate;
    }
    EXPECT_EQ(decimationKernel(96000).count, 66);
    EXPECT_EQ(decimationKernel(16000).count, 72);
}

// ---------------------------------------------------------------------------
// The oversampler end to end

// Runs up- and down-sampling over a whole signal in blocks of `block` frames.
struct RoundTrip {
    std::vector<double> up;   // the oversampled signal (4 per input sample)
    std::vector<double> out;  // back at the base rate
};

RoundTrip roundTrip(Oversampler& os, const std::vector<double>& in, int block)
{
    RoundTrip r;
    r.up.resize(in.size() * Oversampler::kFactor);
    r.out.resize(in.size());
    std::vector<double> scratch(static_cast<size_t>(block) * Oversampler::kFactor);
    for (size_t pos = 0; pos < in.size(); pos += block) {
        const int n = static_cast<int>(std::min<size_t>(block, in.size() - pos));
        os.upsample(scratch.data(), in.data() + pos, n);
        std::copy(scratch.begin(), scratch.begin() + 4 * n, r.up.begin() + 4 * pos);
        os.downsample(r.out.data() + pos, scratch.data(), n);
    }
    return r;
}

std::vector<double> sine(int count, double freq, double rate, double amplitude, double phase = 0.0)
{
    std::vector<double> s(count);
    for (int i = 0; i < count; ++i) s[i] = amplitude * std::sin(2.0 * kPi * freq * i / rate + phase);
    return s;
}

// Amplitude and phase of the component at freq in x[from, to), by
// correlation over a whole number of periods.
std::complex<double> component(const std::vector<double>& x, int from, int to, double freq, double rate)
{
    std::complex<double> acc = 0.0;
    for (int i = from; i < to; ++i) acc += x[i] * std::polar(1.0, -2.0 * kPi * freq * i / rate);
    return acc * (2.0 / (to - from));
}

TEST(Oversampler, SetupLoadsTheKernelsOfTheRate)
{
    Oversampler os;
    os.setup(22050);
    EXPECT_EQ(os.sampleRate(), 22050);
    EXPECT_EQ(os.interpolator().taps(), 85);
    EXPECT_EQ(os.decimator().taps(), 72);
    os.setup(48000);
    EXPECT_EQ(os.sampleRate(), 48000);
    EXPECT_EQ(os.interpolator().taps(), 85);
    EXPECT_EQ(os.decimator().taps(), 66);
}

TEST(Oversampler, ConstantSettlesToTheInterpolatorsTapSum)
{
    for (int rate : kRates) {
        SCOPED_TRACE(rate);
        Oversampler os;
        os.setup(rate);
        const double upSum = tapSum(interpolationKernel(rate));
        const double downSum = tapSum(decimationKernel(rate));

        const std::vector<double> ones(2048, 1.0);
        const RoundTrip r = roundTrip(os, ones, 128);
        // Every oversampled sample, all four phases, once the 85 taps have
        // filled. The phases differ only by the kernel's (80 dB down)
        // response at multiples of fs.
        for (size_t i = 100; i < r.up.size(); ++i)
            ASSERT_NEAR(r.up[i], upSum, 1e-3) << "oversampled sample " << i;
        // The decimator's history fills another 66..72 oversampled samples later.
        for (size_t i = 64; i < r.out.size(); ++i)
            ASSERT_NEAR(r.out[i], upSum * downSum, 1e-3) << "sample " << i;
        // Before anything arrives, the output starts from silence.
        EXPECT_NEAR(r.up[0], 4.0 * interpolationKernel(rate).taps[0], 1e-6);
    }
}

// The outputs are exactly the two convolutions, computed here in double
// precision straight from the definition: zero-stuffed input times 4 through
// the interpolation taps, then the decimation taps evaluated at every fourth
// oversampled sample, starting with the first.
TEST(Oversampler, MatchesDirectConvolution)
{
    for (int rate : kRates) {
        SCOPED_TRACE(rate);
        Oversampler os;
        os.setup(rate);
        const FirKernel hu = interpolationKernel(rate);
        const FirKernel hd = decimationKernel(rate);

        std::vector<double> in(700);
        std::uint32_t seed = 12345;
        for (double& v : in) {
            seed = seed * 1664525u + 1013904223u;
            v = (static_cast<double>(seed >> 8) / (1u << 24)) * 2.0 - 1.0;
        }
        const RoundTrip r = roundTrip(os, in, 100);

        std::vector<double> stuffed(in.size() * 4, 0.0);
        for (size_t i = 0; i < in.size(); ++i) stuffed[4 * i] = 4.0 * in[i];
        std::vector<double> up(stuffed.size(), 0.0);
        for (size_t m = 0; m < up.size(); ++m)
            for (int k = 0; k < hu.count && k <= static_cast<int>(m); ++k) up[m] += hu.taps[k] * stuffed[m - k];
        for (size_t m = 0; m < up.size(); ++m)
            ASSERT_NEAR(r.up[m], up[m], 2e-5) << "oversampled sample " << m;

        for (size_t j = 0; j < in.size(); ++j) {
            double y = 0.0;
            for (int k = 0; k < hd.count && k <= static_cast<int>(4 * j); ++k) y += hd.taps[k] * up[4 * j - k];
            ASSERT_NEAR(r.out[j], y, 2e-5) << "sample " << j;
        }
    }
}

TEST(Oversampler, PassBandSineKeepsItsAmplitudeWithTheExpectedDelay)
{
    for (int rate : kRates) {
        SCOPED_TRACE(rate);
        Oversampler os;
        os.setup(rate);
        const FirKernel hu = interpolationKernel(rate);
        const FirKernel hd = decimationKernel(rate);
        constexpr double kFreq = 1000.0;
        constexpr double kAmplitude = 0.5;

        const int count = rate; // one second
        const RoundTrip r = roundTrip(os, sine(count, kFreq, rate, kAmplitude), 128);

        // 1 kHz is deep in the pass-band: the gain is the product of the two
        // kernels' gains there, within their ripple of unity.
        const double f = kFreq / (4.0 * rate);
        const double expectedGain = magnitude(hu, f) * magnitude(hd, f);
        ASSERT_NEAR(20.0 * std::log10(expectedGain), 0.0, 2 * kMaxRippleDb);

        // 980 periods of 1 kHz are a whole number of samples at all three
        // rates, and leave 20 ms at the start for the filters to fill.
        constexpr int kPeriods = 980;
        const int to = count;
        const int from = to - static_cast<int>(std::lround(kPeriods * rate / kFreq));
        ASSERT_EQ(std::remainder(kPeriods * rate / kFreq, 1.0), 0.0);
        const std::complex<double> in = component(sine(count, kFreq, rate, kAmplitude), from, to, kFreq, rate);
        const std::complex<double> out = component(r.out, from, to, kFreq, rate);
        EXPECT_NEAR(std::abs(out) / std::abs(in), expectedGain, 2e-3);

        // Linear phase: a pure delay of half of each kernel's length at the
        // oversampled rate, i.e. ((85 - 1) + (taps - 1)) / 2 / 4 input samples.
        const double expectedDelay = ((hu.count - 1) + (hd.count - 1)) / 8.0;
        double lag = -std::arg(out / in); // radians at kFreq
        if (lag < 0) lag += 2.0 * kPi;
        const double delay = lag * rate / (2.0 * kPi * kFreq);
        EXPECT_NEAR(delay, expectedDelay, 0.01);

        // And sample by sample: the output is the input shifted by that
        // delay (evaluated analytically), scaled by the gain.
        double worst = 0.0;
        for (int i = from; i < to; ++i) {
            const double ideal = expectedGain * kAmplitude *
                                 std::sin(2.0 * kPi * kFreq * (i - expectedDelay) / rate);
            worst = std::max(worst, std::fabs(r.out[i] - ideal));
        }
        EXPECT_LT(worst, 1e-3 * kAmplitude);
    }
}

TEST(Oversampler, DownsamplingRemovesStopBandTones)
{
    // Tones at the oversampled rate between fs/2 and 2 fs, i.e. what a
    // distortion stage adds above the base band; each would fold back into
    // the base band when three samples in four are dropped.
    const double fractionsOfFs[] = {0.5, 0.52, 0.6, 0.75, 0.9, 1.0, 1.1, 1.37, 1.5, 1.75, 1.99};
    for (int rate : kRates) {
        for (double fraction : fractionsOfFs) {
            SCOPED_TRACE(std::to_string(rate) + " Hz, tone at " + std::to_string(fraction) + " fs");
            Oversampler os;
            os.setup(rate);
            constexpr int kFrames = 4096;
            constexpr int kBlock = 128;
            // A phase offset keeps tones at fs/2 and fs from landing on zeros.
            const std::vector<double> tone = sine(4 * kFrames, fraction * rate, 4.0 * rate, 1.0, 0.7);
            std::vector<double> out(kFrames);
            std::vector<double> scratch(4 * kBlock);
            for (int pos = 0; pos < kFrames; pos += kBlock) {
                std::copy(tone.begin() + 4 * pos, tone.begin() + 4 * (pos + kBlock), scratch.begin());
                os.downsample(out.data() + pos, scratch.data(), kBlock);
            }
            double peak = 0.0;
            for (int i = 100; i < kFrames; ++i) peak = std::max(peak, std::fabs(out[i]));
            EXPECT_GE(-20.0 * std::log10(std::max(peak, 1e-300)), 75.0);
        }
    }
}

TEST(Oversampler, HistoryCarriesAcrossBlocks)
{
    // A long signal (a sine with some harmonics) in blocks of 128 must come
    // out the same as in blocks of 37, of 1 and of 1024 (the last is large
    // enough for the convolvers to share the work with pool threads).
    const int rate = 48000;
    std::vector<double> in = sine(20000, 1000.0, rate, 0.4);
    const std::vector<double> h3 = sine(20000, 3000.0, rate, 0.2, 0.3);
    const std::vector<double> h7 = sine(20000, 7000.0, rate, 0.1, 1.1);
    for (size_t i = 0; i < in.size(); ++i) in[i] += h3[i] + h7[i];

    Oversampler reference;
    reference.setup(rate);
    const RoundTrip a = roundTrip(reference, in, 128);
    for (int block : {37, 1, 1024}) {
        SCOPED_TRACE(block);
        Oversampler os;
        os.setup(rate);
        const RoundTrip b = roundTrip(os, in, block);
        for (size_t i = 0; i < a.up.size(); ++i)
            ASSERT_NEAR(b.up[i], a.up[i], 1e-5) << "oversampled sample " << i;
        for (size_t i = 0; i < a.out.size(); ++i)
            ASSERT_NEAR(b.out[i], a.out[i], 1e-5) << "sample " << i;
    }
    // The signal actually got through.
    double inPeak = 0.0, outPeak = 0.0;
    for (double v : in) inPeak = std::max(inPeak, std::fabs(v));
    for (double v : a.out) outPeak = std::max(outPeak, std::fabs(v));
    EXPECT_NEAR(outPeak, inPeak, 0.05 * inPeak);
}

TEST(Oversampler, DownsampleMayWriteOverItsSource)
{
    Oversampler apart, inPlace;
    apart.setup(44100);
    inPlace.setup(44100);
    const std::vector<double> in = sine(4 * 256, 2500.0, 4 * 44100.0, 0.8);
    for (int pos = 0; pos < 256; pos += 64) {
        std::vector<double> s1(in.begin() + 4 * pos, in.begin() + 4 * (pos + 64));
        std::vector<double> s2 = s1;
        std::vector<double> out(64);
        apart.downsample(out.data(), s1.data(), 64);
        inPlace.downsample(s2.data(), s2.data(), 64);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(s2[i], out[i]) << pos + i;
    }
}

TEST(Oversampler, SetupStartsFromSilence)
{
    Oversampler os;
    os.setup(48000);
    const std::vector<double> loud = sine(512, 440.0, 48000, 0.9);
    roundTrip(os, loud, 128);
    // A new setup (here at another rate) forgets the previous stream.
    os.setup(44100);
    const RoundTrip r = roundTrip(os, std::vector<double>(256, 0.0), 128);
    for (double v : r.up) ASSERT_EQ(v, 0.0);
    for (double v : r.out) ASSERT_EQ(v, 0.0);
}

// The oversampler's own polyphase routines must give the general convolver's
// results to the bit (the distortion after it would turn any rounding
// difference into an audible one), over odd block lengths and long ones, and
// across blocks where the convolver's routine changes (a forced routine, the
// EnableSSE setting off) and the histories pass from one side to the other.
TEST(Oversampler, SameBitsAsTheConvolverWhicheverRoutineRuns)
{
    const bool simdWas = cpu::simdEnabled();
    for (int rate : kRates) {
        SCOPED_TRACE(rate);
        Oversampler os;
        os.setup(rate);
        FirConvolver up(FirConvolver::Threading::CallerOnly), down(FirConvolver::Threading::CallerOnly);
        const FirKernel hu = interpolationKernel(rate), hd = decimationKernel(rate);
        up.setCoefficients(hu.taps, hu.count);
        down.setCoefficients(hd.taps, hd.count);
        std::uint32_t seed = 99;
        const int blocks[] = {128, 37, 1, 300, 8, 1000, 129, 64};
        for (int b = 0; b < 40; ++b) {
            const int n = blocks[b % 8];
            const auto path = b >= 12 && b < 18 ? FirConvolver::Path::Sse : FirConvolver::Path::Auto;
            for (FirConvolver* c : {&up, &down, &os.interpolator(), &os.decimator()}) c->setPathOverride(path);
            cpu::setSimdEnabled(!(b >= 25 && b < 28));
            std::vector<double> in(n), stuffed(4 * n, 0.0), got(4 * n), out(n);
            for (int i = 0; i < n; ++i) {
                seed = seed * 1664525u + 1013904223u;
                in[i] = ((seed >> 8) / double(1u << 24) * 2.0 - 1.0) * (b % 5 == 0 ? 40.0 : 0.7);
                stuffed[4 * i] = 4.0 * in[i];
            }
            os.upsample(got.data(), in.data(), n);
            up.process(stuffed.data(), 4 * n);
            for (int i = 0; i < 4 * n; ++i) ASSERT_EQ(got[i], stuffed[i]) << "block " << b << ", sample " << i;
            // Both decimate the same oversampled signal: the convolver's.
            std::vector<double> reference = stuffed;
            os.downsample(out.data(), stuffed.data(), n);
            down.processDecimating(reference.data(), 4 * n, 4);
            for (int j = 0; j < n; ++j) ASSERT_EQ(out[j], reference[j]) << "block " << b << ", sample " << j;
        }
    }
    cpu::setSimdEnabled(simdWas);
}

} // namespace
} // namespace stravik::dsp
