// test-label: threads
// The amp simulator: its figures (gains, sag, bias, tube, preamp and
// suspension curves against the program's splines built from their table
// points), the power stage's envelopes (settling points and time constants),
// the speaker model against the cone equations written out sample by
// sample, the speaker correction filter's measured response, the stage
// switches (amp equaliser, speaker model and its correction, "No cabinet"),
// the response list with its "file:" entry, "Open...", Max len, the preset
// code rules, allocation-free blocks, responses changed from another thread
// while blocks run, and `korvex render` through the amp and cabinet.
#include "effects/tone/AmpSimulator.h"

#include "TestFiles.h"
#include "assets/DemoGuitar.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/CubicSpline.h"
#include "dsp/CurveSpline.h"
#include "dsp/Fft.h"
#include "dsp/IirFilter.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "AllocationCounter.h"

using namespace stravik;
using namespace stravik::effects;

namespace {

// ---- the curves' points, written out again
const double kSagX[] = {0.0, 0.63, 1.35, 100.0};
const double kSagY[] = {0.0, 0.63, 1.035, 30.63};
const double kSagD[] = {1.0, 1.0, 0.3, 0.3};
const double kBiasX[] = {0.0, 2.0, 5.0, 10.0};
const double kBiasY[] = {0.07, 0.13, 0.7, 0.9};
const double kTubeX[] = {-25.014327, -9.387113, -2.216812, -0.776075, -0.197478, -0.068116, 0.0,
                         0.128738,   0.41895,   0.5586,    0.719698,  0.873504,  1.104893,  1.475713,
                         2.119356,   3.081469,  4.76059,   7.012824,  11.343292, 16.834324, 27.987986};
const double kTubeY[] = {-0.203162, -0.164977, -0.127057, -0.103805, -0.072969, -0.042414, 0.0,
                         0.116912,  0.415138,  0.532533,  0.633171,  0.688208,  0.725907,  0.752005,
                         0.772963,  0.794001,  0.818423,  0.839136,  0.86434,   0.88813,   0.923417};
const double kPlusX[] = {0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
const double kPlusY[] = {0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
const double kPlusD[] = {1, 1, 1, 1, 0.2, 0.03, 0, 0};
const double kMinusX[] = {0, 0.25, 0.48, 0.615191, 0.835017, 1.23202, 1.781934, 2.42991, 3.23988, 4.85982,
                          7.601763, 11.3396, 19.4393, 32.3988};
const double kMinusY[] = {0, 0.25, 0.48, 0.594205, 0.705771, 0.801191, 0.85993, 0.896007, 0.925167, 0.962101,
                          0.98877, 1, 1, 1};
const double kMinusD[] = {1.007887, 1, 1, 0.71583, 0.374616, 0.15, 0.062452, 0.040466, 0.027158, 0.01574,
                          0.0085, 0, 0, 0.001596};
const double kSuspX[] = {0, 0.2, 0.656619, 1.76127, 3.780301, 10.194331};
const double kSuspY[] = {0, 0.2, 0.543529, 0.980055, 1.240159, 1.385776};

dsp::CubicSpline clampedSpline(const double* x, const double* y, int n, float first, float last)
{
    dsp::CubicSpline s(x, y, n, first, last, true);
    return s;
}

struct Rig {
    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    AmpParams params;
    std::unique_ptr<AmpSimulator> amp = std::make_unique<AmpSimulator>(params, context);
};

// The real wiring: the amp inside an engine, with the engine's WAV reader.
struct EngineRig {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    AmpSimulator& amp() { return engine->effects().ampUnit; }
    AmpParams& params() { return engine->params.amp; }
};

std::vector<double> noise(int n, unsigned seed, double amplitude)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-amplitude, amplitude);
    std::vector<double> v(static_cast<size_t>(n));
    for (double& x : v) x = u(rng);
    return v;
}

// One block through the oversampled and the base-rate stages (the chain's
// oversampler is not part of the unit: a block of 4n and one of n stand in).
struct Block {
    std::vector<double> over, base;
};
Block runBlock(AmpSimulator& amp, const std::vector<double>& over, const std::vector<double>& base)
{
    Block b{over, base};
    amp.processAmp(b.over.data(), static_cast<int>(b.over.size()));
    amp.processCabinet(b.base.data(), static_cast<int>(b.base.size()));
    return b;
}

double responseDb(const double* h, int n, double f, double fs)
{
    std::complex<double> s(0.0, 0.0);
    for (int i = 0; i < n; ++i) s += h[i] * std::polar(1.0, -2.0 * M_PI * f * i / fs);
    return 20.0 * std::log10(std::abs(s));
}

void writeFloatWav(const std::string& path, const std::vector<float>& v, int rate, int channels = 1)
{
    testfiles::WavRecipe s;
    s.formatTag = 3;
    s.bits = 32;
    s.rate = rate;
    s.channels = channels;
    std::vector<uint8_t> d;
    for (float f : v) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        testfiles::put32(d, u);
    }
    testfiles::writeFile(path, testfiles::wavBytes(s, d));
}

std::vector<float> cabinetLikeResponse(int n, int rate)
{
    std::vector<float> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        v[static_cast<size_t>(i)] = static_cast<float>(0.3 * std::exp(-8.0 * i / n) * std::sin(2.0 * M_PI * 1200.0 * i / rate)
                                                       + (i == 0 ? 0.2 : 0.0));
    return v;
}

} // namespace

// ---------------------------------------------------------------- figures

