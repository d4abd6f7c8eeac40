// The live writer's arithmetic against an in-memory device: write-ahead,
// the 300-block drift average, the rate adapter's warped blocks, underruns.
#include "engine/devices/DriftCompensation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

using namespace stravik;

namespace {

// A device ring in memory: keeps what is written, plays what it is told to.
struct MemoryQueue : PlaybackQueue {
    int channels = 1;
    long capacity = 1 << 20;
    long queued = 0;
    bool underrunNext = false;
    int recovers = 0;
    std::vector<int16_t> written;

    long queuedFrames() override
    {
        if (underrunNext) {
            underrunNext = false;
            queued = 0;
            return -EPIPE;
        }
        return queued;
    }
    long write(const int16_t* data, long frames) override
    {
        const long n = std::min(frames, capacity - queued);
        written.insert(written.end(), data, data + n * channels);
        queued += n;
        return n;
    }
    int recover(int) override
    {
        ++recovers;
        queued = 0;
        return 0;
    }
    void play(long frames) { queued = std::max(0L, queued - frames); }
};

std::vector<int16_t> ramp(int frames, int step)
{
    std::vector<int16_t> v(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) v[static_cast<size_t>(k)] = static_cast<int16_t>(step * k);
    return v;
}

LiveWriter::Setup setupFor(int rate, int writeAhead, int gap = 0)
{
    LiveWriter::Setup s;
    s.rate = rate;
    s.channels = 1;
    s.writeAheadFrames = writeAhead;
    s.cursorGapFrames = gap;
    return s;
}

} // namespace

TEST(DriftCompensation, WriteAheadIsMaxDelayLessFiveMilliseconds)
{
    EXPECT_EQ(LiveWriter::writeAheadFrames(0.0, 44100), 0);
    EXPECT_EQ(LiveWriter::writeAheadFrames(4.9, 48000), 0);
    EXPECT_EQ(LiveWriter::writeAheadFrames(5.0, 48000), 0);
    EXPECT_EQ(LiveWriter::writeAheadFrames(20.0, 48000), 720);
    EXPECT_EQ(LiveWriter::writeAheadFrames(20.0, 44100), 661);
    EXPECT_EQ(DriftMeasurement::toleranceFor(44100), 4);
    EXPECT_EQ(DriftMeasurement::toleranceFor(48000), 4);
    EXPECT_EQ(DriftMeasurement::toleranceFor(22050), 2);
}

TEST(DriftCompensation, FirstBlockQueuesWriteAheadOfSilenceAndTheGap)
{
    for (int gap : {0, 128}) {
        LiveWriter writer;
        writer.begin(setupFor(48000, 720, gap));
        MemoryQueue q;
        const auto block = ramp(128, 1);
        ASSERT_EQ(writer.write(block.data(), 128, q), 0);
        ASSERT_EQ(q.written.size(), static_cast<size_t>(720 + gap + 128));
        for (int i = 0; i < 720 + gap; ++i) ASSERT_EQ(q.written[static_cast<size_t>(i)], 0);
        EXPECT_EQ(std::vector<int16_t>(q.written.begin() + 720 + gap, q.written.end()), block);
    }
    // Below 5 ms the block goes straight to the play position.
    LiveWriter writer;
    writer.begin(setupFor(48000, 0));
    MemoryQueue q;
    const auto block = ramp(128, 1);
    writer.write(block.data(), 128, q);
    EXPECT_EQ(q.written, block);
}

TEST(DriftCompensation, AverageEvery301BlocksFirstOneOnlySetsTheReference)
{
    // The device plays a frame more per block than it is given: the queue
    // shrinks by a frame per block, far beyond the tolerance.
    LiveWriter writer;
    writer.begin(setupFor(48000, 4800));
    MemoryQueue q;
    const auto block = ramp(128, 1);
    for (int b = 1; b <= 603; ++b) {
        writer.write(block.data(), 128, q);
        q.play(129);
        if (b == 301) {
            EXPECT_FALSE(writer.drift().referenceTaken());
        }
        if (b == 302) {
            EXPECT_TRUE(writer.drift().referenceTaken());
        }
        if (b <= 602) {
            ASSERT_EQ(writer.adapter().target(), 48000.0f) << "block " << b;
        }
    }
    EXPECT_EQ(writer.adapter().target(), 47999.0f);
    EXPECT_EQ(writer.adapter().period(), 48000);
}

TEST(DriftCompensation, TargetMovesOneHertzPerAverageUpToNominalOver128)
{
    for (int direction : {-1, 1}) {
        RateAdapter adapter;
        adapter.reset(44100);
        DriftMeasurement drift;
        drift.setup(44100);
        long distance = 100000;
        for (int average = 0; average < 400; ++average) {
            for (int b = 0; b < 301; ++b) {
                drift.add(distance, adapter);
                distance += direction;
            }
            // The first average is the reference; each later one moves 1 Hz
            // until the limit.
            const float expected = average == 0 ? 44100.0f : 44100.0f + direction * std::min(average, 344);
            ASSERT_EQ(adapter.target(), expected) << "average " << average;
        }
    }
}

