// The reverb: delays and gains from the tables and the room size, the dry and
// wet mix from the output block's own samples, mono and stereo networks, the
// first reflections, pre-delay, prepare (tail kept) against clear (tail gone),
// values from presets outside the page's ranges, prepare and clear from
// another thread while blocks run, and the reverb through `korvex render`.
// test-label: threads
#include "effects/modulation/Reverb.h"

#include "TestFiles.h"
#include "dsp/BackgroundWorker.h"
#include "dsp/RecordingMessages.h"
#include "dsp/UserMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using namespace stravik;
using stravik::effects::Reverb;
using stravik::effects::ReverbParams;

namespace {

constexpr int kRate = 48000;
constexpr double kPi = 3.141592653589793;

struct Rig {
    SilentMessages messages;
    dsp::BackgroundWorker worker;
    effects::EffectContext context{worker, messages};
    ReverbParams params;
    std::unique_ptr<Reverb> reverb;

    explicit Rig(bool plainNetwork = true)
    {
        if (plainNetwork) {
            // Nothing between the input and the network, no reflections: the
            // network's own response is visible sample by sample.
            params.rev_hfabs = 0;
            params.rev_lfabs = 0;
            params.rev_fron = 0;
        }
        reverb = std::make_unique<Reverb>(params, context);
    }
    void start(int rate = kRate) { reverb->start(rate); }

    // Mono: out and source are the same buffer, as in the chain.
    std::vector<double> runMono(const std::vector<double>& in, int block = 128)
    {
        std::vector<double> out = in;
        for (size_t at = 0; at < out.size(); at += static_cast<size_t>(block)) {
            const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(block), out.size() - at));
            reverb->process(out.data() + at, out.data() + at, n, false);
        }
        return out;
    }
    // Stereo: the output starts as given (interleaved), the source is mono.
    std::vector<double> runStereo(const std::vector<double>& mono, std::vector<double> out, int block = 128)
    {
        for (size_t at = 0; at < mono.size(); at += static_cast<size_t>(block)) {
            const int n = static_cast<int>(std::min<size_t>(static_cast<size_t>(block), mono.size() - at));
            reverb->process(out.data() + 2 * at, mono.data() + at, n, true);
        }
        return out;
    }
};

std::vector<double> widened(const std::vector<double>& mono, double rightScale = 1.0)
{
    std::vector<double> s(2 * mono.size());
    for (size_t i = 0; i < mono.size(); ++i) {
        s[2 * i] = mono[i];
        s[2 * i + 1] = rightScale * mono[i];
    }
    return s;
}

std::vector<double> noise(size_t n, double level, unsigned seed = 7)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> d(-level, level);
    std::vector<double> v(n);
    for (auto& x : v) x = d(gen);
    return v;
}

std::vector<double> impulse(size_t n, double height = 1.0)
{
    std::vector<double> v(n, 0.0);
    v[0] = height;
    return v;
}

double rms(const std::vector<double>& v, size_t from, size_t to, size_t stride = 1, size_t offset = 0)
{
    double sum = 0.0;
    size_t count = 0;
    for (size_t i = from; i < to; ++i) {
        const double x = v[i * stride + offset];
        sum += x * x;
        ++count;
    }
    return std::sqrt(sum / static_cast<double>(count));
}

int firstNonZero(const std::vector<double>& v, size_t from = 0, size_t stride = 1, size_t offset = 0)
{
    for (size_t i = from; i * stride + offset < v.size(); ++i)
        if (v[i * stride + offset] != 0.0) return static_cast<int>(i);
    return -1;
}

} // namespace