TEST(AmpFigures, GainsFollowTheSliders)
{
    EXPECT_DOUBLE_EQ(ampGainFor(0), 1.0);
    EXPECT_DOUBLE_EQ(ampGainFor(20), 10.0);
    EXPECT_DOUBLE_EQ(ampGainFor(-20), 0.1);
    EXPECT_NEAR(ampGainFor(25), 17.7827941, 1e-6);
    EXPECT_DOUBLE_EQ(speakerDriveFor(0), 0.1);                          // -20 dB
    EXPECT_NEAR(speakerDriveFor(100), 17.7827941, 1e-6);                 // +25 dB
    EXPECT_NEAR(speakerDriveFor(30), std::pow(10.0, -6.5 / 20.0), 1e-12); // 13.5 - 20 dB
}

TEST(AmpFigures, SagAndBiasAtTheirPoints)
{
    AmpPowerStage p;
    // Below 0.2 the supply does not sag at all, and up to 0.63 the curve is y = x.
    EXPECT_EQ(p.sagFactor(0.0), 1.0);
    EXPECT_EQ(p.sagFactor(0.19), 1.0);
    EXPECT_NEAR(p.sagFactor(0.3), 1.0, 1e-12);
    EXPECT_NEAR(p.sagFactor(0.63), 1.0, 1e-12);
    EXPECT_NEAR(p.sagFactor(1.35), 1.035 / 1.35, 1e-12);
    EXPECT_NEAR(p.sagFactor(100.0), 30.63 / 100.0, 1e-12);
    EXPECT_NEAR(p.sagFactor(200.0), 30.63 / 200.0, 1e-12); // the curve holds its end
    // A = bias(b) / 2 + 0.035.
    EXPECT_NEAR(p.biasShift(0.0), 0.07, 1e-12);
    EXPECT_NEAR(p.biasShift(2.0), 0.1, 1e-12);
    EXPECT_NEAR(p.biasShift(5.0), 0.385, 1e-12);
    EXPECT_NEAR(p.biasShift(10.0), 0.485, 1e-12);
    EXPECT_NEAR(p.biasShift(40.0), 0.485, 1e-12);
    EXPECT_NEAR(p.biasShift(-1.0), 0.07, 1e-12);
    // The tube curve through its points, holding its ends.
    for (int i = 0; i < 21; ++i) EXPECT_NEAR(p.tube(kTubeX[i]), kTubeY[i], 1e-12) << i;
    EXPECT_NEAR(p.tube(-100.0), -0.203162, 1e-12);
    EXPECT_NEAR(p.tube(100.0), 0.923417, 1e-12);
    EXPECT_EQ(p.tube(std::nan("")), -0.203162);
}

TEST(AmpFigures, CurvesAreTheProgramsSplines)
{
    // The stage evaluates its curves in polynomial form; they must be the
    // clamped CubicSplines and the Hermite CurveSplines of the points.
    AmpPowerStage p;
    dsp::CubicSpline tube = clampedSpline(kTubeX, kTubeY, 21, 0.0f, 0.0f);
    dsp::CubicSpline bias = clampedSpline(kBiasX, kBiasY, 4, 0.0f, 0.0f);
    dsp::CurveSpline sag;
    ASSERT_TRUE(sag.buildHermite(kSagX, kSagY, kSagD, 4));
    for (double x = -30.0; x <= 30.0; x += 0.00731) ASSERT_NEAR(p.tube(x), tube(x), 1e-12) << x;
    for (double b = -1.0; b <= 12.0; b += 0.0013) ASSERT_NEAR(p.biasShift(b), bias(b) / 2.0 + 0.035, 1e-12) << b;
    for (double e = 0.2; e <= 120.0; e += 0.0017) ASSERT_NEAR(p.sagFactor(e), sag(e) / e, 1e-12) << e;

    Rig rig;
    dsp::CurveSpline plus, minus;
    ASSERT_TRUE(plus.buildHermite(kPlusX, kPlusY, kPlusD, 8));
    ASSERT_TRUE(minus.buildHermite(kMinusX, kMinusY, kMinusD, 14));
    for (double u = -40.0; u <= 15.0; u += 0.00377) {
        const double want = u >= 0.0 ? plus(u) : -minus(-u);
        ASSERT_NEAR(rig.amp->preampCurve(u), want, 1e-12) << u;
    }
    EXPECT_NEAR(rig.amp->preampCurve(0.5), 0.5, 1e-12);
    EXPECT_NEAR(rig.amp->preampCurve(20.0), 0.988, 1e-12);
    EXPECT_NEAR(rig.amp->preampCurve(-0.25), -0.25, 1e-12);
    EXPECT_NEAR(rig.amp->preampCurve(-50.0), -1.0, 1e-12);

    SpeakerModel speaker;
    dsp::CubicSpline suspension = clampedSpline(kSuspX, kSuspY, 6, 1.0f, 0.0f);
    // The look-up that steps from the last interval agrees wherever the
    // argument wanders, in small steps or in jumps, inside and outside the table.
    PiecewiseCubic curve;
    curve.fromCubicSpline(suspension, kSuspX, kSuspY, 6);
    std::mt19937 rng(12);
    std::uniform_real_distribution<double> step(-0.05, 0.05), jump(-2.0, 14.0);
    int cursor = 0;
    double q = 0.3;
    for (int i = 0; i < 20000; ++i) {
        q = i % 500 == 0 ? jump(rng) : q + step(rng);
        ASSERT_NEAR(curve.following(q, cursor), suspension(q), 1e-12) << q;
        ASSERT_NEAR(curve(q), suspension(q), 1e-12) << q;
    }
    EXPECT_EQ(speaker.stiffness(0.0, 1.0), 13.5);
    EXPECT_EQ(speaker.stiffness(0.0002, 1.0), 13.5); // q = 0.067 < 0.1
    for (double q = 0.1; q <= 25.0; q += 0.0091) {
        const double p0 = -0.003 * q / 0.5; // drive 0.5
        ASSERT_NEAR(speaker.stiffness(p0, 0.5), 13.5 * q / suspension(q), 1e-9) << q;
    }
}

