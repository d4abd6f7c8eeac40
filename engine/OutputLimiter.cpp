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
    if (threshold > m) {
        // Below the threshold: no division, but the smoother keeps heading for 1.
        for (int i = 0; i < count; ++i) lastDivisor_ = smoother_.processSample(1.0);
        return;
    }
    const double e = m - threshold;
    const double g = e < 1.0 ? knee_(e) : 1.0;
    const double d = m / (threshold + kHeadroom * g);
    for (int i = 0; i < count; ++i) {
        const double s = smoother_.processSample(d);
        lastDivisor_ = s;
        buf[i] = buf[i] / s;
    }
}

} // namespace stravik
