// test-label: threads
// The distortion stage: the overdrive table against an independent solution
// of the clipper, the lookup's ends, each mode against a literal model of its
// steps, the circuit filters against their analog responses, the rebuild
// rules (ready flag, status texts, the one-time message), the legacy mode key,
// the parameters that must not matter, allocation-free processing, a table
// rebuilt while the audio thread plays, and `korvex render` in every mode.
#include "effects/tone/Distortion.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/CurveSpline.h"
#include "dsp/FirConvolver.h"
#include "dsp/IirFilter.h"
#include "dsp/Oversampler.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "AllocationCounter.h"

using namespace stravik;
using namespace stravik::effects;
using dsp::BackgroundWorker;
using dsp::IirFilter;

namespace {

constexpr double kTestPi = 3.14159265358979323846;

struct Rig {
    BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    DistortionParams params;
    std::unique_ptr<Distortion> unit = std::make_unique<Distortion>(params, context);
};

// A plucked note at the oversampled rate: a few decaying harmonics.
std::vector<double> pluck(int fs, int n, double amplitude, double f0 = 110.0)
{
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / fs;
        double s = 0.0;
        for (int h = 1; h <= 5; ++h) s += std::sin(2.0 * kTestPi * f0 * h * t) / h;
        v[static_cast<size_t>(i)] = amplitude * s * std::exp(-3.0 * t);
    }
    return v;
}

void processInBlocks(Distortion& d, std::vector<double>& v, int block = 512)
{
    for (size_t at = 0; at < v.size(); at += static_cast<size_t>(block)) {
        const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(block), v.size() - at));
        d.process(v.data() + at, n);
    }
}

double rms(const std::vector<double>& v, size_t from = 0)
{
    double s = 0.0;
    for (size_t i = from; i < v.size(); ++i) s += v[i] * v[i];
    return std::sqrt(s / static_cast<double>(v.size() - from));
}

// ---- the clipper, written out again from the circuit's description
struct Diode {
    double is, vt, asym, edge;
};
const Diode kTestDiodes[4] = {
    {0.00022697, 0.07, 0.99, 0.0}, {3e-06, 0.049, 0.98, 0.2}, {1e-11, 0.03, 0.99, 0.2}, {2.7033e-20, 0.015, 0.99, 0.5}};

long double testG(int type, long double v)
{
    const Diode& d = kTestDiodes[type];
    const auto curve = [&](long double x) {
        return d.is * (std::exp(x / d.vt) - d.asym * std::exp(-x / d.vt));
    };
    if (d.edge > 0 && v > -d.edge && v < d.edge) return v * curve(d.edge) / d.edge;
    return curve(v);
}

// F is increasing in y, so plain bisection over the whole range finds the one root.
long double independentRoot(long double w, long double k, int type)
{
    long double lo = -2.0L, hi = 2.0L;
    for (int i = 0; i < 200; ++i) {
        const long double mid = (lo + hi) / 2;
        const long double f = k * mid - w + testG(type, mid) / 2;
        if (f < 0)
            lo = mid;
        else
            hi = mid;
    }
    return (lo + hi) / 2;
}

std::complex<double> digitalResponse(const IirFilter& f, double hz, int fs)
{
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kTestPi * hz / fs);
    const std::complex<double> z2 = z1 * z1;
    const std::complex<double> num = f.coefficient(IirFilter::kB0) + f.coefficient(IirFilter::kB1) * z1 +
                                     f.coefficient(IirFilter::kB2) * z2;
    const std::complex<double> den = 1.0 + f.coefficient(IirFilter::kA1) * z1 + f.coefficient(IirFilter::kA2) * z2;
    return f.inputGain() * num / den;
}

struct StatusLog final : DistortionStatus {
    std::mutex m;
    std::vector<std::string> texts;
    std::vector<std::thread::id> threads;
    void showStatus(const char* text) override
    {
        std::lock_guard l(m);
        texts.emplace_back(text);
        threads.push_back(std::this_thread::get_id());
    }
};

} // namespace

// ---------------------------------------------------------------- the table

TEST(OverdriveTable, EntriesSolveTheClipperForEveryClippingType)
{
    const int entries[] = {0, 1, 250, 700, 999, 1000, 1001, 1300, 1700, 1999};
    for (double drive : {0.0, 500.0, 1000.0}) {
        for (int type = 0; type < 4; ++type) {
            OverdriveTable table;
            int missing = 0;
            table.build(drive, type, [&] { ++missing; });
            EXPECT_EQ(missing, 0);
            const long double k = 1.0L / (std::pow(10.0L, drive / 333.0L) + 10.0L);
            for (int i : entries) {
                const long double w = OverdriveTable::entryInput(i);
                const double expected = static_cast<double>(independentRoot(w, k, type));
                EXPECT_NEAR(table.entry(i), expected, 2e-6 + 1e-6 * std::fabs(expected))
                    << "drive " << drive << " type " << type << " entry " << i;
            }
        }
    }
}

TEST(OverdriveTable, EntryInputsFollowTheSignedSquare)
{
    EXPECT_DOUBLE_EQ(OverdriveTable::entryInput(0), -1.0);
    EXPECT_DOUBLE_EQ(OverdriveTable::entryInput(1000), 0.0);
    EXPECT_NEAR(OverdriveTable::entryInput(1500), 0.25, 1e-12);
    EXPECT_NEAR(OverdriveTable::entryInput(1999), 0.998001, 1e-12);
    EXPECT_NEAR(OverdriveTable::entryInput(300), -0.49, 1e-12);
}

