// test-label: threads
// The processing run on in-memory devices: the order in which devices open
// and unwind, what a start refuses, the toggle, the conversions of a device
// at twice the processing rate, and a device that fails mid-run. (Runs on
// real ALSA devices are tested through `korvex run`.)
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AudioDevices.h"

#include "TestFiles.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace stravik;
using namespace testfiles;

namespace {

// What the devices saw, in order: "open in", "open out", "start in",
// "close in", "close out", ...
struct DeviceLog {
    std::mutex mutex;
    std::vector<std::string> events;
    void add(const std::string& e)
    {
        std::lock_guard lock(mutex);
        events.push_back(e);
    }
    std::vector<std::string> get()
    {
        std::lock_guard lock(mutex);
        return events;
    }
};

// Endless blocks of a signal: sample k of the stream is signal(k).
class SignalInput final : public InputDevice {
public:
    SignalInput(DeviceLog& log, int channels, int rate, int frames, std::function<int16_t(long)> signal)
        : log_(log), channels_(channels), rate_(rate), frames_(frames), signal_(std::move(signal)),
          block_(static_cast<size_t>(channels * frames))
    {
        log_.add("open in");
    }
    ~SignalInput() override { log_.add("close in"); }
    int channels() const override { return channels_; }
    int deviceRate() const override { return rate_; }
    int blockFrames() const override { return frames_; }
    bool start(UserMessages&) override
    {
        log_.add("start in");
        return true;
    }
    int fetch(const int16_t*& data, const std::atomic<bool>& stop) override
    {
        if (stop || failAfter_ == 0) return 0;
        if (failAfter_ > 0) --failAfter_;
        for (auto& s : block_) s = signal_(next_++);
        data = block_.data();
        std::this_thread::yield();
        return frames_;
    }
    void stop() override { log_.add("stop in"); }
    bool failed() const override { return failAfter_ == 0; }
    std::string failureText() const override { return "The capture device has gone away."; }
    long xruns() const override { return 0; }
    std::atomic<long> failAfter_{-1};

private:
    DeviceLog& log_;
    int channels_, rate_, frames_;
    std::function<int16_t(long)> signal_;
    std::vector<int16_t> block_;
    long next_ = 0;
};

// What the output devices of a run played.
struct Played {
    std::mutex mutex;
    std::vector<int16_t> samples;
    void keep(const int16_t* s, int bytes)
    {
        std::lock_guard lock(mutex);
        if (samples.size() < 200000) samples.insert(samples.end(), s, s + bytes / 2);
    }
    std::vector<int16_t> get()
    {
        std::lock_guard lock(mutex);
        return samples;
    }
};

class KeepingOutput final : public LiveOutputDevice {
public:
    KeepingOutput(DeviceLog& log, Played& played) : log_(log), played_(played) { log_.add("open out"); }
    ~KeepingOutput() override { log_.add("close out"); }
    void writeLive(const int16_t* s, int bytes) override { played_.keep(s, bytes); }
    void writeFileInput(const int16_t* s, int bytes) override { played_.keep(s, bytes); }
    void waitForRoom(const std::atomic<bool>&) override {}
    bool start(UserMessages&) override
    {
        log_.add("start out");
        return true;
    }
    void stop() override { log_.add("stop out"); }
    bool failed() const override { return false; }
    std::string failureText() const override { return {}; }
    long xruns() const override { return 0; }

private:
    DeviceLog& log_;
    Played& played_;
};

class TestBackend final : public AudioBackend {
public:
    DeviceLog log;
    bool inputOpens = true, outputOpens = true;
    int inputChannels = 1, inputRateFactor = 1;
    long inputFailsAfter = -1;
    std::function<int16_t(long)> signal = [](long k) { return static_cast<int16_t>((k * 37) % 20000 - 10000); };
    Played played;

    std::vector<std::string> captureDevices() override { return {"default", "second"}; }
    std::vector<std::string> playbackDevices() override { return {"default"}; }
    std::unique_ptr<InputDevice> openInput(int, int rate, UserMessages& m) override
    {
        if (!inputOpens) {
            log.add("refuse in");
            m.show("Error opening audio input device!", {}, MessageIcon::Warning);
            return nullptr;
        }
        auto in = std::make_unique<SignalInput>(log, inputChannels, rate * inputRateFactor, 128 * inputRateFactor,
                                                signal);
        in->failAfter_ = inputFailsAfter;
        return in;
    }
    std::unique_ptr<LiveOutputDevice> openOutput(int, const OutputRequest&, UserMessages& m) override
    {
        if (!outputOpens) {
            log.add("refuse out");
            m.show("Error initializing direct sound!", {}, MessageIcon::Warning);
            return nullptr;
        }
        {
            std::lock_guard lock(played.mutex);
            played.samples.clear();
        }
        return std::make_unique<KeepingOutput>(log, played);
    }
};

struct Observer final : RunObserver {
    bool tuner = false;
    std::atomic<int> ended{0};
    std::atomic<RunEnd> why{RunEnd::None};
    bool tunerRunning() const override { return tuner; }
    void runEnded(RunEnd w) override
    {
        why = w;
        ++ended;
    }
};

struct RunFixture : ::testing::Test {
    TempDir dir;
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    std::unique_ptr<FileRoles> files = std::make_unique<FileRoles>(*engine);
    TestBackend audio;
    Observer observer;
    std::unique_ptr<ProcessingRun> run = std::make_unique<ProcessingRun>(*engine, *files, audio, messages);

