#pragma once
// Overdrive, distortion and metal distortion, run at four times the sample rate.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

enum DistortionMode : int { kOverdrive = 0, kDistortion = 1, kMetalDistortion = 2 };

struct DistortionParams {
    Param<int> dist_enabled{0};
    Param<double> dist_drive{500.0}; // 0..1000
    Param<int> dist_clip{1};         // 0 Soft, 1 Normal, 2 Hard, 3 XHard
    Param<float> dist_lpfreq{5500.0f};
    Param<float> dist_lpq{0.7f};
    Param<int> dist_mode{kOverdrive};
    Param<int> dist_awah{0};      // "After Wah": the wah runs before the distortion
    Param<int> dist_fbon{0};      // "Saturation"
    Param<float> dist_fb{0.2f};
    Param<int> dist_afterwah{0};  // "After Phaser": the phaser runs before the distortion
    Param<float> dist_dry_mix{0.2f};
};

// The stage on the oversampled block. Its shaping arrives with the distortion
// work; until then the block passes unchanged.
class Distortion {
public:
    Distortion(DistortionParams& params, EffectContext& context) : params_(params), context_(context) {}
    void start(int /*sampleRate*/) {}
    void process(double* /*buf*/, int /*n*/) {}
    DistortionParams& params() { return params_; }

private:
    DistortionParams& params_;
    EffectContext& context_;
};

} // namespace stravik::effects
