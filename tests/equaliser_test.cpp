// test-label: threads
// The equaliser unit and its curve-to-FIR design: the three section types at
// their corners and centres, the five-band and graphic curves measured from
// the designed taps (flat, boosts, the low end, the +-20 dB limit, minimum
// phase), damaged point lists, the convolver keeping its taps while a design
// is on the worker, and designs arriving while the audio thread plays.
#include "effects/tone/Equaliser.h"

#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "effects/tone/CurveFirDesign.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::effects;
using dsp::BackgroundWorker;

namespace {

constexpr double kTestPi = 3.14159265358979323846;

struct Rig {
    BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    EqualiserSettings settings;
    std::unique_ptr<Equaliser> eq = std::make_unique<Equaliser>(settings, context, 3, 4);
};

// Steady-state gain of the unit for a sine, in dB.
double measuredGainDb(Equaliser& eq, double hz, int fs)
{
    const int n = fs / 2;
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = 0.1 * std::sin(2.0 * kTestPi * hz * i / fs);
    const auto in = v;
    for (int at = 0; at < n; at += 128) eq.process(v.data() + at, std::min(128, n - at));
    double sIn = 0.0, sOut = 0.0;
    for (int i = n / 2; i < n; ++i) {
        sIn += in[static_cast<size_t>(i)] * in[static_cast<size_t>(i)];
        sOut += v[static_cast<size_t>(i)] * v[static_cast<size_t>(i)];
    }
    return 10.0 * std::log10(sOut / sIn);
}

double firGainDb(const std::vector<double>& taps, double hz, int fs)
{
    std::complex<double> h = 0.0;
    for (size_t k = 0; k < taps.size(); ++k) h += taps[k] * std::polar(1.0, -2.0 * kTestPi * hz * k / fs);
    return 20.0 * std::log10(std::abs(h));
}

std::vector<double> design(CurveFirDesigner& d, const std::vector<double>& hz, const std::vector<double>& db, int fs)
{
    std::vector<double> taps(CurveFirDesigner::kTaps);
    const int n = d.design(hz.data(), db.data(), static_cast<int>(hz.size()), fs, taps.data());
    taps.resize(static_cast<size_t>(n));
    return taps;
}

// The taps a convolver holds, read back through an impulse.
std::vector<double> impulseResponse(Equaliser& eq, int length)
{
    std::vector<double> v(static_cast<size_t>(length), 0.0);
    v[0] = 1.0;
    for (int at = 0; at < length; at += 128) eq.process(v.data() + at, std::min(128, length - at));
    return v;
}

} // namespace

// ---------------------------------------------------------------- sections

TEST(EqualiserSections, HiFiBassAndTrebleReachAboutTwentyDecibels)
{
    Rig rig;
    rig.settings.eqtype = kEqHiFi;
    rig.settings.bass = 1.0f;
    rig.settings.treble = 0.0f;
    rig.eq->start(48000);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 100.0, 48000), 20.0, 1.5);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 8000.0, 48000), -20.0, 1.5);
    // The middle is untouched by them.
    EXPECT_NEAR(measuredGainDb(*rig.eq, 1000.0, 48000), 0.0, 3.0);
}

TEST(EqualiserSections, CentreValuesAreFlatForEverySectionType)
{
    for (int type : {kEqHiFi, kEqAmpUk, kEqAmpUs}) {
        Rig rig;
        rig.settings.eqtype = type;
        rig.eq->start(44100);
        std::vector<double> v(4096);
        for (size_t i = 0; i < v.size(); ++i) v[i] = std::sin(0.01 * static_cast<double>(i * i % 7919));
        const auto in = v;
        for (size_t at = 0; at < v.size(); at += 128) rig.eq->process(v.data() + at, 128);
        for (size_t i = 0; i < v.size(); ++i) ASSERT_NEAR(v[i], in[i], 1e-9) << type;
    }
}

TEST(EqualiserSections, AmpTypesPeakAtTheirOwnFrequencies)
{
    struct Case {
        int type;
        double bassHz, midHz, trebleHz;
    };
    for (const Case c : {Case{kEqAmpUk, 100, 700, 6000}, Case{kEqAmpUs, 60, 300, 6000}}) {
        for (int which = 0; which < 3; ++which) {
            Rig rig;
            rig.settings.eqtype = c.type;
            (which == 0 ? rig.settings.bass : which == 1 ? rig.settings.mid : rig.settings.treble) = 1.0f;
            rig.eq->start(48000);
            const double hz = which == 0 ? c.bassHz : which == 1 ? c.midHz : c.trebleHz;
            // A peaking section has exactly its gain at its centre.
            EXPECT_NEAR(measuredGainDb(*rig.eq, hz, 48000), 20.0, 0.2) << c.type << " " << which;
            EXPECT_LT(measuredGainDb(*rig.eq, hz * 4.0, 48000), 12.0) << c.type << " " << which;
        }
    }
}

