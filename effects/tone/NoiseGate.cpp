#include "effects/tone/NoiseGate.h"

#include <algorithm>
#include <cmath>

namespace stravik::effects {

void NoiseGate::setup(int sampleRate)
{
    window_ = std::clamp(static_cast<int>(sampleRate / 5512.0 + 0.1), 1, kMaxWindow);
    std::fill(levels_, levels_ + kMaxWindow, 0.0);
    index_ = 0;
    level_ = 0.0;
}

void NoiseGate::process(double* buf, int n, double thresholdDb, double ratio)
{
    if (n <= 0) return;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += buf[i] * buf[i];
    levels_[index_] = std::sqrt(sum / n);
    index_ = (index_ + 1) % window_;
    double l = 0.0;
    for (int k = 0; k < window_; ++k) l = std::max(l, levels_[k]);
    level_ = l;
    const double levelDb = 20.0 * std::log10(l / 2.0);
    if (!(thresholdDb > levelDb)) return; // at or above the threshold (or no number): untouched
    double gain = 0.0;
    // Silence over the whole window has no level in dB; the block is silent
    // anyway, and a gain of 0 keeps it so (the formula would give 0/0).
    if (l > 0.0) {
        const double targetDb = thresholdDb - (thresholdDb - levelDb) * ratio;
        gain = std::pow(10.0, targetDb / 20.0) / (l / 2.0);
    }
    for (int i = 0; i < n; ++i) buf[i] *= gain;
    guard_.process(buf, n);
}

} // namespace stravik::effects
