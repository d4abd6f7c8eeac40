// The wah: sweep, envelope follower and mapping, peak mode, the frequency
// sources, the three filter types and the talk box, the circuit model and its
// frequency-to-position table, the active-settings and preset rules, and the
// sound behaviour on bad input.
#include "effects/modulation/Wah.h"

#include "dsp/BackgroundWorker.h"
#include "dsp/IirFilter.h"
#include "dsp/UserMessages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <vector>

using namespace stravik;
using namespace stravik::effects;
using stravik::dsp::IirFilter;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;
constexpr int kBlock = 128;

dsp::BackgroundWorker& sharedWorker()
{
    static dsp::BackgroundWorker worker;
    return worker;
}

// A wah with its own parameters, as the engine holds one.
struct Rig {
    WahParams wah;
    EnvWahParams env;
    SilentMessages messages;
    EffectContext context{sharedWorker(), messages};
    std::unique_ptr<Wah> unit = std::make_unique<Wah>(wah, env, context);

    // Auto wah on with a source and a mode, started at rate.
    void autoWah(int source, int mode, int rate = kRate)
    {
        wah.wah_enabled = 1;
        wah.wah_auto = source;
        wah.wah_mode = mode;
        unit->start(rate);
    }
    // One block the way the chain runs it.
    void block(double* buf, int n)
    {
        if (env.ewah_enabled) unit->followEnvelope(buf, n);
        unit->process(buf, n);
    }
};

std::vector<double> sine(double freq, double amplitude, int n, int rate = kRate)
{
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = amplitude * std::sin(2.0 * kPi * freq * i / rate);
    return v;
}

double rms(const double* v, int n)
{
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += v[i] * v[i];
    return std::sqrt(s / n);
}

// Runs a steady sine through a freshly started wah (set up by `configure`)
// and returns the output RMS over the second half.
template <typename Configure>
double sineGain(double freq, Configure configure, int rate = kRate)
{
    Rig rig;
    configure(rig);
    const int n = rate / 8;
    std::vector<double> x = sine(freq, 0.01, n, rate);
    for (int i = 0; i < n; i += kBlock) rig.block(x.data() + i, std::min(kBlock, n - i));
    return rms(x.data() + n / 2, n - n / 2) / (0.01 / std::sqrt(2.0));
}

// The frequency (on a 2 % grid) at which the configured wah passes a sine loudest.
template <typename Configure>
double measuredPeak(double lo, double hi, Configure configure, int rate = kRate)
{
    double best = lo, bestGain = -1.0;
    for (double f = lo; f <= hi; f *= 1.02) {
        const double g = sineGain(f, configure, rate);
        if (g > bestGain) {
            bestGain = g;
            best = f;
        }
    }
    return best;
}

// |H| of a filter's recursion (input gain included).
double magnitude(const IirFilter& f, double freq, double fs)
{
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * freq / fs);
    const double* c = f.values();
    const double b[5] = {c[IirFilter::kB0], c[IirFilter::kB1], c[IirFilter::kB2], c[IirFilter::kB3], c[IirFilter::kB4]};
    const double a[4] = {c[IirFilter::kA1], c[IirFilter::kA2], c[IirFilter::kA3], c[IirFilter::kA4]};
    std::complex<double> num = 0.0, den = 1.0, zk = 1.0;
    for (int k = 0; k <= 4; ++k) {
        num += b[k] * zk;
        if (k < 4) den += a[k] * zk * z1;
        zk *= z1;
    }
    return std::abs(num / den) * f.inputGain();
}

void expectSameDesign(const IirFilter& got, const IirFilter& want, double tol = 1e-9)
{
    EXPECT_EQ(got.order(), want.order());
    for (int i = 0; i < 11; ++i) EXPECT_NEAR(got.coefficient(i), want.coefficient(i), tol) << "coefficient " << i;
    EXPECT_NEAR(got.inputGain(), want.inputGain(), tol);
}

} // namespace

// ---------------------------------------------------------------- sweep

TEST(WahSweep, RisesLogarithmicallyToF2InHalfAPeriodAndFallsBackOnceEachBlock)
{
    Rig rig;
    rig.wah.wah_f1 = 450;
    rig.wah.wah_f2 = 2200;
    rig.wah.wah_period = 1.0f;
    rig.autoWah(kWahSweep, kWahLegacy);
    std::vector<double> buf(kBlock, 0.0);
    std::vector<int> f;
    for (int b = 0; b < 375 + 10; ++b) { // one period is exactly 375 blocks at 48000 Hz
        rig.block(buf.data(), kBlock);
        const WahState s = rig.unit->state();
        f.push_back(s.currentFrequency);
        EXPECT_EQ(s.updateFrequency, s.currentFrequency) << "block " << b; // the filters follow every block
    }
    EXPECT_NEAR(f[0], 450, 1); // the formula's round trip through log10 may land a hair below
    // The top is reached half a period in (t = 0.5 s lies between blocks 187 and 188).
    const auto top = std::max_element(f.begin(), f.begin() + 375) - f.begin();
    EXPECT_GE(top, 186);
    EXPECT_LE(top, 188);
    EXPECT_GE(f[top], 2185);
    EXPECT_LE(f[top], 2200);
    // Logarithmic: a quarter period in, the geometric middle (995 Hz), not the
    // arithmetic one (1325 Hz). Block 94 starts at t = 0.2507 s.
    EXPECT_NEAR(f[94], 450.0 * std::pow(2200.0 / 450.0, 2 * 0.250667), 3.0);
    EXPECT_LT(f[94], 1100);
    // Rises, then falls, and the frequency moves every block on the way.
    for (int b = 1; b <= 187; ++b) EXPECT_GT(f[b], f[b - 1]) << "block " << b;
    for (int b = 189; b < 375; ++b) EXPECT_LT(f[b], f[b - 1]) << "block " << b;
    // Symmetric, and back at f1 after one period.
    EXPECT_NEAR(f[100], f[375 - 100], 0.03 * f[100]);
    EXPECT_LE(f[374], 460);
    // The time wraps after one period (on block 375 or 376, as the sum of
    // block lengths rounds): the sweep starts again from f1.
    const auto again = std::min_element(f.begin() + 370, f.begin() + 380) - f.begin();
    EXPECT_GE(again, 374);
    EXPECT_LE(again, 377);
    EXPECT_NEAR(f[again], 450, 1);
    EXPECT_EQ(f[again + 5], f[5]);
}

