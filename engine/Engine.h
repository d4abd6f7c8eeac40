#pragma once
// The audio engine: every parameter and setting the chain reads, the run
// flags, the working buffers, the locks and every stage, with ProcessBlock,
// the one function that takes a block from the input conversion to the
// output device, the output file and the meters.
//
// The engine never includes a window system; it reports to the user through
// UserMessages and to the meters through MeterDisplay. Tests create as many
// engines as they like. An Engine is large (its stages own fixed delay
// lines), so create it on the heap.
#include "dsp/BackgroundWorker.h"
#include "dsp/DenormalGuard.h"
#include "dsp/IirFilter.h"
#include "dsp/Oversampler.h"
#include "dsp/Param.h"
#include "dsp/UserMessages.h"
#include "engine/ChainStages.h"
#include "engine/EffectStages.h"
#include "engine/Meters.h"
#include "engine/OutputDevice.h"
#include "engine/OutputLimiter.h"
#include "engine/ParameterTable.h"
#include "engine/Settings.h"
#include "engine/SoftClipper.h"
#include "engine/StartBeep.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace stravik {

class Engine {
public:
    static constexpr int kBlockFrames = 128;

    explicit Engine(UserMessages& messages);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // ---- parameters and settings (written by the window, presets, MIDI)
    EffectParams params;
    Volumes volumes;
    Settings settings;

    // ---- run flags
    std::atomic<bool> StopRequest{false};
    std::atomic<bool> running{false};
    std::atomic<bool> vstMode{false};
    std::atomic<bool> fileInput{false};       // the input file replaces the live input
    std::atomic<bool> fileOutput{false};      // every block is appended to the output file
    std::atomic<bool> backgroundTrack{false}; // the background track is mixed in
    Param<int> metronomeOn{0};
    // File input raises the processing thread to real-time priority for each
    // block, as live playback needs. A render that runs as fast as it can
    // switches this off: it gains nothing from it and would pay two
    // scheduler calls per block.
    std::atomic<bool> raisePriorityForFileInput{true};
    std::atomic<int> ProcessingRate{48000};
    std::atomic<int> DeviceRate{48000};

    // A preset being applied: from the next block on the chain processes
    // silence (tails ring on) until the guard ends, so that no half-applied
    // preset is ever heard. The flag changes between two blocks.
    class PresetLoadGuard {
    public:
        explicit PresetLoadGuard(Engine& engine);
        ~PresetLoadGuard();
        PresetLoadGuard(const PresetLoadGuard&) = delete;
        PresetLoadGuard& operator=(const PresetLoadGuard&) = delete;

    private:
        Engine& engine_;
    };
    bool presetLoading() const { return PresetLoading.load(); }

    // ---- working buffers
    alignas(64) double WorkBuffer[kBlockFrames] = {};
    alignas(64) double StereoBuffer[2 * kBlockFrames] = {};
    alignas(64) double OversampledBuffer[4 * kBlockFrames] = {};
    int16_t OutputSamples[2 * kBlockFrames] = {};
    int16_t FileInputSamples[kBlockFrames] = {};
    int16_t AsioOutputSamples[2 * kBlockFrames] = {};

    // ---- collaborators
    void setOutputDevice(OutputDevice* device); // null: the null device
    OutputDevice& outputDevice() { return *device_; }
    void setFiles(ChainFiles* files) { files_ = files; }
    ChainFiles* files() const { return files_; }
    // Replaces the effect stages (tests); null restores the engine's own.
    void setStages(ChainStages* stages) { stages_ = stages ? stages : &effects_; }
    ChainStages& stages() { return *stages_; }
    EffectStages& effects() { return effects_; }
    void setMeterDisplay(MeterDisplay* display) { meters_.setDisplay(display); }
    UserMessages& messages() { return messages_; }
    dsp::BackgroundWorker& worker() { return worker_; }
    dsp::Oversampler& distortionOversampler() { return distOversampler_; }
    dsp::Oversampler& ampOversampler() { return ampOversampler_; }
    StartBeep& startBeep() { return beep_; }
    OutputLimiter& limiter() { return limiter_; }

    // ---- parameters by key (the window's controls, MIDI, `--set`)
    // Sets a preset or settings key from text in the key's stored type
    // ("echo_delay", "ictrl_equ3", "SampleRate", ...). While a run is going,
    // the effect the key belongs to recomputes from its new settings. False,
    // with the reason in error (may be null), for an unknown key or a value
    // that does not parse or is out of the key's range; nothing changes then.
    bool setParameter(std::string_view key, std::string_view value, std::string* error = nullptr);
    // Lets the effect of a preset section recompute from its settings.
    void prepareSection(Section section);

