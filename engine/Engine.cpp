#include "engine/Engine.h"

#include "dsp/Realtime.h"
#include "engine/Samples.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace stravik {

Engine::Engine(UserMessages& messages)
    : messages_(messages), effects_(params, effects::EffectContext{worker_, messages_}), stages_(&effects_),
      device_(&nullDevice_)
{
    distOversampler_.setup(ProcessingRate.load());
    ampOversampler_.setup(ProcessingRate.load());
    // The cabinet's "Max len" is a setting of the program.
    effects_.ampUnit.linkMaxPulseSetting(&settings.MaxPulseCnt);
}

Engine::~Engine() = default;

bool Engine::setParameter(std::string_view name, std::string_view value, std::string* error)
{
    const auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    int index = 0;
    const KeyInfo* key = findKey(name, &index);
    if (key == nullptr || !key->hasLiveValue()) return fail("unknown key '" + std::string(name) + "'");
    const int previousRate = settings.SampleRate;
    if (!setFromText(*this, *key, index, value)) {
        const char* type = key->stored == StoredType::Int     ? "an integer"
                           : key->stored == StoredType::Float ? "a number"
                                                              : "a text";
        return fail("bad value '" + std::string(value) + "' for " + std::string(name) + " (expects " + type + ")");
    }
    if (std::string_view(key->name) == "SampleRate") {
        // The chain runs at these rates only.
        const int rate = settings.SampleRate;
        if (rate != 22050 && rate != 44100 && rate != 48000) {
            settings.SampleRate = previousRate;
            return fail("SampleRate must be 22050, 44100 or 48000, not '" + std::string(value) + "'");
        }
    }
    if (running && isPresetSection(key->section)) prepareSection(key->section);
    return true;
}

void Engine::prepareSection(Section section)
{
    EffectStages& fx = effects_;
    switch (section) {
    case Section::distortion: fx.distortionUnit.presetLoaded(true); break;
    case Section::ioctrl: fx.toneUnit.presetLoaded(); break;
    case Section::wah:
    case Section::ewah: fx.wahUnit.updateCoefficients(); break;
    case Section::chorus: fx.chorusUnit.prepare(); break;
    case Section::reverb: fx.reverbUnit.prepare(); break; // the tail rings on
    case Section::echo: fx.echoUnit.prepare(); break;
    case Section::phaser: fx.phaserUnit.prepare(params.phaser.phaser_analog); break;
    case Section::pitch: fx.pitchUnit.prepare(); break;
    case Section::spkcab: fx.ampUnit.setup(); break;
    default: break;
    }
}

Engine::PresetLoadGuard::PresetLoadGuard(Engine& engine) : engine_(engine) { engine_.setPresetLoading(true); }

Engine::PresetLoadGuard::~PresetLoadGuard() { engine_.setPresetLoading(false); }

void Engine::setPresetLoading(bool on)
{
    // Both this store and the block's count at its start are sequentially
    // consistent: either the block sees the switch, or the count read here
    // shows the block running and this waits for its end.
    PresetLoading.store(on, std::memory_order_seq_cst);
    if (!on) return;
    const std::uint64_t phase = blockPhase_.load(std::memory_order_seq_cst);
    if (phase % 2 == 0) return;
    while (blockPhase_.load(std::memory_order_acquire) == phase)
        std::this_thread::sleep_for(std::chrono::microseconds(50));
}

void Engine::setOutputDevice(OutputDevice* device) { device_ = device ? device : &nullDevice_; }

void Engine::beginRun(int processingRate)
{
    ProcessingRate = processingRate;
    distOversampler_.setup(processingRate, dsp::Oversampler::kFactor);
    ampOversampler_.setup(processingRate, dsp::Oversampler::kFactor);
    stages_->startRun(processingRate);
    limiter_.setup(processingRate);
    softClipper_.setup();
    stages_->phaserReset();
    stages_->chorusReset();
    stages_->echoReset();
    std::memset(OutputSamples, 0, sizeof(OutputSamples));
    meterDelay_.clear();
    const int channels = settings.stereo ? 2 : 1;
    meterDelay_.setLength(meterDelayLength(device_->bufferBytes(), channels));
    holdLength_ = clipHoldLength(processingRate);
    inputClipHold_.clear();
    outputClipHold_.clear();
}

