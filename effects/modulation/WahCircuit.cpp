#include "effects/modulation/WahCircuit.h"

#include "dsp/MathConstants.h"

#include <algorithm>
#include <cmath>

namespace stravik::effects {

WahCircuitPolynomials WahCircuitPolynomials::design(double q, int sampleRate)
{
    // The component values of the circuit are folded into these constants;
    // R is the resonance control's resistance in series with its fixed part.
    const double a = 2.0 * sampleRate;
    const double a2 = a * a;
    const double a3 = a2 * a;
    const double R = 70000.0 * q + 15000.0;
    const double K = 50000.0 * R;

    const double u = -2.244e15 - (547114871.0 * K + 6.8e13 * R + 2.0617523228e13 * R) - 9.02544225e14
                     - 6.80112642e14;
    const double c50 = 10.0 * a * (8.54998634266134e17 * R + 6.8e18 + 3.29788560714e19);
    const double c18 = a2 * (1247914961.0 * K + 8.1058223396e13 * R + 4.270140329e18);
    const double c17 = 7.154e6 * a3 * R;
    const double c22 = 4000.0 * a * (-5.266907745e15 - 1.59667219e14 * R);
    const double c49 = 400.0 * a2 * (-7.98016325e14 - 2.20626e11 * R);
    const double m = -2e6 * a3 * R;

    WahCircuitPolynomials p;
    p.A[0] = 2e6 * u - c50 - c18 - 5954.0 * c17;
    p.B[0] = 639200.0 * m + c22 + c49;
    p.A[1] = 6e6 * u - c50 + c18 + 17862.0 * c17;
    p.B[1] = c22 - c49 - 1.9176e6 * m;
    p.A[2] = c18 + c50 + 6e6 * u - 17862.0 * c17;
    p.B[2] = 1.9176e6 * m - c22 - c49;
    p.A[3] = c50 + 2e6 * u - c18 + 5954.0 * c17;
    p.B[3] = c49 - c22 - 639200.0 * m;

    const double c37 = 50000.0 * a * (-2.6583412e13 - 2.3135542572e11 * R);
    const double w = 50000.0 * (-6.3096e9 - 191275240.0 * R);
    const double c14 = a2 * (18819467.0 * R + 2.82705e10);
    p.N[0] = -500.0 * c37 - 1e8 * w + 1e8 * c14 - 14100.0 * m;
    p.N[1] = -8.46e10 * a3 * R - 1e8 * c14 - 500.0 * c37 - 3e8 * w;
    p.N[2] = 500.0 * c37 - 3e8 * w - 1e8 * c14 - 42300.0 * m;
    p.N[3] = 500.0 * c37 - 1e8 * w + 1e8 * c14 + 14100.0 * m;
    return p;
}

void WahCircuitPolynomials::coefficients(double p, double* b, double* a) const
{
    const double inv = 1.0 / (A[0] + B[0] * p);
    for (int k = 0; k < 4; ++k) b[k] = N[k] * inv;
    a[0] = 1.0;
    for (int k = 1; k < 4; ++k) a[k] = (A[k] + B[k] * p) * inv;
}

double complexPoleAngle(double a1, double a2, double a3)
{
    // z = t - a1/3 turns the cubic into t^3 + P t + Q = 0.
    const double P = a2 - a1 * a1 / 3.0;
    const double Q = 2.0 * a1 * a1 * a1 / 27.0 - a1 * a2 / 3.0 + a3;
    const double disc = (Q / 2.0) * (Q / 2.0) + (P / 3.0) * (P / 3.0) * (P / 3.0);
    if (!(disc > 0.0)) return -1.0; // three real roots
    const double s = std::sqrt(disc);
    const double u = std::cbrt(-Q / 2.0 + s);
    const double v = std::cbrt(-Q / 2.0 - s);
    // The pair: -(u+v)/2 +- i sqrt(3)/2 (u-v), shifted back by -a1/3.
    const double re = -(u + v) / 2.0 - a1 / 3.0;
    const double im = std::sqrt(3.0) / 2.0 * std::fabs(u - v);
    return std::atan2(im, re);
}

double wahCircuitResonance(double q, int sampleRate, double p)
{
    const WahCircuitPolynomials poly = WahCircuitPolynomials::design(q, sampleRate);
    double b[4], a[4];
    poly.coefficients(p, b, a);
    const double angle = complexPoleAngle(a[1], a[2], a[3]);
    if (angle < 0.0) return -1.0;
    return sampleRate / dsp::kTwoPi * angle;
}

void WahPositionTable::build(int sampleRate)
{
    const WahCircuitPolynomials poly = WahCircuitPolynomials::design(kTableResonance, sampleRate);
    // The resonance falls as p rises, so walking p downwards gives the points
    // in ascending frequency, as the spline wants them. A point that does not
    // continue the ascent (no complex poles at some exotic rate) is left out
    // rather than handing the spline a zero-width interval.
    count_ = 0;
    for (int k = kPoints - 1; k >= 0; --k) {
        const double p = k / 9.0;
        double b[4], a[4];
        poly.coefficients(p, b, a);
        const double angle = complexPoleAngle(a[1], a[2], a[3]);
        if (angle <= 0.0) continue;
        const double f = sampleRate / dsp::kTwoPi * angle;
        if (count_ > 0 && !(f > freq_[count_ - 1])) continue;
        freq_[count_] = f;
        pos_[count_] = p;
        ++count_;
    }
    spline_.build(freq_, pos_, count_, dsp::CubicSpline::kNatural, dsp::CubicSpline::kNatural);
    spline_.setClamp(false);
    rate_ = sampleRate;
}

double WahPositionTable::position(double f)
{
    // Outside its points the spline's end cubics swing back: below about
    // 270 Hz (the pedal's heel-down range reaches 100 Hz) they would throw
    // the wah to the top of its range. Past the ends the pot stays at its stop.
    if (count_ == 0) return 0.0;
    if (f <= freq_[0]) return pos_[0];
    if (f >= freq_[count_ - 1]) return pos_[count_ - 1];
    const double p = spline_(f);
    if (!(p > 0.0)) return 0.0; // also catches NaN
    return p < 1.0 ? p : 1.0;
}

void WahCircuitFilter::process(double* buf, int n, double from, double to)
{
    if (n <= 0) return;
    const double* A = poly_.A;
    const double* B = poly_.B;
    const double* N = poly_.N;
    const double g = inputGain_;
    const double span = to - from;
    double x1 = x1_, x2 = x2_, x3 = x3_, y1 = y1_, y2 = y2_, y3 = y3_;
    for (int i = 0; i < n; ++i) {
        const double p = from + span * i / n;
        const double inv = 1.0 / (A[0] + B[0] * p);
        const double x = buf[i] * g;
        const double y = (N[0] * x + N[1] * x1 + N[2] * x2 + N[3] * x3 - (A[1] + B[1] * p) * y1
                          - (A[2] + B[2] * p) * y2 - (A[3] + B[3] * p) * y3)
                         * inv;
        x3 = x2;
        x2 = x1;
        x1 = x;
        y3 = y2;
        y2 = y1;
        y1 = y;
        buf[i] = y;
    }
    x1_ = x1;
    x2_ = x2;
    x3_ = x3;
    y1_ = y1;
    y2_ = y2;
    y3_ = y3;
}

void WahCircuitFilter::reset()
{
    x1_ = x2_ = x3_ = 0.0;
    y1_ = y2_ = y3_ = 0.0;
}

} // namespace stravik::effects
