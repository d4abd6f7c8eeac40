// The pitch shifter: its derived values, the splice search (every routine
// against the plain one), the octave shifts measured on test tones, the
// mixing, the bookkeeping across odd block lengths, prepare from another
// thread while blocks run, and the stage end to end through korvex render.
// test-label: threads
#include "effects/modulation/PitchShifter.h"
#include "effects/modulation/SpliceSearch.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::effects;

namespace {

constexpr double kTwoPiExact = 6.283185307179586;

std::vector<double> tone(double freq, int fs, double seconds, double amp = 0.5)
{
    std::vector<double> v(static_cast<size_t>(fs * seconds));
    for (size_t i = 0; i < v.size(); ++i) v[i] = amp * std::sin(kTwoPiExact * freq * static_cast<double>(i) / fs);
    return v;
}

// A plucked, decaying note with a few harmonics, restruck every 0.4 s: closer
// to a guitar than a sine, so the search sees changing material.
std::vector<double> pluckedNotes(int fs, double seconds)
{
    std::vector<double> v(static_cast<size_t>(fs * seconds));
    const double notes[] = {110.0, 146.83, 196.0, 164.81};
    for (size_t i = 0; i < v.size(); ++i) {
        const double t = static_cast<double>(i) / fs;
        const int k = static_cast<int>(t / 0.4);
        const double local = t - 0.4 * k;
        const double f = notes[k % 4];
        double s = 0.0;
        for (int h = 1; h <= 5; ++h) s += std::sin(kTwoPiExact * f * h * local) / h;
        v[i] = 0.3 * std::exp(-3.0 * local) * s;
    }
    return v;
}

void runBlocks(PitchShifter& shifter, std::vector<double>& v, int block)
{
    for (size_t i = 0; i < v.size(); i += static_cast<size_t>(block))
        shifter.process(v.data() + i, static_cast<int>(std::min<size_t>(static_cast<size_t>(block), v.size() - i)));
}

// Frequency from the rising zero crossings between from and to (samples),
// each crossing placed by linear interpolation.
double measuredFrequency(const std::vector<double>& y, size_t from, size_t to, int fs)
{
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (y[i - 1] < 0.0 && y[i] >= 0.0) {
            const double at = static_cast<double>(i - 1) + (-y[i - 1]) / (y[i] - y[i - 1]);
            if (first < 0.0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) / ((last - first) / fs);
}

double rms(const std::vector<double>& y, size_t from, size_t to)
{
    double s = 0.0;
    for (size_t i = from; i < to; ++i) s += y[i] * y[i];
    return std::sqrt(s / static_cast<double>(to - from));
}

class PitchFixture : public ::testing::Test {
protected:
    std::unique_ptr<PitchShifter> make(int fs, float ratio, int type, float dry)
    {
        params.pitch_oct = ratio;
        params.pitch_type = type;
        params.pitch_dry = dry;
        auto s = std::make_unique<PitchShifter>(params, context);
        s->start(fs);
        return s;
    }

    dsp::BackgroundWorker worker;
    RecordingMessages messages;
    EffectContext context{worker, messages};
    PitchParams params;
};

// --------------------------------------------------------------- search

using splice::Result;

void expectSameWinner(const std::vector<double>& a, int shortest, int longest, int width, const char* what)
{
    ASSERT_GE(a.size(), static_cast<size_t>(longest + width));
    const Result plain = splice::bestSplicePlain(a.data(), shortest, longest, width);
    const Result scalar = splice::bestSpliceScalar(a.data(), shortest, longest, width);
    EXPECT_EQ(scalar.length, plain.length) << what << " " << shortest << ".." << longest << " w " << width;
    EXPECT_EQ(std::memcmp(&scalar.sum, &plain.sum, sizeof(double)), 0) << what;
    if (splice::avx2Usable()) {
        const Result avx = splice::bestSpliceAvx2(a.data(), shortest, longest, width);
        EXPECT_EQ(avx.length, plain.length) << what << " " << shortest << ".." << longest << " w " << width;
        EXPECT_EQ(std::memcmp(&avx.sum, &plain.sum, sizeof(double)), 0) << what;
    }
    if (splice::sse2Usable()) {
        const Result sse = splice::bestSpliceSse2(a.data(), shortest, longest, width);
        EXPECT_EQ(sse.length, plain.length) << what << " " << shortest << ".." << longest << " w " << width;
        EXPECT_EQ(std::memcmp(&sse.sum, &plain.sum, sizeof(double)), 0) << what;
    }
    const Result fast = splice::fastest()(a.data(), shortest, longest, width);
    EXPECT_EQ(fast.length, plain.length) << what;
}

TEST(SpliceSearch, PlainSearchFindsTheSignalsOwnPeriod)
{
    // A random pattern repeated every 300 samples: only lengths that are
    // multiples of the period match exactly, and 300 is the shortest.
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> pattern(300);
    for (double& v : pattern) v = u(gen);
    std::vector<double> a(2048);
    for (size_t i = 0; i < a.size(); ++i) a[i] = pattern[i % 300];
    const Result r = splice::bestSplicePlain(a.data(), 256, 512, 512);
    EXPECT_EQ(r.length, 300);
    EXPECT_EQ(r.sum, 0.0);
    // With the period below the shortest length its first multiple wins.
    const Result r2 = splice::bestSplicePlain(a.data(), 512, 1024, 1024);
    EXPECT_EQ(r2.length, 600);
}

TEST(SpliceSearch, TiesGoToTheShorterLength)
{
    std::vector<double> silence(4096, 0.0);
    const Result r = splice::bestSplicePlain(silence.data(), 512, 1024, 1024);
    EXPECT_EQ(r.length, 512);
    EXPECT_EQ(r.sum, 0.0);
    expectSameWinner(silence, 512, 1024, 1024, "silence");
}

TEST(SpliceSearch, EveryRoutinePicksThePlainWinnerOnRandomData)
{
    std::mt19937 gen(12345);
    std::normal_distribution<double> normal(0.0, 0.3);
    std::vector<double> a(4096);
    const PitchShifter::Segments all[] = {{200, 100}, {256, 128}, {512, 256}, {768, 384}, {1024, 512}};
    for (int trial = 0; trial < 12; ++trial) {
        for (double& v : a) v = normal(gen);
        for (const auto& s : all) expectSameWinner(a, s.shortest, s.longest, s.longest, "random");
    }
    // Odd ranges and widths exercise the partial groups at the end.
    std::uniform_int_distribution<int> pick(1, 300);
    for (int trial = 0; trial < 40; ++trial) {
        for (double& v : a) v = normal(gen);
        const int shortest = pick(gen);
        const int longest = shortest + pick(gen) - 1;
        const int width = pick(gen);
        expectSameWinner(a, shortest, longest, width, "odd range");
    }
}

// A search that adds each length's terms in another order (two interleaved
// partial sums, or backwards): what a vectorised sum across j would do.
Result reorderedSearch(const std::vector<double>& a, int shortest, int longest, int width, bool backwards)
{
    Result best{shortest, std::numeric_limits<double>::infinity()};
    for (int len = shortest; len <= longest; ++len) {
        double s0 = 0.0, s1 = 0.0;
        if (backwards) {
            for (int j = width - 1; j >= 0; --j) s0 += std::fabs(a[len + j] - a[j]);
        } else {
            int j = 0;
            for (; j + 1 < width; j += 2) {
                s0 += std::fabs(a[len + j] - a[j]);
                s1 += std::fabs(a[len + j + 1] - a[j + 1]);
            }
            for (; j < width; ++j) s0 += std::fabs(a[len + j] - a[j]);
        }
        const double sum = s0 + s1;
        if (sum < best.sum) best = {len, sum};
    }
    return best;
}

TEST(SpliceSearch, EveryRoutinePicksThePlainWinnerWhereTheOrderOfAdditionDecides)
{
    // A flat signal with a few spikes of very different sizes: for many
    // lengths the terms are the same spikes met in a different order, so the
    // sums are equal but for rounding, and the winner depends on the order
    // in which each sum is added up. Such cases are collected (a reordered
    // sum picks another length there) and every routine must still agree
    // with the plain search on all of them.
    std::mt19937 gen(2024);
    std::uniform_int_distribution<int> exponent(-60, 0);
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    int orderSensitive = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const int shortest = 100, longest = 200, width = 200;
        std::vector<double> a(static_cast<size_t>(longest + width), 0.25);
        std::uniform_int_distribution<int> where(0, longest + width - 1);
        for (int k = 0; k < 12; ++k)
            a[static_cast<size_t>(where(gen))] = 0.25 + std::ldexp(mantissa(gen), exponent(gen)) * ((k & 1) ? 1 : -1);
        const Result plain = splice::bestSplicePlain(a.data(), shortest, longest, width);
        if (reorderedSearch(a, shortest, longest, width, false).length != plain.length
            || reorderedSearch(a, shortest, longest, width, true).length != plain.length)
            ++orderSensitive;
        expectSameWinner(a, shortest, longest, width, "spikes");
        if (::testing::Test::HasFailure()) return;
    }
    // The data really are adversarial: the order of addition decided the
    // winner in a good number of them.
    EXPECT_GT(orderSensitive, 20);
}

TEST(SpliceSearch, EveryRoutinePicksThePlainWinnerOnAdversarialData)
{
    std::mt19937 gen(99);
    std::vector<double> a(4096);

    // Values whose sums depend on the order of addition: huge and tiny
    // magnitudes mixed, so any regrouping of the sum changes its rounding
    // and near-ties would flip.
    std::uniform_int_distribution<int> choose(0, 5);
    const double values[] = {1e16, -1e16, 1.0, -1.0, 3e-17, 0.1};
    for (int trial = 0; trial < 10; ++trial) {
        for (double& v : a) v = values[choose(gen)];
        expectSameWinner(a, 512, 1024, 1024, "mixed magnitudes");
        expectSameWinner(a, 100, 200, 200, "mixed magnitudes");
    }

    // Exact ties everywhere: a short integer period, so every multiple of it
    // has the same (zero) sum and many others tie exactly as well.
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<double>(static_cast<int>(i % 16) - 8);
    expectSameWinner(a, 100, 200, 200, "integer period");
    expectSameWinner(a, 512, 1024, 1024, "integer period");
    EXPECT_EQ(splice::bestSplicePlain(a.data(), 100, 200, 200).length, 112);

    // Near ties: a periodic pattern disturbed by one part in 1e15, so the
    // best sums differ only in their last bits.
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> pattern(128);
    for (double& v : pattern) v = u(gen);
    for (int trial = 0; trial < 10; ++trial) {
        for (size_t i = 0; i < a.size(); ++i) a[i] = pattern[i % 128] * (1.0 + 1e-15 * u(gen));
        expectSameWinner(a, 256, 512, 512, "near ties");
        expectSameWinner(a, 100, 200, 200, "near ties");
    }

    // Signed zeros, infinities and NaN.
    for (size_t i = 0; i < a.size(); ++i) a[i] = (i % 3 == 0) ? -0.0 : 0.0;
    expectSameWinner(a, 128, 256, 256, "signed zeros");
    for (double& v : a) v = u(gen);
    a[700] = std::numeric_limits<double>::infinity();
    a[901] = std::numeric_limits<double>::quiet_NaN();
    expectSameWinner(a, 128, 256, 256, "inf and nan");
    expectSameWinner(a, 512, 1024, 1024, "inf and nan");
}

// --------------------------------------------------------------- set-up

TEST_F(PitchFixture, SegmentSizesFollowTheTypeAndStayInTheTable)
{
    const int longest[] = {200, 256, 512, 768, 1024};
    for (int type = 0; type < 5; ++type) {
        auto s = make(48000, 2.0f, type, 0.5f);
        EXPECT_EQ(s->segments().longest, longest[type]);
        EXPECT_EQ(s->segments().shortest, longest[type] / 2);
    }
    // Out-of-range types from a damaged preset cannot index past the table.
    EXPECT_EQ(make(48000, 2.0f, -3, 0.5f)->segments().longest, 200);
    EXPECT_EQ(make(48000, 2.0f, 17, 0.5f)->segments().longest, 1024);
}

TEST_F(PitchFixture, InternalRateDivisorAndPassThroughFactor)
{
    EXPECT_EQ(make(22050, 2.0f, 1, 0.5f)->divisor(), 1);
    EXPECT_EQ(make(44100, 2.0f, 1, 0.5f)->divisor(), 2);
    EXPECT_EQ(make(48000, 2.0f, 1, 0.5f)->divisor(), 2);
    EXPECT_FLOAT_EQ(make(48000, 2.0f, 1, 0.5f)->passThroughFactor(), 1.0f);
    EXPECT_FLOAT_EQ(make(48000, 0.5f, 1, 0.5f)->passThroughFactor(), 1.0f);
    EXPECT_FLOAT_EQ(make(48000, 1.5f, 1, 0.5f)->passThroughFactor(), 2.0f);
    EXPECT_FLOAT_EQ(make(48000, 1.25f, 1, 0.5f)->passThroughFactor(), 4.0f);
    EXPECT_FLOAT_EQ(make(48000, 0.75f, 1, 0.5f)->passThroughFactor(), 3.0f);
}

TEST_F(PitchFixture, RatioIsHeldToAnOctaveAndAMissingRatioShiftsNothing)
{
    EXPECT_EQ(make(48000, 4.0f, 1, 0.5f)->ratio(), 2.0f);
    EXPECT_EQ(make(48000, 0.1f, 1, 0.5f)->ratio(), 0.5f);
    for (float bad : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        auto s = make(48000, bad, 1, 0.3f);
        EXPECT_EQ(s->ratio(), 1.0f) << bad;
        auto x = tone(220.0, 48000, 0.1);
        const auto before = x;
        runBlocks(*s, x, 128);
        EXPECT_EQ(x, before) << bad;
    }
}

// --------------------------------------------------------------- sound

TEST_F(PitchFixture, RatiosWithinHalfAPercentPassUntouchedWithoutMixing)
{
    for (float r : {1.004f, 0.996f, 0.995f, 1.005f, 1.0f}) {
        auto s = make(48000, r, 1, 0.3f);
        auto x = tone(220.0, 48000, 0.2);
        const auto before = x;
        runBlocks(*s, x, 128);
        EXPECT_EQ(x, before) << r;
    }
    // Just outside the band the stage works and mixes.
    auto s = make(48000, 1.006f, 1, 0.3f);
    auto x = tone(220.0, 48000, 0.2);
    const auto before = x;
    runBlocks(*s, x, 128);
    EXPECT_NE(x, before);
}

TEST_F(PitchFixture, TwelveSemitonesUpAndDownShiftATestToneByAnOctave)
{
    for (int fs : {22050, 44100, 48000}) {
        for (int type : {0, 1, 4}) {
            for (float r : {2.0f, 0.5f}) {
                auto s = make(fs, r, type, 0.0f);
                auto y = tone(196.0, fs, 2.0);
                const double inRms = rms(y, 0, y.size());
                runBlocks(*s, y, 128);
                const size_t from = static_cast<size_t>(fs * 0.3);
                const double f = measuredFrequency(y, from, y.size(), fs);
                EXPECT_NEAR(f, 196.0 * r, 196.0 * r * 0.005) << fs << " Hz, type " << type << ", r " << r;
                // A steady voice: no level lost, no gaps.
                EXPECT_NEAR(rms(y, from, y.size()), inRms, 0.15 * inRms) << fs << " " << type << " " << r;
                const auto st = s->stats();
                EXPECT_GT(st.splices, 0);
                EXPECT_EQ(st.restarts, 0);
            }
        }
    }
}

TEST_F(PitchFixture, ShiftingKeepsTheDurationOfANote)
{
    // 0.6 s of tone, then silence: the shifted note lasts as long, only
    // delayed by the shifter's latency.
    for (float r : {2.0f, 0.5f}) {
        const int fs = 48000;
        auto s = make(fs, r, 2, 0.0f);
        auto y = tone(220.0, fs, 1.5, 0.5);
        std::fill(y.begin() + static_cast<long>(fs * 0.6), y.end(), 0.0);
        runBlocks(*s, y, 128);
        // Onset and end of the shifted note: 5 ms windows above a quarter of
        // the steady level.
        const size_t win = fs / 200;
        const double steady = rms(y, static_cast<size_t>(fs * 0.3), static_cast<size_t>(fs * 0.5));
        ASSERT_GT(steady, 0.2);
        double onset = -1.0, end = -1.0;
        for (size_t w = 0; w + win <= y.size(); w += win) {
            const bool loud = rms(y, w, w + win) > 0.25 * steady;
            const double t = static_cast<double>(w) / fs;
            if (loud && onset < 0.0) onset = t;
            if (loud) end = t + static_cast<double>(win) / fs;
        }
        ASSERT_GE(onset, 0.0);
        EXPECT_LT(onset, 0.1) << r; // latency of at most a few segments
        EXPECT_NEAR(end - onset, 0.6, 0.03) << r;
        // No gap inside the note.
        for (size_t w = static_cast<size_t>((onset + 0.02) * fs); w + win <= static_cast<size_t>((end - 0.02) * fs); w += win)
            ASSERT_GT(rms(y, w, w + win), 0.5 * steady) << "gap at " << static_cast<double>(w) / fs << " s, r " << r;
    }
}

TEST_F(PitchFixture, DryAndWetMixAsOneMinusTheOther)
{
    const auto x = pluckedNotes(48000, 0.5);
    auto wetOnly = x;
    auto a = make(48000, 2.0f, 1, 0.0f);
    runBlocks(*a, wetOnly, 128);
    auto mixed = x;
    auto b = make(48000, 2.0f, 1, 0.25f);
    runBlocks(*b, mixed, 128);
    for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(mixed[i], 0.75 * wetOnly[i] + 0.25 * x[i], 1e-12) << i;
    auto dryOnly = x;
    auto s = make(48000, 2.0f, 1, 1.0f);
    runBlocks(*s, dryOnly, 128);
    EXPECT_EQ(dryOnly, x);
}

TEST_F(PitchFixture, CrossFadesWorkInSinglePrecision)
{
    // A constant stays constant through splices, but the cross-faded
    // samples carry single-precision rounding while the passed-through ones
    // are exact.
    for (float r : {2.0f, 0.5f, 1.5f}) {
        auto s = make(48000, r, 1, 0.0f);
        std::vector<double> y(48000, 0.3);
        runBlocks(*s, y, 128);
        int rounded = 0;
        for (size_t i = 12000; i < y.size(); ++i) {
            ASSERT_NEAR(y[i], 0.3, 1e-7) << i;
            if (std::fabs(y[i] - 0.3) > 1e-12) ++rounded;
        }
        EXPECT_GT(rounded, 100) << r;
    }
}

TEST_F(PitchFixture, PrepareRestartsTheShiftedVoiceFromSilence)
{
    auto s = make(48000, 2.0f, 2, 0.0f);
    auto y = tone(220.0, 48000, 0.5);
    runBlocks(*s, y, 128);
    params.pitch_oct = 0.5f;
    s->prepare();
    EXPECT_EQ(s->ratio(), 0.5f);
    // The next block takes the prepare over: counts start again and the
    // shifted voice comes out of silence.
    auto next = tone(220.0, 48000, 128.0 / 48000);
    s->process(next.data(), 128);
    for (double v : next) EXPECT_EQ(v, 0.0);
    EXPECT_LE(s->stats().splices, 1);
}

TEST_F(PitchFixture, BookkeepingStaysInStepAcrossRatesTypesAndRatios)
{
    // The stretched signal is made as fast as it is read: no splice on a
    // short analysis buffer, no wait on a pass-through, no restart.
    for (int fs : {22050, 48000}) {
        for (int type = 0; type < 5; ++type) {
            for (float r : {0.5f, 0.8f, 0.994f, 1.006f, 1.25f, 2.0f}) {
                auto s = make(fs, r, type, 0.0f);
                auto y = pluckedNotes(fs, 1.6);
                runBlocks(*s, y, 128);
                const auto st = s->stats();
                EXPECT_GT(st.splices, 0);
                EXPECT_EQ(st.shortSearches, 0) << fs << " " << type << " " << r;
                EXPECT_EQ(st.passThroughWaits, 0) << fs << " " << type << " " << r;
                EXPECT_EQ(st.restarts, 0) << fs << " " << type << " " << r;
                for (double v : y) ASSERT_TRUE(std::isfinite(v));
            }
        }
    }
}

TEST_F(PitchFixture, OddBlockLengthsAtHalfRateLoseNoInput)
{
    // A plug-in host with 441-frame buffers hands the chain 128, 128, 128
    // and 57 frames. Over 20 seconds a lost half sample per odd block would
    // add up to thousands of samples and starve the shifter.
    auto s = make(44100, 2.0f, 1, 0.0f);
    auto y = tone(220.0, 44100, 20.0, 0.4);
    for (size_t i = 0; i < y.size(); i += 441) {
        const int host = static_cast<int>(std::min<size_t>(441, y.size() - i));
        for (int done = 0; done < host; done += 128) s->process(y.data() + i + done, std::min(128, host - done));
    }
    const auto st = s->stats();
    EXPECT_EQ(st.shortSearches, 0);
    EXPECT_EQ(st.restarts, 0);
    EXPECT_NEAR(measuredFrequency(y, y.size() - 44100, y.size(), 44100), 440.0, 2.0);

    // Single-frame blocks as well.
    auto one = make(48000, 0.5f, 0, 0.0f);
    auto z = tone(300.0, 48000, 1.0, 0.4);
    runBlocks(*one, z, 1);
    EXPECT_EQ(one->stats().restarts, 0);
    EXPECT_NEAR(measuredFrequency(z, 24000, z.size(), 48000), 150.0, 1.0);
}

TEST_F(PitchFixture, LongBlocksAreCutIntoPiecesOf128)
{
    auto a = make(48000, 1.5f, 1, 0.2f);
    auto b = make(48000, 1.5f, 1, 0.2f);
    auto x = pluckedNotes(48000, 0.3);
    auto y = x;
    for (size_t i = 0; i + 300 <= x.size(); i += 300) {
        a->process(x.data() + i, 300);
        b->process(y.data() + i, 128);
        b->process(y.data() + i + 128, 128);
        b->process(y.data() + i + 256, 44);
    }
    EXPECT_EQ(x, y);
}

TEST_F(PitchFixture, ThePortableSearchGivesTheSameSound)
{
    auto fast = make(48000, 2.0f, 4, 0.0f);
    auto portable = make(48000, 2.0f, 4, 0.0f);
    portable->setSearch(&splice::bestSpliceScalar);
    auto x = pluckedNotes(48000, 1.0);
    auto y = x;
    runBlocks(*fast, x, 128);
    runBlocks(*portable, y, 128);
    EXPECT_EQ(x, y);
}

TEST_F(PitchFixture, PrepareFromAnotherThreadWhileBlocksRun)
{
    auto s = make(48000, 2.0f, 1, 0.0f);
    std::atomic<bool> done{false};
    std::atomic<int> prepares{0};
    std::thread ui([&] {
        // The page moves the semitone and type sliders while audio runs.
        int i = 0;
        while (!done.load()) {
            params.pitch_oct = (i % 2) ? 0.5f : 1.5f;
            params.pitch_type = i % 5;
            s->prepare();
            ++prepares;
            ++i;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    auto y = pluckedNotes(48000, 1.5);
    runBlocks(*s, y, 128);
    // Let the window thread finish at least a few prepares.
    while (prepares.load() < 5) std::this_thread::yield();
    done = true;
    ui.join();
    for (double v : y) {
        ASSERT_TRUE(std::isfinite(v));
        ASSERT_LT(std::fabs(v), 2.0);
    }
    EXPECT_EQ(s->ratio(), params.pitch_oct.get());
}

// --------------------------------------------------------------- end to end

TEST(PitchRender, KorvexRenderShiftsAnOctaveUp)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(48000 * 2);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<int16_t>(12000.0 * std::sin(kTwoPiExact * 180.0 * static_cast<double>(i) / 48000));
    testfiles::writeWav(dir.file("in.wav"), in, 48000);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    for (const char* s : {"stereo=0", "pitch_enabled=1", "pitch_oct=2", "pitch_dry=0", "pitch_type=2"})
        ASSERT_TRUE(job.applySetting(s, error)) << error;
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), in.size());
    std::vector<double> y(out.begin(), out.begin() + static_cast<long>(in.size()));
    EXPECT_NEAR(measuredFrequency(y, 48000 / 2, y.size(), 48000), 360.0, 1.5);
    EXPECT_EQ(messages.count(), 0u);
}

} // namespace
