#include "effects/tone/Compressor.h"

#include <algorithm>
#include <cmath>

namespace stravik::effects {
namespace {

// The compression curve: input level in dB to output level in dB. Flat at the
// quiet end (slope 0 at the first point), free at the loud end.
constexpr int kCurvePoints = 8;
constexpr double kCurveIn[kCurvePoints] = {-100.0, -70.0, -60.6, -52.1, -40.7, -25.1, 0.0, 30.0};
constexpr double kCurveOut[kCurvePoints] = {-100.0, -69.5, -56.4, -41.9, -31.8, -25.4, -19.8, -16.0};

} // namespace

Compressor::Compressor(CompressorParams& params, Which which, EffectContext& context)
    : params_(params), context_(context), which_(which)
{
    // Usable before the first run (tests, a chain that was never started).
    start(48000);
}

float Compressor::compression() const
{
    return which_ == Which::Input ? params_.compr_i.get() : params_.compr_o.get();
}

float Compressor::thresholdDb() const
{
    return which_ == Which::Input ? params_.compr_treshi.get() : params_.compr_tresho.get();
}

float Compressor::attackSeconds() const
{
    return which_ == Which::Input ? params_.compr_iattime.get() : params_.compr_oattime.get();
}

void Compressor::start(int sampleRate)
{
    sampleRate_ = sampleRate > 0 ? sampleRate : 48000;
    // About 23 ms of blocks: 8 at 44100 and 48000 Hz, 4 at 22050 Hz. Held to
    // the ring's size so a higher rate cannot run past it.
    const int r = static_cast<int>(sampleRate_ / 5512.0 + 0.1);
    ringLength_ = std::clamp(r, 1, kMaxRing);
    std::fill(std::begin(ring_), std::end(ring_), 0.0);
    ringIndex_ = 0;
    previousGain_ = 1.0;
    previousPeak_ = 0.0;
    attack_ = Attack{};
    curve_.build(kCurveIn, kCurveOut, kCurvePoints, 0.0f, dsp::CubicSpline::kNatural);
}

double Compressor::transfer(double a, double r)
{
    const double level = std::fabs(a);
    if (level < kQuietLevel) return a;
    // The curve is drawn for levels relative to twice full scale.
    const double d = 20.0 * std::log10(level / 2.0);
    const double e = curve_(d) * r + d * (1.0 - r);
    const double out = 2.0 * std::pow(10.0, e / 20.0);
    return a < 0.0 ? -out : out;
}

void Compressor::process(double* buf, int n)
{
    if (n <= 0) return;
    const double r = compression();
    const double k = std::pow(10.0, (thresholdDb() + 15.0) / 20.0);

    // Block peak: the larger of the highest sample and minus the lowest.
    double hi = 0.0, lo = 0.0;
    for (int i = 0; i < n; ++i) {
        hi = std::max(hi, buf[i]);
        lo = std::min(lo, buf[i]);
    }
    const double p = std::max(hi, -lo);

    ring_[ringIndex_] = p;
    ringIndex_ = (ringIndex_ + 1) % ringLength_;
    double peak = 0.0;
    for (int i = 0; i < ringLength_; ++i) peak = std::max(peak, ring_[i]);

    // The level goes through the curve in single precision.
    const double a = static_cast<float>(peak * k);
    // A block of exact zeros has no level to compress: it keeps gain 1
    // rather than dividing 0 by 0.
    const double target = peak > 0.0 ? transfer(a, r) / peak / k : 1.0;

    attack_.time = attackSeconds();
    if (attack_.time > 0.0) {
        // A level that more than doubles (or any level after silence) starts
        // an attack from the gain in use, limited so a long quiet stretch
        // cannot start it from a large boost.
        const bool jump = previousPeak_ > 0.0 ? peak / previousPeak_ > attack_.jumpRatio : peak > 0.0;
        if (jump) {
            attack_.active = true;
            attack_.startGain = std::min(previousGain_, 2.0);
            attack_.elapsed = 0.0;
        }
    } else {
        // With the attack time turned to 0 an attack under way has nothing
        // to run over: it ends, and the plain ramp takes over.
        attack_.active = false;
    }
    previousPeak_ = peak;

    if (attack_.active) {
        const double factor = attack_.startGain + (target - attack_.startGain) * (attack_.elapsed / attack_.time);
        for (int i = 0; i < n; ++i) buf[i] *= factor;
        attack_.elapsed += static_cast<double>(n) / sampleRate_;
        if (attack_.elapsed >= attack_.time) attack_.active = false;
    } else {
        const double g0 = previousGain_;
        for (int i = 0; i < n; ++i) buf[i] *= g0 + (target - g0) * i / n;
    }
    previousGain_ = target;
}

} // namespace stravik::effects