// ---------------------------------------------------------------- power stage

TEST(AmpPowerStage, SteadyDriveSettlesWhereTheCurvesSay)
{
    dsp::CubicSpline tube = clampedSpline(kTubeX, kTubeY, 21, 0.0f, 0.0f);
    dsp::CubicSpline bias = clampedSpline(kBiasX, kBiasY, 4, 0.0f, 0.0f);
    dsp::CurveSpline sag;
    sag.buildHermite(kSagX, kSagY, kSagD, 4);
    for (double g : {1.0, 2.0}) {
        for (double x : {0.1, 0.5, 0.8, -0.3}) {
            SCOPED_TRACE("g " + std::to_string(g) + " x " + std::to_string(x));
            AmpPowerStage p;
            p.setup(192000);
            std::vector<double> block(512);
            for (int b = 0; b < 750; ++b) { // 2 s
                std::fill(block.begin(), block.end(), x);
                p.process(block.data(), 512, g);
            }
            const double in = g * x;
            const double v = 1.5 * in;
            const double e = std::max(v, 0.0);
            EXPECT_NEAR(p.supplyEnvelope(), e, 1e-9);
            const double s = e < 0.2 ? 1.0 : sag(e) / e;
            const double u = s * in;
            EXPECT_NEAR(p.positiveBias(), std::max(u, 0.0), 1e-9);
            EXPECT_NEAR(p.negativeBias(), std::max(-u, 0.0), 1e-9);
            const double a = bias((std::max(u, 0.0) + std::max(-u, 0.0)) / 2.0) / 2.0 + 0.035;
            EXPECT_NEAR(block[511], tube(u - a) - tube(-u - a), 1e-9);
        }
    }
}

TEST(AmpPowerStage, EnvelopesRiseFastAndFallTenTimesSlower)
{
    const int fs = 192000;
    AmpPowerStage p;
    p.setup(fs);
    // The supply envelope follows a step with the 50 Hz low-pass...
    const int tau50 = static_cast<int>(fs / (2.0 * M_PI * 50.0));
    std::vector<double> x(static_cast<size_t>(tau50), 0.4);
    p.process(x.data(), tau50, 1.0);
    EXPECT_NEAR(p.supplyEnvelope() / 0.6, 1.0 - std::exp(-1.0), 0.01);
    // ...and the positive bias envelope with the 10 Hz one.
    std::vector<double> more(static_cast<size_t>(5 * tau50 - tau50), 0.4);
    p.process(more.data(), static_cast<int>(more.size()), 1.0);
    const double u = 0.4; // the supply envelope stays at 0.6, where the curve does not sag (s = 1)
    EXPECT_NEAR(p.positiveBias() / u, 1.0 - std::exp(-1.0), 0.02);
    // Settle, then silence: both fall towards 0.9 of themselves, which
    // makes them fall ten times slower than they rise.
    std::vector<double> hold(static_cast<size_t>(fs), 0.4);
    p.process(hold.data(), fs, 1.0);
    const double e0 = p.supplyEnvelope(), p0 = p.positiveBias();
    const int fall50 = static_cast<int>(fs / (0.1 * 2.0 * M_PI * 50.0));
    std::vector<double> quiet(static_cast<size_t>(fall50), 0.0);
    p.process(quiet.data(), fall50, 1.0);
    EXPECT_NEAR(p.supplyEnvelope() / e0, std::exp(-1.0), 0.015);
    const int fall10 = static_cast<int>(fs / (0.1 * 2.0 * M_PI * 10.0));
    std::vector<double> longQuiet(static_cast<size_t>(fall10 - fall50), 0.0);
    p.process(longQuiet.data(), static_cast<int>(longQuiet.size()), 1.0);
    EXPECT_NEAR(p.positiveBias() / p0, std::exp(-1.0), 0.015);
    EXPECT_EQ(p.negativeBias(), 0.0); // only positive samples so far
}

TEST(AmpPowerStage, LoudPlayingShiftsTheBiasAndNarrowsTheOutput)
{
    // The same small note played after a loud passage comes out quieter:
    // the supply still sags, and the charged bias envelopes push both
    // halves towards cut-off.
    const int fs = 192000;
    auto smallNote = [&](AmpPowerStage& p) {
        std::vector<double> v(4096);
        for (int i = 0; i < 4096; ++i) v[static_cast<size_t>(i)] = 0.15 * std::sin(2.0 * M_PI * 220.0 * i / fs);
        p.process(v.data(), 4096, 1.0);
        double peak = 0.0;
        for (double s : v) peak = std::max(peak, std::fabs(s));
        return peak;
    };
    AmpPowerStage rested, worked;
    rested.setup(fs);
    worked.setup(fs);
    std::vector<double> loud(static_cast<size_t>(fs / 4));
    for (size_t i = 0; i < loud.size(); ++i) loud[i] = 2.5 * std::sin(2.0 * M_PI * 110.0 * static_cast<double>(i) / fs);
    worked.process(loud.data(), static_cast<int>(loud.size()), 1.0);
    EXPECT_GT(worked.positiveBias(), 0.5); // both halves' envelopes charged
    EXPECT_GT(worked.negativeBias(), 0.5);
    EXPECT_GT(worked.biasShift((worked.positiveBias() + worked.negativeBias()) / 2), rested.biasShift(0.0));
    EXPECT_GT(worked.supplyEnvelope(), 2.0); // and the supply sags
    EXPECT_LT(smallNote(worked), 0.8 * smallNote(rested));
}