TEST(WahSweep, TalkBoxSweepIsLinearAndLeavesFromF1EvenWhenItIsTheHigher)
{
    Rig rig;
    rig.wah.wah_f1 = 2200;
    rig.wah.wah_f2 = 450;
    rig.autoWah(kWahSweep, kWahTalkBox);
    std::vector<double> buf(kBlock, 0.0);
    std::vector<int> f;
    for (int b = 0; b < 375; ++b) {
        rig.block(buf.data(), kBlock);
        f.push_back(rig.unit->state().currentFrequency);
    }
    EXPECT_EQ(f[0], 2200);
    // Straight lines: equal steps per block (within the truncation).
    const double step = (450.0 - 2200.0) / 1.0 * 2.0 * kBlock / kRate; // Hz per block
    for (int b = 1; b <= 187; ++b) EXPECT_NEAR(f[b] - f[b - 1], step, 1.01) << "block " << b;
    for (int b = 190; b < 375; ++b) EXPECT_NEAR(f[b] - f[b - 1], -step, 1.01) << "block " << b;
    EXPECT_NEAR(f[94], 2200.0 + (450.0 - 2200.0) * 2 * 0.250667, 1.0); // ~1323 Hz, not the log 995
    EXPECT_LE(*std::min_element(f.begin(), f.end()), 460);
    EXPECT_GE(*std::min_element(f.begin(), f.end()), 450);
}

TEST(WahSweep, FormulaCoversBothHalvesAndBothOrders)
{
    EXPECT_NEAR(wahSweepFrequency(0.0, 1.0, 450, 2200, false), 450, 1);
    EXPECT_NEAR(wahSweepFrequency(0.0, 1.0, 2200, 450, false), 450, 1); // the log sweep starts low
    EXPECT_NEAR(wahSweepFrequency(0.25, 1.0, 450, 2200, false), 994.9, 1.0);
    EXPECT_NEAR(wahSweepFrequency(0.75, 1.0, 450, 2200, false), 994.9, 1.0);
    EXPECT_NEAR(wahSweepFrequency(0.5, 1.0, 450, 2200, false), 2200, 1.0);
    EXPECT_EQ(wahSweepFrequency(0.5, 2.0, 1000, 3000, true), 2000); // a quarter of a 2 s period
    EXPECT_EQ(wahSweepFrequency(1.5, 2.0, 1000, 3000, true), 2000);
    EXPECT_EQ(wahSweepFrequency(0.0, 2.0, 3000, 1000, true), 3000);
}

TEST(WahSweep, ShorteningThePeriodMidSweepRestartsInsteadOfDivingBelowF1)
{
    Rig rig;
    rig.wah.wah_period = 5.0f;
    rig.autoWah(kWahSweep, kWahModern);
    std::vector<double> buf(kBlock, 0.0);
    for (int b = 0; b < 300; ++b) rig.block(buf.data(), kBlock); // t = 0.8 s
    rig.wah.wah_period = 0.3f;
    rig.block(buf.data(), kBlock);
    EXPECT_NEAR(rig.unit->state().currentFrequency, 450, 1);
    EXPECT_NEAR(rig.unit->state().sweepTime, static_cast<double>(kBlock) / kRate, 1e-12);
}

// ---------------------------------------------------------------- envelope

TEST(WahEnvelope, RingLengthFollowsTheRate)
{
    EXPECT_EQ(WahEnvelopeFollower::ringLengthFor(22050), 16);
    EXPECT_EQ(WahEnvelopeFollower::ringLengthFor(44100), 32);
    EXPECT_EQ(WahEnvelopeFollower::ringLengthFor(48000), 34);
    EXPECT_LE(WahEnvelopeFollower::ringLengthFor(10000000), WahEnvelopeFollower::kMaxRing);
    EXPECT_GE(WahEnvelopeFollower::ringLengthFor(0), 1);
    Rig rig;
    rig.unit->start(44100);
    EXPECT_EQ(rig.unit->envelopeRingLength(), 32);
    rig.unit->start(22050);
    EXPECT_EQ(rig.unit->envelopeRingLength(), 16);
}

TEST(WahEnvelope, FollowerAveragesTheAudibleBlocksOfTheRing)
{
    WahEnvelopeFollower f;
    f.reset(22050); // 16 blocks
    std::vector<double> loud(kBlock, 0.1), louder(kBlock, 0.3), silent(kBlock, 0.0);
    std::vector<double> floor(kBlock, 5e-7); // under the silence floor
    f.follow(loud.data(), kBlock);
    EXPECT_NEAR(f.envelope(), 0.1, 1e-7);
    f.follow(louder.data(), kBlock);
    EXPECT_NEAR(f.envelope(), 0.2, 1e-7); // mean of 0.1 and 0.3
    // Silent blocks do not dilute the average ...
    for (int b = 0; b < 13; ++b) f.follow(floor.data(), kBlock);
    f.follow(silent.data(), kBlock);
    EXPECT_NEAR(f.envelope(), 0.2, 1e-7);
    // ... and once the ring has forgotten the notes the envelope is 0.
    f.follow(silent.data(), kBlock);
    EXPECT_NEAR(f.envelope(), 0.3, 1e-7); // the 0.1 block was overwritten
    f.follow(silent.data(), kBlock);
    EXPECT_EQ(f.envelope(), 0.0);
    // RMS, not peak: a sine of amplitude 0.5.
    f.reset(48000);
    const auto s = sine(1000.0, 0.5, 480);
    f.follow(s.data(), 480);
    EXPECT_NEAR(f.envelope(), 0.5 / std::sqrt(2.0), 1e-4);
    f.follow(s.data(), 0); // an empty block changes nothing
    EXPECT_NEAR(f.envelope(), 0.5 / std::sqrt(2.0), 1e-4);
}

