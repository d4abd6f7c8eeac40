// The metronome: beat timing, the three sounds and their mixing, tap tempo,
// the run reset, the resource failure, the lock under concurrent sound
// changes, and the click through the chain (RenderJob and `korvex render
// --metronome`).
// test-label: threads
#include "tools/Metronome.h"

#include "RunKorvex.h"
#include "TestFiles.h"
#include "dsp/RecordingMessages.h"
#include "engine/Render.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

using namespace stravik;
using namespace stravik::tools;
using namespace testfiles;

namespace {

struct Rig {
    Settings settings;
    RecordingMessages messages;
    int64_t now = 0;
    Metronome metronome{settings, messages, [this] { return now; }};
};

// Mixes `frames` frames into a zero (or given) mono signal, in blocks of
// varying size so beat positions cannot hide behind block boundaries.
std::vector<double> mixMono(Metronome& m, int frames, std::vector<double> signal = {})
{
    if (signal.empty()) signal.assign(static_cast<size_t>(frames), 0.0);
    int done = 0, size = 1;
    while (done < frames) {
        const int n = std::min({size, 128, frames - done});
        m.mix(signal.data() + done, n, false);
        done += n;
        size = size % 128 + 37;
    }
    return signal;
}

std::vector<int> nonZeroFrames(const std::vector<double>& v)
{
    std::vector<int> out;
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] != 0.0) out.push_back(static_cast<int>(i));
    return out;
}

// A click file with one loud first sample: every beat shows as one frame.
void writeImpulse(const std::string& path, int rate)
{
    std::vector<int16_t> v(100, 0);
    v[0] = 16000;
    writeWav(path, v, rate);
}

double beepValue(double t, double volume)
{
    double b = std::trunc(20000.0 * std::sin(3.141592654 * 3000.0 * t));
    b = std::clamp(b, -7000.0, 7000.0);
    return b * volume / 32768.0;
}

struct CommandResult {
    int exitCode;
    std::string output; // standard output and error
};

CommandResult korvex(const std::string& args)
{
    static TempDir scratch;
    const KorvexRun r = runKorvex(args, scratch.path());
    return {r.exitCode, r.all()};
}

// Frames where a click starts: non-zero after at least `gap` silent frames.
std::vector<int> onsets(const std::vector<int16_t>& v, int gap)
{
    std::vector<int> out;
    int silent = gap;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != 0) {
            if (silent >= gap) out.push_back(static_cast<int>(i));
            silent = 0;
        } else {
            ++silent;
        }
    }
    return out;
}

} // namespace

TEST(Metronome, BeatsFallEvery22050FramesAt120BpmAnd44100Hz)
{
    TempDir dir;
    writeImpulse(dir.file("tick.wav"), 44100);
    Rig r;
    r.settings.MetroTempo = 120.0f;
    r.settings.MetroVolume = 0.5f;
    r.settings.MetroSound = Metronome::kWaveFile;
    r.settings.MetroWave = dir.file("tick.wav");
    r.metronome.startRun(44100);
    EXPECT_DOUBLE_EQ(r.metronome.period(), 0.5);

    const auto out = mixMono(r.metronome, 44100 * 10 + 5);
    const auto hits = nonZeroFrames(out);
    ASSERT_EQ(hits.size(), 21u);
    for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i], static_cast<int>(i) * 22050) << i;
        EXPECT_NEAR(out[static_cast<size_t>(hits[i])], 16000.0 * 0.5 / 32768.0, 1e-6);
    }
    EXPECT_TRUE(r.messages.texts().empty());
}

TEST(Metronome, OtherTemposAndRatesKeepTheirBeatSpacing)
{
    TempDir dir;
    for (int rate : {22050, 48000}) {
        writeImpulse(dir.file("tick.wav"), rate);
        Rig r;
        r.settings.MetroTempo = 150.0f;
        r.settings.MetroSound = Metronome::kWaveFile;
        r.settings.MetroWave = dir.file("tick.wav");
        r.metronome.startRun(rate);
        const auto hits = nonZeroFrames(mixMono(r.metronome, rate * 4));
        ASSERT_EQ(hits.size(), 10u) << rate;
        for (size_t i = 0; i < hits.size(); ++i) EXPECT_EQ(hits[i], static_cast<int>(i) * rate * 2 / 5) << rate;
    }
}

