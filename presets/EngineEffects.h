#pragma once
// The engine's effect units as the preset loader and the effect switches
// need them.
#include "presets/PresetStore.h"

namespace stravik {

class Engine;

class EngineEffects final : public PresetEffects {
public:
    explicit EngineEffects(Engine& engine) : engine_(engine) {}

    void distortionTableStale() override;
    void recompute(Section section) override;
    int irCount() const override;
    int irCode(int index) const override;
    void irReferenceLoaded() override;
    void reverbSwitchedOn() override;
    void wahSwitched() override;

private:
    Engine& engine_;
};

} // namespace stravik
