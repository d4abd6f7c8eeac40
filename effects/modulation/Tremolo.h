#pragma once
// Tremolo: sine, triangle or square gain modulation.
//
// The gain moves between 1 - trem_level and 1. Sine and triangle follow the
// LFO time t (the triangle restarts it every period, so rounding never piles
// up; the sine never wraps it); the square counts samples and has 20-sample
// edges so that it does not click. Each shape keeps its own state: switching
// shapes continues the chosen one where it stood. Nothing is ever reset.
#include "dsp/Param.h"
#include "effects/EffectContext.h"

namespace stravik::effects {

struct TremoloParams {
    Param<int> trem_enabled{0};
    Param<float> trem_period{0.2f};
    Param<float> trem_level{0.3f};
    Param<int> trem_lfo{0}; // 0 sine, 1 triangle, 2 square
};

class Tremolo {
public:
    enum Shape : int { kSine = 0, kTriangle = 1, kSquare = 2 };
    // The page offers 0.01 s at least; a preset with a shorter period (0 in
    // particular, which would divide by zero) is held there.
    static constexpr float kMinPeriodSeconds = 0.01f;
    // Length of each edge of the square, in samples.
    static constexpr int kSquareEdge = 20;
    // Samples whose sine phases are worked out together.
    static constexpr int kPiece = 128;

    Tremolo(TremoloParams& params, EffectContext& context) : params_(params), context_(context) {}

    // A processing run starts at this rate. The LFO state carries on.
    void start(int sampleRate) { rate_ = sampleRate; }
    // n mono samples in place.
    void process(double* buf, int n);

    // Inspection (tests).
    double lfoTime() const { return time_; }
    int squareCount() const { return count_; }
    // The square's cycle length N for the current period and rate.
    int squareLength() const;

private:
    float period() const;

    TremoloParams& params_;
    EffectContext& context_;
    int rate_ = 48000;
    double time_ = 0.0; // sine and triangle
    int count_ = 0;     // square
};

} // namespace stravik::effects