void Engine::startBeepIfWanted()
{
    if (settings.BeepOnStart && !fileInput && !vstMode) beep_.start();
}

void Engine::endRun()
{
    meters_.reset();
    inputClipHold_.clear();
    outputClipHold_.clear();
    inputClipLit_ = false;
    outputClipLit_ = false;
}

Engine::MeterSnapshot Engine::takeMeterSnapshot()
{
    MeterSnapshot m;
    m.inputDb = peakInputDb_.exchange(-100, std::memory_order_relaxed);
    m.outputDb = peakOutputDb_.exchange(-100, std::memory_order_relaxed);
    m.inputClip = inputClipLit_.load(std::memory_order_relaxed);
    m.outputClip = outputClipLit_.load(std::memory_order_relaxed);
    return m;
}

void Engine::convertInput(const int16_t* samples, int n)
{
    inputClip_ = samples::clipTest(samples, n);
    samples::inputConvert(samples, WorkBuffer, n, volumes.InputVolume);
}

void Engine::convertInput(const double* samples, int n)
{
    const double volume = volumes.InputVolume;
    bool clipped = false;
    for (int i = 0; i < n; ++i) {
        WorkBuffer[i] = samples[i] * volume;
        clipped = clipped || std::fabs(samples[i]) >= 32767.0 / 32768.0;
    }
    inputClip_ = clipped;
}

void Engine::convertInputLeft(const int16_t* frames, int n)
{
    // The clip test looks at the raw block as the device delivered it.
    inputClip_ = samples::clipTest(frames, 2 * n);
    samples::inputConvertLeft(frames, WorkBuffer, n, volumes.InputVolume);
}

void Engine::prepareDeviceInput(int processingRate, int deviceRate)
{
    DeviceRate = deviceRate;
    decimating_ = deviceRate != processingRate;
    decimationLowPass_.designLowPass(processingRate, 1.0, 1.0, deviceRate);
    decimationLowPass_.reset();
}

void Engine::convertDeviceBlock(const int16_t* data, int n, int channels)
{
    n = std::clamp(n, 0, kBlockFrames);
    inputClip_ = samples::clipTest(data, n);
    const float volume = volumes.InputVolume;
    if (!decimating_) {
        if (channels == 2)
            samples::inputConvertLeft(data, WorkBuffer, n, volume);
        else
            samples::inputConvert(data, WorkBuffer, n, volume);
        return;
    }
    if (channels == 2) {
        // The right sample of every second frame, without a low-pass.
        for (int i = 0; i < n; ++i) samples::inputConvert(data + 4 * i + 3, WorkBuffer + i, 1, volume);
        return;
    }
    samples::inputConvert(data, decimationScratch_, 2 * n, volume);
    decimationLowPass_.process(decimationScratch_, 2 * n);
    for (int i = 0; i < n; ++i) WorkBuffer[i] = decimationScratch_[2 * i + 1];
}

void Engine::outputOpened()
{
    meterDelay_.clear();
    meterDelay_.setLength(meterDelayLength(device_->bufferBytes(), settings.stereo ? 2 : 1));
}

void Engine::sendToDevice(int bytes)
{
    if (settings.UseASIO || vstMode) return; // those paths read the buffers themselves
    if (fileInput)
        device_->writeFileInput(OutputSamples, bytes);
    else
        device_->writeLive(OutputSamples, bytes);
}