TEST(Reverb, DelaysFollowTheLeftAndRightTablesAtEachRate)
{
    Rig rig;
    for (int rate : {22050, 44100, 48000}) {
        rig.start(rate);
        for (int v = 0; v < Reverb::kCombs; ++v) {
            EXPECT_EQ(rig.reverb->combDelay(0, v), static_cast<int>(Reverb::kCombMs[v] / 1000.0 * rate)) << v;
            EXPECT_EQ(rig.reverb->combDelay(1, v),
                      static_cast<int>((Reverb::kCombMs[v] + 0.522) / 1000.0 * rate)) << v;
            EXPECT_GT(rig.reverb->combDelay(1, v), rig.reverb->combDelay(0, v));
        }
        for (int v = 0; v < Reverb::kAllPasses; ++v) {
            EXPECT_EQ(rig.reverb->allPassDelay(0, v), static_cast<int>(Reverb::kAllPassMs[v] / 1000.0 * rate));
            EXPECT_EQ(rig.reverb->allPassDelay(1, v),
                      static_cast<int>((Reverb::kAllPassMs[v] + 0.522) / 1000.0 * rate));
        }
    }
    // Figures worked by hand at 48000 Hz: 25.3 ms, 36.66 + 0.522 ms, 12.6 ms,
    // the 35 ms pre-delay and the 25 ms / 55 ms reflection taps.
    rig.start(48000);
    EXPECT_EQ(rig.reverb->combDelay(0, 0), 1214);
    EXPECT_EQ(rig.reverb->combDelay(1, 7), 1784);
    EXPECT_EQ(rig.reverb->allPassDelay(0, 0), 604);
    EXPECT_EQ(rig.reverb->preDelay(), 1680);
    EXPECT_EQ(rig.reverb->firstReflectionTap(), 1200);
    EXPECT_EQ(rig.reverb->secondReflectionTap(), 2640);
}

TEST(Reverb, RoomOneGivesDecayTimesOfThreeSecondsPlusAStepPerComb)
{
    Rig rig;
    rig.params.rev_room = 1.0f;
    rig.start();
    for (int v = 0; v < Reverb::kCombs; ++v) {
        EXPECT_DOUBLE_EQ(rig.reverb->decayTime(v), 3.0 + 0.025 * v);
        for (int ch = 0; ch < 2; ++ch) {
            const double d = rig.reverb->combDelay(ch, v);
            EXPECT_DOUBLE_EQ(rig.reverb->combFeedback(ch, v), std::exp(-5.0 * d / ((3.0 + 0.025 * v) * kRate)));
        }
    }
    // Half the room halves the decay time of the first comb.
    rig.params.rev_room = 0.5f;
    rig.reverb->prepare();
    EXPECT_DOUBLE_EQ(rig.reverb->decayTime(0), 1.5);
}

TEST(Reverb, TheTailFallsByTheDecayOfTheRoom)
{
    // A low tone burst (little touched by the damping low-passes): after T
    // seconds the combs have fallen by exp(-5), so one second of a room of
    // 1.0 (T about 3.09 s on average) leaves about exp(-5 / 3.09) = 0.20 of
    // the level, and a room of 0.5 (T about 1.59 s) about 0.043.
    for (float room : {1.0f, 0.5f}) {
        Rig rig;
        rig.params.rev_room = room;
        rig.params.rev_amp = 1.0f;
        rig.params.rev_dry = 0.0f;
        rig.start();
        std::vector<double> in(static_cast<size_t>(2 * kRate), 0.0);
        for (int i = 0; i < kRate / 10; ++i) in[static_cast<size_t>(i)] = 0.5 * std::sin(2.0 * kPi * 150.0 * i / kRate);
        const auto out = rig.runMono(in);
        const double early = rms(out, kRate / 2, kRate / 2 + kRate / 10);
        const double late = rms(out, 3 * kRate / 2, 3 * kRate / 2 + kRate / 10);
        double meanDecay = 0.0;
        for (int v = 0; v < Reverb::kCombs; ++v) meanDecay += rig.reverb->decayTime(v) / Reverb::kCombs;
        const double expected = std::exp(-5.0 / meanDecay);
        ASSERT_GT(early, 0.0);
        EXPECT_NEAR(late / early, expected, 0.35 * expected) << "room " << room;
    }
}

TEST(Reverb, AnEmptyRoomGivesTheFirstCombNoFeedback)
{
    Rig rig;
    rig.params.rev_room = 0.0f;
    rig.start();
    EXPECT_EQ(rig.reverb->decayTime(0), 0.0);
    EXPECT_EQ(rig.reverb->combFeedback(0, 0), 0.0);
    EXPECT_EQ(rig.reverb->combFeedback(1, 0), 0.0);
    EXPECT_GT(rig.reverb->combFeedback(0, 1), 0.0);
    const auto out = rig.runMono(noise(kRate / 4, 0.5));
    for (double x : out) ASSERT_TRUE(std::isfinite(x));
}