TEST(DriftCompensation, AnAverageThatRecoversByItselfLeavesTheTarget)
{
    RateAdapter adapter;
    adapter.reset(48000);
    DriftMeasurement drift;
    drift.setup(48000);
    const auto stretch = [&](long distance) {
        for (int b = 0; b < 301; ++b) drift.add(distance, adapter);
    };
    stretch(1000); // reference
    stretch(900);  // below and falling: down
    EXPECT_EQ(adapter.target(), 47999.0f);
    stretch(950); // below, but rising again: left alone
    EXPECT_EQ(adapter.target(), 47999.0f);
    stretch(1002); // within the tolerance of 4
    EXPECT_EQ(adapter.target(), 47999.0f);
}

TEST(DriftCompensation, SetTargetClampsAndGivesThePeriod)
{
    RateAdapter a;
    a.reset(44100);
    a.setTarget(44099.0f);
    EXPECT_EQ(a.period(), 44100);
    a.setTarget(44102.0f);
    EXPECT_EQ(a.period(), 22050);
    a.setTarget(40000.0f);
    EXPECT_EQ(a.target(), 43756.0f);
    a.setTarget(50000.0f);
    EXPECT_EQ(a.target(), 44444.0f);
    a.setTarget(44100.0f);
    EXPECT_EQ(a.period(), 0);
}

TEST(DriftCompensation, OneStretchedBlockPer44100FramesOneStepBelow44100)
{
    RateAdapter a;
    a.reset(44100);
    a.setTarget(44099.0f);
    const auto block = ramp(128, 1);
    int16_t out[2 * RateAdapter::kStretchedFrames];
    long produced = 0;
    int warped = 0, first = -1;
    for (int b = 0; b < 44100; ++b) { // 44100 x 128 frames
        const int n = a.process(block.data(), 128, 1, out);
        if (n != 0) {
            ASSERT_EQ(n, 129);
            if (first < 0) first = b;
            ++warped;
        }
        produced += n != 0 ? n : 128;
    }
    EXPECT_EQ(warped, 128);
    EXPECT_EQ(produced, 44100L * 128 + 128);
    // The first block to reach the period: 344 x 128 = 44032 frames counted.
    EXPECT_EQ(first, 344);
}

TEST(DriftCompensation, WarpedBlocksInterpolateAndTruncateTowardZero)
{
    // Ramps of 100 per frame up (left) and down (right): the output is 100
    // times the read position, truncated toward zero.
    std::vector<int16_t> stereo(256);
    for (int k = 0; k < 128; ++k) {
        stereo[static_cast<size_t>(2 * k)] = static_cast<int16_t>(100 * k);
        stereo[static_cast<size_t>(2 * k + 1)] = static_cast<int16_t>(-100 * k);
    }
    int16_t out[2 * RateAdapter::kStretchedFrames];
    RateAdapter a;
    a.reset(48000);
    a.setTarget(47625.0f); // P = 128: every block is warped
    ASSERT_EQ(a.process(stereo.data(), 128, 2, out), 129);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[2], 99);       // position 0.99985
    EXPECT_EQ(out[128], 6350);   // position 63.50609
    EXPECT_EQ(out[129], -6350);  // toward zero, not down to -6351
    EXPECT_EQ(out[256], 12700);  // the last frame stands in past the end
    a.setTarget(48375.0f);
    ASSERT_EQ(a.process(stereo.data(), 128, 2, out), 127);
    EXPECT_EQ(out[2], 100);      // position 1.00016
    EXPECT_EQ(out[126], 6350);   // position 63.50628
    EXPECT_EQ(out[127], -6350);
    EXPECT_EQ(out[250], 12600);  // position 126
    EXPECT_EQ(out[252], 12699);  // position 126.99984
}

TEST(DriftCompensation, CounterRestartsWhenTheTargetChangesSides)
{
    RateAdapter a;
    a.reset(44100);
    a.setTarget(44099.0f);
    const auto block = ramp(128, 1);
    int16_t out[2 * RateAdapter::kStretchedFrames];
    for (int b = 0; b < 100; ++b) a.process(block.data(), 128, 1, out);
    EXPECT_EQ(a.counter(), 12800);
    a.setTarget(44098.0f); // same side: the count goes on
    EXPECT_EQ(a.counter(), 12800);
    a.setTarget(44101.0f);
    EXPECT_EQ(a.counter(), 0);
}

TEST(DriftCompensation, UnderrunRestartsBehindAFreshWriteAhead)
{
    LiveWriter writer;
    writer.begin(setupFor(48000, 720));
    MemoryQueue q;
    const auto block = ramp(128, 1);
    for (int b = 0; b < 10; ++b) {
        writer.write(block.data(), 128, q);
        q.play(128);
    }
    q.underrunNext = true;
    q.written.clear();
    ASSERT_EQ(writer.write(block.data(), 128, q), 0);
    EXPECT_EQ(q.recovers, 1);
    EXPECT_EQ(writer.xruns(), 1);
    ASSERT_EQ(q.written.size(), 720u + 128u);
    for (int i = 0; i < 720; ++i) ASSERT_EQ(q.written[static_cast<size_t>(i)], 0);
    EXPECT_EQ(std::vector<int16_t>(q.written.begin() + 720, q.written.end()), block);
    EXPECT_FALSE(writer.drift().referenceTaken());
}

TEST(DriftCompensation, AFullRingTakesWhatFitsAndCountsTheRest)
{
    LiveWriter writer;
    writer.begin(setupFor(48000, 0));
    MemoryQueue q;
    q.capacity = 200;
    const auto block = ramp(128, 1);
    writer.write(block.data(), 128, q);
    writer.write(block.data(), 128, q);
    EXPECT_EQ(q.queued, 200);
    EXPECT_EQ(writer.droppedFrames(), 56);
}
