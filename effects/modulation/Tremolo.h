#pragma once
// Tremolo: sine, triangle or square gain modulation.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct TremoloParams {
    Param<int> trem_enabled{0};
    Param<float> trem_period{0.2f};
    Param<float> trem_level{0.3f};
    Param<int> trem_lfo{0}; // 0 sine, 1 triangle, 2 square
};

// Built with the tremolo; until then it passes its block unchanged.
class Tremolo {
public:
    Tremolo(TremoloParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void process(double* /*buf*/, int /*n*/) {}

private:
    TremoloParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