TEST(WahEnvelope, VolumeScalesLogOrLinear)
{
    // Log: 20E doubled, log10 halved, +0.8.
    EXPECT_NEAR(wahEnvelopeVolume(0.05, true), std::log10(2.0) / 2.0 + 0.8, 1e-12);
    EXPECT_EQ(wahEnvelopeVolume(0.0, true), 0.0);  // floor 1e-5 then raised to 0
    EXPECT_EQ(wahEnvelopeVolume(1e-4, true), 0.0); // below -64 dB
    EXPECT_NEAR(wahEnvelopeVolume(std::pow(10.0, -0.2) / 40.0, true), 0.7, 1e-12);
    // Linear: 10 x 20E.
    EXPECT_NEAR(wahEnvelopeVolume(0.0035, false), 0.7, 1e-12);
    EXPECT_EQ(wahEnvelopeVolume(0.0, false), 0.0);
}

TEST(WahEnvelope, DefaultLevelsMapQuietToEndAndLoudToStartThroughMid)
{
    const EnvWahParams d;
    const WahEnvelopeShape s{d.ewah_v1, d.ewah_v2, d.ewah_v3, d.ewah_f1, d.ewah_f2, d.ewah_f3};
    EXPECT_EQ(wahEnvelopeFrequency(0.0, s), 1800);
    EXPECT_EQ(wahEnvelopeFrequency(-0.5, s), 1800);
    EXPECT_EQ(wahEnvelopeFrequency(0.7, s), 450);
    EXPECT_EQ(wahEnvelopeFrequency(0.95, s), 450);
    EXPECT_EQ(wahEnvelopeFrequency(s.levelMid, s), 2500); // the level as the float slider holds it
    // Straight lines: (0, 1800)-(0.4, 2500) and (0.4, 2500)-(0.7, 450).
    EXPECT_NEAR(wahEnvelopeFrequency(0.2, s), 2150, 1);
    EXPECT_NEAR(wahEnvelopeFrequency(0.55, s), 1475, 1);
    EXPECT_NEAR(wahEnvelopeFrequency(0.1, s), 1975, 1);
}

TEST(WahEnvelope, ThroughTheUnitSilenceGivesEndAndALoudNoteStart)
{
    Rig rig;
    rig.env.ewah_enabled = 1;
    rig.env.ewah_mode = kWahLegacy;
    rig.unit->start(kRate);
    std::vector<double> buf(kBlock, 0.0);
    rig.block(buf.data(), kBlock);
    EXPECT_EQ(rig.unit->state().currentFrequency, 1800);
    EXPECT_EQ(rig.unit->state().updateFrequency, 1800);
    const auto note = sine(330.0, 0.5, kBlock * 40);
    for (int b = 0; b < 40; ++b) {
        std::copy_n(note.data() + b * kBlock, kBlock, buf.data());
        rig.block(buf.data(), kBlock);
    }
    EXPECT_EQ(rig.unit->state().currentFrequency, 450);
    // A medium note lands on the Mid-Start line: e = 0.55 needs E = 10^(-0.5)/40.
    Rig mid;
    mid.env.ewah_enabled = 1;
    mid.unit->start(kRate);
    const double e = std::pow(10.0, -0.5) / 40.0;
    std::vector<double> dc(kBlock, e); // a constant block's RMS is its value
    mid.block(dc.data(), kBlock);
    EXPECT_NEAR(mid.unit->state().currentFrequency, 1475, 1);
}

TEST(WahEnvelope, FrequencyIsHeldWithin300And4000Hz)
{
    Rig rig;
    rig.env.ewah_enabled = 1;
    rig.env.ewah_f3 = 50.0f; // End, reached by silence
    rig.unit->start(kRate);
    std::vector<double> buf(kBlock, 0.0);
    rig.block(buf.data(), kBlock);
    EXPECT_EQ(rig.unit->state().currentFrequency, 300);
    rig.env.ewah_f3 = 9000.0f;
    rig.block(buf.data(), kBlock);
    EXPECT_EQ(rig.unit->state().currentFrequency, 4000);
}

TEST(WahEnvelope, PeakModeTriggersOnceOnASustainedNoteAndDecays)
{
    Rig rig;
    rig.env.ewah_enabled = 1;
    rig.env.ewah_peak = 1;
    rig.env.ewah_peakmode = 0;
    rig.unit->start(kRate);
    std::vector<double> buf(kBlock, 0.0);
    for (int b = 0; b < 10; ++b) rig.block(buf.data(), kBlock);
    const double before = rig.unit->state().peakHold;

    const auto note = sine(220.0, 0.5, kBlock * 400);
    std::vector<double> hold;
    std::vector<int> freq;
    for (int b = 0; b < 400; ++b) {
        std::copy_n(note.data() + b * kBlock, kBlock, buf.data());
        rig.block(buf.data(), kBlock);
        hold.push_back(rig.unit->state().peakHold);
        freq.push_back(rig.unit->state().currentFrequency);
    }
    EXPECT_LT(before, 0.7);
    EXPECT_NEAR(hold[0], 0.7 - 0.0003, 1e-6); // the note start sets Start, the block's fall follows
    for (size_t b = 1; b < hold.size(); ++b) EXPECT_NEAR(hold[b - 1] - hold[b], 0.0003, 1e-9) << "block " << b;
    // From (nearly) Start towards Mid: 450 Hz rising, ~2 Hz per block.
    EXPECT_NEAR(freq[0], 452, 1);
    EXPECT_NEAR(freq[399], 450 + 2050.0 * (0.0003 * 400) / 0.3, 2);
    // The hold keeps falling below every level: long after, End.
    for (int b = 0; b < 2400; ++b) {
        std::copy_n(note.data() + (b % 400) * kBlock, kBlock, buf.data());
        rig.block(buf.data(), kBlock);
    }
    EXPECT_LT(rig.unit->state().peakHold, 0.0);
    EXPECT_EQ(rig.unit->state().currentFrequency, 1800);
}

TEST(WahEnvelope, PeakMode0NeedsANoteAboveStartMode1AnyJump)
{
    // e jumps from 0 to 0.3: a start in mode 1 only.
    for (int mode : {0, 1}) {
        WahPeakHold p;
        p.apply(0.0, mode, 0.7);
        const double out = p.apply(0.3, mode, 0.7);
        if (mode == 0)
            EXPECT_NEAR(out, -2 * 0.0003, 1e-12);
        else
            EXPECT_NEAR(out, 0.7 - 0.0003, 1e-12);
        // Rising by less than 30 % is no note start.
        const double again = p.apply(0.38, mode, 0.7);
        EXPECT_NEAR(again, out - 0.0003, 1e-12);
        EXPECT_EQ(p.previous(), 0.38);
    }
}