// ---------------------------------------------------------------- speaker model

TEST(SpeakerModel, FollowsTheConeEquationsSampleBySample)
{
    const int fs = 192000;
    const double drive = speakerDriveFor(80);
    SpeakerModel model;
    model.setup(fs);
    std::vector<double> signal(40000);
    for (size_t i = 0; i < signal.size(); ++i)
        signal[i] = 0.8 * std::sin(2.0 * M_PI * 82.0 * static_cast<double>(i) / fs) + 0.3 * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / fs);
    std::vector<double> got = signal;
    for (size_t at = 0; at < got.size(); at += 512) model.process(got.data() + at, 512 > static_cast<int>(got.size() - at) ? static_cast<int>(got.size() - at) : 512, drive);

    // The equations as written, with the two high-passes around them.
    dsp::IirFilter hp50, hp8000;
    hp50.designFirstOrderHighPass(50, 1.0, fs);
    hp8000.designFirstOrderHighPass(8000, 100.0, fs);
    dsp::CubicSpline suspension = clampedSpline(kSuspX, kSuspY, 6, 1.0f, 0.0f);
    std::vector<double> want = signal;
    hp50.process1(want.data(), static_cast<int>(want.size()));
    const double dt = 1.0 / fs;
    double p = 0, w = 0, a = 0, maxQ = 0;
    for (double& x : want) {
        const double p0 = p, w0 = w, a0 = a;
        const double q = std::fabs(p0) / 0.003 * drive;
        maxQ = std::max(maxQ, q);
        const double k = q >= 0.1 ? 13.5 * q / suspension(q) : 13.5;
        a = ((a0 * 5.4675e-05 - w0 * k * dt) * 0.001
             + ((-w0 * dt * dt - p0 * dt) * k - w0 * dt * 0.004602272727272727) * 14.4 + x * dt * 0.45
             - w0 * dt * 0.2025)
            / ((k * dt * dt + dt * 0.004602272727272727 + 5.4675e-05) * 0.001
               + (k * dt * dt * dt + dt * 5.4675e-05 + dt * dt * 0.004602272727272727) * 14.4 + dt * dt * 0.2025);
        w = a * dt + w0;
        p = w * dt + p0;
        x = w;
    }
    hp8000.process1(want.data(), static_cast<int>(want.size()));
    EXPECT_GT(maxQ, 1.0); // the suspension curve was in play
    double peak = 0.0, worst = 0.0;
    for (size_t i = 0; i < want.size(); ++i) {
        peak = std::max(peak, std::fabs(want[i]));
        worst = std::max(worst, std::fabs(got[i] - want[i]));
    }
    ASSERT_GT(peak, 0.0);
    EXPECT_LT(worst / peak, 1e-9);
    EXPECT_NEAR(model.position(), p, 1e-12 + 1e-9 * std::fabs(p));
}

// ---------------------------------------------------------------- the stage

TEST(AmpSimulator, TheEqualiserRunsOnlyWhenSwitchedOn)
{
    Rig rig;
    rig.amp->start(48000);
    EXPECT_EQ(rig.amp->equaliser().fiveBandJob(), 1);
    EXPECT_EQ(rig.amp->equaliser().graphicJob(), 2);
    const std::vector<double> in = noise(128, 1, 0.5);
    std::vector<double> buf = in;
    rig.amp->processPreStage(buf.data(), 128);
    EXPECT_EQ(buf, in);
    rig.params.actrl_enabled = 1;
    rig.params.actrl.bass = 1.0f;
    rig.amp->equaliser().design();
    for (int b = 0; b < 4; ++b) {
        buf = in;
        rig.amp->processPreStage(buf.data(), 128);
    }
    EXPECT_NE(buf, in);
}

TEST(AmpSimulator, SwitchingTheSpeakerOffRemovesModelAndCorrectionFromTheNextBlock)
{
    Rig on, off;
    for (Rig* r : {&on, &off}) {
        r->params.ir_num = AmpSimulator::kNoCabinetEntry; // nothing but the amp
        r->params.spk_gain = 6;
        r->amp->start(48000);
    }
    on.params.spk_dist_enabled = 1;
    const std::vector<double> over1 = noise(512, 2, 0.4), base1 = noise(128, 3, 0.4);
    const std::vector<double> over2 = noise(512, 4, 0.4), base2 = noise(128, 5, 0.4);
    Block a = runBlock(*on.amp, over1, base1), b = runBlock(*off.amp, over1, base1);
    EXPECT_NE(a.over, b.over);
    EXPECT_NE(a.base, b.base); // the correction filter ran
    EXPECT_TRUE(on.amp->speakerModelRan());
    on.params.spk_dist_enabled = 0;
    a = runBlock(*on.amp, over2, base2);
    b = runBlock(*off.amp, over2, base2);
    EXPECT_EQ(a.over, b.over);
    EXPECT_EQ(a.base, base2); // no correction, no cabinet
    EXPECT_EQ(b.base, base2);
    EXPECT_FALSE(on.amp->speakerModelRan());
}