TEST(Metronome, TheBeepIsAClipped1500HzToneOf50Ms)
{
    Rig r;
    r.settings.MetroTempo = 120.0f;
    r.settings.MetroVolume = 0.25f;
    r.settings.MetroSound = Metronome::kBeep;
    r.settings.BeepOnStart = 0;
    r.metronome.startRun(44100);
    const auto out = mixMono(r.metronome, 22050 + 3000);
    const double step = 0.25 / 32768.0; // one unit of the truncated beep
    double largest = 0.0;
    for (int beat : {0, 22050}) {
        for (int i = 0; i < 2205; ++i) {
            const double expected = beepValue(i / 44100.0, 0.25);
            ASSERT_NEAR(out[static_cast<size_t>(beat + i)], expected, step * 1.01) << beat + i;
            largest = std::max(largest, std::fabs(out[static_cast<size_t>(beat + i)]));
        }
    }
    EXPECT_DOUBLE_EQ(largest, 7000.0 * 0.25 / 32768.0); // clipped at 7000
    // Silent between the beeps.
    for (int i = 2206; i < 22050; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0.0) << i;
    for (int i = 22050 + 2206; i < 22050 + 3000; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0.0) << i;
}

TEST(Metronome, WithTheStartToneOnTheFirstBeepOfTheRunIsLeftOut)
{
    Rig r;
    r.settings.MetroTempo = 120.0f;
    r.settings.MetroSound = Metronome::kBeep;
    r.settings.BeepOnStart = 1;
    r.metronome.startRun(44100);
    const auto out = mixMono(r.metronome, 22050 * 2);
    for (int i = 0; i < 22050; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0.0) << i;
    EXPECT_NE(out[22050 + 1], 0.0);
    EXPECT_NEAR(out[22050 + 1], beepValue(1 / 44100.0, 0.5), 0.5 / 32768.0 * 1.01);

    // Every run starts that way again.
    r.metronome.startRun(44100);
    const auto again = mixMono(r.metronome, 100);
    for (double v : again) EXPECT_EQ(v, 0.0);
}

TEST(Metronome, TheDrumKickPlaysAtItsOwnRateAndTheNextBeatCutsItOff)
{
    Rig r; // defaults: drum kick, 150 bpm, volume 0.5
    r.metronome.startRun(44100);
    ASSERT_TRUE(r.messages.texts().empty());
    const ClickSound& kick = r.metronome.drumKick();
    ASSERT_EQ(kick.sampleRate(), 22050);
    ASSERT_EQ(kick.workingFrames(), 11616);
    const int16_t* s = kick.workingSamples();
    const int period = 17640; // 0.4 s at 44100 Hz, shorter than the kick's 0.53 s
    const auto out = mixMono(r.metronome, period + 2000);
    for (int k = 0; k < period; ++k) {
        // 44100 Hz against 22050: every other frame lies half-way.
        const double expected =
            (k % 2 == 0 ? s[k / 2] : 0.5 * (s[k / 2] + s[k / 2 + 1])) * 0.5 / 32768.0;
        ASSERT_NEAR(out[static_cast<size_t>(k)], expected, 1e-9) << k;
    }
    for (int k = 0; k < 2000; ++k) {
        const double expected = (k % 2 == 0 ? s[k / 2] : 0.5 * (s[k / 2] + s[k / 2 + 1])) * 0.5 / 32768.0;
        ASSERT_NEAR(out[static_cast<size_t>(period + k)], expected, 1e-9) << "restart " << k;
    }
}

