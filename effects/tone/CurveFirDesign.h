#pragma once
// Turns an equaliser curve (points of frequency in Hz and gain in dB) into a
// minimum-phase FIR filter of 1024 taps, for the five-band and the graphic
// equalisers.
//
// The curve is an Akima spline over log-frequency, sampled at 2048 bins,
// limited to +-20 dB; the inverse transform of that real spectrum gives a
// linear-phase response, which is windowed to 2048 samples and folded to
// minimum phase through the real cepstrum (so the filter adds no latency of
// its own), then cut to 1024 taps under the falling half of a Hann window.
//
// Designing takes a few milliseconds and runs on the background worker; one
// designer serves one equaliser (its two transforms are planned once).
#include "dsp/Fft.h"

namespace stravik::effects {

class CurveFirDesigner {
public:
    static constexpr int kTaps = 1024;
    static constexpr int kMaxPoints = 100;
    static constexpr int kBins = 2048;

    CurveFirDesigner();

    // Designs the filter for the points (count may exceed kMaxPoints: the rest
    // are ignored) at this sample rate into taps[0..kTaps) and returns the
    // number of taps to load: kTaps, or 1 (a single tap of 1.0, the pass-
    // through) when fewer than two usable points remain. Points with a
    // frequency outside (0.02 Hz, 24000 Hz) or a value that is not a number
    // are left out; the rest are taken in order of frequency, and of equal
    // frequencies the first.
    int design(const double* hz, const double* db, int count, int sampleRate, double* taps);

    // The gain in dB the last design asked for at bin i (i * fs / 4096 Hz),
    // before the +-20 dB limit.
    double requestedDb(int bin) const { return requestedDb_[bin]; }

private:
    dsp::ComplexFft linear_{4096};
    dsp::ComplexFft cepstrum_{8192};
    double requestedDb_[kBins] = {};
};

} // namespace stravik::effects