TEST(OverdriveTable, ZeroInputGivesTheSmallOffsetOfTheAsymmetricDiodes)
{
    OverdriveTable soft;
    soft.build(500.0, kClipSoft, [] {});
    // Soft has no linear zone: G(0) = Is * (1 - 0.99) pushes the root below 0.
    EXPECT_LT(soft.entry(1000), 0.0f);
    EXPECT_GT(soft.entry(1000), -1e-4f);
    EXPECT_DOUBLE_EQ(soft.lookup(0.0), soft.entry(1000));
    // The others are linear around 0: the root sits at 0 within the solver's
    // tolerance, |F| < 1e-10, i.e. |y| < 1e-10 / K.
    for (int type = 1; type < 4; ++type) {
        OverdriveTable t;
        t.build(500.0, type, [] {});
        EXPECT_NEAR(t.entry(1000), 0.0, 1e-10 / overdriveK(500.0) * 1.01) << type;
        EXPECT_LT(std::fabs(t.entry(1000)), std::fabs(soft.entry(1000)) / 100) << type;
    }
}

TEST(OverdriveTable, LookupClampsBeyondTheEndsAndInterpolatesBetweenEntries)
{
    OverdriveTable t;
    t.build(300.0, kClipNormal, [] {});
    EXPECT_DOUBLE_EQ(t.lookup(1.5), t.lookup(0.99));
    EXPECT_DOUBLE_EQ(t.lookup(50.0), t.lookup(0.99));
    EXPECT_DOUBLE_EQ(t.lookup(-1.0), t.entry(0));
    EXPECT_DOUBLE_EQ(t.lookup(-7.0), t.entry(0));
    EXPECT_DOUBLE_EQ(t.lookup(std::numeric_limits<double>::quiet_NaN()), t.entry(0));
    // At 0.99 the lookup uses entries 1994 and 1995.
    const double w0 = OverdriveTable::entryInput(1994), w1 = OverdriveTable::entryInput(1995);
    EXPECT_LE(w0, 0.99);
    EXPECT_GE(w1, 0.99);
    const double lo = std::min(t.entry(1994), t.entry(1995)), hi = std::max(t.entry(1994), t.entry(1995));
    EXPECT_GE(t.lookup(0.99), lo - 1e-12);
    EXPECT_LE(t.lookup(0.99), hi + 1e-12);
    for (int i : {3, 400, 999, 1200, 1990}) {
        EXPECT_NEAR(t.lookup(OverdriveTable::entryInput(i)), t.entry(i), 1e-6) << i;
        // Half-way between two entries: half-way between their values.
        const double mid = 0.5 * (OverdriveTable::entryInput(i) + OverdriveTable::entryInput(i + 1));
        EXPECT_NEAR(t.lookup(mid), 0.5 * (t.entry(i) + t.entry(i + 1)), 1e-6) << i;
    }
}

TEST(OverdriveTable, InsideTheLinearZoneTheCircuitIsAPlainDivider)
{
    // With G(y) = y G(e) / e, F(y) = 0 gives y = w / (K + G(e) / (2 e)).
    const struct {
        int type;
        double edge;
    } zones[] = {{kClipNormal, 0.2}, {kClipHard, 0.2}, {kClipXHard, 0.5}};
    for (const auto& z : zones) {
        OverdriveTable t;
        t.build(500.0, z.type, [] {});
        const double slope = overdriveK(500.0) + clippingCurve(z.type, z.edge) / (2.0 * z.edge);
        int checked = 0;
        for (int i = 0; i < OverdriveTable::kSize; ++i) {
            const double w = OverdriveTable::entryInput(i);
            if (std::fabs(w / slope) >= 0.95 * z.edge || w == 0.0) continue;
            EXPECT_NEAR(t.entry(i), w / slope, 1e-6 * std::fabs(w / slope) + 1e-8) << z.type << " " << i;
            ++checked;
        }
        EXPECT_GT(checked, 10) << z.type;
    }
    // The curve rises monotonically for every type.
    for (int type = 0; type < 4; ++type) {
        OverdriveTable t;
        t.build(500.0, type, [] {});
        for (int i = 1; i < OverdriveTable::kSize; ++i) ASSERT_GE(t.entry(i), t.entry(i - 1)) << type;
    }
}

TEST(OverdriveSolve, NoRootInRangeReportsNotFound)
{
    // A NaN drive leaves F without a sign anywhere.
    const OverdriveRoot r = solveOverdrive(0.3, std::numeric_limits<double>::quiet_NaN(), kClipNormal);
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.y, 0.0);
    const OverdriveRoot ok = solveOverdrive(0.3, overdriveK(500.0), kClipNormal);
    EXPECT_TRUE(ok.found);
    EXPECT_LT(std::fabs(overdriveK(500.0) * ok.y - 0.3 + clippingCurve(kClipNormal, ok.y) / 2.0), 1e-10);
}

TEST(OverdriveSolve, LinearZoneMeetsTheCurveAtItsPositiveEdge)
{
    EXPECT_NEAR(clippingCurve(kClipNormal, 0.1999999999), clippingCurve(kClipNormal, 0.2), 1e-9);
    EXPECT_NEAR(clippingCurve(kClipNormal, 0.1) * 2.0, clippingCurve(kClipNormal, 0.2), 1e-15);
    EXPECT_NEAR(clippingCurve(kClipXHard, 0.25) * 2.0, clippingCurve(kClipXHard, 0.5), 1e-30);
    EXPECT_DOUBLE_EQ(clippingCurve(kClipHard, -0.1), -clippingCurve(kClipHard, 0.1));
    // Soft is exponential everywhere.
    EXPECT_NEAR(clippingCurve(kClipSoft, 0.0), 0.00022697 * 0.01, 1e-15);
}

// ---------------------------------------------------------------- stage

