// IirFilter: the designs meet their responses, the recursion keeps its state
// across blocks and routines, and the 16-bit form truncates.
#include "dsp/IirFilter.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

using stravik::RecordingMessages;
using stravik::dsp::IirFilter;

namespace {

constexpr double kPi = 3.14159265358979323846;

// |H| of the filter's recursion (input gain included, dry path excluded).
double magnitude(const IirFilter& f, double freq, double fs)
{
    const double w = 2.0 * kPi * freq / fs;
    const std::complex<double> z1 = std::polar(1.0, -w);
    const double* c = f.values();
    const double b[5] = {c[IirFilter::kB0], c[IirFilter::kB1], c[IirFilter::kB2], c[IirFilter::kB3],
                         c[IirFilter::kB4]};
    const double a[4] = {c[IirFilter::kA1], c[IirFilter::kA2], c[IirFilter::kA3], c[IirFilter::kA4]};
    std::complex<double> num = 0.0, den = 1.0, zk = 1.0;
    for (int k = 0; k <= 4; ++k) {
        num += b[k] * zk;
        if (k < 4) den += a[k] * zk * z1;
        zk *= z1;
    }
    return std::abs(num / den) * f.inputGain();
}

double db(double v) { return 20.0 * std::log10(v); }

// Runs a sine through the filter and measures the steady-state amplitude.
double measuredGain(IirFilter f, double freq, int fs)
{
    f.reset();
    const int n = fs; // one second: long enough to settle at every tested corner
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) x[i] = std::sin(2.0 * kPi * freq * i / fs);
    f.process(x.data(), n);
    double peak = 0.0;
    for (int i = n / 2; i < n; ++i) peak = std::max(peak, std::fabs(x[i]));
    return peak;
}

} // namespace

TEST(IirFilter, ConstructedFilterHasUnityInputGainAndNoDryPath)
{
    IirFilter f;
    EXPECT_EQ(f.inputGain(), 1.0);
    EXPECT_EQ(f.dryGain(), 0.0);
    for (int i = 0; i < IirFilter::kValueCount - 2; ++i) EXPECT_EQ(f.values()[i], 0.0);
}

TEST(IirFilter, SecondOrderDesignsHoldTheirCornerBelowNyquistMinus50)
{
    IirFilter a, b;
    a.designLowPass(22040, 0.7, 1.0, 44100);
    b.designLowPass(22000, 0.7, 1.0, 44100);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(a.coefficient(i), b.coefficient(i)) << i;
    EXPECT_EQ(IirFilter::limitFrequency(22040, 44100), 22000);
    EXPECT_EQ(IirFilter::limitFrequency(30000, 48000), 23950);
    EXPECT_EQ(IirFilter::limitFrequency(23949, 48000), 23949);
    EXPECT_EQ(IirFilter::limitFrequency(11000, 22050), 10975);

    // Every second-order design applies it, the all-pass does not.
    IirFilter hp1, hp2, pk1, pk2, ls1, ls2, hs1, hs2, bp1, bp2;
    hp1.designHighPass(40000, 1.0, 1.0, 48000);
    hp2.designHighPass(23950, 1.0, 1.0, 48000);
    pk1.designPeaking(40000, 1.0, 6.0, 1.0, 48000);
    pk2.designPeaking(23950, 1.0, 6.0, 1.0, 48000);
    ls1.designLowShelf(40000, 1.0, 6.0, 1.0, 48000);
    ls2.designLowShelf(23950, 1.0, 6.0, 1.0, 48000);
    hs1.designHighShelf(40000, 1.0, 6.0, 1.0, 48000);
    hs2.designHighShelf(23950, 1.0, 6.0, 1.0, 48000);
    bp1.designBandPass(40000, 1.0, 1.0, 48000);
    bp2.designBandPass(23950, 1.0, 1.0, 48000);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(hp1.coefficient(i), hp2.coefficient(i));
        EXPECT_EQ(pk1.coefficient(i), pk2.coefficient(i));
        EXPECT_EQ(ls1.coefficient(i), ls2.coefficient(i));
        EXPECT_EQ(hs1.coefficient(i), hs2.coefficient(i));
        EXPECT_EQ(bp1.coefficient(i), bp2.coefficient(i));
    }
}