    // ---- a processing run
    // Sets the chain up for a run at this rate: both oversamplers, every
    // stage's start operation, the limiter and the soft clipper, the resets
    // of the delay-line stages, the meter delay and clip hold lengths (from
    // the output device and the stereo setting).
    void beginRun(int processingRate);
    // Starts the start tone when the run wants it (a live run, not VST).
    void startBeepIfWanted();
    // At the end of a run: meters back to 0, clip lamps out.
    void endRun();

    // The live paths convert their device block before ProcessBlock: clip
    // test of the raw block and conversion with the input volume.
    void convertInput(const int16_t* samples, int n);
    void convertInputLeft(const int16_t* frames, int n);
    // The same for samples already in full scale +-1.0 (a recording read at
    // full precision): x * InputVolume; the clip lamp lights where a 16-bit
    // input would have been at its limits.
    void convertInput(const double* samples, int n);
    // The last block after the limiter and the soft clipper, before its
    // 16-bit conversion: n values in mono, 2n interleaved in stereo. Valid
    // until the next ProcessBlock; for the processing thread.
    const double* finishedBlock() const { return settings.stereo ? StereoBuffer : WorkBuffer; }
    // A live run's input device: its rate and the decimation low-pass used
    // when it runs at twice the processing rate.
    void prepareDeviceInput(int processingRate, int deviceRate);
    // One block from the input device into WorkBuffer: n frames after
    // decimation, from a device of 1 or 2 channels at the rate given to
    // prepareDeviceInput. At twice the processing rate a mono device is
    // low-passed and every second sample kept; a stereo device gives the
    // right sample of every second frame.
    void convertDeviceBlock(const int16_t* data, int n, int channels);
    // The output device of a run is open: the meters' delay follows its
    // buffer.
    void outputOpened();
    void setInputClip(bool clipped) { inputClip_ = clipped; }
    bool inputClip() const { return inputClip_; }

    // One block of n frames (1..128; the file-input path always uses 128).
    void ProcessBlock(int n);

    // ---- the meters as other threads see them
    struct MeterSnapshot {
        int inputDb = -100;  // the loudest block since the last snapshot, dB (-100: silence)
        int outputDb = -100;
        bool inputClip = false; // the clip lamps
        bool outputClip = false;
    };
    // Any thread; at most one reader (the window's display timer, or the
    // once-a-second line of `korvex run`). Levels are measured while the
    // level meter (LMeterON) is on.
    MeterSnapshot takeMeterSnapshot();

    // ---- observable state (tests, the window)
    int inputLevelDb() const { return inputLevelDb_; }
    int outputLevelDb() const { return outputLevelDb_; }
    const ClipHold& inputClipHold() const { return inputClipHold_; }
    const ClipHold& outputClipHold() const { return outputClipHold_; }
    int clipHoldBlocks() const { return holdLength_; }
    const MeterDelayLine& meterDelayLine() const { return meterDelay_; }
    const dsp::DenormalGuard& antiDenormal() const { return antiDenormal_; }

private:
    void setPresetLoading(bool on);

    // Counts the starts and ends of blocks (odd while one runs). Switching
    // PresetLoading on waits for a block that began before it to end, so
    // that the changes that follow never meet a block that did not see the
    // switch; the block itself never waits.
    std::atomic<std::uint64_t> blockPhase_{0};
    std::atomic<bool> PresetLoading{false};

    void finishMono(int n, bool beepSnapshot);
    void finishStereo(int n, bool beepSnapshot, bool stereoReady);
    void sendToDevice(int bytes);
    void feedMeters(int values);

    UserMessages& messages_;
    dsp::BackgroundWorker worker_;
    EffectStages effects_;
    ChainStages* stages_;
    NullOutputDevice nullDevice_;
    OutputDevice* device_;
    ChainFiles* files_ = nullptr;

    dsp::Oversampler distOversampler_;
    dsp::Oversampler ampOversampler_;
    dsp::DenormalGuard antiDenormal_;
    SoftClipper softClipper_;
    OutputLimiter limiter_;
    StartBeep beep_;

    LevelMeters meters_;
    MeterDelayLine meterDelay_;
    ClipHold inputClipHold_;
    ClipHold outputClipHold_;
    int holdLength_ = 200;
    bool inputClip_ = false;
    dsp::IirFilter decimationLowPass_;
    bool decimating_ = false;
    alignas(64) double decimationScratch_[2 * kBlockFrames] = {};
    int inputLevelDb_ = -100;
    int outputLevelDb_ = -100;
    std::atomic<int> peakInputDb_{-100};
    std::atomic<int> peakOutputDb_{-100};
    std::atomic<bool> inputClipLit_{false};
    std::atomic<bool> outputClipLit_{false};
};

} // namespace stravik
