#pragma once
// Auto wah and envelope wah (with the talk box), sharing one filter set.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

enum WahMode : int { kWahSixties = 0, kWahModern = 1, kWahLegacy = 2, kWahTalkBox = 3 };
enum WahSource : int { kWahFixed = 0, kWahSweep = 2, kWahPedal = 3, kWahMidi = 4 };

struct WahParams {
    Param<int> wah_enabled{0};
    Param<int> wah_f1{450};
    Param<int> wah_f2{2200};
    Param<int> wah_auto{kWahSweep};
    Param<float> wah_range{0.8f};
    Param<float> wah_sel{5.0f};
    Param<float> wah_period{1.0f};
    Param<int> wah_mode{kWahSixties};
};

struct EnvWahParams {
    Param<int> ewah_enabled{0};
    Param<float> ewah_f1{450.0f};
    Param<float> ewah_f2{2500.0f};
    Param<float> ewah_f3{1800.0f};
    Param<float> ewah_v1{0.7f};
    Param<float> ewah_v2{0.4f};
    Param<float> ewah_v3{0.0f};
    Param<float> ewah_gain{0.8f};
    Param<float> ewah_q{5.0f};
    Param<int> ewah_log{1};
    Param<int> ewah_peak{0};
    Param<int> ewah_peakmode{0};
    Param<int> ewah_mode{kWahSixties};
};

// Built with the wah; until then the follower measures nothing and the filter
// passes its block unchanged.
class Wah {
public:
    Wah(WahParams& wah, EnvWahParams& env, EffectContext& context) : wah_(wah), env_(env), context_(context) {}
    void start(int /*sampleRate*/) {}
    void followEnvelope(const double* /*buf*/, int /*n*/) {}
    void process(double* /*buf*/, int /*n*/) {}

private:
    WahParams& wah_;
    EnvWahParams& env_;
    EffectContext& context_;
};

} // namespace stravik::effects