TEST(Distortion, OverdriveWithoutATablePassesTheBlockUntouched)
{
    Rig rig;
    rig.params.dist_mode = kOverdrive;
    ASSERT_FALSE(rig.unit->tableReady());
    auto v = pluck(192000, 2048, 0.5);
    const auto in = v;
    processInBlocks(*rig.unit, v);
    EXPECT_EQ(v, in);
    // Once built, the same block is shaped.
    rig.unit->start(48000);
    ASSERT_TRUE(rig.unit->tableReady());
    processInBlocks(*rig.unit, v);
    EXPECT_NE(v, in);
    // A preset loaded while stopped clears it again.
    rig.unit->presetLoaded(false);
    EXPECT_FALSE(rig.unit->tableReady());
    v = in;
    processInBlocks(*rig.unit, v);
    EXPECT_EQ(v, in);
}

TEST(Distortion, OverdriveFollowsItsStepsSampleBySample)
{
    for (int sat = 0; sat < 2; ++sat) {
        Rig rig;
        rig.params.dist_mode = kOverdrive;
        rig.params.dist_clip = kClipHard;
        rig.params.dist_drive = 700.0;
        rig.params.dist_fbon = sat;
        rig.params.dist_fb = 0.6f;
        rig.params.dist_dry_mix = 0.35f;
        rig.params.dist_lpfreq = 7000.0f;
        rig.params.dist_lpq = 1.3f;
        rig.unit->start(44100);
        const int fs = 176400;
        ASSERT_EQ(rig.unit->oversampledRate(), fs);

        IirFilter pre, dry, lp;
        pre.designHighPass(60, 1.0, 1.0, fs);
        dry.designFirstOrderHighPass(720, 1.0, fs);
        lp.designLowPass(7000, 1.3f, 1.0, fs);
        const auto satf = [](double v, double ep, double en) {
            if (v > 1) return 1.0;
            if (v < -1) return -1.0;
            return v > 0 ? 1 - std::pow(1 - v, ep) : std::pow(1 + v, en) - 1;
        };
        auto v = pluck(fs, 4096, 1.6);
        std::vector<double> expected = v;
        for (double& x : expected) {
            x = pre.processSample(x);
            const double fb = 0.6f;
            const double h = x / 2;
            const double vin = sat ? satf(h, 2 * fb + 1.0, 2 * fb + 1.1) : h;
            const double d = dry.processSample(x) * static_cast<double>(0.35f);
            double r = rig.unit->table().lookup(vin) / 6 + d;
            if (sat) r = 2 * satf(r / 2, 1.2, 1.3);
            x = lp.processSample(2 * r);
        }
        processInBlocks(*rig.unit, v, 384);
        // The stage runs its filters eight samples at a time, which moves
        // the last bits of the 60 Hz high-pass's output (its poles sit close
        // to 1 and carry rounding a long way), and the table's steep cells
        // near 0 magnify that: agreement to 1e-8.
        for (size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], expected[i], 1e-8) << "sample " << i << " sat " << sat;
    }
}

namespace {

// The Distortion mode written out literally, with the per-sample high-pass
// redesigned through IirFilter as the circuit description has it.
struct LiteralDistortionMode {
    int fs;
    IirFilter pre, hp30, dynamic, hp25, lp;
    dsp::FirConvolver kernel{dsp::FirConvolver::Threading::WorkerPool};
    dsp::CurveSpline driveUp, driveDown, shapeUp, shapeDown;
    double p = 0.0;
    std::vector<int> corners;

