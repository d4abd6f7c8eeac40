#pragma once
// Comb and all-pass reverb with pre-delay and first reflections.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct ReverbParams {
    Param<int> rev_enabled{0};
    Param<float> rev_dry{0.8f};
    Param<float> rev_amp{0.2f};
    Param<float> rev_room{0.5f};
    Param<int> rev_lfabs{1};
    Param<int> rev_hfabs{1};
    Param<int> rev_fron{1};
    Param<float> rev_frdelay{0.025f};
    Param<float> rev_frvolume{0.25f};
    Param<float> rev_predelay{35.0f}; // ms
};

// Built with the reverb; until then the output block keeps its dry signal.
class Reverb {
public:
    Reverb(ReverbParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    // out: mono (n values) or stereo (n frames); monoIn: n mono samples.
    void process(double* /*out*/, const double* /*monoIn*/, int /*frames*/, bool /*stereoOut*/) {}

private:
    ReverbParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
