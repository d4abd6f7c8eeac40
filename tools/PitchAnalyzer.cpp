#include "tools/PitchAnalyzer.h"

#include <cassert>
#include <cmath>
#include <complex>

namespace stravik::tools {

PitchAnalyzer::PitchAnalyzer()
    : fft_(kTransformSize), block_(kBufferSamples), magnitude_(kTransformSize / 2 + 1, 0.0)
{
}

double PitchAnalyzer::analyse(const int16_t* samples, size_t count)
{
    assert(count >= static_cast<size_t>(kBufferSamples));
    (void)count;
    constexpr int n = kBufferSamples;

    // Scale, remove any DC offset of the input, and window (a parabola that
    // falls to 0 at the start), so the spectrum shows partials as clean peaks.
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        block_[i] = static_cast<float>(samples[i]) / 1000.0f;
        sum += block_[i];
    }
    const float mean = static_cast<float>(sum / n);
    constexpr double half = n / 2;
    double* time = fft_.time();
    for (int i = 0; i < n; ++i) {
        const double x = ((i - 1) - (half - 0.5)) / (half + 0.5);
        block_[i] = static_cast<float>((block_[i] - mean) * (1.0 - x * x));
        time[i] = block_[i];
    }
    for (int i = n; i < kTransformSize; ++i) time[i] = 0.0; // zero padding: twice the resolution
    fft_.forward();
    const std::complex<double>* bins = fft_.spectrum();
    constexpr int nyquist = kTransformSize / 2;
    for (int k = 0; k <= nyquist; ++k) magnitude_[k] = std::abs(bins[k]);

    // A partial counts when it reaches a fifth of the strongest one.
    double strongest = 0.0;
    for (int k = kFirstBin; k < nyquist; ++k) strongest = std::max(strongest, magnitude_[k]);
    const double threshold = strongest / 5.0;

    // The lowest such partial: climb each rise above the threshold to its
    // top. A rise that drops below the threshold right after its top is a
    // stray spike, not a partial.
    int peak = -1;
    double top = 0.0;
    for (int k = kFirstBin; k < nyquist && peak < 0;) {
        if (magnitude_[k] <= threshold) {
            ++k;
            continue;
        }
        int p = -1;
        double previous = 0.0;
        while (k < nyquist) {
            const double m = magnitude_[k];
            if (m > threshold && m > previous) {
                p = k;
                previous = m;
                ++k;
                continue;
            }
            if (m > threshold) { // past the top, still in the partial
                peak = p;
                top = previous;
            }
            break;
        }
        ++k; // gave up this climb (or found the peak, which ends the scan)
    }

    position_ = 0.0;
    if (peak >= 0) {
        const double left = magnitude_[peak - 1];
        const double right = magnitude_[peak + 1];
        if (left > right)
            position_ = peak - 0.5 * (right / top) * (left / top);
        else
            position_ = peak + 0.5 * (right / top) * (right / top);
    }
    const double frequency = position_ / kTransformSize * kSampleRate;
    return frequency > kMaxFrequency ? 0.0 : frequency;
}

} // namespace stravik::tools