TEST(Reverb, NoWetSignalReturnsTheInput)
{
    Rig rig;
    rig.params.rev_amp = 0.0f;
    rig.params.rev_dry = 1.0f;
    rig.start();
    const auto in = noise(kRate / 2, 0.8);
    EXPECT_EQ(rig.runMono(in), in);
    // Stereo: each side keeps its own dry signal.
    const auto wide = widened(in, -0.5);
    EXPECT_EQ(rig.runStereo(in, wide), wide);
}

TEST(Reverb, MonoAddsBothReflectionTapsAndStereoSplitsThem)
{
    for (bool stereo : {false, true}) {
        Rig rig;
        rig.params.rev_amp = 0.0f;
        rig.params.rev_dry = 1.0f;
        rig.params.rev_fron = 1;
        rig.params.rev_frvolume = 0.25f;
        rig.params.rev_frdelay = 0.025f;
        rig.start();
        const auto in = impulse(kRate / 10);
        const int e1 = rig.reverb->firstReflectionTap();
        const int e2 = rig.reverb->secondReflectionTap();
        ASSERT_EQ(e1, 1200);
        ASSERT_EQ(e2, 2640); // 0.03 s after the first
        if (!stereo) {
            const auto out = rig.runMono(in);
            for (int i = 0; i < static_cast<int>(out.size()); ++i) {
                const double expected = i == 0 ? 1.0 : (i == e1 || i == e2) ? 0.25 : 0.0;
                ASSERT_EQ(out[static_cast<size_t>(i)], expected) << i;
            }
        } else {
            const auto out = rig.runStereo(in, widened(in));
            for (int i = 0; i < static_cast<int>(in.size()); ++i) {
                const double left = i == 0 ? 1.0 : i == e1 ? 0.25 : 0.0;
                const double right = i == 0 ? 1.0 : i == e2 ? 0.25 : 0.0;
                ASSERT_EQ(out[2 * static_cast<size_t>(i)], left) << i;
                ASSERT_EQ(out[2 * static_cast<size_t>(i) + 1], right) << i;
            }
        }
    }
}

TEST(Reverb, MonoOutputIsTheLeftNetworkAlone)
{
    Rig mono, stereo;
    for (Rig* r : {&mono, &stereo}) {
        r->params.rev_amp = 0.6f;
        r->params.rev_dry = 0.4f;
        r->start();
    }
    const auto in = noise(kRate / 2, 0.5);
    const auto m = mono.runMono(in);
    const auto s = stereo.runStereo(in, widened(in));
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(m[i], s[2 * i]) << i;

    // The right network never ran in mono: after switching to stereo output
    // with a silent input, the left tail goes on and the right side is silent.
    const std::vector<double> silence(static_cast<size_t>(kRate / 4), 0.0);
    const auto after = mono.runStereo(silence, widened(silence));
    EXPECT_GT(rms(after, 0, silence.size(), 2, 0), 1e-4);
    EXPECT_EQ(rms(after, 0, silence.size(), 2, 1), 0.0);
}

TEST(Reverb, StereoTailsDifferWhileTheDryPartsAreEqual)
{
    Rig rig;
    rig.params.rev_amp = 1.0f;
    rig.params.rev_dry = 0.5f;
    rig.start();
    const auto in = impulse(kRate / 2);
    const auto out = rig.runStereo(in, widened(in));
    EXPECT_EQ(out[0], 0.5);
    EXPECT_EQ(out[1], 0.5);
    // The tails start at each side's shortest comb.
    const int leftOnset = firstNonZero(out, 1, 2, 0);
    const int rightOnset = firstNonZero(out, 1, 2, 1);
    EXPECT_EQ(leftOnset, rig.reverb->combDelay(0, 0) + rig.reverb->preDelay());
    EXPECT_EQ(rightOnset, rig.reverb->combDelay(1, 0) + rig.reverb->preDelay());
    double difference = 0.0;
    for (size_t i = 0; i < in.size(); ++i) difference += std::abs(out[2 * i] - out[2 * i + 1]);
    EXPECT_GT(difference, 1.0);
}

