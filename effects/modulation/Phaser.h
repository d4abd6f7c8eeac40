#pragma once
// Phaser: swept delay sections, or the "Vintage analog" all-pass chain.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct PhaserParams {
    Param<int> phaser_enabled{0};
    Param<float> phaser_delay{1000.0f}; // "Center freq:", Hz
    Param<float> phaser_depth{50.0f};   // %
    Param<float> phaser_fb{0.65f};
    Param<float> phaser_wet{0.5f};
    Param<float> phaser_dry{0.5f};
    Param<float> phaser_period{2.0f};
    Param<int> phaser_analog{0};
    Param<int> phaser_filt_stages{4};
};

// Built with the phaser; until then it passes its block unchanged.
class Phaser {
public:
    Phaser(PhaserParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void reset() {}
    void process(double* /*buf*/, int /*n*/) {}

private:
    PhaserParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
