#include "effects/tone/CurveFirDesign.h"

#include "dsp/CurveSpline.h"
#include "dsp/MathConstants.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace stravik::effects {
namespace {

constexpr double kLowestHz = 0.01;    // the curve is held flat from here ...
constexpr double kHighestHz = 24000.0; // ... and up to here
// A point must lie strictly inside this range: the curve's end points and the
// low-end curve need room beside it.
constexpr double kPointMinHz = 0.02;

// Zero magnitudes have no logarithm; far below anything audible.
constexpr double kMagnitudeFloor = 1e-12;

} // namespace

CurveFirDesigner::CurveFirDesigner() = default;

int CurveFirDesigner::design(const double* hz, const double* db, int count, int sampleRate, double* taps)
{
    // Usable points, sorted by frequency (insertion: at most 100 of them).
    double px[kMaxPoints];
    double py[kMaxPoints];
    int n = 0;
    count = std::clamp(count, 0, kMaxPoints);
    if (count >= 2) {
        for (int k = 0; k < count; ++k) {
            const double f = hz[k], g = db[k];
            if (!(f > kPointMinHz && f < kHighestHz) || !std::isfinite(g)) continue;
            int at = n;
            while (at > 0 && px[at - 1] > f) --at;
            if (at > 0 && px[at - 1] == f) continue; // same frequency: the first one counts
            for (int j = n; j > at; --j) {
                px[j] = px[j - 1];
                py[j] = py[j - 1];
            }
            px[at] = f;
            py[at] = g;
            ++n;
        }
    }
    if (n < 2) {
        taps[0] = 1.0;
        return 1;
    }

    // The curve over log-frequency, held at the end gains out to 0.01 Hz and
    // 24 kHz (two extra points on each side keep Akima's end slopes flat).
    double cx[kMaxPoints + 4];
    double cy[kMaxPoints + 4];
    const double logLow = std::log10(kLowestHz), logHigh = std::log10(kHighestHz);
    cx[0] = logLow;
    cy[0] = py[0];
    cx[1] = (logLow + std::log10(px[0])) / 2.0;
    cy[1] = py[0];
    for (int k = 0; k < n; ++k) {
        cx[k + 2] = std::log10(px[k]);
        cy[k + 2] = py[k];
    }
    cx[n + 2] = (std::log10(px[n - 1]) + logHigh) / 2.0;
    cy[n + 2] = py[n - 1];
    cx[n + 3] = logHigh;
    cy[n + 3] = py[n - 1];
    dsp::CurveSpline curve;
    curve.buildAkima(cx, cy, n + 4);

    // Below a boost at the lowest point the curve would hold the boost down to
    // DC; the low-end curve brings it back to 0 dB under 0.7 f0 instead.
    // (It is laid out in Hz and read at log10 of the frequency, which makes
    // it practically 0 dB everywhere below 0.7 f0.)
    const double lowEdge = 0.7 * px[0];
    const double lowX[2] = {kLowestHz, lowEdge};
    const double lowY[2] = {0.0, py[0]};
    const double lowD[2] = {0.0, 0.0};
    dsp::CurveSpline lowEnd;
    lowEnd.buildHermite(lowX, lowY, lowD, 2);

    // Even, real spectrum of 4096 bins.
    std::complex<double>* s = linear_.data();
    for (int i = 0; i < kBins; ++i) {
        const double f = static_cast<double>(i) * sampleRate / 4096.0;
        const double logF = f > 0.0 ? std::log10(f) : -HUGE_VAL;
        const double gainDb = (f < lowEdge && py[0] > 0.0) ? lowEnd(logF) : curve(logF);
        requestedDb_[i] = gainDb;
        const double factor = std::clamp(std::pow(10.0, gainDb / 20.0), 0.1, 10.0);
        s[i] = factor / 4096.0;
    }
    s[kBins] = s[kBins - 1];
    for (int i = 1; i < kBins; ++i) s[4096 - i] = s[i];
    linear_.inverse();

    // Linear phase: time 0 in the middle. Keep the central 2048 samples under
    // a Hann window, zero-padded to 8192 for the cepstrum.
    std::complex<double>* c = cepstrum_.data();
    for (int k = 0; k < 2048; ++k) {
        const double h = s[(1024 + k + 2048) % 4096].real();
        const double w = 0.5 * (1.0 - std::cos(dsp::kTwoPi * k / 2047.0));
        c[k] = h * w;
    }
    for (int k = 2048; k < 8192; ++k) c[k] = 0.0;

    // Minimum phase: log magnitude -> cepstrum, fold the anti-causal half onto
    // the causal one, back to the spectrum, exponentiate, back to time.
    cepstrum_.forward();
    for (int k = 0; k < 8192; ++k) c[k] = std::log(std::max(std::abs(c[k]), kMagnitudeFloor));
    cepstrum_.inverse();
    for (int k = 0; k < 8192; ++k) c[k] /= 8192.0;
    for (int k = 1; k <= 4096; ++k) c[k] *= 2.0;
    for (int k = 4097; k < 8192; ++k) c[k] = 0.0;
    cepstrum_.forward();
    for (int k = 0; k < 8192; ++k) c[k] = std::exp(c[k]);
    cepstrum_.inverse();

    for (int k = 0; k < kTaps; ++k) {
        const double w = 0.5 * (1.0 - std::cos(dsp::kTwoPi * (1024 + k) / 2047.0));
        taps[k] = c[k].real() / 8192.0 * w;
    }
    return kTaps;
}

} // namespace stravik::effects