TEST(Reverb, TheDryPartIsTheOutputBlocksOwnSignal)
{
    // The same mono source under two stereo images: the wet parts are equal,
    // so the outputs differ exactly by the dry gain times the images'
    // difference.
    Rig a, b;
    for (Rig* r : {&a, &b}) {
        r->params.rev_amp = 0.4f;
        r->params.rev_dry = 0.6f;
        r->start();
    }
    const auto in = noise(kRate / 4, 0.5);
    const auto outA = a.runStereo(in, widened(in, 1.0));
    const auto outB = b.runStereo(in, widened(in, 0.25));
    const double dry = static_cast<double>(0.6f);
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(outA[2 * i], outB[2 * i]) << i;
        ASSERT_NEAR(outA[2 * i + 1] - outB[2 * i + 1], dry * 0.75 * in[i], 1e-12) << i;
    }
}

TEST(Reverb, PreDelayZeroStartsTheTailAtTheShortestComb)
{
    for (float predelay : {0.0f, 35.0f, 300.0f}) {
        Rig rig;
        rig.params.rev_amp = 1.0f;
        rig.params.rev_dry = 0.0f;
        rig.params.rev_predelay = predelay;
        rig.start();
        const int p = rig.reverb->preDelay();
        EXPECT_EQ(p, static_cast<int>(predelay / 1000.0 * kRate));
        const auto out = rig.runMono(impulse(kRate / 2));
        const int onset = firstNonZero(out);
        EXPECT_EQ(onset, rig.reverb->combDelay(0, 0) + p) << predelay;
        // The first comb's echo passes the four all-passes (sign flipped by
        // each) and arrives at the comb weight times the wet gain (half the mix).
        ASSERT_GE(onset, 0);
        EXPECT_DOUBLE_EQ(out[static_cast<size_t>(onset)], 0.125 * 0.5);
    }
}

TEST(Reverb, ClearEndsTheTailWhilePrepareKeepsIt)
{
    const auto burst = noise(kRate / 10, 0.5);
    const std::vector<double> silence(static_cast<size_t>(kRate / 2), 0.0);
    Rig untouched, prepared, cleared;
    for (Rig* r : {&untouched, &prepared, &cleared}) {
        r->params.rev_amp = 0.5f;
        r->params.rev_dry = 0.5f;
        r->start();
        r->runMono(burst);
    }
    prepared.reverb->prepare(); // a preset load while running
    cleared.reverb->clear();    // switched off and on again
    const auto reference = untouched.runMono(silence);
    EXPECT_EQ(prepared.runMono(silence), reference);
    const auto afterClear = cleared.runMono(silence);
    EXPECT_GT(rms(reference, 0, silence.size()), 1e-3);
    EXPECT_EQ(rms(afterClear, 0, silence.size()), 0.0);
}

TEST(Reverb, PrepareEmptiesOnlyTheFirstReflections)
{
    Rig rig;
    rig.params.rev_amp = 0.0f;
    rig.params.rev_dry = 1.0f;
    rig.params.rev_fron = 1;
    rig.start();
    // An impulse near the end of a block: its reflections are still to come
    // when the preset load's prepare runs.
    std::vector<double> block(128, 0.0);
    block[100] = 1.0;
    rig.runMono(block);
    rig.reverb->prepare();
    const auto rest = rig.runMono(std::vector<double>(static_cast<size_t>(kRate / 10), 0.0));
    EXPECT_EQ(rms(rest, 0, rest.size()), 0.0);

    // Without the prepare they arrive.
    Rig other;
    other.params.rev_amp = 0.0f;
    other.params.rev_fron = 1;
    other.params.rev_dry = 1.0f;
    other.start();
    other.runMono(block);
    const auto heard = other.runMono(std::vector<double>(static_cast<size_t>(kRate / 10), 0.0));
    EXPECT_EQ(heard[static_cast<size_t>(100 + other.reverb->firstReflectionTap() - 128)],
              static_cast<double>(0.25f));
}

TEST(Reverb, StartPreparesForTheRateAndClears)
{
    Rig rig;
    rig.params.rev_amp = 1.0f;
    rig.start(48000);
    rig.runMono(noise(kRate / 10, 0.5));
    rig.start(22050);
    EXPECT_EQ(rig.reverb->combDelay(0, 0), static_cast<int>(25.3 / 1000.0 * 22050));
    const auto out = rig.runMono(std::vector<double>(22050 / 2, 0.0));
    EXPECT_EQ(rms(out, 0, out.size()), 0.0);
}

