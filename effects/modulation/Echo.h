#pragma once
// Feedback delay with one or two taps, mono or spread across the stereo image.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct EchoParams {
    Param<int> echo_enabled{0};
    Param<float> echo_dry{0.7f};
    Param<float> echo_wet{0.3f}; // not stored: a preset load sets it to 1 - echo_dry
    Param<float> echo_delay{0.5f};
    Param<float> echo_fb{0.4f};
    Param<int> echo_lpass{0};
    Param<int> echo_2tap{0};
    Param<float> echo_lpfreq{8000.0f};
    Param<float> echo_2tapdel{0.1f};
    Param<float> echo_2tapspread{1.0f};
};

// Built with the echo; until then every form passes its block unchanged.
class Echo {
public:
    Echo(EchoParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void reset() {}
    void processMono(double* /*buf*/, int /*n*/) {}
    void processSpread(double* /*stereo*/, int /*frames*/) {}
    void processMonoOnStereo(double* /*stereo*/, int /*frames*/) {}

private:
    EchoParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