TEST(IirFilter, CookbookResponses)
{
    const int fs = 48000;
    IirFilter lp, hp, bp, pk, ls, hs;
    lp.designLowPass(1000, 2.0, 1.0, fs);
    EXPECT_NEAR(magnitude(lp, 0.0, fs), 1.0, 1e-9);
    EXPECT_NEAR(magnitude(lp, 1000.0, fs), 2.0, 1e-3); // gain Q at the corner
    EXPECT_LT(db(magnitude(lp, 10000.0, fs)), -38.0);   // 12 dB per octave

    hp.designHighPass(1000, 0.7071, 1.0, fs);
    EXPECT_NEAR(magnitude(hp, 0.0, fs), 0.0, 1e-9);
    EXPECT_NEAR(db(magnitude(hp, 1000.0, fs)), -3.01, 0.02);
    EXPECT_NEAR(magnitude(hp, 23999.0, fs), 1.0, 1e-3);

    bp.designBandPass(2000, 3.0, 1.0, fs);
    EXPECT_NEAR(magnitude(bp, 2000.0, fs), 1.0, 1e-6); // 0 dB peak
    EXPECT_LT(magnitude(bp, 200.0, fs), 0.05);

    pk.designPeaking(1000, 0.8, 9.0, 1.0, fs);
    EXPECT_NEAR(db(magnitude(pk, 1000.0, fs)), 9.0, 1e-3);
    EXPECT_NEAR(db(magnitude(pk, 0.0, fs)), 0.0, 1e-6);
    pk.designPeaking(1000, 0.8, -40.0, 1.0, fs);
    EXPECT_NEAR(db(magnitude(pk, 1000.0, fs)), -40.0, 1e-3);

    ls.designLowShelf(300, 1.0, 12.0, 1.0, fs);
    EXPECT_NEAR(db(magnitude(ls, 0.0, fs)), 12.0, 1e-6);
    EXPECT_NEAR(db(magnitude(ls, 23999.0, fs)), 0.0, 0.01);
    EXPECT_NEAR(db(magnitude(ls, 300.0, fs)), 6.0, 0.01); // half the gain at the corner

    hs.designHighShelf(1800, 1.0, -12.0, 1.0, fs);
    EXPECT_NEAR(db(magnitude(hs, 0.0, fs)), 0.0, 1e-6);
    EXPECT_NEAR(db(magnitude(hs, 23999.0, fs)), -12.0, 0.01);

    // The gain argument is the input gain.
    IirFilter g;
    g.designLowPass(1000, 0.7071, 0.25, fs);
    EXPECT_EQ(g.inputGain(), 0.25);
    EXPECT_NEAR(magnitude(g, 0.0, fs), 0.25, 1e-9);
}

TEST(IirFilter, FirstOrderDesigns)
{
    const int fs = 44100;
    IirFilter lp, hp;
    lp.designFirstOrderLowPass(1000.5, 1.0, fs);
    EXPECT_EQ(lp.order(), 1);
    EXPECT_NEAR(magnitude(lp, 0.0, fs), 1.0, 1e-12);
    EXPECT_NEAR(db(magnitude(lp, 1000.5, fs)), -3.0103, 1e-3); // bilinear with pre-warping
    EXPECT_NEAR(magnitude(lp, 22049.9, fs), 0.0, 1e-3);
    hp.designFirstOrderHighPass(720, 2.0, fs);
    EXPECT_EQ(hp.inputGain(), 2.0);
    EXPECT_NEAR(magnitude(hp, 0.0, fs), 0.0, 1e-12);
    EXPECT_NEAR(db(magnitude(hp, 720.0, fs) / 2.0), -3.0103, 1e-3);
    EXPECT_NEAR(magnitude(hp, 22049.9, fs), 2.0, 1e-3);
}

TEST(IirFilter, AllPassKeepsLevelAndItsMixIsANotch)
{
    const int fs = 48000;
    IirFilter ap;
    ap.setInputGain(0.5);
    ap.designAllPass(1500, 1.0, fs);
    EXPECT_EQ(ap.inputGain(), 0.5); // the all-pass leaves the input gain alone
    ap.setInputGain(1.0);
    for (double f : {50.0, 700.0, 1500.0, 5000.0, 20000.0}) EXPECT_NEAR(magnitude(ap, f, fs), 1.0, 1e-9) << f;
    // Input plus output cancels at the centre.
    IirFilter mix = ap;
    mix.setDryGain(1.0);
    EXPECT_LT(measuredGain(mix, 1500.0, fs), 0.01);
    EXPECT_GT(measuredGain(mix, 150.0, fs), 1.9);
}