TEST(Metronome, ARecordingEndsAtItsLastFullInterpolationStep)
{
    TempDir dir;
    writeWav(dir.file("ramp.wav"), {1000, 2000, 3000, 4000}, 22050);
    Rig r;
    r.settings.MetroTempo = 60.0f;
    r.settings.MetroVolume = 1.0f;
    r.settings.MetroSound = Metronome::kWaveFile;
    r.settings.MetroWave = dir.file("ramp.wav");
    r.metronome.startRun(44100);
    const auto out = mixMono(r.metronome, 10);
    // p = k / 2 while p < frames - 1 = 3: frames 0..5.
    const double expected[10] = {1000, 1500, 2000, 2500, 3000, 3500, 0, 0, 0, 0};
    for (int k = 0; k < 10; ++k) EXPECT_NEAR(out[static_cast<size_t>(k)] * 32768.0, expected[k], 1e-6) << k;
}

TEST(Metronome, StereoAddsTheSameClickToBothChannels)
{
    Rig mono, stereo;
    for (Rig* r : {&mono, &stereo}) {
        r->settings.MetroTempo = 300.0f;
        r->metronome.startRun(48000);
    }
    const int frames = 48000;
    const auto reference = mixMono(mono.metronome, frames);
    std::vector<double> buf(2 * static_cast<size_t>(frames));
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = (i % 2 == 0 ? 0.25 : -0.125) + 1e-6 * static_cast<double>(i % 7);
    const std::vector<double> before = buf;
    for (int done = 0; done < frames; done += 128) stereo.metronome.mix(buf.data() + 2 * done, 128, true);
    int clicks = 0;
    for (int i = 0; i < frames; ++i) {
        const double l = buf[2 * static_cast<size_t>(i)] - before[2 * static_cast<size_t>(i)];
        const double rr = buf[2 * static_cast<size_t>(i) + 1] - before[2 * static_cast<size_t>(i) + 1];
        ASSERT_NEAR(l, reference[static_cast<size_t>(i)], 1e-12) << i;
        ASSERT_NEAR(rr, reference[static_cast<size_t>(i)], 1e-12) << i;
        if (reference[static_cast<size_t>(i)] != 0.0) ++clicks;
    }
    EXPECT_GT(clicks, 1000);
}

TEST(Metronome, WaveModeWithAnEmptyOrUnreadableFileMixesNothing)
{
    TempDir dir;
    // A FIFO is refused without waiting for a writer; a device or a folder
    // is no sound either.
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    for (const std::string& path :
         {std::string(), dir.file("missing.wav"), dir.file("fifo.wav"), std::string("/dev/zero"), dir.path()}) {
        Rig r;
        r.settings.MetroSound = Metronome::kWaveFile;
        r.settings.MetroWave = path;
        r.metronome.startRun(44100);
        std::vector<double> signal(30000);
        for (size_t i = 0; i < signal.size(); ++i) signal[i] = std::sin(0.01 * static_cast<double>(i));
        const auto out = mixMono(r.metronome, 30000, signal);
        EXPECT_EQ(out, signal) << path;
        EXPECT_TRUE(r.messages.texts().empty()) << path;
        EXPECT_EQ(r.metronome.activeFrames(), 0);
    }
}

TEST(Metronome, NothingIsMixedBeforeARunStarts)
{
    Rig r;
    std::vector<double> buf(128, 0.5);
    r.metronome.mix(buf.data(), 128, false);
    for (double v : buf) EXPECT_EQ(v, 0.5);
}

TEST(Metronome, TapTempoMeasuresBetweenTaps)
{
    Rig r;
    r.now = 60000; // a first tap long after start measures from 0: far too slow
    EXPECT_FALSE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 150.0f);

    r.now += 500;
    EXPECT_TRUE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 120.0f);
    EXPECT_DOUBLE_EQ(r.metronome.period(), 0.5);

    r.now += 250;
    EXPECT_TRUE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 240.0f);

    r.now += 100; // 600 bpm: limited
    EXPECT_TRUE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 300.0f);
    EXPECT_DOUBLE_EQ(r.metronome.period(), 0.2);

    r.now += 333; // 1801.8 tenths, truncated
    EXPECT_TRUE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 180.1f);

    r.now += 6000; // exactly 10 bpm is still taken
    EXPECT_TRUE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 10.0f);

    r.now += 6001; // 9.9 bpm: too slow, the tempo stays
    EXPECT_FALSE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 10.0f);

    r.now += 0; // two taps in the same millisecond: the fastest tempo, no fault
    EXPECT_TRUE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 300.0f);

    r.now -= 50; // a clock that went backwards changes nothing
    EXPECT_FALSE(r.metronome.tapTempo());
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 300.0f);
}

