#include "engine/EffectStages.h"

namespace stravik {

EffectStages::EffectStages(EffectParams& p, effects::EffectContext context)
    : context_(context), distortionUnit(p.dist, context_), ampUnit(p.amp, context_), toneUnit(p.io, context_),
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
    ampUnit.start(sampleRate);
    tremoloUnit.start(sampleRate);
    chorusUnit.start(sampleRate);
    echoUnit.start(sampleRate);
    reverbUnit.start(sampleRate);
    if (click_) click_->startRun(sampleRate);
}

} // namespace stravik
