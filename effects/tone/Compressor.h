#pragma once
// Input and output compressors: one design, two instances with their own state.
//
// The gain is worked out once per block from the loudest of the last few block
// peaks and a fixed compression curve (level in dB to level in dB), and moved
// towards that target across the block sample by sample. A sudden jump in
// level can instead start an "attack": the whole block then gets one factor
// that slides from the old gain to the new one over the attack time.
#include "dsp/CubicSpline.h"
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

class Compressor {
public:
    enum class Which { Input, Output };

    // The peak ring holds at most this many blocks (the count used at 44100
    // and 48000 Hz).
    static constexpr int kMaxRing = 8;
    // A block whose level is more than this many times the previous level
    // starts an attack.
    static constexpr double kJumpRatio = 2.0;
    // Below this scaled level the curve is left out: the gain stays 1.
    static constexpr double kQuietLevel = 1e-5;

    Compressor(CompressorParams& params, Which which, EffectContext& context);

    // At the start of a run: ring length for the rate, rings cleared, gain
    // back to 1, no attack, the curve built.
    void start(int sampleRate);
    // In place on n samples (the chain's mono block).
    void process(double* buf, int n);

    Which which() const { return which_; }

    // The compression curve, level in dB to level in dB.
    double curveDb(double levelDb) { return curve_(levelDb); }
    // The transfer of a level a at compression r (0 none, 1 full curve).
    double transfer(double a, double r);

    // Observable state (tests).
    int ringLength() const { return ringLength_; }
    double previousGain() const { return previousGain_; }
    double previousPeak() const { return previousPeak_; }
    bool attackActive() const { return attack_.active; }
    double attackStartGain() const { return attack_.startGain; }
    double attackElapsed() const { return attack_.elapsed; }

private:
    // This instance's three settings.
    float compression() const;
    float thresholdDb() const;
    float attackSeconds() const;

    struct Attack {
        double time = 0.0;    // seconds, taken from the setting every block
        double jumpRatio = kJumpRatio;
        bool active = false;
        double startGain = 1.0;
        double elapsed = 0.0; // seconds into the attack
    };

    CompressorParams& params_;
    EffectContext& context_;
    Which which_;

    dsp::CubicSpline curve_;
    int sampleRate_ = 48000;
    int ringLength_ = kMaxRing;
    double ring_[kMaxRing] = {};
    int ringIndex_ = 0;
    Attack attack_;
    double previousGain_ = 1.0;
    double previousPeak_ = 0.0;
};

} // namespace stravik::effects
