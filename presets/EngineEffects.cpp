#include "presets/EngineEffects.h"

#include "engine/Engine.h"

namespace stravik {

void EngineEffects::distortionTableStale() { engine_.effects().distortionUnit.invalidateTable(); }

void EngineEffects::recompute(Section section)
{
    EffectStages& fx = engine_.effects();
    switch (section) {
    case Section::distortion: fx.distortionUnit.presetLoaded(true); break;
    case Section::ioctrl: fx.toneUnit.presetLoaded(); break;
    case Section::wah:
    case Section::ewah: fx.wahUnit.updateCoefficients(); break;
    case Section::chorus: fx.chorusUnit.prepare(); break;
    case Section::reverb: fx.reverbUnit.prepare(); break; // the tail rings on
    case Section::echo: fx.echoUnit.prepare(); break;
    case Section::phaser: fx.phaserUnit.prepare(engine_.params.phaser.phaser_analog); break;
    case Section::pitch: fx.pitchUnit.prepare(); break;
    case Section::spkcab: fx.ampUnit.setup(); break;
    default: break;
    }
}

int EngineEffects::irCount() const { return engine_.effects().ampUnit.irCount(); }

int EngineEffects::irCode(int index) const { return engine_.effects().ampUnit.irCode(index); }

void EngineEffects::irReferenceLoaded() { engine_.effects().ampUnit.applyPresetIrReference(); }

void EngineEffects::reverbSwitchedOn()
{
    // Switched on, the reverb starts from silence: no old tail comes back.
    engine_.effects().reverbUnit.prepare();
    engine_.effects().reverbUnit.clear();
}

void EngineEffects::wahSwitched() { engine_.effects().wahUnit.updateCoefficients(); }

} // namespace stravik