    LiteralDistortionMode(int rate, double lpFreq, double lpQ) : fs(4 * rate)
    {
        pre.designHighPass(60, 1.0, 1.0, fs);
        hp30.designFirstOrderHighPass(30, 1.0, fs);
        hp25.designFirstOrderHighPass(25, 1.0, fs);
        lp.designLowPass(static_cast<int>(lpFreq), lpQ, 1.0, fs);
        const dsp::FirKernel k = dsp::decimationKernel(rate);
        kernel.setCoefficients(k.taps, k.count);
        const double dux[] = {0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
        const double duy[] = {0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
        const double dud[] = {1, 1, 1, 1, 0.2, 0.03, 0, 0};
        const double ddx[] = {0, 0.4, 0.5, 0.55, 0.64, 0.74, 0.96, 10.0};
        const double ddy[] = {0, 0.4, 0.5, 0.55, 0.59, 0.602, 0.605, 0.605};
        const double ddd[] = {1, 1, 1, 1, 0.3, 0.05, 0, 0};
        const double sux[] = {0, 0.2, 0.4, 0.6, 0.7, 0.8, 1.0, 1.5, 2.0, 3.0, 5.0, 7.0, 12.0, 20.0};
        const double suy[] = {0,        0.199998, 0.399793, 0.584132, 0.640384, 0.672645, 0.707921,
                              0.748108, 0.769058, 0.793855, 0.821005, 0.837513, 0.862665, 0.885621};
        const double sdx[] = {0, 0.15, 0.3, 0.4, 0.55, 0.75, 1.1, 1.5, 2.0, 3.0, 5.0, 7.0, 12.0, 20.0};
        const double sdy[] = {0,        0.149909, 0.29727,  0.381334, 0.453295, 0.49561,  0.530841,
                              0.553111, 0.571112, 0.593911, 0.620118, 0.636461, 0.661731, 0.685036};
        driveUp.buildHermite(dux, duy, dud, 8);
        driveDown.buildHermite(ddx, ddy, ddd, 8);
        shapeUp.buildAkima(sux, suy, 14);
        shapeDown.buildAkima(sdx, sdy, 14);
    }

    void process(double* b, int n, double drive)
    {
        pre.process(b, n);
        const double g = ((drive / 1000) * (drive / 1000) * 300 + 1) / 10;
        for (int i = 0; i < n; ++i) {
            const double u = g * b[i];
            b[i] = u >= 0 ? 8 * driveUp(u) : -8 * driveDown(-u);
        }
        kernel.process(b, n);
        hp30.process(b, n);
        for (int i = 0; i < n; ++i) {
            const double r = p > 0.01 ? shapeUp(p) / p : (p < -0.01 ? shapeDown(-p) / -p : 1.0);
            const int corner = static_cast<int>((1 - r) * 550 + 40);
            corners.push_back(corner);
            dynamic.designFirstOrderHighPass(corner, 1.0, fs);
            const double h = dynamic.processSample(b[i]);
            const double y = h >= 0 ? shapeUp(h) : -shapeDown(-h);
            p = y;
            b[i] = 0.3 * y;
        }
        hp25.process(b, n);
        lp.process(b, n);
    }
};

} // namespace

TEST(Distortion, DistortionModeMatchesItsLiteralStepsAtEveryLevel)
{
    for (double amplitude : {2e-5, 0.05, 0.9}) {
        Rig rig;
        rig.params.dist_mode = kDistortion;
        rig.params.dist_drive = 640.0;
        rig.unit->start(48000);
        LiteralDistortionMode model(48000, 5500.0, static_cast<double>(0.7f));
        auto v = pluck(192000, 8192, amplitude);
        auto expected = v;
        for (size_t at = 0; at < expected.size(); at += 512) model.process(expected.data() + at, 512, 640.0);
        processInBlocks(*rig.unit, v, 512);
        const double scale = std::max(1e-12, rms(expected));
        for (size_t i = 0; i < v.size(); ++i)
            ASSERT_NEAR(v[i], expected[i], 1e-9 * scale + 1e-15) << "amplitude " << amplitude << " sample " << i;
        if (amplitude < 1e-4) {
            // Quiet playing (|p| <= 0.01) keeps the level-dependent high-pass at 40 Hz.
            for (int c : model.corners) ASSERT_EQ(c, 40);
        } else if (amplitude > 0.5) {
            // Deep compression raises it well above.
            int highest = 0;
            for (int c : model.corners) highest = std::max(highest, c);
            EXPECT_GT(highest, 100);
        }
    }
}

TEST(Distortion, QuietSignalsSeeAFortyHertzHighPass)
{
    // Small enough that every curve is on its straight part: the mode is then
    // a chain of linear filters, and its high-pass shows at its corner.
    Rig rig;
    rig.params.dist_mode = kDistortion;
    rig.params.dist_drive = 500.0;
    rig.unit->start(48000);
    const int fs = 192000;
    std::vector<double> v(static_cast<size_t>(fs));
    for (size_t i = 0; i < v.size(); ++i) v[i] = 2e-5 * std::sin(2.0 * kTestPi * 40.0 * static_cast<double>(i) / fs);
    const auto in = v;
    processInBlocks(*rig.unit, v);
    const auto linearModel = [&](int cornerHz) {
        IirFilter pre, hp30, hp, hp25, lp;
        pre.designHighPass(60, 1.0, 1.0, fs);
        hp30.designFirstOrderHighPass(30, 1.0, fs);
        hp.designFirstOrderHighPass(cornerHz, 1.0, fs);
        hp25.designFirstOrderHighPass(25, 1.0, fs);
        lp.designLowPass(5500, static_cast<double>(0.7f), 1.0, fs);
        dsp::FirConvolver kernel(dsp::FirConvolver::Threading::CallerOnly);
        const dsp::FirKernel k = dsp::decimationKernel(48000);
        kernel.setCoefficients(k.taps, k.count);
        auto m = in;
        const double g = (0.25 * 300 + 1) / 10;
        pre.process(m.data(), fs);
        for (double& x : m) x *= 8 * g;
        for (size_t at = 0; at < m.size(); at += 512) kernel.process(m.data() + at, 512);
        hp30.process(m.data(), fs);
        hp.process(m.data(), fs);
        for (double& x : m) x *= 0.3;
        hp25.process(m.data(), fs);
        lp.process(m.data(), fs);
        return rms(m, static_cast<size_t>(fs / 2));
    };
    const double level = rms(v, static_cast<size_t>(fs / 2));
    EXPECT_NEAR(level / linearModel(40), 1.0, 0.01);
    // Clearly apart from the corners it would have if it followed loud playing.
    EXPECT_GT(std::fabs(level / linearModel(200) - 1.0), 0.3);
}

namespace {

struct LiteralMetalMode {
    int fs;
    IirFilter pre, a, b, lp10k, p100, p4770, hp30, lp;
    dsp::FirConvolver kernel{dsp::FirConvolver::Threading::WorkerPool};
    dsp::CurveSpline driveUp, shapeUp;

