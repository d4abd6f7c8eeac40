// The metronome's recorded clicks: decoding 8- and 16-bit PCM to mono, the
// drum kick's WAV image, the user's WAV file (with its length limit and bad
// files), and the preparation for the processing rate with its low-pass.
#include "tools/ClickSound.h"

#include "TestFiles.h"
#include "assets/Resources.h"
#include "dsp/IirFilter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

using namespace stravik;
using namespace stravik::tools;
using namespace testfiles;

namespace {

std::vector<uint8_t> bytes16(const std::vector<int16_t>& v) { return pcm16Bytes(v); }

std::vector<int16_t> tone(double freq, int rate, int frames, double amplitude)
{
    std::vector<int16_t> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        v[static_cast<size_t>(i)] =
            static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * 3.141592653589793 * freq * i / rate)));
    return v;
}

double rms(const std::vector<int16_t>& v, size_t from, size_t to)
{
    double s = 0.0;
    for (size_t i = from; i < to; ++i) s += static_cast<double>(v[i]) * v[i];
    return std::sqrt(s / static_cast<double>(to - from));
}

} // namespace

TEST(DecodeToMono, SixteenBitMonoIsCopied)
{
    const std::vector<int16_t> in = {0, 1, -1, 32767, -32768, 1234};
    const auto b = bytes16(in);
    std::vector<int16_t> out;
    ASSERT_TRUE(decodeToMono(b.data(), in.size(), {1, 16, 2}, out));
    EXPECT_EQ(out, in);
}

TEST(DecodeToMono, SixteenBitStereoIsTheHalvedSumRoundedDown)
{
    // (left + right) shifted right by one: -5 >> 1 is -3, not -2.
    const std::vector<int16_t> in = {100, 300, -3, -2, 32767, 32767, -32768, -32768, 1, 0};
    const auto b = bytes16(in);
    std::vector<int16_t> out;
    ASSERT_TRUE(decodeToMono(b.data(), 5, {2, 16, 4}, out));
    EXPECT_EQ(out, (std::vector<int16_t>{200, -3, 32767, -32768, 0}));
}

TEST(DecodeToMono, EightBitIsCentredOn127AndScaled)
{
    const std::vector<uint8_t> mono = {127, 128, 0, 126, 255};
    std::vector<int16_t> out;
    ASSERT_TRUE(decodeToMono(mono.data(), mono.size(), {1, 8, 1}, out));
    // The top value would be 32768: it stays at the top instead of wrapping.
    EXPECT_EQ(out, (std::vector<int16_t>{0, 256, -32512, -256, 32767}));

    const std::vector<uint8_t> stereo = {127, 127, 128, 130, 0, 0, 255, 255, 255, 0};
    ASSERT_TRUE(decodeToMono(stereo.data(), 5, {2, 8, 2}, out));
    EXPECT_EQ(out, (std::vector<int16_t>{0, 512, -32512, 32767, 128}));
}