TEST(EqualiserSections, DesignFollowsTheRunsRate)
{
    Rig rig;
    rig.settings.eqtype = kEqAmpUk;
    rig.settings.treble = 0.0f;
    rig.eq->start(22050);
    EXPECT_EQ(rig.eq->sampleRate(), 22050);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 6000.0, 22050), -20.0, 0.2);
}

TEST(EqualiserSections, ChangesReachTheAudioSideAtTheNextBlock)
{
    Rig rig;
    rig.eq->start(48000);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 100.0, 48000), 0.0, 0.05);
    rig.settings.bass = 0.0f;
    rig.eq->design();
    EXPECT_NEAR(measuredGainDb(*rig.eq, 100.0, 48000), -20.0, 1.5);
    rig.settings.eqtype = kEqAmpUs;
    rig.settings.bass = 0.75f;
    rig.eq->design();
    EXPECT_NEAR(measuredGainDb(*rig.eq, 60.0, 48000), 10.0, 0.2);
}

TEST(EqualiserSections, DamagedToneValuesStayWithinTheSliderRange)
{
    Rig rig;
    rig.settings.eqtype = kEqAmpUk;
    rig.settings.mid = 37.0f;
    rig.settings.bass = std::numeric_limits<float>::quiet_NaN();
    rig.eq->start(48000);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 700.0, 48000), 20.0, 0.3);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 40.0, 48000), 0.0, 1.0);
}

TEST(EqualiserSections, UnknownTypePassesTheSignal)
{
    Rig rig;
    rig.settings.eqtype = 9;
    rig.eq->start(48000);
    std::vector<double> v(256, 0.25);
    rig.eq->process(v.data(), 256);
    for (double x : v) EXPECT_EQ(x, 0.25);
}

// ---------------------------------------------------------------- curve design

TEST(CurveFirDesign, ZeroDecibelFiveBandCurveIsFlatWithinTheWindowing)
{
    CurveFirDesigner d;
    for (int fs : {22050, 44100, 48000}) {
        const auto taps = design(d, {100, 600, 1000, 3300, 10000}, {0, 0, 0, 0, 0}, fs);
        ASSERT_EQ(taps.size(), 1024u);
        for (double hz = 20.0; hz < fs * 0.45; hz *= 1.17) EXPECT_NEAR(firGainDb(taps, hz, fs), 0.0, 0.05) << hz;
    }
}

TEST(CurveFirDesign, FiveBandBoostLandsOnItsBand)
{
    CurveFirDesigner d;
    const auto taps = design(d, {100, 600, 1000, 3300, 10000}, {0, 0, 20, 0, 0}, 48000);
    EXPECT_NEAR(firGainDb(taps, 1000.0, 48000), 20.0, 1.0);
    EXPECT_NEAR(firGainDb(taps, 100.0, 48000), 0.0, 1.0);
    EXPECT_NEAR(firGainDb(taps, 10000.0, 48000), 0.0, 1.0);
    EXPECT_GT(firGainDb(taps, 800.0, 48000), 5.0);
}

TEST(CurveFirDesign, ResultIsMinimumPhase)
{
    CurveFirDesigner d;
    const auto taps = design(d, {100, 600, 1000, 3300, 10000}, {12, -6, 15, -10, 8}, 44100);
    // The energy sits at the start, not around the middle as a linear-phase
    // filter's would.
    double total = 0.0, early = 0.0;
    size_t peak = 0;
    for (size_t k = 0; k < taps.size(); ++k) {
        total += taps[k] * taps[k];
        if (k < 256) early += taps[k] * taps[k];
        if (std::fabs(taps[k]) > std::fabs(taps[peak])) peak = k;
    }
    EXPECT_LT(peak, 40u);
    EXPECT_GT(early / total, 0.99);
}

TEST(CurveFirDesign, FewerThanTwoPointsGiveASingleUnitTap)
{
    CurveFirDesigner d;
    const auto none = design(d, {}, {}, 48000);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_EQ(none[0], 1.0);
    const auto one = design(d, {1000}, {12}, 48000);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], 1.0);
    // Two points where one is unusable count as one.
    const auto bad = design(d, {1000, -5}, {12, 3}, 48000);
    EXPECT_EQ(bad.size(), 1u);
}