TEST(IirFilter, ButterworthAndSteepLowPass)
{
    const int fs = 44100;
    IirFilter bw;
    bw.designButterworthLowPass(2000, 1.0, fs);
    EXPECT_EQ(bw.order(), 3);
    EXPECT_NEAR(magnitude(bw, 0.0, fs), 1.0, 1e-9);
    EXPECT_NEAR(db(magnitude(bw, 2000.0, fs)), -3.0103, 1e-3);
    // Maximally flat: the third-order prototype at twice the corner.
    EXPECT_NEAR(db(magnitude(bw, 4000.0, fs)), -18.13, 0.6);

    IirFilter steep;
    steep.designSteepLowPass(8000, 0.8, fs);
    EXPECT_EQ(steep.order(), 4);
    EXPECT_EQ(steep.inputGain(), 0.8);
    EXPECT_NEAR(magnitude(steep, 0.0, fs), 0.8, 1e-9);
    // With pole angles pi/4 and 3pi/8 the prototype's gain at the corner is
    // 1 / |2 - q| with q = 2 + 4 cos(pi/4) cos(3pi/8).
    const double q = 2.0 + 4.0 * std::cos(kPi / 4) * std::cos(3 * kPi / 8);
    EXPECT_NEAR(magnitude(steep, 8000.0, fs) / 0.8, 1.0 / std::fabs(2.0 - q), 1e-4);
    EXPECT_LT(db(magnitude(steep, 16000.0, fs)), -24.0);
    // Through the block routine: a 500 Hz tone passes, a 20 kHz tone does not.
    EXPECT_NEAR(measuredGain(steep, 500.0, fs), 0.8, 0.01);
    EXPECT_LT(measuredGain(steep, 20000.0, fs), 0.01);
}

TEST(IirFilter, BesselWarnsOncePerDesignAboveQuarterAndStillFilters)
{
    RecordingMessages messages;
    IirFilter f;
    const int fs = 48000;
    // r = f * 0.734400887 / fs; 0.25 is reached at f = 16339.7 Hz.
    f.designBesselLowPass(16339, 3, fs, messages);
    EXPECT_EQ(messages.count(), 0u);
    EXPECT_EQ(f.inputGain(), 3.0);
    f.designBesselLowPass(16340, 1, fs, messages);
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_EQ(messages.texts()[0], "Filter Unstable!");
    f.designBesselLowPass(17000, 1, fs, messages);
    EXPECT_EQ(messages.count(), 2u);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(std::isfinite(f.coefficient(i)));
    // A sane design: unity DC gain times the input gain.
    f.designBesselLowPass(1000, 2, fs, messages);
    EXPECT_NEAR(magnitude(f, 0.0, fs), 2.0, 1e-9);
    EXPECT_LT(magnitude(f, 10000.0, fs), 0.2);
}

TEST(IirFilter, RecursionUsesScaledInputAndUnscaledDryPath)
{
    // A first-order filter by hand: y = b0 x + b1 x1 - a1 y1 with x = g * in,
    // output = dry * in + y.
    IirFilter f;
    const double b[2] = {0.3, 0.2}, a[1] = {-0.5};
    f.setCoefficients(1, b, a);
    f.setInputGain(2.0);
    f.setDryGain(0.25);
    const double in[4] = {1.0, -0.5, 0.25, 0.0};
    double buf[4] = {1.0, -0.5, 0.25, 0.0};
    f.process(buf, 4);
    double x1 = 0, y1 = 0;
    for (int i = 0; i < 4; ++i) {
        const double x = 2.0 * in[i];
        const double y = 0.3 * x + 0.2 * x1 + 0.5 * y1;
        EXPECT_DOUBLE_EQ(buf[i], 0.25 * in[i] + y) << i;
        x1 = x;
        y1 = y;
    }
}

TEST(IirFilter, BlocksSamplesAndChunksAgreeForEveryOrder)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> input(1000);
    for (double& v : input) v = u(rng);

    RecordingMessages messages;
    for (int order = 1; order <= 4; ++order) {
        IirFilter proto;
        switch (order) {
        case 1: proto.designFirstOrderHighPass(300, 0.9, 44100); break;
        case 2: proto.designPeaking(1200, 2.0, 6.0, 1.1, 44100); break;
        case 3: proto.designButterworthLowPass(3000, 1.0, 44100); break;
        case 4: proto.designSteepLowPass(5000, 1.0, 44100); break;
        }
        proto.setDryGain(0.3);
        std::vector<double> whole = input;
        IirFilter a = proto;
        a.process(whole.data(), static_cast<int>(whole.size()));

        // Chunks of odd sizes give the same result: the history carries over.
        std::vector<double> chunked = input;
        IirFilter b = proto;
        size_t pos = 0, step = 1;
        while (pos < chunked.size()) {
            const size_t len = std::min(step, chunked.size() - pos);
            b.process(chunked.data() + pos, static_cast<int>(len));
            pos += len;
            step = step * 3 % 17 + 1;
        }
        for (size_t i = 0; i < input.size(); ++i) ASSERT_DOUBLE_EQ(chunked[i], whole[i]) << order << " " << i;

        if (order <= 2) {
            IirFilter c = proto;
            for (size_t i = 0; i < input.size(); ++i)
                ASSERT_DOUBLE_EQ(c.processSample(input[i]), whole[i]) << order << " " << i;
        }
    }
}

