#include "engine/EffectStages.h"

#include "engine/WavFile.h"

namespace stravik {

namespace {

// The amp reads impulse-response files with the engine's WAV reader.
class AmpWaveFiles final : public effects::WaveFileSource {
public:
    int open(const std::string& path, effects::WaveLayout& layout) override
    {
        const WavError e = reader_.open(path);
        if (e != kWavOk) return e;
        const WavFormat& f = reader_.format();
        layout = {f.formatTag, f.channels, static_cast<int>(f.sampleRate & 0x7FFFFFFFu), f.blockAlign,
                  f.bitsPerSample, reader_.frames()};
        return 0;
    }
    size_t read(void* dst, size_t bytes) override { return reader_.read(dst, bytes); }
    void close() override { reader_.close(); }

private:
    WavReader reader_;
};

} // namespace

EffectStages::EffectStages(EffectParams& p, effects::EffectContext context)
    : context_(context), distortionUnit(p.dist, context_),
      ampUnit(p.amp, context_, std::make_unique<AmpWaveFiles>()), toneUnit(p.io, context_),
      inputCompressorUnit(p.compr, effects::Compressor::Which::Input, context_),
      outputCompressorUnit(p.compr, effects::Compressor::Which::Output, context_), swellUnit(p.swell, context_),
      echoUnit(p.echo, context_), chorusUnit(p.chorus, context_), reverbUnit(p.rev, context_),
      phaserUnit(p.phaser, context_), tremoloUnit(p.trem, context_), pitchUnit(p.pitch, context_),
      wahUnit(p.wah, p.ewah, context_)
{
}

void EffectStages::startRun(int sampleRate)
{
    // In the order the stages sit in the chain; each start operation only
    // touches its own unit.
    toneUnit.start(sampleRate);
    wahUnit.start(sampleRate);
    inputCompressorUnit.start(sampleRate);
    outputCompressorUnit.start(sampleRate);
    swellUnit.start(sampleRate);
    pitchUnit.start(sampleRate);
    phaserUnit.start(sampleRate);
    distortionUnit.start(sampleRate);
    ampResponseLoaded_ = ampUnit.start(sampleRate);
    tremoloUnit.start(sampleRate);
    chorusUnit.start(sampleRate);
    echoUnit.start(sampleRate);
    reverbUnit.start(sampleRate);
    if (click_) click_->startRun(sampleRate);
}

} // namespace stravik