TEST(AmpSimulator, TheCabinetStageFollowsTheAmpStagesSpeakerDecision)
{
    Rig steady, late, early;
    for (Rig* r : {&steady, &late, &early}) {
        r->params.ir_num = AmpSimulator::kNoCabinetEntry;
        r->params.spk_dist_enabled = r == &early ? 0 : 1;
        r->amp->start(48000);
    }
    const std::vector<double> over = noise(512, 6, 0.4), base = noise(128, 7, 0.4);
    for (Rig* r : {&steady, &late, &early}) {
        std::vector<double> o = over;
        r->amp->processAmp(o.data(), 512);
    }
    late.params.spk_dist_enabled = 0;  // switched between the two stages
    early.params.spk_dist_enabled = 1;
    std::vector<double> s = base, l = base, e = base;
    steady.amp->processCabinet(s.data(), 128);
    late.amp->processCabinet(l.data(), 128);
    early.amp->processCabinet(e.data(), 128);
    EXPECT_NE(s, base);
    EXPECT_EQ(l, s);    // still corrected: the model ran in this block
    EXPECT_EQ(e, base); // not corrected: the model did not run
}

TEST(AmpSimulator, NoCabinetRunsNoConvolutionAndEveryOtherEntryDoes)
{
    EngineRig rig;
    AmpSimulator& amp = rig.amp();
    rig.params().ir_num = AmpSimulator::kNoCabinetEntry;
    amp.start(48000);
    EXPECT_FALSE(amp.cabinetRuns());
    const std::vector<double> in = noise(128, 8, 0.5);
    std::vector<double> buf = in;
    amp.processCabinet(buf.data(), 128);
    EXPECT_EQ(buf, in);
    // Every other entry convolves: an impulse comes back as the response.
    for (int i = 0; i < amp.irCount(); ++i) {
        if (i == AmpSimulator::kNoCabinetEntry) continue;
        ASSERT_TRUE(amp.selectListEntry(i)) << i;
        ASSERT_TRUE(amp.cabinetRuns());
        std::vector<double> impulse(128, 0.0);
        impulse[0] = 1.0;
        amp.processCabinet(impulse.data(), 128);
        std::vector<double> r(128);
        amp.cabinet().copyResponse(r.data(), 128);
        for (int k = 0; k < 128; ++k) ASSERT_NEAR(impulse[static_cast<size_t>(k)], r[static_cast<size_t>(k)], 1e-5) << i;
    }
    // A file runs whatever ir_num says.
    testfiles::TempDir dir;
    writeFloatWav(dir.file("cab.wav"), cabinetLikeResponse(2000, 48000), 48000);
    rig.params().ir_num = AmpSimulator::kNoCabinetEntry;
    rig.params().spk_ir_fname = dir.file("cab.wav");
    ASSERT_TRUE(amp.selectListEntry(amp.irCount()));
    EXPECT_TRUE(amp.cabinetRuns());
    buf = in;
    amp.processCabinet(buf.data(), 128);
    EXPECT_NE(buf, in);
    EXPECT_EQ(rig.messages.count(), 0u);
}

TEST(AmpSimulator, TheCorrectionFilterMeetsItsFigures)
{
    struct Figure {
        double hz, db;
    };
    const Figure figures[] = {{100, -3.0}, {1000, 0.0}, {4000, 7.3}, {8000, 16.6}, {10000, 18.3}};
    for (int rate : {22050, 44100, 48000}) {
        SCOPED_TRACE(rate);
        Rig rig;
        rig.amp->start(rate);
        std::vector<double> h(128, 0.0);
        h[0] = 1.0;
        rig.amp->speakerCorrection().process(h.data(), 128);
        for (int i = kSpeakerCorrectionTaps; i < 128; ++i) ASSERT_EQ(h[static_cast<size_t>(i)], 0.0);
        for (const Figure& f : figures) EXPECT_NEAR(responseDb(h.data(), kSpeakerCorrectionTaps, f.hz, rate), f.db, 0.3) << f.hz;
        // Most of its energy in the first taps (it is minimum phase).
        double head = 0.0, total = 0.0;
        for (int i = 0; i < kSpeakerCorrectionTaps; ++i) {
            total += h[static_cast<size_t>(i)] * h[static_cast<size_t>(i)];
            if (i < 10) head += h[static_cast<size_t>(i)] * h[static_cast<size_t>(i)];
        }
        EXPECT_GT(head / total, 0.9);
    }
    // Three tables: 22050, 44100, and one for every other rate.
    EXPECT_NE(speakerCorrectionTable(22050), speakerCorrectionTable(44100));
    EXPECT_NE(speakerCorrectionTable(44100), speakerCorrectionTable(48000));
    EXPECT_EQ(speakerCorrectionTable(48000), speakerCorrectionTable(96000));
    EXPECT_EQ(speakerCorrectionTable(48000), speakerCorrectionTable(32000));
}

TEST(AmpSimulator, GainChangesReachTheNextBlock)
{
    Rig rig;
    rig.amp->start(48000);
    EXPECT_DOUBLE_EQ(rig.amp->ampGain(), 1.0);
    EXPECT_NEAR(rig.amp->speakerDrive(), speakerDriveFor(30), 1e-15);
    rig.params.spk_gain = 20;
    rig.params.spk_gain2 = 100;
    std::vector<double> o(512, 0.0);
    rig.amp->processAmp(o.data(), 512);
    EXPECT_DOUBLE_EQ(rig.amp->ampGain(), 10.0);
    EXPECT_NEAR(rig.amp->speakerDrive(), std::pow(10.0, 25.0 / 20.0), 1e-12);
    rig.params.spk_gain = -20;
    rig.amp->updateGains();
    EXPECT_DOUBLE_EQ(rig.amp->ampGain(), 0.1);
}

