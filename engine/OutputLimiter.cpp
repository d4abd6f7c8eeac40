#include "engine/OutputLimiter.h"

namespace stravik {

OutputLimiter::OutputLimiter() { setup(48000); }

void OutputLimiter::setup(int sampleRate)
{
    static const double x[5] = {0.0, 0.05, 0.115, 0.25, 1.0};
    static const double y[5] = {0.0, 0.22, 0.38, 0.555, 1.0};
    knee_.build(x, y, 5, dsp::CubicSpline::kNatural, dsp::CubicSpline::kNatural);
    knee_.setClamp(false);
    smoother_.designLowPass(1000, 1.0, 1.0, sampleRate);
    // Start the smoother where it settles during silence (divisor 1). From a
    // cleared history its first outputs would be near zero, and a loud first
    // block would be divided by them: amplified hundreds of times instead of
    // limited.
    smoother_.fillHistory(1.0, 1.0);
    lastDivisor_ = 1.0;
    for (double& h : history_) h = 0.0;
    index_ = 0;
}

void OutputLimiter::process(double* buf, int count, float outputVolume)
{
    double largest = 0.0, smallest = 0.0;
    for (int i = 0; i < count; ++i) {
        if (buf[i] > largest) largest = buf[i];
        if (buf[i] < smallest) smallest = buf[i];
    }
    const double peak = largest > -smallest ? largest : -smallest;
    history_[index_] = static_cast<double>(outputVolume) * peak;
    double m = 0.0;
    for (double h : history_)
        if (h > m) m = h;
    index_ = (index_ + 1) % kHistory;

    const double threshold = kThreshold;
    const bool below = threshold > m;
    double d = 1.0;
    if (!below) {
        const double e = m - threshold;
        const double g = e < 1.0 ? knee_(e) : 1.0;
        d = m / (threshold + kHeadroom * g);
    }
    // The smoother is fed the divisor once per value; below the threshold it
    // keeps heading for 1 while the block stays untouched.
    for (int start = 0; start < count; start += kScratch) {
        const int len = count - start < kScratch ? count - start : kScratch;
        for (int i = 0; i < len; ++i) scratch_[i] = d;
        smoother_.process2(scratch_, len);
        lastDivisor_ = scratch_[len - 1];
        if (!below)
            for (int i = 0; i < len; ++i) buf[start + i] /= scratch_[i];
    }
}

} // namespace stravik
