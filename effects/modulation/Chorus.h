#pragma once
// Chorus: up to three modulated voices from one line; stereo form widens.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct ChorusParams {
    Param<int> chorus_enabled{0};
    Param<float> chorus_delay{0.02f};
    Param<float> chorus_depth{0.01f};
    Param<float> chorus_fb{0.25f};
    Param<float> chorus_wet{0.5f};
    Param<float> chorus_dry{0.5f};
    Param<float> chorus_period{4.0f};
    Param<int> chorus_voices{1};
    Param<int> chorus_stereo{0};
    Param<float> chorus_sdepth{0.02f};
};

// Built with the chorus; until then both forms pass their block unchanged.
class Chorus {
public:
    Chorus(ChorusParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void reset() {}
    void processMono(double* /*buf*/, int /*n*/) {}
    void processStereo(double* /*stereo*/, int /*frames*/) {}

private:
    ChorusParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
