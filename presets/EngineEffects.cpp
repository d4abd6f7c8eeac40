#include "presets/EngineEffects.h"

#include "engine/Engine.h"

namespace stravik {

void EngineEffects::distortionTableStale() { engine_.effects().distortionUnit.invalidateTable(); }

void EngineEffects::recompute(Section section) { engine_.prepareSection(section); }

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