TEST(AmpSimulator, TheSetupLoadsTheResponseAndKeepsTheOldOneWhenItCannot)
{
    EngineRig rig;
    AmpSimulator& amp = rig.amp();
    rig.params().ir_num = 0;
    amp.start(48000);
    EXPECT_EQ(amp.cabinet().taps(), std::min(4000, amp.library().entry(0).sampleCount));
    const int taps = amp.cabinet().taps();
    // A file that is not there: the message, the old response, and the rest
    // of the setup still done (the new gain).
    rig.params().spkcab_file = 1;
    rig.params().spk_ir_fname = "/nonexistent/cab.wav";
    rig.params().spk_gain = 12;
    EXPECT_FALSE(amp.setup());
    EXPECT_EQ(rig.messages.texts(),
              std::vector<std::string>{"Error opening impulse file!\n '/nonexistent/cab.wav' not found."});
    EXPECT_EQ(amp.cabinet().taps(), taps);
    EXPECT_DOUBLE_EQ(amp.ampGain(), ampGainFor(12));
    // The next run at another rate loads the library entry afresh for it.
    rig.params().spkcab_file = 0;
    rig.params().ir_num = 1;
    amp.start(44100);
    EXPECT_TRUE(amp.cabinet().responseNormalised()); // 48000 Hz member, converted
    EXPECT_NEAR(amp.cabinet().responseLength(), amp.library().entry(1).sampleCount * 44100.0 / 48000.0, 2.0);
}

TEST(AmpSimulator, MaxLenComesFromTheSettingAndReloadsWhenItChanges)
{
    EngineRig rig;
    AmpSimulator& amp = rig.amp();
    // Unlinked, the amp keeps its own 4000.
    EXPECT_EQ(amp.maxPulseCount(), 4000);
    amp.linkMaxPulseSetting(&rig.engine->settings.MaxPulseCnt);
    rig.engine->settings.MaxPulseCnt = 2000;
    rig.params().ir_num = 4; // 12000 samples at 44100 Hz
    amp.start(48000);
    EXPECT_EQ(amp.cabinet().taps(), 2000);
    amp.setMaxPulseCount(6000);
    EXPECT_EQ(rig.engine->settings.MaxPulseCnt.get(), 6000);
    EXPECT_EQ(amp.cabinet().taps(), 6000);
    rig.engine->settings.MaxPulseCnt = 16000;
    amp.maxPulseCountChanged();
    EXPECT_EQ(amp.cabinet().taps(), amp.cabinet().responseLength());
    amp.linkMaxPulseSetting(nullptr);
    EXPECT_EQ(amp.maxPulseCount(), 4000);
}

TEST(AmpSimulator, TheListEndsWithTheFileEntry)
{
    EngineRig rig;
    AmpSimulator& amp = rig.amp();
    testfiles::TempDir dir;
    writeFloatWav(dir.file("cab.wav"), cabinetLikeResponse(3000, 44100), 44100);
    rig.params().spk_ir_fname = dir.file("cab.wav");
    const int count = amp.irCount();
    EXPECT_EQ(amp.listEntryCount(), count + 1);
    EXPECT_EQ(amp.listEntryText(0), amp.irName(0));
    EXPECT_EQ(amp.listEntryText(40), "No cabinet");
    EXPECT_EQ(amp.listEntryText(count), "file:" + dir.file("cab.wav"));
    EXPECT_EQ(amp.listEntryText(count + 1), "");

    ASSERT_TRUE(amp.selectListEntry(count));
    EXPECT_EQ(rig.params().spkcab_file.get(), 1);
    EXPECT_EQ(amp.listSelection(), count);
    EXPECT_EQ(amp.cabinet().fileName(), dir.file("cab.wav"));
    ASSERT_TRUE(amp.selectListEntry(7));
    EXPECT_EQ(rig.params().spkcab_file.get(), 0);
    EXPECT_EQ(rig.params().ir_num.get(), 7);
    EXPECT_EQ(rig.params().ir_code.get(), 301);
    EXPECT_EQ(amp.listSelection(), 7);
    EXPECT_EQ(amp.cabinet().responseRate(), amp.library().entry(7).sampleRate);
    EXPECT_FALSE(amp.selectListEntry(-1));
    EXPECT_FALSE(amp.selectListEntry(count + 1));
    EXPECT_EQ(rig.params().ir_num.get(), 7);
    EXPECT_EQ(rig.messages.count(), 0u);
}

TEST(AmpSimulator, OpenFileTakesTheFileAndRemembersItsFolder)
{
    EngineRig rig;
    AmpSimulator& amp = rig.amp();
    testfiles::TempDir dir;
    writeFloatWav(dir.file("mine.wav"), cabinetLikeResponse(2500, 48000), 48000, 1);
    TextParam lastIrPath;
    ASSERT_TRUE(amp.openFile(dir.file("mine.wav"), lastIrPath));
    EXPECT_EQ(rig.params().spkcab_file.get(), 1);
    EXPECT_EQ(rig.params().spk_ir_fname.get(), dir.file("mine.wav"));
    EXPECT_EQ(lastIrPath.get(), dir.path());
    EXPECT_EQ(amp.cabinet().taps(), 2500);
    EXPECT_EQ(amp.listEntryText(amp.irCount()), "file:" + dir.file("mine.wav"));
    // A damaged file: the choice is remembered, the old response stays.
    testfiles::writeFile(dir.file("broken.wav"), std::vector<uint8_t>(30, 'R'));
    EXPECT_FALSE(amp.openFile(dir.file("broken.wav"), lastIrPath));
    EXPECT_EQ(rig.messages.texts(), std::vector<std::string>{"Error opening impulse file! Unknown format or file corrupted."});
    EXPECT_EQ(amp.cabinet().fileName(), dir.file("mine.wav"));
    EXPECT_EQ(amp.cabinet().taps(), 2500);
}