void Engine::ProcessBlock(int n)
{
    assert(n <= kBlockFrames && "blocks are at most 128 frames");
    if (n > kBlockFrames) n = kBlockFrames;
    if (n < 1 && !fileInput) return;
    struct Phase {
        std::atomic<std::uint64_t>& count;
        explicit Phase(std::atomic<std::uint64_t>& c) : count(c) { count.fetch_add(1, std::memory_order_seq_cst); }
        ~Phase() { count.fetch_add(1, std::memory_order_release); }
    } phase(blockPhase_);
    auto& p = params;
    const bool stereo = settings.stereo != 0;
    const bool useAsio = settings.UseASIO != 0;
    const bool meterOn = settings.LMeterON != 0;

    // Placements fixed for the whole block.
    int wahPosition = 1;
    if (p.dist.dist_awah == 1)
        wahPosition = 0;
    else if ((p.wah.wah_enabled && p.wah.wah_mode == effects::kWahTalkBox)
             || (p.ewah.ewah_enabled && p.ewah.ewah_mode == effects::kWahTalkBox))
        wahPosition = 2;
    const int swellPlace = p.swell.swell_place;
    const bool compressorBeforeAmp = p.compr.ocompr_beforeamp != 0;
    const bool beepSnapshot = beep_.active();

    // While the start tone sounds on a live device, nothing is processed.
    if (!useAsio && !vstMode && beepSnapshot && !fileInput && !device_->isPacedPin()) {
        const int channels = stereo ? 2 : 1;
        beep_.render(OutputSamples, n, channels, ProcessingRate);
        device_->writeLive(OutputSamples, n * 2 * channels);
        return;
    }

    // File input: the chain reads its own block, paced by the output.
    if (fileInput) {
        n = kBlockFrames;
        if (files_ == nullptr || !files_->readInputBlock(FileInputSamples, kBlockFrames)) {
            StopRequest = true;
            if (files_ == nullptr) std::memset(FileInputSamples, 0, sizeof(FileInputSamples));
        }
        if (files_ != nullptr) {
            const int64_t overshoot = files_->inputPosition() - files_->inputFrames();
            if (overshoot >= kBlockFrames) {
                std::memset(FileInputSamples, 0, sizeof(FileInputSamples));
                StopRequest = true;
            } else if (overshoot > 0) {
                std::memset(FileInputSamples + (kBlockFrames - overshoot), 0,
                            sizeof(int16_t) * static_cast<size_t>(overshoot));
            }
        }
        if (!device_->isPacedPin() && !useAsio) device_->waitForRoom(StopRequest);
        if (raisePriorityForFileInput) dsp::raiseThreadPriority();
        convertInput(FileInputSamples, kBlockFrames);
    }

    // A preset is being applied: process silence so that no half-applied
    // setting is heard, while tails ring on.
    if (PresetLoading) std::memset(WorkBuffer, 0, sizeof(double) * n);

    // A tiny offset keeps the recursive filters out of denormal numbers.
    antiDenormal_.process(WorkBuffer, n);

    // Idle delay-line stages clear themselves.
    if (!p.phaser.phaser_enabled) stages_->phaserReset();
    if (!p.chorus.chorus_enabled) stages_->chorusReset();
    if (!p.echo.echo_enabled) stages_->echoReset();

    // Input clip lamp.
    if (meterOn) inputClipHold_.update(inputClip_, holdLength_);

    // Input section: gate, input tone control, input level.
    if (p.io.nf_enabled) stages_->noiseGate(WorkBuffer, n);
    stages_->inputControl(WorkBuffer, n);
    if (meterOn) inputLevelDb_ = static_cast<int>(samples::blockPeakDb(WorkBuffer, n));

    // Dynamics and modulation before the amp: envelope follower, input
    // compressor, swell, pitch, the wah where the distortion wants it first,
    // the phaser when it goes before the distortion.
    if (p.ewah.ewah_enabled) stages_->envelopeFollow(WorkBuffer, n);
    if (p.compr.icompr_enabled) stages_->inputCompressor(WorkBuffer, n);
    if (p.swell.swell_enabled && swellPlace == 0) stages_->volumeSwell(WorkBuffer, n);
    if (p.pitch.pitch_enabled) stages_->pitchShifter(WorkBuffer, n);
    const auto wahOn = [&] { return p.wah.wah_enabled || p.ewah.ewah_enabled; };
    if (wahOn() && wahPosition == 0) stages_->wah(WorkBuffer, n);
    if (p.phaser.phaser_enabled && p.dist.dist_afterwah) stages_->phaser(WorkBuffer, n);

    // Distortion and amp section. With both off only the swell, the wah
    // and the compressor of this section run, in the same order.
    if (p.dist.dist_enabled) {
        distOversampler_.upsample(OversampledBuffer, WorkBuffer, n);
        stages_->distortion(OversampledBuffer, 4 * n);
        distOversampler_.downsample(WorkBuffer, OversampledBuffer, n);
    }
    if (p.swell.swell_enabled && swellPlace == 1) stages_->volumeSwell(WorkBuffer, n);
    if (wahOn() && wahPosition == 1) stages_->wah(WorkBuffer, n);
    if (p.amp.spkcab_enabled) stages_->ampPreStage(WorkBuffer, n);
    if (compressorBeforeAmp && p.compr.ocompr_enabled) stages_->outputCompressor(WorkBuffer, n);
    if (p.amp.spkcab_enabled) {
        ampOversampler_.upsample(OversampledBuffer, WorkBuffer, n);
        stages_->amp(OversampledBuffer, 4 * n);
        ampOversampler_.downsample(WorkBuffer, OversampledBuffer, n);
        stages_->cabinet(WorkBuffer, n);
    }

    // After the amp: the talk box, the output compressor, tremolo, chorus,
    // phaser and output tone control.
    if (wahOn() && wahPosition == 2) stages_->wah(WorkBuffer, n);
    if (!compressorBeforeAmp && p.compr.ocompr_enabled) stages_->outputCompressor(WorkBuffer, n);
    if (p.trem.trem_enabled) stages_->tremolo(WorkBuffer, n);
    if (p.chorus.chorus_enabled && !(p.chorus.chorus_stereo && stereo)) stages_->chorusMono(WorkBuffer, n);
    if (p.phaser.phaser_enabled && !p.dist.dist_afterwah) stages_->phaser(WorkBuffer, n);
    stages_->outputControl(WorkBuffer, n);

    // The stereo chorus widens the signal.
    bool stereoReady = false;
    if (p.chorus.chorus_enabled && p.chorus.chorus_stereo && stereo) {
        samples::widen(WorkBuffer, StereoBuffer, n);
        stages_->chorusStereo(StereoBuffer, n);
        stereoReady = true;
    }

    // Echo: the spread form widens too; once stereo, the echo follows.
    if (p.echo.echo_enabled) {
        if (stereo && p.echo.echo_2tap && p.echo.echo_2tapspread != 0.0f) {
            if (!stereoReady) samples::widen(WorkBuffer, StereoBuffer, n);
            stages_->echoSpread(StereoBuffer, n);
            stereoReady = true;
        } else if (stereoReady) {
            stages_->echoMonoOnStereo(StereoBuffer, n);
        } else {
            stages_->echoMono(WorkBuffer, n);
        }
    }

    // Finish: reverb, click, limiter, soft clipper, conversion, background,
    // device and output file.
    if (!stereo)
        finishMono(n, beepSnapshot);
    else
        finishStereo(n, beepSnapshot, stereoReady);

    // Meters.
    if (meterOn && !beep_.active()) feedMeters(stereo ? 2 * n : n);

    // With JACK the chain runs during the start tone, but the tone is heard
    // (in the block's own length: a JACK period may end in a shorter piece).
    if (useAsio && beep_.active() && !vstMode) beep_.render(AsioOutputSamples, n, stereo ? 2 : 1, ProcessingRate);

    // The pedal is read every few blocks.
    if (p.wah.wah_enabled && p.wah.wah_auto == effects::kWahPedal && settings.JoyEnable)
        stages_->pollPedal();

    // The block is done: back to normal scheduling until the next one.
    dsp::normalThreadPriority();

    // The background track reads ahead; file progress for the Files page.
    if (files_ != nullptr) {
        if (backgroundTrack) files_->readBackgroundBlock(kBlockFrames);
        if (fileInput || backgroundTrack) files_->reportProgress();
    }
}

