#pragma once
// A processing run for the controller tests: a recording (a minute of a
// 220 Hz tone, longer than any test runs) through the whole chain into an output paced like a live device,
// with the run's controllers (pedal, MIDI, preset shortcuts on a store in
// memory) plugged in as the program plugs them.
#include "control/RunControllers.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/devices/AudioDevices.h"
#include "presets/EngineEffects.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"
#include "presets/Shortcuts.h"

#include "TestFiles.h"
#include "dsp/RecordingMessages.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace controlrig {

constexpr int kToneAmplitude = 8000;

// The peak of every block played, kept for the test thread.
class PlayedBlocks {
public:
    PlayedBlocks() { peaks_.reserve(1 << 16); }
    void add(int peak)
    {
        std::lock_guard lock(mutex_);
        if (peaks_.size() < peaks_.capacity()) peaks_.push_back(peak);
    }
    long count() const
    {
        std::lock_guard lock(mutex_);
        return static_cast<long>(peaks_.size());
    }
    // The peaks of blocks from..to-1 (as far as there are any).
    std::vector<int> peaks(long from, long to) const
    {
        std::lock_guard lock(mutex_);
        to = std::min<long>(to, static_cast<long>(peaks_.size()));
        if (from >= to) return {};
        return std::vector<int>(peaks_.begin() + from, peaks_.begin() + to);
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> peaks_;
};

// Takes one block per block period at 48 kHz, as a sound card would.
class PacedOutput final : public stravik::LiveOutputDevice {
public:
    explicit PacedOutput(PlayedBlocks& played) : played_(played) {}
    void writeLive(const int16_t*, int) override {}
    void writeFileInput(const int16_t* s, int bytes) override
    {
        int peak = 0;
        for (int i = 0; i < bytes / 2; ++i) peak = std::max(peak, std::abs(static_cast<int>(s[i])));
        played_.add(peak);
    }
    void waitForRoom(const std::atomic<bool>& stop) override
    {
        using namespace std::chrono;
        const auto now = steady_clock::now();
        if (next_ < now - milliseconds(50)) next_ = now; // fell behind: no burst to catch up
        next_ += microseconds(2667);
        while (!stop && steady_clock::now() < next_) std::this_thread::sleep_for(microseconds(500));
    }
    bool start(stravik::UserMessages&) override
    {
        next_ = std::chrono::steady_clock::now();
        return true;
    }
    void stop() override {}
    bool failed() const override { return false; }
    std::string failureText() const override { return {}; }
    long xruns() const override { return 0; }

private:
    PlayedBlocks& played_;
    std::chrono::steady_clock::time_point next_{};
};

class PacedBackend final : public stravik::AudioBackend {
public:
    PlayedBlocks played;

    std::vector<std::string> captureDevices() override { return {"none"}; }
    std::vector<std::string> playbackDevices() override { return {"paced"}; }
    std::unique_ptr<stravik::InputDevice> openInput(int, int, stravik::UserMessages&) override { return nullptr; }
    std::unique_ptr<stravik::LiveOutputDevice> openOutput(int, const stravik::OutputRequest&,
                                                          stravik::UserMessages&) override
    {
        return std::make_unique<PacedOutput>(played);
    }
};

// Waits (at most `limit`, a guard against a hang, not a measure) until cond holds.
template <typename Cond>
bool waitFor(Cond cond, std::chrono::seconds limit = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct Rig {
    testfiles::TempDir dir;
    stravik::RecordingMessages messages;
    std::unique_ptr<stravik::Engine> engine = std::make_unique<stravik::Engine>(messages);
    stravik::FileRoles files{*engine};
    PacedBackend audio;
    stravik::RegistryStore store{":memory:"};
    stravik::EngineEffects effects{*engine};
    stravik::PresetStore presets{*engine, store, messages, effects};
    stravik::Shortcuts shortcuts{*engine, presets, effects};
    stravik::control::RunControllers controllers{*engine, &shortcuts};
    std::unique_ptr<stravik::ProcessingRun> run =
        std::make_unique<stravik::ProcessingRun>(*engine, files, audio, messages);

    Rig()
    {
        std::vector<int16_t> tone(60 * 48000);
        for (size_t k = 0; k < tone.size(); ++k)
            tone[k] = static_cast<int16_t>(std::lround(kToneAmplitude * std::sin(2 * M_PI * 220.0 * k / 48000.0)));
        testfiles::writeWav(dir.file("in.wav"), tone);
        auto& s = engine->settings;
        s.stereo = 0;
        s.BeepOnStart = 0;
        s.DisableSSaver = 0;
        s.SampleRate = 48000;
        s.FileIn = dir.file("in.wav");
        engine->fileInput = true;
        engine->setFiles(&files);
        run->setRunInputs(&controllers);
    }
    ~Rig()
    {
        run.reset(); // stops the run and waits for it
        engine->setFiles(nullptr);
    }

    // Starts the run and waits until blocks flow.
    bool start()
    {
        if (run->start() != stravik::ProcessingRun::StartResult::Started) return false;
        return waitFor([&] { return run->running() && blocks() > 0; });
    }
    long blocks() const { return audio.played.count(); }
    // Waits until n more blocks have been played.
    bool playBlocks(long n)
    {
        const long until = blocks() + n;
        return waitFor([&] { return blocks() >= until; });
    }
    stravik::effects::WahState wah() const { return engine->effects().wahUnit.state(); }
};

} // namespace controlrig