    void SetUp() override
    {
        engine->setFiles(files.get());
        engine->settings.stereo = 0;
        engine->settings.BeepOnStart = 0;
        engine->settings.DisableSSaver = 0;
        engine->settings.SampleRate = 44100;
        engine->settings.FileOut = dir.file("out.wav");
        run->setObserver(&observer);
    }
    void TearDown() override
    {
        run.reset();
        engine->setFiles(nullptr);
    }
    // Waits (at most 10 s) until the output holds n samples, then stops.
    std::vector<int16_t> playUntil(size_t n)
    {
        for (int i = 0; i < 10000 && (!run->running() || audio.played.get().size() < n); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        run->stop();
        run->wait();
        return audio.played.get();
    }
};

} // namespace

TEST_F(RunFixture, DevicesOpenInTheirOrderAndAFailureUnwindsWhatWasOpen)
{
    audio.inputOpens = false;
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    run->wait();
    EXPECT_EQ(audio.log.get(), (std::vector<std::string>{"refuse in"}));
    EXPECT_EQ(run->endReason(), RunEnd::OpenFailed);

    // "Alt duplex mode": the output first; the refused input closes it again.
    audio.log.events.clear();
    engine->settings.AltDuplex = 1;
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    run->wait();
    EXPECT_EQ(audio.log.get(), (std::vector<std::string>{"open out", "start out", "refuse in", "close out"}));

    audio.log.events.clear();
    engine->settings.AltDuplex = 0;
    audio.inputOpens = true;
    audio.outputOpens = false;
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    run->wait();
    EXPECT_EQ(audio.log.get(), (std::vector<std::string>{"open in", "refuse out", "close in"}));
    EXPECT_EQ(observer.ended, 3);
    EXPECT_EQ(observer.why, RunEnd::OpenFailed);
    EXPECT_FALSE(engine->running);
}

TEST_F(RunFixture, StartRefusesWhileTheTunerRunsAndCancelAtTheOverwriteQuestionOpensNothing)
{
    observer.tuner = true;
    EXPECT_EQ(run->start(), ProcessingRun::StartResult::TunerRunning);
    EXPECT_EQ(messages.texts().back(), "You must stop guitar tuner.");
    observer.tuner = false;

    writeWav(dir.file("out.wav"), std::vector<int16_t>(100, 7));
    const auto before = readFile(dir.file("out.wav"));
    engine->fileOutput = true;
    messages.queueAnswer(MessageAnswer::Cancel);
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    run->wait();
    EXPECT_EQ(run->endReason(), RunEnd::Cancelled);
    EXPECT_TRUE(audio.log.get().empty());
    EXPECT_EQ(readFile(dir.file("out.wav")), before);
    EXPECT_EQ(messages.texts().back(), "File '" + dir.file("out.wav") + "' already exists!\nDo you want to overwrite it?");
}

// With every effect off the chain passes the device's samples through; the
// start button toggles; everything is closed in order at the end.
TEST_F(RunFixture, ALiveRunPassesTheSignalAndStartStopsIt)
{
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    const auto out = playUntil(128 * 50);
    ASSERT_GE(out.size(), 128u * 50);
    for (size_t k = 0; k < out.size(); ++k) ASSERT_EQ(out[k], audio.signal(static_cast<long>(k))) << k;
    EXPECT_EQ(run->endReason(), RunEnd::Stopped);
    EXPECT_EQ(audio.log.get(), (std::vector<std::string>{"open in", "open out", "start out", "start in", "stop in",
                                                         "close in", "stop out", "close out"}));

    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    while (!run->running()) std::this_thread::yield();
    EXPECT_EQ(run->start(), ProcessingRun::StartResult::StopRequested);
    run->wait();
    EXPECT_EQ(run->endReason(), RunEnd::Stopped);
    EXPECT_EQ(observer.ended, 2);
}

// A device that only runs at 44100 Hz under a 22050 Hz run: a stereo device
// gives the right sample of every second frame; a mono one goes through the
// decimation low-pass (its corner sits at the device's Nyquist frequency), so
// a guitar tone keeps its level.
TEST_F(RunFixture, ADeviceAtTwiceTheRateIsDecimated)
{
    engine->settings.SampleRate = 22050;
    audio.inputRateFactor = 2;
    audio.inputChannels = 2;
    audio.signal = [](long k) { return static_cast<int16_t>(k % 4 == 3 ? (k / 4) % 30000 : -1); };
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    auto out = playUntil(128 * 20);
    ASSERT_GE(out.size(), 128u * 20);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], static_cast<int16_t>(i % 30000)) << i;
    EXPECT_EQ(run->deviceRate(), 44100);

    audio.inputChannels = 1;
    const auto tone = [](double f) {
        return [f](long k) { return static_cast<int16_t>(std::lround(10000 * std::sin(6.283185307179586 * f * k / 44100))); };
    };
    audio.signal = tone(200);
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    out = playUntil(22050);
    ASSERT_GE(out.size(), 22050u);
    int peak = 0, crossings = 0;
    for (size_t i = 11025; i < 22050; ++i) {
        peak = std::max(peak, std::abs(static_cast<int>(out[i])));
        crossings += (out[i - 1] < 0) != (out[i] < 0);
    }
    EXPECT_NEAR(peak, 10000, 150);
    EXPECT_NEAR(crossings, 200, 2); // half a second of 200 Hz at 22050 Hz
}

TEST_F(RunFixture, ADeviceFailingMidRunEndsItWithItsMessageAndAWholeOutputFile)
{
    audio.inputFailsAfter = 40;
    engine->fileOutput = true;
    ASSERT_EQ(run->start(), ProcessingRun::StartResult::Started);
    run->wait();
    EXPECT_EQ(run->endReason(), RunEnd::DeviceFailed);
    EXPECT_EQ(observer.why, RunEnd::DeviceFailed);
    EXPECT_EQ(messages.texts().back(), "The capture device has gone away.");
    EXPECT_EQ(readSamples(dir.file("out.wav")).size(), 40u * 128);
}
