#pragma once
// Volume swell: mutes between notes and fades each note in.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct SwellParams {
    Param<int> swell_enabled{0};
    Param<int> swell_place{0};       // 0 before, 1 after the distortion
    Param<float> swell_sense{-50.0f}; // dB
    Param<float> swell_attack{0.3f};
};

// Built with the swell; until then it passes its block unchanged.
class VolumeSwell {
public:
    VolumeSwell(SwellParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void process(double* /*buf*/, int /*n*/) {}

private:
    SwellParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
