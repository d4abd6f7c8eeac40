// The direct path's render queue on an in-memory device: the start delay
// from MaxDelay, the drop rule of the queue level control with its catch-up,
// and the queue-full case.
#include "engine/devices/DirectRender.h"

#include <gtest/gtest.h>

#include <vector>

using namespace stravik;

namespace {

// A device that plays `perBlock` frames between two blocks once started.
class MemoryPackets final : public PacketQueue {
public:
    explicit MemoryPackets(long capacity) : capacity_(capacity) {}
    long queuedFrames() override { return queued_; }
    bool hasRoom(long frames) override { return queued_ + frames <= capacity_; }
    int submit(const int16_t* data, long frames) override
    {
        queued_ += frames;
        sizes.push_back(frames);
        firstValues.push_back(data[0]);
        return 0;
    }
    int startPlaying() override
    {
        started = true;
        queuedAtStart = queued_;
        return 0;
    }
    void play(long frames)
    {
        if (started) queued_ = std::max(0L, queued_ - frames);
    }
    void add(long frames) { queued_ += frames; }

    bool started = false;
    long queuedAtStart = 0;
    std::vector<long> sizes;
    std::vector<int16_t> firstValues;

private:
    long capacity_;
    long queued_ = 128; // the silent block queued when the device opens
};

constexpr int kRate = 48000;
constexpr double kBlockSeconds = 128.0 / kRate;

struct Rig {
    DirectRenderWriter writer;
    MemoryPackets queue{100 * 128};
    std::vector<int16_t> block = std::vector<int16_t>(128, 7);
    double now = 0;
    int blocks = 0;

    explicit Rig(double maxDelayMs) { writer.begin(kRate, 1, maxDelayMs, 0.0); }
    DirectRenderWriter::Result step(long played = 128)
    {
        const auto r = writer.writeLive(block.data(), 128, now, queue);
        now += kBlockSeconds;
        queue.play(played);
        ++blocks;
        return r;
    }
    // Until the 300-block reference has been taken.
    void settle()
    {
        while (!writer.drift().referenceTaken()) ASSERT_EQ(step(), DirectRenderWriter::Result::Ok);
    }
};

} // namespace

TEST(DirectRender, BlocksAreQueuedUntilMaxDelayMinus5ms)
{
    Rig r(20.0); // playback starts 15 ms after the devices opened
    while (!r.queue.started) {
        ASSERT_LT(r.now, 0.015 + kBlockSeconds);
        r.step();
    }
    // The block that started it came at 15 ms or later, the one before it earlier.
    EXPECT_GE(r.now - kBlockSeconds, 0.015);
    EXPECT_LT(r.now - 2 * kBlockSeconds, 0.015);
    // Everything written up to then waited: the silent block and each block.
    EXPECT_EQ(r.queue.queuedAtStart, 128L * r.blocks);
}

TEST(DirectRender, AtFiveMsOrLessPlaybackStartsWithTheFirstBlock)
{
    for (double ms : {5.0, 2.0, 0.0}) {
        Rig r(ms);
        r.step();
        EXPECT_TRUE(r.queue.started) << ms;
        EXPECT_EQ(r.queue.queuedAtStart, 128) << ms; // only the silent block so far
    }
}

TEST(DirectRender, AQueueGrownByMoreThan512FramesDropsBlocksUntilWithin126)
{
    Rig r(10.0);
    r.settle();
    const long reference = r.writer.drift().reference();
    const long normal = r.queue.queuedFrames();
    EXPECT_EQ(r.writer.droppedBlocks(), 0);

    // The device stalls: 600 more frames wait than at the reference.
    r.queue.add(reference + 600 - normal);
    const size_t before = r.queue.sizes.size();
    ASSERT_EQ(r.step(), DirectRenderWriter::Result::Ok);
    EXPECT_EQ(r.writer.droppedBlocks(), 1);
    EXPECT_TRUE(r.writer.catchingUp());
    ASSERT_EQ(r.queue.sizes.size(), before + 1);
    EXPECT_EQ(r.queue.sizes.back(), 2); // 4 bytes of mono silence instead of the block
    EXPECT_EQ(r.queue.firstValues.back(), 0);

    // Dropping goes on until the 11-block deviation is within 126 frames.
    for (int i = 0; i < 200 && r.writer.catchingUp(); ++i) r.step();
    EXPECT_FALSE(r.writer.catchingUp());
    EXPECT_GT(r.writer.droppedBlocks(), 1);
    EXPECT_LE(r.writer.deviation(), DirectRenderWriter::kCatchUpToleranceFrames);
    EXPECT_LE(r.queue.queuedFrames() - reference, DirectRenderWriter::kCatchUpToleranceFrames + 128);
    // Then blocks are queued again.
    const long dropped = r.writer.droppedBlocks();
    for (int i = 0; i < 50; ++i) r.step();
    EXPECT_EQ(r.writer.droppedBlocks(), dropped);
}

TEST(DirectRender, AQueueGrownBy512FramesOrLessKeepsEveryBlock)
{
    Rig r(10.0);
    r.settle();
    r.queue.add(r.writer.drift().reference() + 512 - r.queue.queuedFrames());
    r.step();
    EXPECT_EQ(r.writer.droppedBlocks(), 0);
    EXPECT_FALSE(r.writer.catchingUp());
}

TEST(DirectRender, ABlockThatFindsTheQueueFullIsDropped)
{
    DirectRenderWriter writer;
    MemoryPackets queue(3 * 128); // the silent block and two more
    writer.begin(kRate, 1, 20.0, 0.0);
    const std::vector<int16_t> block(128, 3);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(writer.writeLive(block.data(), 128, 0.0, queue), DirectRenderWriter::Result::Ok);
    EXPECT_EQ(queue.queuedFrames(), 3 * 128);
    EXPECT_EQ(writer.fullBlocks(), 2);
}