// ---------------------------------------------------------------- sources

TEST(WahSources, FixedUsesF1PedalTruncatesHertzControllerIsLogarithmic)
{
    Rig rig;
    rig.wah.wah_f1 = 700;
    rig.autoWah(kWahFixed, kWahModern);
    std::vector<double> buf(kBlock, 0.0);
    rig.block(buf.data(), kBlock);
    EXPECT_EQ(rig.unit->state().updateFrequency, 700);
    rig.wah.wah_f1 = 800; // fixed: every block picks up the slider
    rig.block(buf.data(), kBlock);
    EXPECT_EQ(rig.unit->state().updateFrequency, 800);

    rig.wah.wah_f1 = 450;
    rig.wah.wah_f2 = 2200;
    rig.wah.wah_auto = kWahPedal;
    rig.unit->setPedalFrequency(1234.9);
    EXPECT_EQ(rig.unit->state().updateFrequency, 1234);
    rig.unit->setPedalFrequency(100.0); // pedal heel down
    EXPECT_EQ(rig.unit->state().updateFrequency, 100);
    rig.unit->setPedalFrequency(4100.0);
    EXPECT_EQ(rig.unit->state().updateFrequency, 4100);
    rig.block(buf.data(), kBlock); // blocks keep the pedal's frequency
    EXPECT_EQ(rig.unit->state().updateFrequency, 4100);

    rig.wah.wah_auto = kWahMidi;
    rig.unit->setControllerPosition(0.5); // pitch wheel centre
    EXPECT_EQ(rig.unit->state().updateFrequency, static_cast<int>(450.0 * std::sqrt(2200.0 / 450.0)));
    EXPECT_EQ(rig.unit->state().updateFrequency, 994);
    rig.unit->setControllerPosition(0.0);
    EXPECT_EQ(rig.unit->state().updateFrequency, 450);
    rig.unit->setControllerPosition(1.0);
    EXPECT_NEAR(rig.unit->state().updateFrequency, 2200, 1);
    rig.wah.wah_f1 = 2200; // either order: 0 is the lower frequency
    rig.wah.wah_f2 = 450;
    rig.unit->setControllerPosition(0.0);
    EXPECT_EQ(rig.unit->state().updateFrequency, 450);
    rig.unit->setControllerPosition(7.0); // beyond the end: held at 1
    EXPECT_NEAR(rig.unit->state().updateFrequency, 2200, 1);
    rig.unit->setControllerPosition(std::numeric_limits<double>::quiet_NaN()); // ignored
    EXPECT_NEAR(rig.unit->state().controllerPosition, 1.0, 0.0);
}

TEST(WahSources, BeforeTheirFirstReadingPedalAndControllerSitMidSweep)
{
    for (int source : {kWahPedal, kWahMidi}) {
        Rig rig;
        rig.autoWah(source, kWahSixties);
        EXPECT_EQ(rig.unit->state().updateFrequency, 994) << source;
        EXPECT_LT(rig.unit->state().pedalFrequency, 0.0);
    }
    // A controller position does not leak into the pedal's frequency.
    Rig rig;
    rig.autoWah(kWahMidi, kWahSixties);
    rig.unit->setControllerPosition(0.2);
    rig.wah.wah_auto = kWahPedal;
    rig.unit->updateCoefficients();
    EXPECT_EQ(rig.unit->state().updateFrequency, 994);
}

TEST(WahSwitch, SwitchingOneWahOnSwitchesTheOtherOff)
{
    Rig rig;
    rig.wah.wah_auto = kWahFixed;
    rig.wah.wah_f1 = 1000;
    rig.env.ewah_mode = kWahModern;
    rig.unit->start(kRate);
    rig.unit->switchWah(WahKind::Auto, true);
    EXPECT_EQ(rig.wah.wah_enabled.get(), 1);
    EXPECT_EQ(rig.env.ewah_enabled.get(), 0);
    EXPECT_EQ(rig.unit->state().updateFrequency, 1000);
    rig.unit->switchWah(WahKind::Envelope, true);
    EXPECT_EQ(rig.wah.wah_enabled.get(), 0);
    EXPECT_EQ(rig.env.ewah_enabled.get(), 1);
    EXPECT_EQ(rig.unit->state().mode, kWahModern); // its own mode, designed at once
    rig.unit->switchWah(WahKind::Envelope, false);
    EXPECT_EQ(rig.wah.wah_enabled.get(), 0);
    EXPECT_EQ(rig.env.ewah_enabled.get(), 0);
}

// ---------------------------------------------------------------- settings and presets

TEST(WahSettings, EnvelopeWahAloneUsesItsOwnModeGainAndResonance)
{
    WahParams w;
    EnvWahParams e;
    w.wah_mode = kWahModern;
    w.wah_range = 0.3f;
    w.wah_sel = 2.0f;
    e.ewah_mode = kWahTalkBox;
    e.ewah_gain = 0.6f;
    e.ewah_q = 7.0f;
    e.ewah_enabled = 1;
    WahActiveSettings s = wahActiveSettings(w, e);
    EXPECT_EQ(s.mode, kWahTalkBox);
    EXPECT_NEAR(s.gain, 0.6, 1e-6);
    EXPECT_NEAR(s.resonance, 7.0, 1e-6);
    w.wah_enabled = 1; // both on: the auto wah's
    s = wahActiveSettings(w, e);
    EXPECT_EQ(s.mode, kWahModern);
    EXPECT_NEAR(s.gain, 0.3, 1e-6);
    EXPECT_NEAR(s.resonance, 2.0, 1e-6);
    w.wah_enabled = 0;
    e.ewah_enabled = 0; // neither: the auto wah's
    EXPECT_EQ(wahActiveSettings(w, e).mode, kWahModern);
    // Values outside the pages' ranges are held inside them.
    w.wah_mode = 9;
    w.wah_range = -3.0f;
    w.wah_sel = 1e9f;
    s = wahActiveSettings(w, e);
    EXPECT_EQ(s.mode, kWahSixties);
    EXPECT_EQ(s.gain, 0.0);
    EXPECT_EQ(s.resonance, 10.0);
}