TEST(DecodeToMono, RefusesOtherSampleSizesAndImpossibleLayouts)
{
    const std::vector<uint8_t> data(64, 1);
    std::vector<int16_t> out = {1, 2, 3};
    EXPECT_FALSE(decodeToMono(data.data(), 4, {1, 24, 3}, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(decodeToMono(data.data(), 4, {1, 32, 4}, out));
    EXPECT_FALSE(decodeToMono(data.data(), 4, {2, 16, 2}, out)); // frames too small for two channels
    EXPECT_FALSE(decodeToMono(data.data(), 4, {0, 16, 2}, out));
    // Channels beyond two are skipped: frames of three 16-bit channels.
    const std::vector<int16_t> three = {10, 20, 999, -10, -20, 999};
    const auto b = bytes16(three);
    ASSERT_TRUE(decodeToMono(b.data(), 2, {3, 16, 6}, out));
    EXPECT_EQ(out, (std::vector<int16_t>{15, -15}));
}

TEST(ClickSound, LoadsAWaveImageFromItsFixedHeader)
{
    const std::vector<int16_t> samples = {0, 1000, -1000, 5};
    WavRecipe layout;
    layout.rate = 22050;
    const auto image = wavBytes(layout, bytes16(samples));
    ClickSound s;
    ASSERT_TRUE(s.loadImage(image));
    EXPECT_EQ(s.sampleRate(), 22050);
    EXPECT_EQ(s.recording(), samples);
}

TEST(ClickSound, ABrokenImageLeavesNoRecording)
{
    ClickSound s;
    const std::vector<int16_t> samples = {1, 2, 3, 4};
    WavRecipe layout;
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16(samples))));

    EXPECT_FALSE(s.loadImage({}));
    EXPECT_FALSE(s.hasRecording());

    const std::vector<uint8_t> shortImage(43, 0);
    EXPECT_FALSE(s.loadImage(shortImage));

    WavRecipe zeroAlign;
    zeroAlign.blockAlign = 0;
    EXPECT_FALSE(s.loadImage(wavBytes(zeroAlign, bytes16(samples))));

    WavRecipe wide;
    wide.bits = 24;
    EXPECT_FALSE(s.loadImage(wavBytes(wide, std::vector<uint8_t>(12, 0))));
    EXPECT_FALSE(s.hasRecording());
    EXPECT_EQ(s.sampleRate(), 0);
}

TEST(ClickSound, AnImageClaimingMoreDataThanItHoldsIsReadOnlyAsFarAsItGoes)
{
    WavRecipe layout;
    layout.dataSizeOverride = 1000000;
    const std::vector<int16_t> samples = {7, 8, 9};
    ClickSound s;
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16(samples))));
    EXPECT_EQ(s.recording(), samples);
}

TEST(ClickSound, ReadsAStereoSixteenBitFileAsTheAverage)
{
    TempDir dir;
    writeWav(dir.file("click.wav"), {1000, 3000, -200, -400, 7, 8}, 44100, 2);
    ClickSound s;
    ASSERT_TRUE(s.loadFile(dir.file("click.wav")));
    EXPECT_EQ(s.sampleRate(), 44100);
    EXPECT_EQ(s.recording(), (std::vector<int16_t>{2000, -300, 7}));
}

TEST(ClickSound, ReadsAnEightBitFile)
{
    TempDir dir;
    WavRecipe layout;
    layout.bits = 8;
    layout.rate = 11025;
    writeFile(dir.file("click8.wav"), wavBytes(layout, {127, 255, 0, 137}));
    ClickSound s;
    ASSERT_TRUE(s.loadFile(dir.file("click8.wav")));
    EXPECT_EQ(s.sampleRate(), 11025);
    EXPECT_EQ(s.recording(), (std::vector<int16_t>{0, 32767, -32512, 2560}));
}

TEST(ClickSound, ALongFileIsCutAt240000Frames)
{
    TempDir dir;
    std::vector<int16_t> v(250000);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(i % 1000);
    writeWav(dir.file("long.wav"), v, 48000);
    ClickSound s;
    ASSERT_TRUE(s.loadFile(dir.file("long.wav")));
    ASSERT_EQ(s.frames(), ClickSound::kMaxFileFrames);
    EXPECT_EQ(s.recording()[239999], static_cast<int16_t>(239999 % 1000));
}