    explicit LiteralMetalMode(int rate) : fs(4 * rate)
    {
        pre.designHighPass(60, 1.0, 1.0, fs);
        designCircuitFilterA(a, fs);
        designCircuitFilterB(b, fs);
        lp10k.designFirstOrderLowPass(10000.0, 1.0, fs);
        p100.designPeaking(100, 1.0, 7.0, 1.0, fs);
        p4770.designPeaking(4770, 1.0, 10.0, 1.0, fs);
        hp30.designFirstOrderHighPass(30, 1.0, fs);
        lp.designLowPass(5500, static_cast<double>(0.7f), 1.0, fs);
        const dsp::FirKernel k = dsp::decimationKernel(rate);
        kernel.setCoefficients(k.taps, k.count);
        const double dux[] = {0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
        const double duy[] = {0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
        const double dud[] = {1, 1, 1, 1, 0.2, 0.03, 0, 0};
        const double sux[] = {0, 0.2, 0.4, 0.6, 0.7, 0.8, 1.0, 1.5, 2.0, 3.0, 5.0, 7.0, 12.0, 20.0};
        const double suy[] = {0,        0.199998, 0.399793, 0.584132, 0.640384, 0.672645, 0.707921,
                              0.748108, 0.769058, 0.793855, 0.821005, 0.837513, 0.862665, 0.885621};
        driveUp.buildHermite(dux, duy, dud, 8);
        shapeUp.buildAkima(sux, suy, 14);
    }

    void process(double* x, int n, double drive, bool sat, double fb)
    {
        pre.process(x, n);
        for (int i = 0; i < n; ++i) x[i] = x[i] >= 0 ? driveUp(10 * x[i]) : -driveUp(-10 * x[i]);
        a.process(x, n);
        kernel.process(x, n);
        const double g = (drive / 1000) * (drive / 1000) * 300 + 5;
        for (int i = 0; i < n; ++i) {
            const double u = g * x[i];
            double y = u >= 0 ? shapeUp(u) : -shapeUp(-u);
            if (sat) y = saturate(y, 2 * fb + 1.0, 2 * fb + 1.1);
            x[i] = y;
        }
        b.process(x, n);
        lp10k.process(x, n);
        p100.process(x, n);
        p4770.process(x, n);
        hp30.process(x, n);
        for (int i = 0; i < n; ++i) x[i] = 0.51 * (x[i] >= 0 ? driveUp(x[i] / 1.7) : -driveUp(-x[i] / 1.7));
        lp.process(x, n);
    }
};

} // namespace

TEST(Distortion, MetalModeMatchesItsLiteralSteps)
{
    for (int sat = 0; sat < 2; ++sat) {
        Rig rig;
        rig.params.dist_mode = kMetalDistortion;
        rig.params.dist_drive = 820.0;
        rig.params.dist_fbon = sat;
        rig.params.dist_fb = 0.3f;
        rig.unit->start(22050);
        LiteralMetalMode model(22050);
        auto v = pluck(88200, 4096, 0.4);
        auto expected = v;
        for (size_t at = 0; at < expected.size(); at += 256)
            model.process(expected.data() + at, 256, 820.0, sat != 0, static_cast<double>(0.3f));
        processInBlocks(*rig.unit, v, 256);
        for (size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], expected[i], 1e-9) << "sample " << i << " sat " << sat;
    }
}

TEST(Distortion, CircuitFiltersAreTheBilinearImagesOfTheAnalogCircuits)
{
    const double R1 = 100000, R2 = 10000, R3 = 4700, C1 = 3.3e-08, C2 = 4.7e-08, C3 = 1.5e-08, C4 = 1e-06;
    const auto analogA = [&](std::complex<double> s) {
        return R1 * R2 * C1 * s / (R1 * R2 * R2 * C1 * C2 * s * s + (2 * R1 * R2 * C1 + R2 * R2 * C2) * s + 2 * R2);
    };
    const auto analogB = [&](std::complex<double> s) {
        return (R1 * R3 * C3 * C4 * s * s + R1 * C4 * s) /
               (C3 * C4 * (R1 * R2 + R1 * R3 + R2 * R3) * s * s + (R1 * C4 + R3 * C3 + R2 * C3 + R2 * C4) * s + 1.0);
    };
    for (int fs : {88200, 176400, 192000}) {
        IirFilter a, b;
        designCircuitFilterA(a, fs);
        designCircuitFilterB(b, fs);
        for (double hz : {20.0, 100.0, 180.0, 1000.0, 5000.0, 20000.0}) {
            // The bilinear transform maps f to the analog frequency 2 fs tan(pi f / fs).
            const std::complex<double> s(0.0, 2.0 * fs * std::tan(kTestPi * hz / fs));
            const auto da = digitalResponse(a, hz, fs), db = digitalResponse(b, hz, fs);
            EXPECT_NEAR(std::abs(da - analogA(s)), 0.0, 1e-9 * std::max(1.0, std::abs(analogA(s)))) << fs << " " << hz;
            EXPECT_NEAR(std::abs(db - analogB(s)), 0.0, 1e-9 * std::max(1.0, std::abs(analogB(s)))) << fs << " " << hz;
        }
        // A is a band-pass: nothing at DC, a peak of R1 R2 C1 / (2 R1 R2 C1 + R2^2 C2) near 180 Hz.
        EXPECT_NEAR(std::abs(digitalResponse(a, 0.0, fs)), 0.0, 1e-12);
        EXPECT_NEAR(std::abs(digitalResponse(a, 180.9, fs)), 33.0 / 70.7, 0.01);
        // B passes the highs at R1 R3 C3 C4 / (C3 C4 (R1R2 + R1R3 + R2R3)) and blocks DC.
        EXPECT_NEAR(std::abs(digitalResponse(b, 0.0, fs)), 0.0, 1e-9);
    }
}

TEST(Distortion, LowPassAboveHalfTheOversampledRateIsLoweredAndStored)
{
    Rig rig;
    rig.params.dist_lpfreq = 200000.0f;
    rig.unit->start(44100);
    EXPECT_EQ(rig.params.dist_lpfreq.get(), 88200.0f);
    rig.unit->start(22050);
    EXPECT_EQ(rig.params.dist_lpfreq.get(), 44100.0f);
    rig.params.dist_lpfreq = 12000.0f;
    rig.unit->setup();
    EXPECT_EQ(rig.params.dist_lpfreq.get(), 12000.0f); // within range: kept
    rig.params.dist_lpfreq = std::numeric_limits<float>::quiet_NaN();
    rig.unit->setup();
    EXPECT_EQ(rig.params.dist_lpfreq.get(), 5500.0f);
}

TEST(Distortion, DamagedLowPassValuesKeepTheOutputFinite)
{
    Rig rig;
    rig.params.dist_mode = kDistortion;
    rig.params.dist_lpfreq = -300.0f;
    rig.params.dist_lpq = 0.0f;
    rig.unit->start(48000);
    auto v = pluck(192000, 4096, 0.5);
    processInBlocks(*rig.unit, v);
    for (double x : v) ASSERT_TRUE(std::isfinite(x));
}

TEST(Distortion, SettingsThatOnlySomeModesUseChangeNothingElsewhere)
{
    for (int mode : {kOverdrive, kDistortion, kMetalDistortion}) {
        Rig a, b;
        for (Rig* r : {&a, &b}) {
            r->params.dist_mode = mode;
            r->params.dist_fbon = 0;
            r->params.dist_drive = 450.0;
        }
        // Saturation off: its amount does nothing in any mode.
        a.params.dist_fb = 0.0f;
        b.params.dist_fb = 0.9f;
        if (mode != kOverdrive) {
            // Dry mix and clipping type belong to the Overdrive mode alone.
            a.params.dist_dry_mix = 0.0f;
            b.params.dist_dry_mix = 1.0f;
            a.params.dist_clip = kClipSoft;
            b.params.dist_clip = kClipXHard;
        }
        a.unit->start(48000);
        b.unit->start(48000);
        auto va = pluck(192000, 4096, 0.7), vb = va;
        processInBlocks(*a.unit, va);
        processInBlocks(*b.unit, vb);
        EXPECT_EQ(va, vb) << "mode " << mode;
    }
    // ... while in Overdrive mode both do change the sound.
    Rig a, b;
    b.params.dist_dry_mix = 0.9f;
    a.unit->start(48000);
    b.unit->start(48000);
    auto va = pluck(192000, 4096, 0.7), vb = va;
    processInBlocks(*a.unit, va);
    processInBlocks(*b.unit, vb);
    EXPECT_NE(va, vb);
}

TEST(Distortion, UnknownModeLeavesTheSignalAlone)
{
    Rig rig;
    rig.params.dist_mode = 7;
    rig.unit->start(48000);
    auto v = pluck(192000, 1024, 0.5);
    const auto in = v;
    processInBlocks(*rig.unit, v);
    EXPECT_EQ(v, in);
}

// ---------------------------------------------------------------- rebuilds

TEST(Distortion, FullSetupShowsItsProgressFromTheWorkerAndWaits)
{
    Rig rig;
    StatusLog log;
    rig.unit->setStatusDisplay(&log);
    rig.params.dist_clip = kClipXHard;
    rig.params.dist_drive = 900.0;
    rig.unit->fullSetup();
    ASSERT_TRUE(rig.unit->tableReady());
    {
        std::lock_guard l(log.m);
        ASSERT_EQ(log.texts, (std::vector<std::string>{"Computing...", "Ready."}));
        for (auto id : log.threads) EXPECT_NE(id, std::this_thread::get_id());
    }
    OverdriveTable direct;
    direct.build(900.0, kClipXHard, [] {});
    for (int i = 0; i < OverdriveTable::kSize; i += 37) EXPECT_EQ(rig.unit->table().entry(i), direct.entry(i)) << i;
    EXPECT_EQ(rig.messages.count(), 0u);
    rig.unit->setStatusDisplay(nullptr);
}

TEST(Distortion, ClippingTypeButtonRebuildsBeforeReturning)
{
    Rig rig;
    rig.unit->start(48000);
    const float before = rig.unit->table().entry(1900);
    rig.params.dist_clip = kClipSoft;
    rig.unit->clippingTypeChanged();
    EXPECT_TRUE(rig.unit->tableReady());
    OverdriveTable direct;
    direct.build(500.0, kClipSoft, [] {});
    EXPECT_EQ(rig.unit->table().entry(1900), direct.entry(1900));
    EXPECT_NE(rig.unit->table().entry(1900), before);
}

TEST(Distortion, SlidersWhilePlayingRebuildOnlyForANewDriveInOverdrive)
{
    Rig rig;
    rig.unit->start(48000);
    const auto jobs = rig.worker.completedCount();
    // Another slider (the low-pass) while playing: filters only.
    rig.params.dist_lpfreq = 3000.0f;
    rig.unit->slidersChanged(true);
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), jobs);
    EXPECT_TRUE(rig.unit->tableReady());
    // A new drive in Overdrive mode: the table is rebuilt without waiting and
    // stays in use (ready) meanwhile.
    rig.params.dist_drive = 800.0;
    rig.unit->slidersChanged(true);
    EXPECT_TRUE(rig.unit->tableReady());
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), jobs + 1);
    OverdriveTable direct;
    direct.build(800.0, kClipNormal, [] {});
    EXPECT_EQ(rig.unit->table().entry(1800), direct.entry(1800));
    // A new drive in another mode: no table work.
    rig.params.dist_mode = kMetalDistortion;
    rig.params.dist_drive = 100.0;
    rig.unit->slidersChanged(true);
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), jobs + 1);
    // Back to Overdrive through the mode list: rebuilt for the new drive.
    rig.params.dist_mode = kOverdrive;
    rig.unit->modeChanged();
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), jobs + 2);
    OverdriveTable at100;
    at100.build(100.0, kClipNormal, [] {});
    EXPECT_EQ(rig.unit->table().entry(1800), at100.entry(1800));
    // While stopped a slider only marks the table not ready.
    rig.unit->slidersChanged(false);
    EXPECT_FALSE(rig.unit->tableReady());
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), jobs + 2);
    // ... and the next run builds it.
    rig.unit->start(48000);
    EXPECT_TRUE(rig.unit->tableReady());
}