TEST(WahSettings, ModesMapToFilterTypes)
{
    EXPECT_EQ(wahFilterType(kWahSixties), WahFilterType::Circuit);
    EXPECT_EQ(wahFilterType(kWahTalkBox), WahFilterType::Circuit);
    EXPECT_EQ(wahFilterType(kWahModern), WahFilterType::Modern);
    EXPECT_EQ(wahFilterType(kWahLegacy), WahFilterType::Legacy);
}

TEST(WahPreset, OldTalkBoxSwitchAndTruncatedResonance)
{
    EXPECT_EQ(wahModeFromTalkBox(1), kWahTalkBox);
    EXPECT_EQ(wahModeFromTalkBox(0), kWahLegacy);
    EXPECT_EQ(wahModeFromTalkBox(2), kWahLegacy);
    EXPECT_EQ(presetWahMode(-1, 1), kWahTalkBox); // key missing: the old switch
    EXPECT_EQ(presetWahMode(-1, 0), kWahLegacy);
    EXPECT_EQ(presetWahMode(kWahModern, 1), kWahModern); // a stored mode wins
    EXPECT_EQ(presetWahMode(kWahSixties, 1), kWahSixties);
    EXPECT_EQ(storedWahSel(5.7f), 5);
    EXPECT_EQ(wahSelFromStored(storedWahSel(5.7f)), 5.0f);
    EXPECT_EQ(storedWahSel(0.5f), 0);
    EXPECT_EQ(storedWahSel(10.0f), 10);
    EXPECT_EQ(storedWahSel(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(storedWahSel(1e20f), std::numeric_limits<int>::max());
}

// ---------------------------------------------------------------- circuit model

TEST(WahCircuit, CubicFormulaFindsTheAngleOfTheComplexPair)
{
    // (z - 0.9 e^{+-0.3i})(z - 0.5)
    const double r = 0.9, th = 0.3, c = 0.5;
    const double s = -2.0 * r * std::cos(th), p = r * r; // z^2 + s z + p
    EXPECT_NEAR(complexPoleAngle(s - c, p - c * s, -c * p), 0.3, 1e-9);
    // Pole pair near z = 1 at a low frequency: still resolved.
    const double r2 = 0.9995, th2 = 2.0 * kPi * 400.0 / 48000.0;
    const double s2 = -2.0 * r2 * std::cos(th2), p2 = r2 * r2;
    EXPECT_NEAR(complexPoleAngle(s2 - 0.99, p2 - 0.99 * s2, -0.99 * p2), th2, 1e-6);
    // Three real roots (0.1, 0.2, 0.3): no pair.
    EXPECT_LT(complexPoleAngle(-0.6, 0.11, -0.006), 0.0);
}

TEST(WahCircuit, FilterPeakMeasuredNear2200HzAtTheTopAnd420HzAtTheBottom)
{
    for (double p : {0.0, 1.0}) {
        const double want = p == 0.0 ? 2200.0 : 420.0;
        const WahCircuitPolynomials poly = WahCircuitPolynomials::design(0.5, kRate);
        double best = 0.0, bestGain = 0.0;
        for (double f = 150.0; f < 6000.0; f *= 1.02) {
            WahCircuitFilter filt;
            filt.setPolynomials(poly);
            const int n = kRate / 5;
            std::vector<double> x = sine(f, 0.01, n);
            for (int i = 0; i < n; i += kBlock) filt.process(x.data() + i, std::min(kBlock, n - i), p, p);
            const double g = rms(x.data() + n / 2, n - n / 2);
            if (g > bestGain) {
                bestGain = g;
                best = f;
            }
        }
        EXPECT_NEAR(best, want, 0.06 * want) << "p = " << p;
        EXPECT_NEAR(wahCircuitResonance(0.5, kRate, p), want, 0.01 * want) << "p = " << p;
        // A real resonance: well above the filter's level at 150 Hz and 6 kHz.
        EXPECT_GT(bestGain / (0.01 / std::sqrt(2.0)), 5.0);
    }
}

TEST(WahCircuit, TableMaps300HzToTheBottomAnd4000HzToTheTop)
{
    WahPositionTable t;
    t.build(kRate);
    ASSERT_EQ(t.count(), 10);
    EXPECT_NEAR(t.frequencyAt(0), 420.0, 5.0);
    EXPECT_NEAR(t.frequencyAt(9), 2200.0, 25.0);
    EXPECT_EQ(t.positionAt(0), 1.0);
    EXPECT_EQ(t.positionAt(9), 0.0);
    for (int i = 1; i < 10; ++i) EXPECT_GT(t.frequencyAt(i), t.frequencyAt(i - 1));
    EXPECT_EQ(t.position(300.0), 1.0);
    EXPECT_EQ(t.position(4000.0), 0.0);
    // The pedal reaches down to 100 Hz: the heel stays at the bottom of the
    // wah all the way, and the pot only ever turns one way with frequency.
    double last = 1.0;
    for (double f = 20.0; f < 20000.0; f *= 1.01) {
        const double p = t.position(f);
        EXPECT_LE(p, last + 1e-12) << f;
        last = p;
        if (f <= 419.0) {
            EXPECT_EQ(p, 1.0) << f;
        }
        if (f >= 2210.0) {
            EXPECT_EQ(p, 0.0) << f;
        }
    }
    // Through its points: the circuit at the looked-up position resonates
    // where it was asked to.
    for (int i = 0; i < 10; ++i) EXPECT_NEAR(t.position(t.frequencyAt(i)), t.positionAt(i), 1e-9);
    for (double f : {500.0, 700.0, 900.0}) {
        const double p = t.position(f);
        EXPECT_NEAR(wahCircuitResonance(0.5, kRate, p), f, 0.03 * f) << f;
    }
}

TEST(WahCircuit, TableIsRebuiltWhenTheRateChanges)
{
    WahPositionTable a, b;
    a.build(48000);
    b.build(22050);
    EXPECT_NEAR(a.frequencyAt(8), 1081.2, 1.0); // p = 1/9
    EXPECT_NEAR(b.frequencyAt(8), 1074.7, 1.0);
    // Through the unit: 1078 Hz lies above the p = 1/9 point at 22050 Hz and
    // below it at 48000 Hz.
    Rig rig;
    rig.wah.wah_f1 = 1078;
    rig.autoWah(kWahFixed, kWahSixties, 48000);
    EXPECT_GT(rig.unit->state().position, 1.0 / 9.0);
    rig.unit->start(22050);
    EXPECT_LT(rig.unit->state().position, 1.0 / 9.0);
    rig.unit->start(48000);
    EXPECT_GT(rig.unit->state().position, 1.0 / 9.0);
}

TEST(WahCircuit, PositionGlidesSampleBySampleAcrossTheBlock)
{
    const WahCircuitPolynomials poly = WahCircuitPolynomials::design(0.35, kRate);
    WahCircuitFilter filt;
    filt.setPolynomials(poly);
    filt.setInputGain(0.7);
    IirFilter ref; // the same recursion, redesigned for every sample
    ref.setInputGain(0.7);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    std::vector<double> x(3 * kBlock);
    for (double& v : x) v = u(rng);
    std::vector<double> y = x;
    const double from[3] = {0.1, 0.8, 0.8};
    const double to[3] = {0.8, 0.8, 0.3};
    for (int b = 0; b < 3; ++b) filt.process(y.data() + b * kBlock, kBlock, from[b], to[b]);
    for (int b = 0; b < 3; ++b) {
        for (int i = 0; i < kBlock; ++i) {
            const double p = from[b] + (to[b] - from[b]) * i / kBlock;
            double bb[4], aa[4];
            poly.coefficients(p, bb, aa);
            ref.setCoefficients(3, bb, aa + 1);
            double v = x[static_cast<size_t>(b * kBlock + i)];
            ref.process3(&v, 1);
            ASSERT_NEAR(y[static_cast<size_t>(b * kBlock + i)], v, 1e-9) << "block " << b << " sample " << i;
        }
    }
}

TEST(WahCircuit, ThroughTheUnitThePeakFollowsThePedalAndThePotGlides)
{
    auto at = [](double hz) {
        return [hz](Rig& r) {
            r.autoWah(kWahPedal, kWahSixties);
            r.unit->setPedalFrequency(hz);
            r.unit->start(kRate); // no glide: measure the settled filter
        };
    };
    EXPECT_NEAR(measuredPeak(1200.0, 3500.0, at(2200.0)), 2200.0, 0.08 * 2200.0);
    EXPECT_NEAR(measuredPeak(250.0, 900.0, at(300.0)), 420.0, 0.08 * 420.0);
    EXPECT_NEAR(measuredPeak(350.0, 1200.0, at(700.0)), 700.0, 0.08 * 700.0);

    Rig rig;
    rig.autoWah(kWahPedal, kWahSixties);
    rig.unit->setPedalFrequency(2200.0);
    std::vector<double> buf(kBlock, 0.0);
    rig.block(buf.data(), kBlock);
    const double top = rig.unit->state().position;
    rig.unit->setPedalFrequency(300.0);
    WahState s = rig.unit->state();
    EXPECT_EQ(s.position, 1.0);
    EXPECT_EQ(s.previousPosition, top); // the next block glides from here
    rig.block(buf.data(), kBlock);
    s = rig.unit->state();
    EXPECT_EQ(s.previousPosition, 1.0);
    // The level curve: 0 dB at 440 Hz and below, -5 dB at 2200 Hz and above.
    EXPECT_NEAR(s.circuitInputGain, 1.0, 1e-12);
    rig.unit->setPedalFrequency(3000.0);
    rig.block(buf.data(), kBlock);
    EXPECT_NEAR(rig.unit->state().circuitInputGain, std::pow(10.0, -5.0 / 20.0), 1e-12);
    rig.unit->setPedalFrequency(std::sqrt(440.0 * 2200.0)); // halfway in log: halfway in level
    rig.block(buf.data(), kBlock);
    EXPECT_NEAR(rig.unit->state().circuitInputGain, std::pow(10.0, -2.5 / 20.0), 1e-3);
    EXPECT_NEAR(s.circuitHighPass220.inputGain(), 1.0, 0.0);
    EXPECT_LT(magnitude(s.circuitHighPass220, 220.0, kRate), 0.72);
    EXPECT_GT(magnitude(s.circuitHighPass220, 220.0, kRate), 0.69);
    EXPECT_NEAR(magnitude(s.circuitHighPass50, 50.0, kRate), std::sqrt(0.5), 0.01);
}

// ---------------------------------------------------------------- legacy and modern

TEST(WahLegacy, At2200HzWithGainZeroThePeakingFilterIsFlatWithInputGain1)
{
    Rig rig;
    rig.wah.wah_f1 = 2200;
    rig.wah.wah_range = 0.0f;
    rig.autoWah(kWahFixed, kWahLegacy);
    const WahState s = rig.unit->state();
    EXPECT_EQ(s.updateFrequency, 2200);
    EXPECT_EQ(s.fa.inputGain(), 1.0);
    EXPECT_NEAR(s.fa.coefficient(IirFilter::kB0), 1.0, 1e-15);
    EXPECT_NEAR(s.fa.coefficient(IirFilter::kB1), s.fa.coefficient(IirFilter::kA1), 1e-15);
    EXPECT_NEAR(s.fa.coefficient(IirFilter::kB2), s.fa.coefficient(IirFilter::kA2), 1e-15);
    // The shelves: high shelf at 3f = 6600 Hz, S 0.6, G = ((log10 2200 - 2) * 22 - 30) * 1.8;
    // low shelf 100 Hz, S 0.3, -10 dB.
    IirFilter shelf;
    shelf.designHighShelf(6600, 0.6, -0.84006, 1.0, kRate);
    expectSameDesign(s.fb, shelf, 1e-4);
    IirFilter low;
    low.designLowShelf(100, 0.3, -10.0, 1.0, kRate);
    expectSameDesign(s.fc, low);
}

TEST(WahLegacy, GainAndQFollowTheFrequencyAndAreCapped)
{
    Rig rig;
    rig.wah.wah_f1 = 450;
    rig.wah.wah_range = 0.8f;
    rig.wah.wah_sel = 5.0f;
    rig.autoWah(kWahFixed, kWahLegacy, 22050);
    WahState s = rig.unit->state();
    // X = 9 + 20 = 29, capped at 25 dB; Q = 5 * 200 / 450 + 0.7.
    IirFilter peak;
    peak.designPeaking(450, 1000.0 / 450.0 + 0.7, 25.0, std::pow(10.0, -25.0 / 70.0), 22050);
    expectSameDesign(s.fa, peak, 1e-9);
    EXPECT_NEAR(magnitude(s.fa, 450.0, 22050), std::pow(10.0, 25.0 / 20.0 - 25.0 / 70.0), 1e-6);
    // At 4000 Hz and 22050 Hz: the shelf sits at 0.4 fs = 8820 Hz and its
    // gain (9.4 dB by the formula) is capped at 5 dB; Q = 1000/4000 + 0.7.
    rig.wah.wah_f1 = 4000;
    rig.wah.wah_range = 0.2f;
    rig.wah.wah_sel = 100.0f; // held at 10: Q = 2000/4000 + 0.7
    rig.unit->updateCoefficients();
    s = rig.unit->state();
    IirFilter shelf;
    shelf.designHighShelf(8820, 0.6, 5.0, 1.0, 22050);
    expectSameDesign(s.fb, shelf);
    const double x = std::pow(1800.0 / 1750.0, 4) * 9.0 + 25.0 * static_cast<double>(0.2f); // 15.07 dB
    peak.designPeaking(4000, 1.2, x, std::pow(10.0, -x / 70.0), 22050);
    expectSameDesign(s.fa, peak);
    // The Q cap: r = 10 at 300 Hz gives 7.37, held at 5.
    rig.wah.wah_f1 = 300;
    rig.unit->updateCoefficients();
    const double x3 = std::pow(1900.0 / 1750.0, 4) * 9.0 + 25.0 * static_cast<double>(0.2f); // 17.5 dB
    peak.designPeaking(300, 5.0, x3, std::pow(10.0, -x3 / 70.0), 22050);
    expectSameDesign(rig.unit->state().fa, peak);
}

TEST(WahModern, DesignsFollowTheFrequencyWithTheLowRangeBoost)
{
    Rig rig;
    rig.wah.wah_f1 = 1000;
    rig.wah.wah_range = 0.8f;
    rig.wah.wah_sel = 5.0f;
    rig.autoWah(kWahFixed, kWahModern);
    WahState s = rig.unit->state();
    IirFilter want;
    const double boostDb = 30.0 * static_cast<double>(0.8f);
    want.designPeaking(1000, 1.5 * (1.0 + 2.0 * (1.0 - 900.0 / 1900.0)), boostDb, 1.0, kRate);
    expectSameDesign(s.fa, want);
    want.designFirstOrderLowPass(1000.0, 1.0, kRate);
    expectSameDesign(s.fb, want);
    want.designHighPass(50, 0.5, (1.0 + 2.0 * (1.0 - 900.0 / 4000.0)) * 0.22, kRate);
    expectSameDesign(s.fc, want);
    EXPECT_NEAR(s.fc.inputGain(), 0.561, 1e-12);
    // Above 2000 Hz no boost of Q.
    rig.wah.wah_f1 = 3000;
    rig.unit->updateCoefficients();
    s = rig.unit->state();
    want.designPeaking(3000, 1.5, boostDb, 1.0, kRate);
    expectSameDesign(s.fa, want);
    EXPECT_NEAR(s.fc.inputGain(), 0.341, 1e-12);
    // And it sounds like it: the peak is at the frequency.
    auto at = [](int hz) {
        return [hz](Rig& r) {
            r.wah.wah_f1 = hz;
            r.autoWah(kWahFixed, kWahModern);
        };
    };
    EXPECT_NEAR(measuredPeak(300.0, 2000.0, at(800)), 800.0, 0.05 * 800.0);
}

// ---------------------------------------------------------------- talk box

TEST(WahTalkBoxTest, FormantsFollowTheirTablesWithTheirQAndLevels)
{
    Rig rig;
    rig.wah.wah_sel = 5.0f;
    rig.wah.wah_range = 0.8f;
    rig.wah.wah_f1 = 2300; // x = 0.5
    rig.autoWah(kWahFixed, kWahTalkBox);
    WahState s = rig.unit->state();
    EXPECT_EQ(s.formantHz[0], 690);
    EXPECT_EQ(s.formantHz[1], 1468);
    EXPECT_EQ(s.formantHz[2], 2385);
    // Q1 = 11, Q2 = Q3 = 16.5; level 10.5: gains 8.4, 4.2, 2.52.
    IirFilter want;
    want.designBandPass(690, 11.0, 8.4, kRate);
    expectSameDesign(s.formantBandPass[0], want);
    want.designBandPass(1468, 16.5, 4.2, kRate);
    expectSameDesign(s.formantBandPass[1], want);
    want.designBandPass(2385, 16.5, 2.52, kRate);
    expectSameDesign(s.formantBandPass[2], want);
    want.designHighShelf(2000, 1.0, 20.0 * static_cast<double>(0.8f), 1.0, kRate);
    expectSameDesign(s.talkBoxPreFilter, want);

    rig.wah.wah_f1 = 1300; // x = 0.25
    rig.unit->updateCoefficients();
    s = rig.unit->state();
    EXPECT_EQ(s.formantHz[0], 473);
    EXPECT_EQ(s.formantHz[1], 1076);
    EXPECT_EQ(s.formantHz[2], 2269);
    rig.wah.wah_f1 = 300; // x = 0
    rig.unit->updateCoefficients();
    s = rig.unit->state();
    EXPECT_EQ(s.formantHz[0], 168);
    EXPECT_EQ(s.formantHz[1], 839);
    EXPECT_EQ(s.formantHz[2], 2080);
    // Between the points a smooth curve, not a straight line: the first
    // formant's plateau at 690 bulges between 0.5 and 0.625.
    rig.wah.wah_f1 = 300 + static_cast<int>(0.5625 * 4000);
    rig.unit->updateCoefficients();
    EXPECT_GT(rig.unit->state().formantHz[0], 690);
}

TEST(WahTalkBoxTest, FormantsAreWeighted0_421875_0_5625_0_75)
{
    WahTalkBox box;
    box.design(1700, 3.0, 0.5, kRate);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    const int n = 300; // more than one piece of 128
    std::vector<double> x(n);
    for (double& v : x) v = u(rng);
    // The reference: each formant on its own, from the pre-filtered signal.
    IirFilter pre = box.preFilter();
    std::vector<double> shaped = x;
    pre.process(shaped.data(), n);
    std::vector<double> want(n, 0.0);
    const double weight[3] = {0.421875, 0.5625, 0.75};
    for (int k = 0; k < 3; ++k) {
        IirFilter bp = box.bandPass(k);
        std::vector<double> part = shaped;
        bp.process(part.data(), n);
        for (int i = 0; i < n; ++i) want[i] += weight[k] * part[i];
    }
    std::vector<double> y = x;
    box.process(y.data(), n);
    for (int i = 0; i < n; ++i) ASSERT_NEAR(y[i], want[i], 1e-12) << i;
}

TEST(WahTalkBoxTest, PedalBeyondTheTablesKeepsTheFormantsAudibleAndStable)
{
    Rig rig;
    rig.autoWah(kWahPedal, kWahTalkBox);
    for (double hz : {100.0, 4100.0, 20000.0, -50.0}) {
        rig.unit->setPedalFrequency(hz);
        const WahState s = rig.unit->state();
        for (int k = 0; k < 3; ++k) EXPECT_GE(s.formantHz[k], 20) << hz;
        std::vector<double> buf = sine(700.0, 0.3, 4800);
        for (int i = 0; i < 4800; i += kBlock) rig.block(buf.data() + i, std::min(kBlock, 4800 - i));
        for (double v : buf) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 100.0) << hz;
    }
}

// ---------------------------------------------------------------- lifecycle and robustness

TEST(WahLifecycle, ChangingModeUnderPedalControlDesignsTheNewModeBeforeFiltering)
{
    for (int mode : {kWahSixties, kWahModern, kWahTalkBox, kWahLegacy}) {
        Rig rig;
        rig.autoWah(kWahMidi, mode == kWahLegacy ? kWahModern : kWahLegacy);
        rig.unit->setControllerPosition(0.5);
        rig.wah.wah_mode = mode; // the page changed the mode; no controller event since
        std::vector<double> buf = sine(990.0, 0.2, 4800);
        for (int i = 0; i < 4800; i += kBlock) rig.block(buf.data() + i, std::min(kBlock, 4800 - i));
        EXPECT_GT(rms(buf.data() + 2400, 2400), 0.02) << "mode " << mode;
        EXPECT_EQ(rig.unit->state().mode, mode);
    }
}

TEST(WahLifecycle, StartClearsTheHistoriesBlocksKeepThem)
{
    for (int mode : {kWahSixties, kWahModern, kWahLegacy, kWahTalkBox}) {
        Rig rig;
        rig.autoWah(kWahFixed, mode);
        std::vector<double> buf = sine(600.0, 0.5, kBlock);
        rig.block(buf.data(), kBlock);
        // Switched off and on (no call in between): the filter rings on.
        std::vector<double> zeros(kBlock, 0.0);
        rig.block(zeros.data(), kBlock);
        EXPECT_GT(rms(zeros.data(), kBlock), 1e-4) << mode;
        // A new run starts from rest.
        rig.unit->start(kRate);
        std::fill(zeros.begin(), zeros.end(), 0.0);
        rig.block(zeros.data(), kBlock);
        for (double v : zeros) ASSERT_EQ(v, 0.0) << mode;
    }
}

TEST(WahLifecycle, StrayParameterValuesGiveFiniteBoundedOutput)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    struct Case {
        int f1, f2;
        float period, range, sel;
    };
    const Case cases[] = {{0, 0, 0.0f, 0.8f, 5.0f},       {-500, 2200, -1.0f, 0.8f, 5.0f},
                          {450, 1000000, 1.0f, 7.0f, -3.0f}, {30000, 30000, 1e9f, -1.0f, 1e9f},
                          {450, 2200, 0.3f, 1.0f, 10.0f},   {300, 4000, 5.0f, 0.0f, 0.0f}};
    for (const Case& c : cases) {
        for (int mode : std::initializer_list<int>{kWahSixties, kWahModern, kWahLegacy, kWahTalkBox, 17}) {
            for (int source : {kWahFixed, kWahSweep, kWahPedal, kWahMidi}) {
                for (int rate : {22050, 48000}) {
                    Rig rig;
                    rig.wah.wah_f1 = c.f1;
                    rig.wah.wah_f2 = c.f2;
                    rig.wah.wah_period = c.period;
                    rig.wah.wah_range = c.range;
                    rig.wah.wah_sel = c.sel;
                    rig.autoWah(source, mode, rate);
                    rig.unit->setPedalFrequency(c.f1);
                    std::vector<double> buf(kBlock);
                    for (int b = 0; b < 40; ++b) {
                        for (double& v : buf) v = u(rng);
                        rig.block(buf.data(), kBlock);
                        for (double v : buf)
                            ASSERT_TRUE(std::isfinite(v) && std::fabs(v) < 1000.0)
                                << c.f1 << " " << c.f2 << " mode " << mode << " source " << source;
                    }
                }
            }
        }
    }
}