TEST(AmpSimulator, PresetCodesFindTheirEntry)
{
    const int table[13] = {101, 102, 103, 104, 105, 201, 202, 301, 302, 401, 501, 502, 0};
    for (int i = 0; i < 13; ++i) EXPECT_EQ(AmpSimulator::legacyIrCode(i), table[i]);
    EXPECT_EQ(AmpSimulator::legacyIrCode(13), -1);
    EXPECT_EQ(AmpSimulator::legacyIrCode(-1), -1);

    Rig rig;
    AmpParams& p = rig.params;
    // No code stored: the old table by ir_num; 5 is still 201.
    p.ir_num = 5;
    p.ir_code = -1;
    EXPECT_TRUE(rig.amp->applyPresetIrReference());
    EXPECT_EQ(p.ir_num.get(), 5);
    EXPECT_EQ(p.ir_code.get(), 201);
    // Old entry 12 was "no cabinet": code 0, which is entry 40 now.
    p.ir_num = 12;
    p.ir_code = -1;
    EXPECT_TRUE(rig.amp->applyPresetIrReference());
    EXPECT_EQ(p.ir_num.get(), 40);
    // A code that moved: found by the code.
    p.ir_num = 3;
    p.ir_code = rig.amp->irCode(20);
    EXPECT_TRUE(rig.amp->applyPresetIrReference());
    EXPECT_EQ(p.ir_num.get(), 20);
    EXPECT_EQ(rig.messages.count(), 0u);
    // A code the library does not have: the message, and ir_num stays.
    p.ir_num = 9;
    p.ir_code = 999;
    EXPECT_FALSE(rig.amp->applyPresetIrReference());
    EXPECT_EQ(p.ir_num.get(), 9);
    EXPECT_EQ(rig.messages.texts(), std::vector<std::string>{"IR not found!"});
    // A file in use: nothing to match.
    rig.messages.clear();
    p.spkcab_file = 1;
    EXPECT_TRUE(rig.amp->applyPresetIrReference());
    EXPECT_EQ(rig.messages.count(), 0u);
}

TEST(AmpSimulator, BlocksAllocateNothing)
{
    Rig rig;
    rig.params.preamp_stage = 1;
    rig.params.spk_dist_enabled = 1;
    rig.params.actrl_enabled = 1;
    rig.params.actrl.eqtype = kEqFiveBand;
    rig.params.ir_num = 13; // 16000 samples, partitioned
    rig.amp->linkMaxPulseSetting(nullptr);
    rig.amp->setMaxPulseCount(16000);
    rig.amp->start(48000);
    std::vector<double> base = noise(128, 9, 0.5), over = noise(512, 10, 0.5);
    gAllocations = 0;
    tCountAllocations = true;
    for (int b = 0; b < 200; ++b) {
        const int n = 1 + (b * 37) % 128; // blocks of every size
        rig.amp->processPreStage(base.data(), n);
        rig.amp->processAmp(over.data(), 4 * n);
        rig.amp->processCabinet(base.data(), n);
    }
    tCountAllocations = false;
    EXPECT_EQ(gAllocations.load(), 0);
    for (double v : base) ASSERT_TRUE(std::isfinite(v));
}

TEST(AmpThreads, ResponsesChangeWhileBlocksRun)
{
    EngineRig rig;
    AmpSimulator& amp = rig.amp();
    testfiles::TempDir dir;
    writeFloatWav(dir.file("a.wav"), cabinetLikeResponse(5000, 44100), 44100);
    rig.params().spk_dist_enabled = 1;
    rig.params().ir_num = 2;
    amp.start(48000);

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::atomic<bool> finite{true};
    std::thread audio([&] {
        std::vector<double> base(128), over(512);
        std::mt19937 rng(11);
        std::uniform_real_distribution<double> u(-0.5, 0.5);
        while (!stop.load()) {
            for (double& v : base) v = u(rng);
            for (double& v : over) v = u(rng);
            amp.processPreStage(base.data(), 128);
            amp.processAmp(over.data(), 512);
            amp.processCabinet(base.data(), 128);
            for (double v : base)
                if (!std::isfinite(v)) finite = false;
            blocks.fetch_add(1);
        }
    });
    TextParam lastIrPath;
    for (int round = 0; round < 12; ++round) {
        amp.selectListEntry((round * 7) % amp.irCount());
        amp.setMaxPulseCount(1000 + 1500 * (round % 4));
        amp.openFile(dir.file("a.wav"), lastIrPath);
        rig.params().spk_gain = round % 5;
        amp.updateGains();
        rig.params().spk_dist_enabled = round % 2;
        amp.setup();
    }
    amp.selectListEntry(6);
    // Let the audio side see the last response for a while.
    const long seen = blocks.load();
    while (blocks.load() < seen + 20) std::this_thread::yield();
    stop = true;
    audio.join();
    EXPECT_TRUE(finite.load());
    EXPECT_GT(blocks.load(), 20);
    EXPECT_EQ(amp.cabinet().taps(), std::min(amp.maxPulseCount(), amp.cabinet().responseLength()));
    EXPECT_EQ(amp.cabinet().responseRate(), amp.library().entry(6).sampleRate);
    EXPECT_EQ(rig.messages.count(), 0u);
}

