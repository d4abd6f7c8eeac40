#pragma once
// Amp equaliser, preamp, power stage, speaker model and cabinet convolution.
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/Equaliser.h"

namespace stravik::effects {

struct AmpParams {
    Param<int> spkcab_enabled{0};
    Param<int> spk_gain{0};   // dB, -20..25
    Param<int> spk_gain2{30}; // speaker distortion amount, %
    Param<int> actrl_enabled{0};
    EqualiserSettings actrl;  // actrl_eqtype, actrl_bass.., actrl_equ0..4, a_gequ_*
    Param<int> spkcab_file{0};
    TextParam spk_ir_fname;
    Param<int> ir_num{0};
    Param<int> ir_code{101}; // code of library entry ir_num
    Param<int> spk_dist_enabled{0};
    Param<int> preamp_stage{0};
};

// The amp stages at their places in the chain. Built with the amp simulator;
// until then each passes its block unchanged.
class AmpSimulator {
public:
    AmpSimulator(AmpParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void processPreStage(double* /*buf*/, int /*n*/) {}   // amp equaliser, base rate
    void processAmp(double* /*buf*/, int /*n4*/) {}       // oversampled
    void processCabinet(double* /*buf*/, int /*n*/) {}    // base rate
    AmpParams& params() { return params_; }

private:
    AmpParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