TEST(ClickSound, AFileThatCannotBeReadEmptiesTheSound)
{
    TempDir dir;
    writeWav(dir.file("ok.wav"), {1, 2, 3}, 44100);
    WavRecipe wide;
    wide.bits = 24;
    wide.rate = 44100;
    writeFile(dir.file("wide.wav"), wavBytes(wide, std::vector<uint8_t>(30, 5)));
    writeFile(dir.file("junk.wav"), {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});

    ClickSound s;
    for (const char* bad : {"missing.wav", "wide.wav", "junk.wav"}) {
        ASSERT_TRUE(s.loadFile(dir.file("ok.wav")));
        s.prepare(44100);
        ASSERT_EQ(s.workingFrames(), 3);
        EXPECT_FALSE(s.loadFile(dir.file(bad))) << bad;
        EXPECT_FALSE(s.hasRecording()) << bad;
        s.prepare(44100);
        EXPECT_EQ(s.workingFrames(), 0) << bad;
        EXPECT_EQ(s.workingSamples(), nullptr) << bad;
    }
}

TEST(ClickSound, ARecordingAtOrBelowTheProcessingRateIsCopiedUnfiltered)
{
    const auto samples = tone(9000.0, 22050, 2000, 12000.0);
    WavRecipe layout;
    layout.rate = 22050;
    ClickSound s;
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16(samples))));
    s.prepare(44100);
    EXPECT_EQ(s.preparedRate(), 44100);
    ASSERT_EQ(s.workingFrames(), 2000);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), s.workingSamples()));
    s.prepare(22050); // same rate as the recording: still no filter
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), s.workingSamples()));
}

TEST(ClickSound, AHigherRateRecordingIsLowPassedAt045OfTheProcessingRate)
{
    // 48000 -> 44100: corner round(0.45 * 44100) = 19845 Hz, designed at 48000.
    std::vector<int16_t> noiseLike(4000);
    uint32_t x = 12345;
    for (auto& v : noiseLike) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<int16_t>(static_cast<int32_t>(x >> 16) - 32768) / 2;
    }
    WavRecipe layout;
    layout.rate = 48000;
    ClickSound s;
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16(noiseLike))));
    s.prepare(44100);

    std::vector<int16_t> expected = noiseLike;
    dsp::IirFilter f;
    f.designLowPass(19845, 1.0, 1.0, 48000);
    f.processInt16(expected.data(), static_cast<int>(expected.size()));
    ASSERT_EQ(s.workingFrames(), 4000);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), s.workingSamples()));
    EXPECT_EQ(s.recording(), noiseLike); // the recording itself is kept as it was

    // Half-way values round up: 0.45 * 22050 = 9922.5 -> 9923 Hz.
    ClickSound t;
    layout.rate = 44100;
    ASSERT_TRUE(t.loadImage(wavBytes(layout, bytes16(noiseLike))));
    t.prepare(22050);
    std::vector<int16_t> at9923 = noiseLike;
    dsp::IirFilter g;
    g.designLowPass(9923, 1.0, 1.0, 44100);
    g.processInt16(at9923.data(), static_cast<int>(at9923.size()));
    EXPECT_TRUE(std::equal(at9923.begin(), at9923.end(), t.workingSamples()));
}

TEST(ClickSound, TheLowPassTakesOutWhatWouldAlias)
{
    // A 20 kHz tone at 48000 Hz, prepared for 22050 Hz (corner 9923 Hz): mostly gone.
    const auto high = tone(20000.0, 48000, 9600, 16000.0);
    const auto low = tone(500.0, 48000, 9600, 16000.0);
    WavRecipe layout;
    layout.rate = 48000;
    ClickSound h, l;
    ASSERT_TRUE(h.loadImage(wavBytes(layout, bytes16(high))));
    ASSERT_TRUE(l.loadImage(wavBytes(layout, bytes16(low))));
    h.prepare(22050);
    l.prepare(22050);
    const std::vector<int16_t> hw(h.workingSamples(), h.workingSamples() + h.workingFrames());
    const std::vector<int16_t> lw(l.workingSamples(), l.workingSamples() + l.workingFrames());
    EXPECT_LT(rms(hw, 1000, hw.size()), rms(high, 1000, high.size()) * 0.1);
    EXPECT_GT(rms(lw, 1000, lw.size()), rms(low, 1000, low.size()) * 0.95);
}

