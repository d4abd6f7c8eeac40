#pragma once
// Input and output compressors: one design, two instances with their own state.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct CompressorParams {
    Param<int> icompr_enabled{0};
    Param<int> ocompr_enabled{0};
    Param<float> compr_i{0.0f};
    Param<float> compr_o{0.0f};
    Param<float> compr_treshi{-15.0f};
    Param<float> compr_tresho{-15.0f};
    Param<float> compr_iattime{0.0f};
    Param<float> compr_oattime{0.0f};
    Param<int> ocompr_beforeamp{0}; // "Place before power amp"
};

// Built with the compressors; until then it passes its block unchanged.
class Compressor {
public:
    enum class Which { Input, Output };
    Compressor(CompressorParams& params, Which which, EffectContext& context)
        : params_(params), context_(context), which_(which) {}
    void start(int /*sampleRate*/) {}
    void process(double* /*buf*/, int /*n*/) {}
    Which which() const { return which_; }

private:
    CompressorParams& params_;
    EffectContext& context_;
    Which which_;
};

} // namespace stravik::effects