TEST(CurveFirDesign, BoostAtTheLowestPointStopsAtSevenTenthsOfIt)
{
    CurveFirDesigner d;
    const int fs = 48000;
    const auto taps = design(d, {1000, 20000}, {12, 12}, fs);
    EXPECT_NEAR(firGainDb(taps, 2000.0, fs), 12.0, 1.0);
    EXPECT_NEAR(firGainDb(taps, 300.0, fs), 0.0, 1.0);
    EXPECT_NEAR(firGainDb(taps, 100.0, fs), 0.0, 1.0);
    for (int bin = 0; bin < 2048; ++bin) {
        const double hz = bin * fs / 4096.0;
        if (hz < 700.0) {
            EXPECT_NEAR(d.requestedDb(bin), 0.0, 0.1) << hz;
        }
        if (hz >= 700.0 && hz < 19000.0) {
            EXPECT_NEAR(d.requestedDb(bin), 12.0, 1.5) << hz;
        }
    }
    // A cut at the lowest point is held down to the lowest frequencies.
    const auto cut = design(d, {1000, 20000}, {-12, -12}, fs);
    EXPECT_NEAR(firGainDb(cut, 100.0, fs), -12.0, 1.0);
    EXPECT_NEAR(firGainDb(cut, 3000.0, fs), -12.0, 1.0);
}

TEST(CurveFirDesign, GainsBeyondTwentyDecibelsAreLimited)
{
    CurveFirDesigner d;
    const auto up = design(d, {100, 20000}, {40, 40}, 48000);
    const auto down = design(d, {100, 20000}, {-40, -40}, 48000);
    for (double hz : {500.0, 1000.0, 5000.0}) {
        EXPECT_NEAR(firGainDb(up, hz, 48000), 20.0, 0.5) << hz;
        EXPECT_NEAR(firGainDb(down, hz, 48000), -20.0, 0.5) << hz;
    }
}

TEST(CurveFirDesign, PointOrderAndUnusablePointsDoNotMatter)
{
    CurveFirDesigner d;
    const auto sorted = design(d, {80, 400, 2500, 9000}, {6, -3, 9, -12}, 44100);
    const auto shuffled = design(d, {2500, 80, 9000, 400}, {9, 6, -12, -3}, 44100);
    EXPECT_EQ(sorted, shuffled);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto withJunk = design(d, {2500, 0, 80, nan, 9000, -40, 400, 30000, 700},
                                 {9, 5, 6, 5, -12, 5, -3, 5, nan}, 44100);
    EXPECT_EQ(sorted, withJunk);
    // Of two points at one frequency the first one counts.
    const auto duplicate = design(d, {80, 400, 400, 2500, 9000}, {6, -3, 15, 9, -12}, 44100);
    EXPECT_EQ(sorted, duplicate);
    for (double t : sorted) ASSERT_TRUE(std::isfinite(t));
}

// ---------------------------------------------------------------- FIR types

TEST(EqualiserFir, StartDesignsBothCurvesBeforeTheFirstBlock)
{
    Rig rig;
    EXPECT_EQ(rig.eq->fiveBandFir().taps(), 0);
    rig.settings.eqtype = kEqFiveBand;
    rig.settings.bands[2] = 1.0f;
    rig.eq->start(48000);
    EXPECT_EQ(rig.eq->fiveBandFir().taps(), 1024);
    EXPECT_EQ(rig.eq->graphicFir().taps(), 1024);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 1000.0, 48000), 20.0, 1.0);
}

TEST(EqualiserFir, GraphicWithOnePointPassesTheSignal)
{
    for (int count : {0, 1, -4}) {
        Rig rig;
        rig.settings.eqtype = kEqGraphic;
        rig.settings.pointCount = count;
        rig.settings.pointX[0] = 1000.0f;
        rig.settings.pointY[0] = 15.0f;
        rig.eq->start(48000);
        EXPECT_EQ(rig.eq->graphicFir().taps(), 1) << count;
        std::vector<double> v(128);
        for (size_t i = 0; i < v.size(); ++i) v[i] = 0.3 * std::sin(0.05 * static_cast<double>(i)) + 0.1;
        const auto in = v;
        rig.eq->process(v.data(), 128);
        for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], static_cast<double>(static_cast<float>(in[i])));
    }
}

