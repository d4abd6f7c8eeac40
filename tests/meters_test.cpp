// Clip lamps, meter values and averaging, the meter delay line and the start tone.
#include "engine/Meters.h"
#include "engine/StartBeep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace stravik;

namespace {

struct FakeDisplay : MeterDisplay {
    struct Level {
        Meter meter;
        int value, step;
    };
    std::vector<Level> levels;
    std::vector<std::pair<bool, bool>> clips;
    int resets = 0;
    void showLevel(Meter m, int value, int step) override { levels.push_back({m, value, step}); }
    void showClip(bool in, bool out) override { clips.emplace_back(in, out); }
    void resetMeters() override { ++resets; }
};

} // namespace

TEST(Meters, ClipHoldLengthsByRate)
{
    EXPECT_EQ(clipHoldLength(48000), 200);
    EXPECT_EQ(clipHoldLength(44100), 183);
    EXPECT_EQ(clipHoldLength(22050), 91);
}

TEST(Meters, AClipLightsTheLampForTheHoldLength)
{
    ClipHold hold;
    const int h = clipHoldLength(44100);
    hold.update(true, h);
    int litBlocks = 0;
    for (int i = 0; i < 400; ++i) {
        if (!hold.lit()) break;
        ++litBlocks;
        hold.update(false, h);
    }
    EXPECT_EQ(litBlocks, 183); // the clipped block and 182 after it
    hold.countDown();
    EXPECT_EQ(hold.count(), 0); // never below zero
    // A clip while lit loads the full length again.
    hold.update(true, h);
    for (int i = 0; i < 100; ++i) hold.update(false, h);
    hold.update(true, h);
    EXPECT_EQ(hold.count(), 183);
}

TEST(Meters, LevelsBecomeMeterValues)
{
    EXPECT_EQ(meterValue(-50), 0);
    EXPECT_EQ(meterValue(0), 100);
    EXPECT_EQ(meterValue(-100), -100); // silence, drawn as 0
    EXPECT_EQ(meterValue(-6), 88);
}

TEST(Meters, MetersAverageFiveValuesAndRedrawOnlyWhenTheStepChanges)
{
    FakeDisplay d;
    LevelMeters m;
    m.setDisplay(&d);
    for (int i = 0; i < 4; ++i) m.setValues(100, 0);
    EXPECT_TRUE(d.levels.empty()); // nothing before the fifth value
    m.setValues(50, 0);            // average (400 + 50) / 5 = 90
    ASSERT_EQ(d.levels.size(), 2u);
    EXPECT_EQ(d.levels[0].meter, MeterDisplay::kInput);
    EXPECT_EQ(d.levels[0].value, 90);
    EXPECT_EQ(d.levels[0].step, 14); // 90 * 16 / 100
    EXPECT_EQ(d.levels[1].value, 0);
    // Five more giving 91: still step 14 on the input, unchanged output.
    for (int i = 0; i < 5; ++i) m.setValues(91, 0);
    EXPECT_EQ(d.levels.size(), 2u);
    // Values below 0 and above 100 are clamped.
    for (int i = 0; i < 5; ++i) m.setValues(-100, 250);
    ASSERT_EQ(d.levels.size(), 4u);
    EXPECT_EQ(d.levels[2].value, 0);
    EXPECT_EQ(d.levels[3].value, 100);
    EXPECT_EQ(d.levels[3].step, 16);

    m.setClip(true, false);
    m.setClip(true, false);
    m.setClip(false, false);
    ASSERT_EQ(d.clips.size(), 2u); // only changes are passed on
    EXPECT_EQ(d.clips[0], std::make_pair(true, false));
    m.reset();
    EXPECT_EQ(d.resets, 1);
    // After a reset the accumulators start over and step 0 counts as shown.
    for (int i = 0; i < 5; ++i) m.setValues(3, 3);
    EXPECT_EQ(d.levels.size(), 4u);
}

TEST(Meters, DelayLengthFollowsTheOutputBuffer)
{
    // Half the buffer in blocks of 128 frames.
    EXPECT_EQ(meterDelayLength(128 * 2 * 1 * 40, 1), 20);
    EXPECT_EQ(meterDelayLength(128 * 4 * 64, 2), 32);
    EXPECT_EQ(meterDelayLength(0, 2), 50);                 // not a buffered device
    EXPECT_EQ(meterDelayLength(128 * 2 * 1000, 1), 100);   // at most 100
    EXPECT_EQ(meterDelayLength(256, 1), 1);                // at least 1
}

TEST(Meters, DelayLineHandsBackThePairOfLengthBlocksAgo)
{
    MeterDelayLine line;
    line.clear();
    line.setLength(3);
    int in = -1, out = -1;
    std::vector<int> seen;
    for (int b = 1; b <= 8; ++b) {
        line.push(b, 10 * b, in, out);
        seen.push_back(in);
        EXPECT_EQ(out, 10 * in);
    }
    // The pair at the index after the one just written: with three entries
    // that is the pair written two blocks earlier (the cleared entries first).
    EXPECT_EQ(seen, (std::vector<int>{0, 0, 1, 2, 3, 4, 5, 6}));
}

TEST(StartBeep, ClippedSineOf1250HzForAboutFiftyMilliseconds)
{
    StartBeep beep;
    beep.start();
    const int rate = 48000;
    std::vector<int16_t> all;
    int16_t block[128];
    int blocks = 0;
    while (beep.active() && blocks < 100) {
        beep.render(block, 128, 1, rate);
        all.insert(all.end(), block, block + 128);
        ++blocks;
    }
    // 50 ms at 48000 Hz is 2400 frames: the tone ends in the 19th block.
    EXPECT_EQ(blocks, 19);
    EXPECT_EQ(all.back(), 0); // the very last frame is silenced
    int peak = 0;
    for (int16_t s : all) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_EQ(peak, 1500);
    // Frame k = trunc(sin(k * 2500 pi / rate) * 5000) limited to +-1500.
    for (int k : {0, 1, 2, 5, 10, 37}) {
        double v = std::trunc(std::sin(k * 2500.0 * 3.141592654 / rate) * 5000.0);
        v = std::max(-1500.0, std::min(1500.0, v));
        EXPECT_EQ(all[k], static_cast<int16_t>(v)) << k;
    }
    // Zero crossings every 19.2 frames: 1250 Hz.
    int crossings = 0;
    for (size_t i = 1; i < 2400; ++i)
        if ((all[i - 1] < 0) != (all[i] < 0)) ++crossings;
    EXPECT_NEAR(crossings, 2 * 1250 * 0.05, 2);
}

TEST(StartBeep, StereoWritesBothChannels)
{
    StartBeep beep;
    beep.start();
    int16_t block[2 * 128];
    beep.render(block, 128, 2, 22050);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(block[2 * i], block[2 * i + 1]);
    EXPECT_NE(block[20], 0);
    // 0.05 * 22050 = 1102.5 frames: still sounding after the first block.
    EXPECT_TRUE(beep.active());
}