TEST(Distortion, ModeListRebuildsOnlyWhenEnteringOverdrive)
{
    Rig rig;
    rig.params.dist_mode = kDistortion;
    rig.unit->modeChanged();
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), 0u);
    EXPECT_FALSE(rig.unit->tableReady());
    rig.params.dist_mode = kOverdrive;
    rig.unit->modeChanged();
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), 1u);
    EXPECT_TRUE(rig.unit->tableReady());
}

TEST(Distortion, PresetLoadedWhilePlayingRebuildsAndWaits)
{
    Rig rig;
    rig.unit->start(48000);
    rig.params.dist_drive = 50.0;
    rig.params.dist_clip = kClipHard;
    rig.unit->presetLoaded(true);
    EXPECT_TRUE(rig.unit->tableReady());
    OverdriveTable direct;
    direct.build(50.0, kClipHard, [] {});
    EXPECT_EQ(rig.unit->table().entry(1500), direct.entry(1500));
}

TEST(Distortion, StartRebuildsATableMadeForOtherValues)
{
    Rig rig;
    rig.unit->start(48000);
    const auto jobs = rig.worker.completedCount();
    rig.unit->start(48000); // same values: Setup only
    EXPECT_EQ(rig.worker.completedCount(), jobs);
    rig.params.dist_drive = 990.0; // written without a control's rebuild
    rig.unit->start(48000);
    EXPECT_EQ(rig.worker.completedCount(), jobs + 1);
    OverdriveTable direct;
    direct.build(990.0, kClipNormal, [] {});
    EXPECT_EQ(rig.unit->table().entry(1500), direct.entry(1500));
}

