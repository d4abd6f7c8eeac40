#pragma once
// How loud an impulse response is for a guitar: the average magnitude of its
// spectrum between 100 Hz and 5 kHz, where the guitar's energy lies. Responses
// read from files or converted to another rate are scaled so that this
// average becomes 1, and the library's generator stores its responses that way,
// so every response plays at about the same level.
//
// Header-only: the library generator (built before the effects library) uses
// it too.
#include "dsp/Fft.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace stravik::effects {

inline constexpr int kLevelFftSize = 8192;

// The first min(n, 8192) samples, zero-padded to 8192, through fft (an
// 8192-point real FFT); the magnitudes of bins trunc(100*8192/fs) up to (not
// including) trunc(5000*8192/fs) are averaged. Returns the average (0 when
// the range holds no bin or the response is silent).
inline double averageMagnitude100To5k(const double* h, int n, int fs, dsp::RealFft& fft)
{
    const int size = fft.size();
    double* t = fft.time();
    const int used = std::clamp(n, 0, size);
    for (int i = 0; i < used; ++i) t[i] = h[i];
    for (int i = used; i < size; ++i) t[i] = 0.0;
    fft.forward();
    if (fs <= 0) return 0.0;
    const int first = static_cast<int>(100.0 * size / fs);
    const int last = std::min(static_cast<int>(5000.0 * size / fs), size / 2 + 1);
    if (last <= first) return 0.0;
    const std::complex<double>* s = fft.spectrum();
    double sum = 0.0;
    for (int k = first; k < last; ++k) sum += std::abs(s[k]);
    return sum / (last - first);
}

// The factor that makes that average 1: with L = 20 log10(average) + 5, the
// samples are multiplied by 10^((5 - L) / 20). A silent response (or one whose
// measure is not a finite number) gets 1, so it is never scaled to infinity.
inline double levelNormalisationGain(double average)
{
    if (!(average > 0.0) || !std::isfinite(average)) return 1.0;
    const double level = 20.0 * std::log10(average) + 5.0;
    const double gain = std::pow(10.0, (5.0 - level) / 20.0);
    return std::isfinite(gain) ? gain : 1.0;
}

} // namespace stravik::effects
