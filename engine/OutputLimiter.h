#pragma once
// Optional peak limiter on the output ("Limiter on output"). It looks back
// over the last four block peaks, pulls a recent peak above 0.9 down to between
// 0.9 and 1.01 with a soft knee, and follows changes of its divisor through a
// 1000 Hz smoothing filter.
#include "dsp/CubicSpline.h"
#include "dsp/IirFilter.h"

namespace stravik {

class OutputLimiter {
public:
    static constexpr float kThreshold = 0.9f; // compared as the single-precision value
    static constexpr int kHistory = 4;        // blocks
    static constexpr double kHeadroom = 0.11;

    OutputLimiter();
    // Designs the smoother for the rate, rebuilds the knee and clears the
    // peak history; called at the start of every run.
    void setup(int sampleRate);
    // count values in place (2 x frames for stereo).
    void process(double* buf, int count, float outputVolume);

    // The divisor the smoother currently applies (for tests).
    double smootherOutput() const { return lastDivisor_; }

private:
    dsp::CubicSpline knee_;
    dsp::IirFilter smoother_;
    double history_[kHistory] = {};
    static constexpr int kScratch = 256; // one block of 128 stereo frames
    double scratch_[kScratch];           // the smoother's outputs
    int index_ = 0;
    double lastDivisor_ = 1.0;
};

} // namespace stravik