// ---------------------------------------------------------------- end to end

namespace {

// The demonstration guitar's first 3 seconds.
void writeGuitar(const std::string& path)
{
    std::vector<int16_t> g = assets::synthesizeDemoGuitar(48000);
    g.resize(3 * 48000);
    testfiles::writeWav(path, g, 48000);
}

struct Stats {
    double peak = 0.0, rms = 0.0;
    double treble = 0.0; // share of the energy above 5 kHz
};

Stats stats(const std::vector<int16_t>& v, int rate = 48000)
{
    Stats s;
    double e = 0.0;
    for (int16_t x16 : v) {
        const double x = x16 / 32768.0;
        s.peak = std::max(s.peak, std::fabs(x));
        e += x * x;
    }
    s.rms = std::sqrt(e / static_cast<double>(v.size()));
    // Averaged spectra of 4096-sample frames (Hann window).
    constexpr int kN = 4096;
    dsp::RealFft fft(kN);
    double high = 0.0, all = 0.0;
    for (size_t at = 0; at + kN <= v.size(); at += kN / 2) {
        for (int i = 0; i < kN; ++i)
            fft.time()[i] = v[at + static_cast<size_t>(i)] / 32768.0 * (0.5 - 0.5 * std::cos(2.0 * M_PI * i / kN));
        fft.forward();
        for (int k = 1; k <= kN / 2; ++k) {
            const double p = std::norm(fft.spectrum()[k]);
            all += p;
            if (k * static_cast<double>(rate) / kN > 5000.0) high += p;
        }
    }
    s.treble = high / std::max(all, 1e-30);
    return s;
}

} // namespace

TEST(AmpRender, RenderJobPlaysTheGuitarThroughTheAmpAndCabinet)
{
    testfiles::TempDir dir;
    writeGuitar(dir.file("in.wav"));
    writeFloatWav(dir.file("cab.wav"), cabinetLikeResponse(4000, 44100), 44100, 1);
    const Stats dry = stats(testfiles::readSamples(dir.file("in.wav")));
    int renders = 0;
    auto render = [&](const std::vector<std::string>& settings) {
        const std::string out = dir.file("out" + std::to_string(++renders) + ".wav");
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        for (const char* s : {"stereo=0", "BeepOnStart=0", "spkcab_enabled=1"}) EXPECT_TRUE(job.applySetting(s, error)) << error;
        for (const std::string& s : settings) EXPECT_TRUE(job.applySetting(s, error)) << error;
        EXPECT_EQ(job.run(dir.file("in.wav"), out, ""), RenderJob::kOk);
        for (const std::string& t : messages.texts()) ADD_FAILURE() << t;
        return testfiles::readSamples(out);
    };
    const std::vector<int16_t> cab0 = render({"ir_num=0"});
    const std::vector<int16_t> cab11 = render({"ir_num=11", "spk_dist_enabled=1", "preamp_stage=1"});
    const std::vector<int16_t> none = render({"ir_num=40"});
    const std::vector<int16_t> file = render({"spkcab_file=1", "spk_ir_fname=" + dir.file("cab.wav")});
    for (const auto* out : {&cab0, &cab11, &none, &file}) {
        const Stats s = stats(*out);
        EXPECT_GT(s.rms, 0.2 * dry.rms);
        EXPECT_LT(s.rms, 8.0 * dry.rms);
        EXPECT_LE(s.peak, 1.0);
    }
    // A cabinet is darker than the dry guitar and than the amp without one.
    EXPECT_LT(stats(cab0).treble, 0.7 * dry.treble);
    EXPECT_LT(stats(cab0).treble, 0.7 * stats(none).treble);
    EXPECT_NE(cab0, none);
    EXPECT_NE(cab0, cab11);
    EXPECT_NE(file, none);
}

TEST(AmpRender, KorvexRendersTheLibraryAndAFile)
{
    testfiles::TempDir dir;
    writeGuitar(dir.file("in.wav"));
    writeFloatWav(dir.file("cab.wav"), cabinetLikeResponse(3000, 48000), 48000, 2);
    const std::string base = std::string(STRAVIK_BUILD_DIR) + "/korvex render --in " + dir.file("in.wav") +
                             " --set stereo=0 --set spkcab_enabled=1";
    for (const std::string& extra : {std::string(" --set ir_num=5 --out ") + dir.file("lib.wav"),
                                     " --set spkcab_file=1 --set spk_ir_fname=" + dir.file("cab.wav") + " --out " +
                                         dir.file("file.wav")}) {
        const int status = std::system((base + extra + " >/dev/null 2>&1").c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << extra;
    }
    const Stats lib = stats(testfiles::readSamples(dir.file("lib.wav")));
    const Stats file = stats(testfiles::readSamples(dir.file("file.wav")));
    const Stats dry = stats(testfiles::readSamples(dir.file("in.wav")));
    EXPECT_GT(lib.rms, 0.2 * dry.rms);
    EXPECT_GT(file.rms, 0.2 * dry.rms);
    EXPECT_LT(lib.treble, 0.7 * dry.treble);
}
