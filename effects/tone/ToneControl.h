#pragma once
// The "IO Control" group: noise gate, input equaliser with hiss and hum
// filters, output equaliser.
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/Equaliser.h"

namespace stravik::effects {

struct IoControlParams {
    Param<int> ictrl_enabled{0};
    Param<int> octrl_enabled{0};
    EqualiserSettings ictrl; // ictrl_eqtype, ictrl_bass.., ictrl_equ0..4, i_gequ_*
    EqualiserSettings octrl; // octrl_eqtype, octrl_bass.., octrl_equ0..4, o_gequ_*
    Param<int> io_hiss{0};
    Param<int> io_50hz{0};
    Param<int> nf_enabled{0};
    Param<float> nf_tresh{-50.0f}; // dB
    Param<float> nf_ratio{2.0f};
};

// Built with the tone controls; until then every call passes its block unchanged.
class ToneControl {
public:
    ToneControl(IoControlParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void processNoiseGate(double* /*buf*/, int /*n*/) {}
    void processInput(double* /*buf*/, int /*n*/) {}
    void processOutput(double* /*buf*/, int /*n*/) {}
    IoControlParams& params() { return params_; }

private:
    IoControlParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