TEST(EqualiserFir, GraphicUsesItsPointsUpToTheHundredth)
{
    Rig rig;
    rig.settings.eqtype = kEqGraphic;
    rig.settings.pointCount = 1000; // damaged: only the hundred points that exist are read
    for (int k = 0; k < EqualiserSettings::kMaxPoints; ++k) {
        rig.settings.pointX[k] = 50.0f + 150.0f * static_cast<float>(k);
        rig.settings.pointY[k] = -9.0f;
    }
    rig.eq->start(48000);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 3000.0, 48000), -9.0, 0.5);
}

TEST(EqualiserFir, ConvolverKeepsItsTapsUntilTheNewDesignIsLoaded)
{
    Rig rig;
    rig.settings.eqtype = kEqFiveBand;
    rig.eq->start(48000);
    const auto before = impulseResponse(*rig.eq, 1024);
    // Hold the worker on a job of the five-band number: the redesign waits behind it.
    std::mutex m;
    std::condition_variable cv;
    bool started = false, release = false;
    rig.worker.submit(rig.eq->fiveBandJob(), [&] {
        std::unique_lock l(m);
        started = true;
        cv.notify_all();
        cv.wait(l, [&] { return release; });
    });
    {
        std::unique_lock l(m);
        cv.wait(l, [&] { return started; });
    }
    rig.settings.bands[0] = 0.0f;
    auto submitted = std::async(std::launch::async, [&] { rig.eq->designFiveBand(); });
    const bool returned = submitted.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the design must queue behind a job of its own number";
    EXPECT_TRUE(rig.worker.busyWith(rig.eq->fiveBandJob()));
    // Meanwhile the old taps keep playing.
    rig.eq->fiveBandFir().clearHistory();
    EXPECT_EQ(impulseResponse(*rig.eq, 1024), before);
    {
        std::lock_guard l(m);
        release = true;
    }
    cv.notify_all();
    submitted.wait();
    rig.worker.waitIdle();
    rig.eq->fiveBandFir().clearHistory();
    const auto after = impulseResponse(*rig.eq, 1024);
    EXPECT_NE(after, before);
    EXPECT_NEAR(firGainDb(after, 100.0, 48000), -20.0, 1.0);
}

TEST(EqualiserFir, DesignAfterATypeChangeUsesTheNewTypesJob)
{
    Rig rig;
    rig.eq->start(48000);
    const auto jobs = rig.worker.completedCount();
    rig.settings.eqtype = kEqGraphic;
    rig.settings.pointCount = 3;
    rig.settings.pointX[0] = 200.0f;
    rig.settings.pointY[0] = 0.0f;
    rig.settings.pointX[1] = 2000.0f;
    rig.settings.pointY[1] = -10.0f;
    rig.settings.pointX[2] = 15000.0f;
    rig.settings.pointY[2] = 0.0f;
    rig.eq->design(Equaliser::Wait::UntilFinished);
    EXPECT_EQ(rig.worker.completedCount(), jobs + 1);
    EXPECT_NEAR(measuredGainDb(*rig.eq, 2000.0, 48000), -10.0, 1.0);
    // A section type designs at once, without a job.
    rig.settings.eqtype = kEqHiFi;
    rig.eq->design();
    rig.worker.waitIdle();
    EXPECT_EQ(rig.worker.completedCount(), jobs + 1);
}

TEST(EqualiserFir, DesignsArrivingWhilePlayingKeepTheOutputFinite)
{
    Rig rig;
    rig.settings.eqtype = kEqFiveBand;
    rig.eq->start(48000);
    std::atomic<bool> done{false};
    std::thread window([&] {
        for (int k = 0; k < 40; ++k) {
            rig.settings.eqtype = k % 5;
            rig.settings.bands[k % 5] = static_cast<float>(k % 11) / 10.0f;
            rig.settings.bass = static_cast<float>(k % 7) / 6.0f;
            rig.settings.pointY[0] = static_cast<float>(k % 9) - 4.0f;
            rig.eq->design();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        done = true;
    });
    std::vector<double> block(128);
    long blocks = 0;
    bool finite = true;
    double phase = 0.0;
    while (!done || blocks < 100) {
        for (double& x : block) {
            x = 0.5 * std::sin(phase);
            phase += 0.07;
        }
        rig.eq->process(block.data(), 128);
        for (double x : block) finite = finite && std::isfinite(x) && std::fabs(x) < 20.0;
        ++blocks;
    }
    window.join();
    rig.worker.waitIdle();
    EXPECT_TRUE(finite);
}
