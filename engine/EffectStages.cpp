#include "engine/EffectStages.h"

namespace stravik {

EffectStages::EffectStages(EffectParams& p)
    : distortionUnit(p.dist), ampUnit(p.amp), toneUnit(p.io),
      inputCompressorUnit(p.compr, effects::Compressor::Which::Input),
      outputCompressorUnit(p.compr, effects::Compressor::Which::Output), swellUnit(p.swell),
      echoUnit(p.echo), chorusUnit(p.chorus), reverbUnit(p.rev), phaserUnit(p.phaser),
      tremoloUnit(p.trem), pitchUnit(p.pitch), wahUnit(p.wah, p.ewah)
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
}

} // namespace stravik