TEST(IirFilter, ResetClearsHistoryOnly)
{
    IirFilter f;
    f.designLowPass(500, 0.7, 0.5, 48000);
    f.setDryGain(0.1);
    double buf[64];
    for (double& v : buf) v = 1.0;
    f.process(buf, 64);
    const IirFilter designed = [] {
        IirFilter g;
        g.designLowPass(500, 0.7, 0.5, 48000);
        return g;
    }();
    f.reset();
    for (int i = 0; i < 11; ++i) EXPECT_EQ(f.coefficient(i), designed.coefficient(i));
    EXPECT_EQ(f.inputGain(), 0.5);
    EXPECT_EQ(f.dryGain(), 0.1);
    for (int i = IirFilter::kInputHistory; i < IirFilter::kInputGain; ++i) EXPECT_EQ(f.values()[i], 0.0);
    // After a reset the filter behaves like a new one.
    IirFilter fresh = designed;
    fresh.setDryGain(0.1);
    EXPECT_DOUBLE_EQ(f.processSample(0.7), fresh.processSample(0.7));
}

TEST(IirFilter, SixteenBitFormTruncatesTowardZeroAndLimits)
{
    IirFilter f;
    const double b[3] = {0.5, 0.0, 0.0}, a[2] = {0.0, 0.0};
    f.setCoefficients(2, b, a);
    int16_t s[6] = {3, -3, 32767, -32768, 1, -1};
    f.processInt16(s, 6);
    EXPECT_EQ(s[0], 1);  // 1.5 -> 1
    EXPECT_EQ(s[1], -1); // -1.5 -> -1
    EXPECT_EQ(s[2], 16383);
    EXPECT_EQ(s[3], -16384);
    EXPECT_EQ(s[4], 0);
    EXPECT_EQ(s[5], 0);

    IirFilter loud;
    const double b2[3] = {4.0, 0.0, 0.0};
    loud.setCoefficients(2, b2, a);
    int16_t t[2] = {20000, -20000};
    loud.processInt16(t, 2);
    EXPECT_EQ(t[0], 32767);
    EXPECT_EQ(t[1], -32767);

    // Same recursion as the double form.
    IirFilter d, i16;
    d.designLowPass(2000, 1.0, 1.0, 22050);
    i16 = d;
    int16_t steps[50];
    double ref[50];
    for (int k = 0; k < 50; ++k) steps[k] = static_cast<int16_t>(k % 7 == 0 ? 10000 : -3000);
    for (int k = 0; k < 50; ++k) ref[k] = steps[k];
    d.process2(ref, 50);
    i16.processInt16(steps, 50);
    for (int k = 0; k < 50; ++k) EXPECT_EQ(steps[k], static_cast<int16_t>(std::trunc(ref[k]))) << k;
}

TEST(IirFilter, FastFormFollowsTheRecursionAcrossBlocksAndRoutines)
{
    // Each order, with input and dry gains, in blocks of awkward sizes, with
    // the plain routine taking over now and then: the two must keep one
    // history between them.
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 0.3);
    for (int order = 1; order <= 4; ++order) {
        IirFilter plain;
        switch (order) {
        case 1: plain.designFirstOrderHighPass(30, 0.8, 192000); break;
        case 2: plain.designPeaking(50, 7.0, -40.0, 1.2, 48000); break;
        case 3: plain.designButterworthLowPass(3000, 0.9, 48000); break;
        default: plain.designSteepLowPass(8000, 0.8, 48000); break;
        }
        plain.setDryGain(0.3);
        IirFilter fast = plain;
        std::vector<double> a(20000);
        for (double& v : a) v = noise(rng);
        std::vector<double> b = a;
        const int sizes[] = {512, 128, 77, 16, 300, 1, 8, 9, 31};
        size_t at = 0;
        for (int k = 0; at < a.size(); ++k) {
            const int n = std::min(sizes[k % 9], static_cast<int>(a.size() - at));
            plain.process(a.data() + at, n);
            if (k % 5 == 4)
                fast.process(b.data() + at, n);
            else
                fast.processFast(b.data() + at, n);
            at += static_cast<size_t>(n);
        }
        for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(b[i], a[i], 1e-12 * (1.0 + std::fabs(a[i]))) << order << " " << i;
    }
}
