#pragma once
// The engine's effect units, wired to the chain's steps.
#include "engine/ChainStages.h"

#include "effects/EffectContext.h"

#include "effects/modulation/Chorus.h"
#include "effects/modulation/Echo.h"
#include "effects/modulation/Phaser.h"
#include "effects/modulation/PitchShifter.h"
#include "effects/modulation/Reverb.h"
#include "effects/modulation/Tremolo.h"
#include "effects/modulation/Wah.h"
#include "effects/tone/AmpSimulator.h"
#include "effects/tone/Compressor.h"
#include "effects/tone/Distortion.h"
#include "effects/tone/ToneControl.h"
#include "effects/tone/VolumeSwell.h"

namespace stravik {

// The preset-backed parameters of every effect group.
struct EffectParams {
    effects::DistortionParams dist;
    effects::EchoParams echo;
    effects::IoControlParams io;
    effects::PitchParams pitch;
    effects::ReverbParams rev;
    effects::WahParams wah;
    effects::ChorusParams chorus;
    effects::TremoloParams trem;
    effects::EnvWahParams ewah;
    effects::CompressorParams compr;
    effects::PhaserParams phaser;
    effects::AmpParams amp;
    effects::SwellParams swell;
};

// The click of the metronome and the pedal live above the engine; they plug
// in through these.
class ClickSource {
public:
    virtual ~ClickSource() = default;
    // At the start of a run, once the processing rate is known.
    virtual void startRun(int /*sampleRate*/) {}
    virtual void mix(double* buf, int frames, bool stereo) = 0;
};

class PedalSource {
public:
    virtual ~PedalSource() = default;
    virtual void poll() = 0;
};

class EffectStages final : public ChainStages {
public:
    EffectStages(EffectParams& p, effects::EffectContext context);

    void setClickSource(ClickSource* c) { click_ = c; }
    void setPedalSource(PedalSource* p) { pedal_ = p; }

    void startRun(int sampleRate) override;
    void phaserReset() override { phaserUnit.reset(); }
    void chorusReset() override { chorusUnit.reset(); }
    void echoReset() override { echoUnit.reset(); }
    void noiseGate(double* b, int n) override { toneUnit.processNoiseGate(b, n); }
    void inputControl(double* b, int n) override { toneUnit.processInput(b, n); }
    void envelopeFollow(const double* b, int n) override { wahUnit.followEnvelope(b, n); }
    void inputCompressor(double* b, int n) override { inputCompressorUnit.process(b, n); }
    void volumeSwell(double* b, int n) override { swellUnit.process(b, n); }
    void pitchShifter(double* b, int n) override { pitchUnit.process(b, n); }
    void wah(double* b, int n) override { wahUnit.process(b, n); }
    void phaser(double* b, int n) override { phaserUnit.process(b, n); }
    void ampPreStage(double* b, int n) override { ampUnit.processPreStage(b, n); }
    void outputCompressor(double* b, int n) override { outputCompressorUnit.process(b, n); }
    void cabinet(double* b, int n) override { ampUnit.processCabinet(b, n); }
    void tremolo(double* b, int n) override { tremoloUnit.process(b, n); }
    void chorusMono(double* b, int n) override { chorusUnit.processMono(b, n); }
    void outputControl(double* b, int n) override { toneUnit.processOutput(b, n); }
    void echoMono(double* b, int n) override { echoUnit.processMono(b, n); }
    void distortion(double* b, int n4) override { distortionUnit.process(b, n4); }
    void amp(double* b, int n4) override { ampUnit.processAmp(b, n4); }
    void chorusStereo(double* s, int f) override { chorusUnit.processStereo(s, f); }
    void echoSpread(double* s, int f) override { echoUnit.processSpread(s, f); }
    void echoMonoOnStereo(double* s, int f) override { echoUnit.processMonoOnStereo(s, f); }
    void reverb(double* out, const double* in, int f, bool stereoOut) override
    {
        reverbUnit.process(out, in, f, stereoOut);
    }
    void metronome(double* b, int f, bool stereo) override
    {
        if (click_) click_->mix(b, f, stereo);
    }
    void pollPedal() override
    {
        if (pedal_) pedal_->poll();
    }

    effects::EffectContext& context() { return context_; }
    // Whether the amp's impulse response loaded at the start of the last run
    // (when not, its message was shown and the cabinet plays on with the
    // response it had).
    bool ampResponseLoaded() const { return ampResponseLoaded_; }

private:
    effects::EffectContext context_; // before the units: they keep a reference to it

public:
    effects::Distortion distortionUnit;
    effects::AmpSimulator ampUnit;
    effects::ToneControl toneUnit;
    effects::Compressor inputCompressorUnit;
    effects::Compressor outputCompressorUnit;
    effects::VolumeSwell swellUnit;
    effects::Echo echoUnit;
    effects::Chorus chorusUnit;
    effects::Reverb reverbUnit;
    effects::Phaser phaserUnit;
    effects::Tremolo tremoloUnit;
    effects::PitchShifter pitchUnit;
    effects::Wah wahUnit;

private:
    ClickSource* click_ = nullptr;
    PedalSource* pedal_ = nullptr;
    bool ampResponseLoaded_ = true;
};

} // namespace stravik