TEST(Distortion, AJobOverTakenByAnInvalidationLeavesTheTableNotReady)
{
    for (bool invalidate : {false, true}) {
        Rig rig;
        std::mutex m;
        std::condition_variable cv;
        bool started = false, release = false;
        // Hold the worker with a job of the table's number, so the rebuild waits behind it.
        rig.worker.submit(Distortion::kTableJob, [&] {
            std::unique_lock l(m);
            started = true;
            cv.notify_all();
            cv.wait(l, [&] { return release; });
        });
        {
            std::unique_lock l(m);
            cv.wait(l, [&] { return started; });
        }
        rig.unit->rebuildTable(false);
        if (invalidate) rig.unit->invalidateTable();
        {
            std::lock_guard l(m);
            release = true;
        }
        cv.notify_all();
        rig.worker.waitIdle();
        EXPECT_EQ(rig.unit->tableReady(), !invalidate);
    }
}

TEST(Distortion, CannotFindYIsShownOnceAndTheEntriesBecomeZero)
{
    Rig rig;
    rig.params.dist_drive = std::numeric_limits<double>::quiet_NaN();
    rig.unit->fullSetup();
    EXPECT_EQ(rig.messages.texts(), std::vector<std::string>{"Cannot find Y!!!"});
    for (int i = 0; i < OverdriveTable::kSize; i += 99) EXPECT_EQ(rig.unit->table().entry(i), 0.0f);
    rig.unit->fullSetup();
    EXPECT_EQ(rig.messages.count(), 1u);
    // A good drive afterwards builds normally, still without a second message.
    rig.params.dist_drive = 400.0;
    rig.unit->fullSetup();
    EXPECT_NE(rig.unit->table().entry(1999), 0.0f);
    EXPECT_EQ(rig.messages.count(), 1u);
}

TEST(Distortion, LegacyOverdriveKeyDecidesTheModeOnlyWhenTheModeIsMissing)
{
    EXPECT_EQ(distortionModeFromPreset(-1, 0), kDistortion); // neither key: Distortion
    EXPECT_EQ(distortionModeFromPreset(-1, 1), kOverdrive);
    EXPECT_EQ(distortionModeFromPreset(-1, 5), kOverdrive);
    EXPECT_EQ(distortionModeFromPreset(-1, -3), kOverdrive);
    EXPECT_EQ(distortionModeFromPreset(kMetalDistortion, 1), kMetalDistortion);
    EXPECT_EQ(distortionModeFromPreset(kOverdrive, 0), kOverdrive);
    EXPECT_EQ(distortionModeFromPreset(kDistortion, 1), kDistortion);
}