TEST(Reverb, AbsorptionThinsTheHighsAndTheLowsOfWhatEntersTheRoom)
{
    auto wetLevel = [](double freq, bool hf, bool lf) {
        Rig rig;
        rig.params.rev_amp = 1.0f;
        rig.params.rev_dry = 0.0f;
        rig.params.rev_hfabs = hf ? 1 : 0;
        rig.params.rev_lfabs = lf ? 1 : 0;
        rig.start();
        std::vector<double> in(static_cast<size_t>(kRate / 2));
        for (size_t i = 0; i < in.size(); ++i) in[i] = 0.5 * std::sin(2.0 * kPi * freq * i / kRate);
        const auto out = rig.runMono(in);
        return rms(out, kRate / 4, kRate / 2);
    };
    EXPECT_LT(wetLevel(15000.0, true, false), 0.3 * wetLevel(15000.0, false, false));
    EXPECT_LT(wetLevel(40.0, false, true), 0.2 * wetLevel(40.0, false, false));
    // In the middle both leave the level nearly alone.
    EXPECT_GT(wetLevel(1000.0, true, true), 0.7 * wetLevel(1000.0, false, false));
}

TEST(Reverb, TheResultDoesNotDependOnTheBlockSize)
{
    // Frame by frame, odd sizes, whole blocks and calls longer than a block
    // all give the same samples. At a very low rate the combs are shorter
    // than a block, which takes the frame-by-frame way through them.
    const auto in = noise(6000, 0.5);
    for (int rate : {kRate, 2000}) {
        std::vector<double> mono[4], stereo[4];
        const int sizes[4] = {1, 37, 128, 6000};
        for (int k = 0; k < 4; ++k) {
            Rig rig(false); // absorption and reflections on
            rig.params.rev_amp = 0.7f;
            rig.start(rate);
            mono[k] = rig.runMono(in, sizes[k]);
            stereo[k] = rig.runStereo(in, widened(in, 0.5), sizes[k]);
        }
        for (int k = 1; k < 4; ++k) {
            EXPECT_EQ(mono[k], mono[0]) << rate << " Hz, " << sizes[k];
            EXPECT_EQ(stereo[k], stereo[0]) << rate << " Hz, " << sizes[k];
        }
    }
}

TEST(Reverb, PresetValuesBeyondThePageStayInsideTheLines)
{
    Rig rig(false);
    rig.params.rev_predelay = 5000.0f; // ms
    rig.params.rev_frdelay = 2.0f;     // s
    rig.params.rev_room = -1.0f;
    rig.params.rev_amp = 1.0f;
    rig.start();
    EXPECT_EQ(rig.reverb->preDelay(), Reverb::kLineLength - 1);
    EXPECT_EQ(rig.reverb->firstReflectionTap(), Reverb::kReflectionLength - 1);
    EXPECT_EQ(rig.reverb->secondReflectionTap(), Reverb::kReflectionLength - 1);
    for (int v = 0; v < Reverb::kCombs; ++v) EXPECT_LT(rig.reverb->combFeedback(0, v), 1.0);
    auto out = rig.runStereo(noise(kRate, 0.5), widened(noise(kRate, 0.5)));
    for (double x : out) ASSERT_LT(std::abs(x), 4.0);

    rig.params.rev_predelay = -20.0f;
    rig.params.rev_frdelay = std::numeric_limits<float>::quiet_NaN();
    rig.params.rev_room = std::numeric_limits<float>::quiet_NaN();
    rig.reverb->prepare();
    EXPECT_EQ(rig.reverb->preDelay(), 0);
    EXPECT_EQ(rig.reverb->firstReflectionTap(), 0);
    EXPECT_EQ(rig.reverb->decayTime(0), 0.0);
    out = rig.runMono(noise(kRate / 2, 0.5));
    for (double x : out) ASSERT_TRUE(std::isfinite(x));
}