TEST(WahLifecycle, EveryModeAndSourceStaysSaneOnALongNoisyRun)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-0.5, 0.5);
    for (int mode : {kWahSixties, kWahModern, kWahLegacy, kWahTalkBox}) {
        for (bool envelope : {false, true}) {
            Rig rig;
            if (envelope) {
                rig.env.ewah_enabled = 1;
                rig.env.ewah_mode = mode;
                rig.env.ewah_q = 10.0f;
                rig.env.ewah_gain = 1.0f;
                rig.unit->start(kRate);
            } else {
                rig.wah.wah_sel = 10.0f;
                rig.wah.wah_range = 1.0f;
                rig.wah.wah_period = 0.3f;
                rig.wah.wah_f1 = 300;
                rig.wah.wah_f2 = 4000;
                rig.autoWah(kWahSweep, mode);
            }
            std::vector<double> buf(kBlock);
            double peak = 0.0;
            for (int b = 0; b < 375 * 2; ++b) {
                const double amp = (b / 40) % 2 ? 0.5 : 0.02; // notes and pauses move the envelope
                for (double& v : buf) v = amp * u(rng);
                rig.block(buf.data(), kBlock);
                for (double v : buf) peak = std::max(peak, std::fabs(v));
            }
            EXPECT_TRUE(std::isfinite(peak)) << mode;
            EXPECT_LT(peak, 60.0) << "mode " << mode << " envelope " << envelope;
            EXPECT_GT(peak, 0.01) << "mode " << mode << " envelope " << envelope;
        }
    }
}
