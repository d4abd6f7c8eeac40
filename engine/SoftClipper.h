#pragma once
// The last stage before conversion: values within +-0.97 (after the output
// volume) pass untouched; from 0.97 to 1.03 they bend smoothly onto 1.0 and
// everything beyond lands on exactly 1.0, so the 16-bit result never wraps.
#include "dsp/CubicSpline.h"

namespace stravik {

class SoftClipper {
public:
    static constexpr double kKnee = 0.97;
    static const double kWidth; // 1.03 - 0.97 as the double computes it

    SoftClipper();
    // Builds the bend curve (again); called at the start of every run.
    void setup();
    // count values in place; the output volume decides where the bend sits.
    void process(double* buf, int count, float outputVolume);

private:
    dsp::CubicSpline curve_;
};

} // namespace stravik