TEST(Reverb, PrepareAndClearFromAnotherThreadWhileBlocksRun)
{
    Rig rig(false);
    rig.start();
    std::atomic<bool> done{false};
    std::thread page([&] {
        int i = 0;
        while (!done.load()) {
            rig.params.rev_room = static_cast<float>(i % 100) / 100.0f;
            rig.params.rev_predelay = static_cast<float>(i % 300);
            rig.params.rev_frdelay = 0.01f + static_cast<float>(i % 90) / 1000.0f;
            rig.reverb->prepare();
            if (i % 7 == 0) rig.reverb->clear();
            ++i;
            std::this_thread::yield();
        }
    });
    const auto in = noise(128, 0.5);
    std::vector<double> buf(256);
    double peak = 0.0;
    for (int block = 0; block < 1500; ++block) {
        buf = widened(in);
        rig.reverb->process(buf.data(), in.data(), 128, block % 2 == 0);
        for (double x : buf) peak = std::max(peak, std::abs(x));
    }
    done = true;
    page.join();
    EXPECT_TRUE(std::isfinite(peak));
    EXPECT_LT(peak, 4.0);
}

TEST(ReverbRender, KorvexRenderDrivesTheReverbThroughSet)
{
    testfiles::TempDir dir;
    // A short burst, then silence where only a reverb tail can sound.
    std::vector<int16_t> in(48000, 0);
    for (int i = 0; i < 2400; ++i)
        in[static_cast<size_t>(i)] = static_cast<int16_t>(12000.0 * std::sin(2.0 * kPi * 330.0 * i / 48000.0));
    testfiles::writeWav(dir.file("in.wav"), in);

    auto render = [&](bool reverbOn) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        for (const char* s : {"stereo=1", "rev_amp=0.5", "rev_dry=0.5", "rev_room=0.8", "rev_predelay=20"})
            EXPECT_TRUE(job.applySetting(s, error)) << error;
        EXPECT_TRUE(job.applySetting(reverbOn ? "rev_enabled=1" : "rev_enabled=0", error)) << error;
        EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
        return testfiles::readSamples(dir.file("out.wav"));
    };
    const auto dry = render(false);
    const auto wet = render(true);
    ASSERT_EQ(wet.size(), dry.size());
    auto level = [](const std::vector<int16_t>& s, size_t from, size_t to, size_t side) {
        double sum = 0.0;
        for (size_t i = from; i < to; ++i) sum += std::pow(s[2 * i + side], 2.0);
        return std::sqrt(sum / static_cast<double>(to - from));
    };
    EXPECT_EQ(level(dry, 6000, 48000, 0), 0.0); // nothing after the burst without the reverb
    const double early = level(wet, 6000, 12000, 0);
    const double late = level(wet, 36000, 42000, 0);
    EXPECT_GT(early, 30.0);
    EXPECT_GT(late, 0.0);
    EXPECT_LT(late, 0.5 * early); // a decaying tail
    size_t differing = 0;
    for (size_t i = 6000; i < 48000; ++i) differing += wet[2 * i] != wet[2 * i + 1];
    EXPECT_GT(differing, 10000u); // the two networks make two tails
}

TEST(ReverbRender, TheKorvexProgramTakesTheReverbSettings)
{
    testfiles::TempDir dir;
    std::vector<int16_t> in(24000, 0);
    for (int i = 0; i < 1200; ++i) in[static_cast<size_t>(i)] = static_cast<int16_t>((i % 50) * 400 - 10000);
    testfiles::writeWav(dir.file("in.wav"), in);
    const std::string cmd = std::string(STRAVIK_BUILD_DIR) + "/korvex render --in " + dir.file("in.wav") + " --out "
                            + dir.file("out.wav")
                            + " --set stereo=0 --set rev_enabled=1 --set rev_amp=0.6 --set rev_dry=0.4"
                              " --set rev_fron=0 >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const auto out = testfiles::readSamples(dir.file("out.wav"));
    ASSERT_GE(out.size(), in.size());
    // Dry part scaled by rev_dry before the first comb's echo arrives.
    for (size_t i = 0; i < 1000; ++i) EXPECT_NEAR(out[i], 0.4 * in[i], 1.0) << i;
    double tail = 0.0;
    for (size_t i = 6000; i < 24000; ++i) tail += std::abs(out[i]);
    EXPECT_GT(tail, 1000.0);
}