TEST(ClickSound, PreparingAgainForTheSameRateKeepsTheCopyAndAReloadStartsAfresh)
{
    const auto samples = tone(15000.0, 48000, 1000, 10000.0);
    WavRecipe layout;
    layout.rate = 48000;
    ClickSound s;
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16(samples))));
    s.prepare(44100);
    const std::vector<int16_t> once(s.workingSamples(), s.workingSamples() + s.workingFrames());
    s.prepare(44100); // not filtered a second time
    EXPECT_TRUE(std::equal(once.begin(), once.end(), s.workingSamples()));

    s.markForReload();
    EXPECT_TRUE(s.reloadMarked());
    s.prepare(44100); // made again from the recording: the same result, not filtered twice
    EXPECT_FALSE(s.reloadMarked());
    EXPECT_TRUE(std::equal(once.begin(), once.end(), s.workingSamples()));

    s.prepare(48000); // another rate: a plain copy again
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), s.workingSamples()));
}

TEST(ClickSound, ANewRecordingIsPreparedEvenForTheSameRate)
{
    WavRecipe layout;
    layout.rate = 44100;
    ClickSound s;
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16({1, 2, 3}))));
    s.prepare(44100);
    ASSERT_TRUE(s.loadImage(wavBytes(layout, bytes16({4, 5, 6, 7}))));
    s.prepare(44100);
    ASSERT_EQ(s.workingFrames(), 4);
    EXPECT_EQ(s.workingSamples()[0], 4);
}

TEST(DrumKickResource, IsAMono16BitWaveImageAt22050HzOf11616Samples)
{
    const auto kick = assets::findResource("wave", assets::kDrumKickResource);
    ASSERT_EQ(kick.size(), 44u + 2u * 11616u);
    const std::vector<uint8_t> b(kick.begin(), kick.end());
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(get32(b, 4), b.size() - 8);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(get16(b, 20), 1);      // PCM
    EXPECT_EQ(get16(b, 22), 1);      // mono
    EXPECT_EQ(get32(b, 24), 22050u); // rate
    EXPECT_EQ(get32(b, 28), 44100u); // byte rate
    EXPECT_EQ(get16(b, 32), 2);      // block align
    EXPECT_EQ(get16(b, 34), 16);     // bits
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(get32(b, 40), 2u * 11616u);

    // Found by type without regard to case; nothing under other numbers.
    EXPECT_EQ(assets::findResource("WAVE", 252).data(), kick.data());
    EXPECT_TRUE(assets::findResource("wave", 253).empty());
    EXPECT_TRUE(assets::findResource("ARC", 252).empty());
}

TEST(DrumKickResource, SoundsLikeAKick)
{
    ClickSound s;
    ASSERT_TRUE(s.loadImage(assets::findResource("wave", assets::kDrumKickResource)));
    const auto& v = s.recording();
    ASSERT_EQ(v.size(), 11616u);
    int peak = 0;
    for (int16_t x : v) peak = std::max(peak, std::abs(static_cast<int>(x)));
    EXPECT_GT(peak, 20000);  // loud,
    EXPECT_LT(peak, 32767);  // never clipped
    EXPECT_LT(std::abs(v.front()), 200); // starts and ends without a step
    EXPECT_EQ(v.back(), 0);
    // Low: after the beater's first 20 ms, the body crosses zero at most a
    // couple of hundred times a second.
    int crossings = 0;
    for (size_t i = 441; i + 1 < v.size(); ++i)
        if ((v[i] < 0) != (v[i + 1] < 0)) ++crossings;
    const double seconds = (v.size() - 441) / 22050.0;
    EXPECT_LT(crossings / seconds, 2 * 120.0);
    // And it dies away: the last tenth is far quieter than the first.
    EXPECT_LT(rms(v, v.size() * 9 / 10, v.size()), rms(v, 0, v.size() / 10) * 0.2);
}