void Engine::finishMono(int n, bool beepSnapshot)
{
    auto& p = params;
    const float outVol = volumes.OutputVolume;
    if (p.rev.rev_enabled) stages_->reverb(WorkBuffer, WorkBuffer, n, false);
    if (metronomeOn) stages_->metronome(WorkBuffer, n, false);
    if (settings.EnableLimiter) limiter_.process(WorkBuffer, n, outVol);
    softClipper_.process(WorkBuffer, n, outVol);
    samples::outputConvert(WorkBuffer, OutputSamples, n, outVol);
    const bool background = backgroundTrack && files_ != nullptr;
    if (background) files_->mixBackground(OutputSamples, n, false);
    sendToDevice(2 * n);
    if (settings.UseASIO && !vstMode) std::memcpy(AsioOutputSamples, OutputSamples, 2 * n);
    if (fileOutput && files_ != nullptr) {
        // Without "Mix to output file" the file gets the guitar alone.
        if (settings.Mix2Out == 0 && background) samples::outputConvert(WorkBuffer, OutputSamples, n, outVol);
        if (!beepSnapshot) files_->appendOutput(OutputSamples, n);
    }
}

void Engine::finishStereo(int n, bool beepSnapshot, bool stereoReady)
{
    auto& p = params;
    const float outVol = volumes.OutputVolume;
    if (!stereoReady) samples::widen(WorkBuffer, StereoBuffer, n);
    if (p.rev.rev_enabled) {
        // After an earlier widening the stereo stages no longer update the
        // mono buffer: the reverb's source is the fold-down.
        if (stereoReady) samples::fold(StereoBuffer, WorkBuffer, n);
        stages_->reverb(StereoBuffer, WorkBuffer, n, true);
    }
    if (metronomeOn) stages_->metronome(StereoBuffer, n, true);
    if (settings.EnableLimiter) limiter_.process(StereoBuffer, 2 * n, outVol);
    softClipper_.process(StereoBuffer, 2 * n, outVol);
    samples::outputConvert(StereoBuffer, OutputSamples, 2 * n, outVol);
    const bool background = backgroundTrack && files_ != nullptr;
    if (background) files_->mixBackground(OutputSamples, n, true);
    sendToDevice(4 * n);
    if (settings.UseASIO && !vstMode) std::memcpy(AsioOutputSamples, OutputSamples, 4 * n);
    if (fileOutput && files_ != nullptr) {
        if (settings.Mix2Out == 0 && background)
            samples::outputConvert(StereoBuffer, OutputSamples, 2 * n, outVol);
        if (!beepSnapshot) files_->appendOutput(OutputSamples, 2 * n);
    }
}

void Engine::feedMeters(int values)
{
    outputLevelDb_ = static_cast<int>(samples::blockPeakDb(OutputSamples, values));
    outputClipHold_.update(samples::clipTest(OutputSamples, values), holdLength_);
    meters_.setClip(inputClipHold_.lit(), outputClipHold_.lit());
    const auto raise = [](std::atomic<int>& peak, int db) {
        int seen = peak.load(std::memory_order_relaxed);
        while (db > seen && !peak.compare_exchange_weak(seen, db, std::memory_order_relaxed)) {
        }
    };
    raise(peakInputDb_, inputLevelDb_);
    raise(peakOutputDb_, outputLevelDb_);
    inputClipLit_.store(inputClipHold_.lit(), std::memory_order_relaxed);
    outputClipLit_.store(outputClipHold_.lit(), std::memory_order_relaxed);
    const int inValue = meterValue(inputLevelDb_);
    const int outValue = meterValue(outputLevelDb_);
    if (!fileInput) {
        meters_.setValues(inValue, outValue);
    } else {
        int delayedIn = 0, delayedOut = 0;
        meterDelay_.push(inValue, outValue, delayedIn, delayedOut);
        meters_.setValues(delayedIn, delayedOut);
    }
}

} // namespace stravik
