// test-label: threads
// The audio thread with every stage on at its costliest (bench/EveryStageRig.h):
// it allocates nothing, in ProcessBlock or in a processing run's loop, while
// another thread moves every control of every effect as fast as it can,
// switches effects and loads presets; and the blocks stay sound meanwhile.
// ThreadSanitizer runs this program: a design the audio thread could read
// half-written shows up there as a race.
#include "AllocationCounter.h"

#include "bench/EveryStageRig.h"
#include "bench/SliderStorm.h"
#include "bench/StageTiming.h"

#include "TestFiles.h"
#include "assets/DemoGuitar.h"
#include "dsp/CpuFeatures.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AudioDevices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

using namespace stravik;

namespace {

struct StormOutcome {
    long blocks = 0;
    long changes = 0;
    long allocations = 0;
    long unsoundSamples = 0; // not finite, or far beyond full scale
};

// The rig runs on the guitar (this thread) while a control thread storms it
// until both the blocks and the changes are done; only ProcessBlock counts
// its allocations.
StormOutcome runStorm(bool includeSwitches, long blocks, long changes)
{
    SilentMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    EXPECT_TRUE(rig::apply(*engine, rig::everyStageSettings()));
    const std::vector<double> guitar = timing::sixtySecondGuitar();
    const dsp::cpu::ScopedFlushToZero flushToZero;
    engine->beginRun(timing::kRate);
    engine->running = true;

    std::atomic<bool> stop{false};
    std::atomic<long> made{0};
    std::thread control([&] {
        storm::Controller c(*engine, includeSwitches, 99);
        while (!stop.load(std::memory_order_relaxed)) {
            c.step();
            made.store(c.changes, std::memory_order_relaxed);
        }
    });
    StormOutcome out;
    size_t at = 0;
    gAllocations = 0;
    while (out.blocks < blocks || made.load(std::memory_order_relaxed) < changes) {
        std::copy_n(guitar.data() + at, timing::kFrames, engine->WorkBuffer);
        at = (at + timing::kFrames) % (guitar.size() - timing::kFrames);
        tCountAllocations = true;
        engine->ProcessBlock(timing::kFrames);
        tCountAllocations = false;
        const double* result = engine->finishedBlock();
        for (int i = 0; i < 2 * timing::kFrames; ++i)
            if (!std::isfinite(result[i]) || std::fabs(result[i]) > 4.0) ++out.unsoundSamples;
        ++out.blocks;
    }
    out.allocations = gAllocations.load();
    stop = true;
    control.join();
    out.changes = made.load();
    engine->running = false;
    return out;
}

} // namespace

TEST(AudioThread, EveryControlMovedFromAnotherThreadWhileEveryStageRuns)
{
    // Sliders, lists, the wah pedal, cabinet changes and the reverb's clear,
    // and now and then the whole rig loaded as a preset.
    const StormOutcome o = runStorm(false, 1500, 300);
    EXPECT_EQ(o.allocations, 0);
    EXPECT_EQ(o.unsoundSamples, 0);
}

TEST(AudioThread, EffectsSwitchedOnAndOffFromAnotherThreadWhileTheRestMoves)
{
    const StormOutcome o = runStorm(true, 1500, 2000);
    EXPECT_EQ(o.allocations, 0);
    EXPECT_EQ(o.unsoundSamples, 0);
}

namespace {

// Endless 128-frame blocks of the guitar. Between its 50th and its 450th
// block it counts what the run's thread allocates (everything the loop does
// between two fetches: the conversion, ProcessBlock, the device write), then
// asks the run to stop.
class CountingInput final : public InputDevice {
public:
    CountingInput(Engine& engine, std::atomic<long>& counted)
        : engine_(engine), counted_(counted), guitar_(timing::sixtySecondGuitar())
    {
    }
    int channels() const override { return 1; }
    int deviceRate() const override { return timing::kRate; }
    int blockFrames() const override { return timing::kFrames; }
    bool start(UserMessages&) override { return true; }
    int fetch(const int16_t*& data, const std::atomic<bool>& stop) override
    {
        if (stop) return 0;
        if (fetched_ == 50) {
            gAllocations = 0;
            tCountAllocations = true;
        } else if (fetched_ == 450) {
            tCountAllocations = false;
            counted_ = gAllocations.load();
            engine_.StopRequest = true;
            return 0;
        }
        for (int i = 0; i < timing::kFrames; ++i)
            block_[i] = static_cast<int16_t>(guitar_[(at_ + static_cast<size_t>(i)) % guitar_.size()] * 32000.0);
        at_ += timing::kFrames;
        ++fetched_;
        data = block_;
        return timing::kFrames;
    }
    void stop() override {}
    bool failed() const override { return false; }
    std::string failureText() const override { return {}; }
    long xruns() const override { return 0; }

private:
    Engine& engine_;
    std::atomic<long>& counted_;
    std::vector<double> guitar_;
    int16_t block_[timing::kFrames] = {};
    size_t at_ = 0;
    int fetched_ = 0;
};

class SilentOutput final : public LiveOutputDevice {
public:
    void writeLive(const int16_t*, int) override {}
    void writeFileInput(const int16_t*, int) override {}
    void waitForRoom(const std::atomic<bool>&) override {}
    bool start(UserMessages&) override { return true; }
    void stop() override {}
    bool failed() const override { return false; }
    std::string failureText() const override { return {}; }
    long xruns() const override { return 0; }
};

class CountingBackend final : public AudioBackend {
public:
    explicit CountingBackend(Engine& engine) : engine_(engine) {}
    std::vector<std::string> captureDevices() override { return {"default"}; }
    std::vector<std::string> playbackDevices() override { return {"default"}; }
    std::unique_ptr<InputDevice> openInput(int, int, UserMessages&) override
    {
        return std::make_unique<CountingInput>(engine_, counted);
    }
    std::unique_ptr<LiveOutputDevice> openOutput(int, const OutputRequest&, UserMessages&) override
    {
        return std::make_unique<SilentOutput>();
    }
    std::atomic<long> counted{-1}; // allocations over 400 blocks of the loop

private:
    Engine& engine_;
};

} // namespace

TEST(AudioThread, TheRunLoopAllocatesNothingWithEveryStageOn)
{
    testfiles::TempDir dir;
    RecordingMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    auto files = std::make_unique<FileRoles>(*engine);
    engine->setFiles(files.get());
    ASSERT_TRUE(rig::apply(*engine, rig::everyStageSettings()));
    engine->settings.SampleRate = timing::kRate;
    engine->settings.DisableSSaver = 0;
    engine->settings.FileOut = dir.file("out.wav");
    CountingBackend audio(*engine);
    {
        ProcessingRun run(*engine, *files, audio, messages);
        ASSERT_EQ(run.start(), ProcessingRun::StartResult::Started);
        run.wait();
        EXPECT_EQ(audio.counted.load(), 0);
    }
    engine->setFiles(nullptr);
}