TEST(Metronome, ATapThatSetsTheTempoStartsABeat)
{
    TempDir dir;
    writeImpulse(dir.file("tick.wav"), 44100);
    Rig r;
    r.settings.MetroSound = Metronome::kWaveFile;
    r.settings.MetroWave = dir.file("tick.wav");
    r.metronome.startRun(44100);
    mixMono(r.metronome, 5000);
    EXPECT_GT(r.metronome.beatTime(), 0.1);
    r.now = 100000;
    r.metronome.tapTempo(); // the first tap: nothing
    EXPECT_GT(r.metronome.beatTime(), 0.1);
    r.now += 500;
    ASSERT_TRUE(r.metronome.tapTempo());
    EXPECT_EQ(r.metronome.beatTime(), 0.0);
    const auto hits = nonZeroFrames(mixMono(r.metronome, 22051));
    EXPECT_EQ(hits, (std::vector<int>{0, 22050}));
}

TEST(Metronome, TheTempoSetsThePeriodAtOnceWithinTheOfferedRange)
{
    Rig r;
    EXPECT_DOUBLE_EQ(r.metronome.period(), 0.4); // 150 bpm
    r.metronome.setTempo(60.0);
    EXPECT_FLOAT_EQ(r.settings.MetroTempo.get(), 60.0f);
    EXPECT_DOUBLE_EQ(r.metronome.period(), 1.0);
    // A stored tempo that the page could never set keeps the beats going.
    for (float bad : {0.0f, -20.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        r.settings.MetroTempo = bad;
        r.metronome.resetRun();
        const double p = r.metronome.period();
        EXPECT_TRUE(p >= 0.2 && p <= 6.0) << bad << " -> " << p;
    }
    r.settings.MetroTempo = 1000.0f;
    r.metronome.resetRun();
    EXPECT_DOUBLE_EQ(r.metronome.period(), 0.2);
}

TEST(Metronome, SliderPositionsAndLabels)
{
    EXPECT_EQ(Metronome::tempoSliderPosition(150.0), 1500);
    EXPECT_EQ(Metronome::tempoSliderPosition(180.1f), 1801);
    EXPECT_EQ(Metronome::tempoSliderPosition(500.0), 3000);
    EXPECT_DOUBLE_EQ(Metronome::tempoFromSlider(1234), 123.4);
    EXPECT_EQ(Metronome::tempoLabel(120.0), "120 bpm");
    EXPECT_EQ(Metronome::tempoLabel(180.1), "180.1 bpm");
    EXPECT_EQ(Metronome::volumeLabel(0.5), "50 %");
    EXPECT_EQ(Metronome::volumeLabel(0.29f), "29 %"); // 0.28999999 as a float
    EXPECT_EQ(Metronome::volumeSliderPosition(0.29f), 29);
    EXPECT_DOUBLE_EQ(Metronome::volumeFromSlider(29), 0.29);
}

TEST(Metronome, AMissingDrumKickSaysSoOnceAndStaysSilent)
{
    Settings settings;
    RecordingMessages messages;
    int lookups = 0;
    Metronome m(settings, messages, {}, [&](std::string_view, int) {
        ++lookups;
        return std::span<const uint8_t>();
    });
    m.startRun(44100);
    m.startRun(48000); // once per program run
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Error loading resource..."});
    std::vector<double> buf(20000, 0.0);
    for (int i = 0; i < 20000; i += 100) m.mix(buf.data() + i, 100, false);
    for (double v : buf) ASSERT_EQ(v, 0.0);
}

TEST(Metronome, ADrumKickOfAnUnknownSampleSizeIsAnError)
{
    WavRecipe layout;
    layout.bits = 24;
    layout.rate = 22050;
    const auto image = wavBytes(layout, std::vector<uint8_t>(300, 7));
    Settings settings;
    RecordingMessages messages;
    Metronome m(settings, messages, {}, [&](std::string_view type, int id) {
        EXPECT_EQ(type, "wave");
        EXPECT_EQ(id, 252);
        return std::span<const uint8_t>(image);
    });
    m.startRun(44100);
    EXPECT_EQ(messages.texts(), std::vector<std::string>{"Error loading resource..."});
    EXPECT_EQ(m.activeFrames(), 0);
}

TEST(Metronome, TheWaveFileIsReadAgainOnlyWhenMarkedForReloading)
{
    TempDir dir;
    writeWav(dir.file("a.wav"), {100, 100, 100}, 44100);
    writeWav(dir.file("b.wav"), {200, 200, 200, 200, 200}, 44100);
    Rig r;
    r.settings.MetroSound = Metronome::kWaveFile;
    r.settings.MetroWave = dir.file("a.wav");
    r.metronome.startRun(44100);
    EXPECT_EQ(r.metronome.activeFrames(), 3);

    r.settings.MetroWave = dir.file("b.wav");
    r.metronome.startRun(44100);
    EXPECT_EQ(r.metronome.activeFrames(), 3); // loaded, not marked: kept

    r.metronome.markWaveForReload();
    r.metronome.startRun(44100);
    EXPECT_EQ(r.metronome.activeFrames(), 5);
    EXPECT_FALSE(r.metronome.waveSound().reloadMarked());

    // Marked with no file chosen any more: the sound is emptied.
    r.settings.MetroWave = "";
    r.metronome.markWaveForReload();
    r.metronome.startRun(44100);
    EXPECT_EQ(r.metronome.activeFrames(), 0);

    // A file that failed is tried again at the next run, without a mark.
    r.settings.MetroWave = dir.file("later.wav");
    r.metronome.startRun(44100);
    EXPECT_EQ(r.metronome.activeFrames(), 0);
    writeWav(dir.file("later.wav"), {1, 2, 3, 4, 5, 6, 7}, 44100);
    r.metronome.startRun(44100);
    EXPECT_EQ(r.metronome.activeFrames(), 7);
}

TEST(Metronome, ChangingTheSoundTakesEffectAtOnce)
{
    Rig r;
    r.settings.MetroTempo = 120.0f;
    r.settings.BeepOnStart = 0;
    r.metronome.startRun(44100); // drum kick
    EXPECT_EQ(r.metronome.activeSound(), Metronome::kDrumKick);
    mixMono(r.metronome, 3000); // past the beep's 50 ms
    r.metronome.selectSound(Metronome::kBeep);
    EXPECT_EQ(r.settings.MetroSound.get(), Metronome::kBeep);
    EXPECT_EQ(r.metronome.activeSound(), Metronome::kBeep);
    // The rest of this beat holds no kick; the next beat beeps.
    const auto out = mixMono(r.metronome, 22050);
    for (int i = 0; i <= 19050; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0.0) << i;
    EXPECT_NEAR(out[19051], beepValue(1 / 44100.0, 0.5), 0.5 / 32768.0 * 1.01);
    EXPECT_NE(out[19051], 0.0);

    r.metronome.selectSound(7); // no such sound: silence, no fault
    const auto none = mixMono(r.metronome, 30000);
    for (double v : none) ASSERT_EQ(v, 0.0);
}

TEST(Metronome, MixingWhileTheSoundIsSwitchedFromAnotherThread)
{
    TempDir dir;
    std::vector<int16_t> loud(30000, 30000);
    writeWav(dir.file("loud.wav"), loud, 48000);
    Rig r;
    r.settings.MetroTempo = 300.0f;
    r.settings.MetroVolume = 1.0f;
    r.settings.MetroWave = dir.file("loud.wav");
    r.metronome.startRun(48000);

    std::atomic<bool> stop{false};
    std::thread page([&] {
        int i = 0;
        while (!stop.load()) {
            r.metronome.selectSound(i % 3);
            r.metronome.setTempo(100.0 + (i % 200));
            r.metronome.setVolume((i % 10) / 10.0);
            r.now += 300 + i % 50;
            r.metronome.tapTempo();
            ++i;
            std::this_thread::yield();
        }
    });
    std::vector<double> block(2 * 128);
    long nonZero = 0;
    for (int b = 0; b < 3000; ++b) {
        if (b % 500 == 499) {
            // A new run (as after Stop and Start) reads the file again and
            // remakes the working copies while the page keeps selecting.
            r.metronome.markWaveForReload();
            r.metronome.startRun(b % 1000 == 999 ? 44100 : 48000);
        }
        std::fill(block.begin(), block.end(), 0.0);
        r.metronome.mix(block.data(), 128, b % 2 == 0);
        for (double v : block) {
            ASSERT_TRUE(std::isfinite(v));
            ASSERT_LE(std::fabs(v), 32767.0 / 32768.0 + 1e-12); // never beyond the loudest sample
            if (v != 0.0) ++nonZero;
        }
    }
    stop = true;
    page.join();
    EXPECT_GT(nonZero, 0);
}

TEST(Metronome, TheChainMixesTheClickWhenSwitchedOn)
{
    TempDir dir;
    writeWav(dir.file("silence.wav"), std::vector<int16_t>(88000, 0), 44100); // 688 blocks
    for (int stereo : {0, 1}) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        for (const char* s : {"MetroTempo=120", "MetroSound=0", "BeepOnStart=0"})
            ASSERT_TRUE(job.applySetting(s, error)) << error;
        ASSERT_TRUE(job.applySetting("stereo=" + std::to_string(stereo), error)) << error;
        Metronome metronome(job.engine().settings, messages);
        job.engine().effects().setClickSource(&metronome);
        job.engine().metronomeOn = 1;
        ASSERT_EQ(job.run(dir.file("silence.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
        job.engine().effects().setClickSource(nullptr);
        const auto all = readSamples(dir.file("out.wav"));
        std::vector<int16_t> left;
        for (size_t i = 0; i < all.size(); i += stereo ? 2 : 1) {
            left.push_back(all[i]);
            if (stereo) {
                ASSERT_EQ(all[i], all[i + 1]) << i;
            }
        }
        // The beep's first value is sin(0) = 0: each click is heard from the
        // frame after its beat.
        EXPECT_EQ(onsets(left, 5000), (std::vector<int>{1, 22051, 44101, 66151})) << stereo;
    }
}

TEST(Metronome, KorvexRenderMetronomePutsClicksInTheOutputAtTheTempo)
{
    TempDir dir;
    writeWav(dir.file("silence.wav"), std::vector<int16_t>(44100 * 3, 0), 44100);
    const std::string common = "render --in " + dir.file("silence.wav") + " --set stereo=0 --set MetroTempo=90"
                               + " --set MetroSound=0 --set BeepOnStart=0 --out ";
    const auto with = korvex(common + dir.file("click.wav") + " --metronome");
    ASSERT_EQ(with.exitCode, 0) << with.output;
    // 90 bpm: 29400 frames apart.
    EXPECT_EQ(onsets(readSamples(dir.file("click.wav")), 5000),
              (std::vector<int>{1, 29401, 58801, 88201, 117601}));

    const auto without = korvex(common + dir.file("quiet.wav"));
    ASSERT_EQ(without.exitCode, 0) << without.output;
    for (int16_t v : readSamples(dir.file("quiet.wav"))) ASSERT_EQ(v, 0);

    // The drum kick by default: a click near every beat of 150 bpm.
    const auto kick = korvex("render --in " + dir.file("silence.wav") + " --set stereo=0 --out "
                             + dir.file("kick.wav") + " --metronome");
    ASSERT_EQ(kick.exitCode, 0) << kick.output;
    const auto k = readSamples(dir.file("kick.wav"));
    for (int beat = 0; beat + 17640 <= static_cast<int>(k.size()); beat += 17640) {
        int peak = 0;
        for (int i = beat; i < beat + 400; ++i) peak = std::max(peak, std::abs(static_cast<int>(k[i])));
        EXPECT_GT(peak, 3000) << beat;
    }

    const auto help = korvex("render --help");
    EXPECT_NE(help.output.find("--metronome"), std::string::npos);
}
