#pragma once
// Pitch shifter: overlap-add time stretch read back at the pitch ratio.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct PitchParams {
    Param<int> pitch_enabled{0};
    Param<float> pitch_dry{0.5f};
    Param<float> pitch_wet{0.5f}; // not stored: a preset load sets it to 1 - pitch_dry
    Param<float> pitch_oct{2.0f}; // frequency ratio
    Param<int> pitch_type{1};
};

// Built with the pitch shifter; until then it passes its block unchanged.
class PitchShifter {
public:
    PitchShifter(PitchParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void process(double* /*buf*/, int /*n*/) {}

private:
    PitchParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