TEST(Distortion, SaturationShaperLimitsAndBendsEachHalf)
{
    EXPECT_EQ(saturate(1.5, 2.0, 3.0), 1.0);
    EXPECT_EQ(saturate(-1.5, 2.0, 3.0), -1.0);
    EXPECT_DOUBLE_EQ(saturate(0.5, 2.0, 3.0), 1.0 - 0.25);
    EXPECT_DOUBLE_EQ(saturate(-0.5, 2.0, 3.0), 0.125 - 1.0);
    EXPECT_DOUBLE_EQ(saturate(0.0, 2.0, 3.0), 0.0);
    EXPECT_DOUBLE_EQ(saturate(1.0, 2.0, 3.0), 1.0);
    EXPECT_DOUBLE_EQ(saturate(-1.0, 2.0, 3.0), -1.0);

    // The block form (powers by exp and log) lands on the same values, with
    // the scalings around it.
    std::vector<double> v;
    for (int i = -1100; i <= 1100; ++i) v.push_back(i / 1000.0 + 1e-4);
    v.push_back(1.0);
    v.push_back(-1.0);
    std::vector<double> block = v;
    saturateBlock(block.data(), static_cast<int>(block.size()), 1.8, 1.9, 0.5, 4.0);
    for (size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(block[i], 4.0 * saturate(0.5 * v[i], 1.8, 1.9), 1e-14) << v[i];
}

// ---------------------------------------------------------------- real time

TEST(Distortion, ProcessingAllocatesNothing)
{
    Rig rig;
    rig.params.dist_fbon = 1;
    rig.unit->start(48000);
    auto v = pluck(192000, 512, 0.8);
    for (int mode : {kOverdrive, kDistortion, kMetalDistortion}) {
        rig.params.dist_mode = mode;
        rig.params.dist_lpfreq = 3000.0f + 100.0f * mode;
        rig.unit->setup(); // a new design waits to be taken over by the next block
        gAllocations = 0;
        tCountAllocations = true;
        for (int k = 0; k < 8; ++k) rig.unit->process(v.data(), 512);
        tCountAllocations = false;
        EXPECT_EQ(gAllocations.load(), 0) << "mode " << mode;
    }
}

TEST(Distortion, TableRebuiltWhilePlayingKeepsTheOutputSane)
{
    Rig rig;
    rig.unit->start(48000);
    std::atomic<bool> done{false};
    std::thread window([&] {
        for (int k = 0; k < 30; ++k) {
            rig.params.dist_drive = 100.0 + 30.0 * k;
            rig.params.dist_lpfreq = 2000.0f + 300.0f * static_cast<float>(k);
            rig.unit->slidersChanged(true);
            if (k % 10 == 9) {
                rig.params.dist_clip = k % 4;
                rig.unit->clippingTypeChanged();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        done = true;
    });
    const auto note = pluck(192000, 512 * 64, 1.2);
    std::vector<double> block(512);
    size_t at = 0;
    long blocks = 0;
    double peak = 0.0;
    bool finite = true;
    while (!done || blocks < 200) {
        std::copy(note.begin() + static_cast<long>(at), note.begin() + static_cast<long>(at + 512), block.begin());
        at = (at + 512) % note.size();
        rig.unit->process(block.data(), 512);
        for (double x : block) {
            finite = finite && std::isfinite(x);
            peak = std::max(peak, std::fabs(x));
        }
        ++blocks;
    }
    window.join();
    EXPECT_TRUE(finite);
    rig.worker.waitIdle();
    EXPECT_TRUE(rig.unit->tableReady());
    EXPECT_GT(peak, 0.05);
    EXPECT_LT(peak, 4.0);
}

// ---------------------------------------------------------------- in the chain

namespace {

std::vector<int16_t> guitarNote(int rate, int n)
{
    std::vector<int16_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        double s = 0.0;
        for (int h = 1; h <= 6; ++h) s += std::sin(2.0 * kTestPi * 146.8 * h * t) / (h * h);
        v[static_cast<size_t>(i)] = static_cast<int16_t>(12000.0 * s * std::exp(-2.0 * t));
    }
    return v;
}

double rms16(const std::vector<int16_t>& v)
{
    double s = 0.0;
    for (int16_t x : v) s += static_cast<double>(x) * x;
    return std::sqrt(s / static_cast<double>(v.size()));
}

} // namespace

TEST(DistortionInChain, RendersEveryModeAndClippingType)
{
    testfiles::TempDir dir;
    const auto in = guitarNote(44100, 22050);
    testfiles::writeWav(dir.file("in.wav"), in, 44100);
    struct Case {
        int mode, clip;
    };
    const Case cases[] = {{0, 0}, {0, 1}, {0, 2}, {0, 3}, {1, 1}, {2, 1}};
    std::vector<std::vector<int16_t>> outputs;
    for (const Case& c : cases) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        ASSERT_TRUE(job.applySetting("dist_enabled=1", error)) << error;
        ASSERT_TRUE(job.applySetting("dist_mode=" + std::to_string(c.mode), error)) << error;
        ASSERT_TRUE(job.applySetting("dist_clip=" + std::to_string(c.clip), error)) << error;
        ASSERT_TRUE(job.applySetting("dist_drive=700", error)) << error;
        const std::string out = dir.file("out" + std::to_string(outputs.size()) + ".wav");
        ASSERT_EQ(job.run(dir.file("in.wav"), out, ""), RenderJob::kOk);
        EXPECT_EQ(messages.count(), 0u);
        EXPECT_TRUE(job.engine().effects().distortionUnit.tableReady());
        auto samples = testfiles::readSamples(out);
        ASSERT_GE(samples.size(), in.size());
        samples.resize(in.size());
        EXPECT_GT(rms16(samples), 300.0) << c.mode << "/" << c.clip;
        EXPECT_NE(samples, in);
        outputs.push_back(std::move(samples));
    }
    // Each clipping type sounds different, and so does each mode.
    for (size_t i = 0; i < outputs.size(); ++i)
        for (size_t j = i + 1; j < outputs.size(); ++j) EXPECT_NE(outputs[i], outputs[j]) << i << " " << j;
}

TEST(DistortionInChain, KorvexRenderTakesTheDistortionKeys)
{
    testfiles::TempDir dir;
    const auto in = guitarNote(48000, 9600);
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    const std::string cmd = std::string(STRAVIK_BUILD_DIR) + "/korvex render --in " + dir.file("in.wav") +
                            " --out " + dir.file("out.wav") +
                            " --set dist_enabled=1 --set dist_mode=2 --set dist_drive=900 --set dist_fbon=1 >/dev/null "
                            "2>&1 </dev/null";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), in.size());
    out.resize(in.size());
    EXPECT_NE(out, in);
    EXPECT_GT(rms16(out), 300.0);
}
