#include "dsp/IirFilter.h"

#include "dsp/CpuFeatures.h"
#include "dsp/MathConstants.h"
#include "dsp/UserMessages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stravik::dsp {

IirFilter::IirFilter()
{
    std::memset(v_, 0, sizeof(v_));
    v_[kInputGain] = 1.0;
    v_[kDryGain] = 0.0;
}

int IirFilter::limitFrequency(int f, int fs)
{
    const int limit = fs / 2 - 50;
    return f >= limit ? limit : f;
}

void IirFilter::setSecondOrder(double b0, double b1, double b2, double a0, double a1, double a2)
{
    v_[kB0] = b0 / a0;
    v_[kB1] = b1 / a0;
    v_[kB2] = b2 / a0;
    v_[kA1] = a1 / a0;
    v_[kA2] = a2 / a0;
    v_[kB3] = v_[kA3] = v_[kB4] = v_[kA4] = 0.0;
    order_ = 2;
}

void IirFilter::setCoefficients(int order, const double* b, const double* a)
{
    static const int bIndex[5] = {kB0, kB1, kB2, kB3, kB4};
    static const int aIndex[4] = {kA1, kA2, kA3, kA4};
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    for (int i = 0; i <= order && i < 5; ++i) v_[bIndex[i]] = b[i];
    for (int i = 0; i < order && i < 4; ++i) v_[aIndex[i]] = a[i];
    order_ = order;
}

void IirFilter::designFirstOrderHighPass(int f, double gain, int fs)
{
    const double w0 = kTwoPi * f / fs;
    const double k = std::tan(w0 / 2.0);
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    v_[kB0] = 1.0 / (k + 1.0);
    v_[kB1] = -1.0 / (k + 1.0);
    v_[kA1] = (k - 1.0) / (k + 1.0);
    v_[kInputGain] = gain;
    order_ = 1;
}

void IirFilter::designFirstOrderLowPass(double f, double gain, int fs)
{
    const double w0 = kTwoPi * f / fs;
    const double k = std::tan(w0 / 2.0);
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    v_[kB0] = k / (k + 1.0);
    v_[kB1] = k / (k + 1.0);
    v_[kA1] = (k - 1.0) / (k + 1.0);
    v_[kInputGain] = gain;
    order_ = 1;
}

void IirFilter::designHighPass(int f, double q, double gain, int fs)
{
    f = limitFrequency(f, fs);
    const double w0 = kTwoPi * f / fs;
    const double s = std::sin(w0), c = std::cos(w0);
    const double alpha = s / (2.0 * q);
    setSecondOrder((1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
    v_[kInputGain] = gain;
}

void IirFilter::designLowPass(int f, double q, double gain, int fs)
{
    f = limitFrequency(f, fs);
    const double w0 = kTwoPi * f / fs;
    const double s = std::sin(w0), c = std::cos(w0);
    const double alpha = s / (2.0 * q);
    setSecondOrder((1.0 - c) / 2.0, 1.0 - c, (1.0 - c) / 2.0, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
    v_[kInputGain] = gain;
}

void IirFilter::designBandPass(int f, double q, double gain, int fs)
{
    f = limitFrequency(f, fs);
    const double w0 = kTwoPi * f / fs;
    const double s = std::sin(w0), c = std::cos(w0);
    const double alpha = s / (2.0 * q);
    setSecondOrder(alpha, 0.0, -alpha, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
    v_[kInputGain] = gain;
}

void IirFilter::designLowShelf(int f, double slope, double dbGain, double gain, int fs)
{
    f = limitFrequency(f, fs);
    const double a = std::pow(10.0, dbGain / 40.0);
    const double w0 = kTwoPi * f / fs;
    const double s = std::sin(w0), c = std::cos(w0);
    const double beta = std::sqrt((a * a + 1.0) / slope - (a - 1.0) * (a - 1.0));
    const double bs = beta * s;
    setSecondOrder(a * ((a + 1.0) - (a - 1.0) * c + bs),
                   2.0 * a * ((a - 1.0) - (a + 1.0) * c),
                   a * ((a + 1.0) - (a - 1.0) * c - bs),
                   (a + 1.0) + (a - 1.0) * c + bs,
                   -2.0 * ((a - 1.0) + (a + 1.0) * c),
                   (a + 1.0) + (a - 1.0) * c - bs);
    v_[kInputGain] = gain;
}

void IirFilter::designHighShelf(int f, double slope, double dbGain, double gain, int fs)
{
    f = limitFrequency(f, fs);
    const double a = std::pow(10.0, dbGain / 40.0);
    const double w0 = kTwoPi * f / fs;
    const double s = std::sin(w0), c = std::cos(w0);
    const double beta = std::sqrt((a * a + 1.0) / slope - (a - 1.0) * (a - 1.0));
    const double bs = beta * s;
    setSecondOrder(a * ((a + 1.0) + (a - 1.0) * c + bs),
                   -2.0 * a * ((a - 1.0) + (a + 1.0) * c),
                   a * ((a + 1.0) + (a - 1.0) * c - bs),
                   (a + 1.0) - (a - 1.0) * c + bs,
                   2.0 * ((a - 1.0) - (a + 1.0) * c),
                   (a + 1.0) - (a - 1.0) * c - bs);
    v_[kInputGain] = gain;
}

void IirFilter::designPeaking(int f, double q, double dbGain, double gain, int fs)
{
    f = limitFrequency(f, fs);
    const double a = std::pow(10.0, dbGain / 40.0);
    const double w0 = kTwoPi * f / fs;
    const double s = std::sin(w0), c = std::cos(w0);
    const double alpha = s / (2.0 * q);
    setSecondOrder(1.0 + alpha * a, -2.0 * c, 1.0 - alpha * a, 1.0 + alpha / a, -2.0 * c, 1.0 - alpha / a);
    v_[kInputGain] = gain;
}

void IirFilter::designAllPass(int f, double widthFactor, int fs)
{
    const double t = std::tan(kPi * f * widthFactor / fs);
    const double d = (t - 1.0) / (t + 1.0);
    const double c = std::cos(kTwoPi * f / fs);
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    v_[kB0] = -d;
    v_[kA2] = -d;
    v_[kB1] = (1.0 - d) * (-c);
    v_[kA1] = (1.0 - d) * (-c);
    v_[kB2] = 1.0;
    order_ = 2;
}

void IirFilter::designButterworthLowPass(int f, double gain, int fs)
{
    const double wc = kTwoPi * f;
    const double c = wc / std::tan(kPi * f / fs);
    const double c2 = c * c, c3 = c2 * c;
    const double w2 = wc * wc, w3 = w2 * wc;
    const double d = c3 + 2.0 * c2 * wc + 2.0 * c * w2 + w3;
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    v_[kB0] = v_[kB3] = w3 / d;
    v_[kB1] = v_[kB2] = 3.0 * w3 / d;
    v_[kA1] = (3.0 * w3 - 3.0 * c3 + 2.0 * c * w2 - 2.0 * c2 * wc) / d;
    v_[kA2] = (3.0 * c3 + 3.0 * w3 - 2.0 * c * w2 - 2.0 * c2 * wc) / d;
    v_[kA3] = (w3 - c3 - 2.0 * c * w2 + 2.0 * c2 * wc) / d;
    v_[kInputGain] = gain;
    order_ = 3;
}

void IirFilter::designSteepLowPass(int f, double gain, int fs)
{
    // Two pole pairs at the angles pi/4 and 3pi/8: a little less flat than a
    // Butterworth, with a steeper knee.
    const double p = 2.0 * (std::cos(kPi / 4.0) + std::cos(3.0 * kPi / 8.0));
    const double q = 2.0 + 4.0 * std::cos(kPi / 4.0) * std::cos(3.0 * kPi / 8.0);
    const double wc = kTwoPi * f;
    const double c = wc / std::tan(kPi * f / fs);
    const double c2 = c * c, c3 = c2 * c, c4 = c3 * c;
    const double w2 = wc * wc, w3 = w2 * wc, w4 = w3 * wc;
    const double d = c4 + p * (c3 * wc + c * w3) + q * c2 * w2 + w4;
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    v_[kB0] = v_[kB4] = w4 / d;
    v_[kB1] = v_[kB3] = 4.0 * w4 / d;
    v_[kB2] = 6.0 * w4 / d;
    v_[kA1] = (4.0 * w4 - 4.0 * c4 + 2.0 * p * c * w3 - 2.0 * p * c3 * wc) / d;
    v_[kA2] = (6.0 * c4 + 6.0 * w4 - 2.0 * q * c2 * w2) / d;
    v_[kA3] = (4.0 * w4 - 4.0 * c4 + 2.0 * p * c3 * wc - 2.0 * p * c * w3) / d;
    v_[kA4] = (c4 + w4 - p * c3 * wc - p * c * w3 + q * c2 * w2) / d;
    v_[kInputGain] = gain;
    order_ = 4;
}

void IirFilter::designBesselLowPass(int f, int gain, int fs, UserMessages& messages)
{
    v_[kInputGain] = gain;
    const double r = f * 0.734400887 / fs;
    const double t = std::tan(r * kPi);
    if (r > 0.25) messages.show("Filter Unstable!", {}, MessageIcon::Warning);
    const double t2 = t * t;
    const double d = 3.0 * t2 + 3.0 * t + 1.0;
    for (int i = 0; i < 11; ++i) v_[i] = 0.0;
    v_[kB0] = v_[kB2] = 3.0 * t2 / d;
    v_[kB1] = 6.0 * t2 / d;
    v_[kA1] = (6.0 * t2 - 2.0) / d;
    v_[kA2] = (3.0 * t2 - 3.0 * t + 1.0) / d;
    order_ = 2;
}

void IirFilter::reset()
{
    for (int i = kInputHistory; i < kInputGain; ++i) v_[i] = 0.0;
}

void IirFilter::fillHistory(double input, double output)
{
    for (int i = 0; i < 6; ++i) {
        v_[kInputHistory + i] = input;
        v_[kOutputHistory + i] = output;
    }
}

void IirFilter::process(double* buf, int n)
{
    switch (order_) {
    case 1: process1(buf, n); break;
    case 3: process3(buf, n); break;
    case 4: process4(buf, n); break;
    default: process2(buf, n); break;
    }
}

// The block routines keep the history in locals and write it back, newest
// last, so that a filter can switch routines (or single-sample processing)
// between blocks without losing its state.

void IirFilter::process1(double* buf, int n)
{
    const double b0 = v_[kB0], b1 = v_[kB1], a1 = v_[kA1];
    const double g = v_[kInputGain], dry = v_[kDryGain];
    double x1 = v_[kInputHistory + 5], y1 = v_[kOutputHistory + 5];
    double x2 = v_[kInputHistory + 4], y2 = v_[kOutputHistory + 4];
    for (int i = 0; i < n; ++i) {
        const double in = buf[i];
        const double x = in * g;
        const double y = b0 * x + b1 * x1 - a1 * y1;
        x2 = x1;
        y2 = y1;
        x1 = x;
        y1 = y;
        buf[i] = in * dry + y;
    }
    if (n > 0) {
        v_[kInputHistory + 4] = x2;
        v_[kInputHistory + 5] = x1;
        v_[kOutputHistory + 4] = y2;
        v_[kOutputHistory + 5] = y1;
    }
}

// The second-order recursion over any sample type; store turns the result
// into the buffer's type.
template <typename Sample, typename Store>
void IirFilter::runSecondOrder(Sample* buf, int n, Store store)
{
    const double b0 = v_[kB0], b1 = v_[kB1], b2 = v_[kB2], a1 = v_[kA1], a2 = v_[kA2];
    const double g = v_[kInputGain], dry = v_[kDryGain];
    double x1 = v_[kInputHistory + 5], x2 = v_[kInputHistory + 4];
    double y1 = v_[kOutputHistory + 5], y2 = v_[kOutputHistory + 4];
    for (int i = 0; i < n; ++i) {
        const double in = buf[i];
        const double x = in * g;
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        buf[i] = store(in * dry + y);
    }
    v_[kInputHistory + 4] = x2;
    v_[kInputHistory + 5] = x1;
    v_[kOutputHistory + 4] = y2;
    v_[kOutputHistory + 5] = y1;
}

void IirFilter::process2(double* buf, int n)
{
    runSecondOrder(buf, n, [](double v) { return v; });
}

void IirFilter::process3(double* buf, int n)
{
    const double b0 = v_[kB0], b1 = v_[kB1], b2 = v_[kB2], b3 = v_[kB3];
    const double a1 = v_[kA1], a2 = v_[kA2], a3 = v_[kA3];
    const double g = v_[kInputGain], dry = v_[kDryGain];
    double x1 = v_[kInputHistory + 5], x2 = v_[kInputHistory + 4], x3 = v_[kInputHistory + 3];
    double y1 = v_[kOutputHistory + 5], y2 = v_[kOutputHistory + 4], y3 = v_[kOutputHistory + 3];
    for (int i = 0; i < n; ++i) {
        const double in = buf[i];
        const double x = in * g;
        const double y = b0 * x + b1 * x1 + b2 * x2 + b3 * x3 - a1 * y1 - a2 * y2 - a3 * y3;
        x3 = x2;
        x2 = x1;
        x1 = x;
        y3 = y2;
        y2 = y1;
        y1 = y;
        buf[i] = in * dry + y;
    }
    v_[kInputHistory + 3] = x3;
    v_[kInputHistory + 4] = x2;
    v_[kInputHistory + 5] = x1;
    v_[kOutputHistory + 3] = y3;
    v_[kOutputHistory + 4] = y2;
    v_[kOutputHistory + 5] = y1;
}

void IirFilter::process4(double* buf, int n)
{
    const double b0 = v_[kB0], b1 = v_[kB1], b2 = v_[kB2], b3 = v_[kB3], b4 = v_[kB4];
    const double a1 = v_[kA1], a2 = v_[kA2], a3 = v_[kA3], a4 = v_[kA4];
    const double g = v_[kInputGain], dry = v_[kDryGain];
    double x1 = v_[kInputHistory + 5], x2 = v_[kInputHistory + 4], x3 = v_[kInputHistory + 3],
           x4 = v_[kInputHistory + 2];
    double y1 = v_[kOutputHistory + 5], y2 = v_[kOutputHistory + 4], y3 = v_[kOutputHistory + 3],
           y4 = v_[kOutputHistory + 2];
    for (int i = 0; i < n; ++i) {
        const double in = buf[i];
        const double x = in * g;
        const double y = b0 * x + b1 * x1 + b2 * x2 + b3 * x3 + b4 * x4
                         - a1 * y1 - a2 * y2 - a3 * y3 - a4 * y4;
        x4 = x3;
        x3 = x2;
        x2 = x1;
        x1 = x;
        y4 = y3;
        y3 = y2;
        y2 = y1;
        y1 = y;
        buf[i] = in * dry + y;
    }
    v_[kInputHistory + 2] = x4;
    v_[kInputHistory + 3] = x3;
    v_[kInputHistory + 4] = x2;
    v_[kInputHistory + 5] = x1;
    v_[kOutputHistory + 2] = y4;
    v_[kOutputHistory + 3] = y3;
    v_[kOutputHistory + 4] = y2;
    v_[kOutputHistory + 5] = y1;
}

double IirFilter::processSample(double in)
{
    if (order_ == 1)
        process1(&in, 1);
    else
        process2(&in, 1);
    return in;
}

void IirFilter::processInt16(int16_t* buf, int n)
{
    // Truncated toward zero inside the 16-bit range the program uses; the
    // history keeps the unrounded values.
    runSecondOrder(buf, n, [](double v) {
        return static_cast<int16_t>(std::clamp(std::trunc(v), -32767.0, 32767.0));
    });
}



// ---------------------------------------------------------------- look-ahead

#if defined(__x86_64__)
namespace iirkernels {
// The vector routine (IirKernelsX86.cpp): n samples of buf in place through
// the filter whose 25 values are `values` (coefficients, histories and gains,
// in IirFilter's order; the histories are updated).
void lookAheadAvx2(const IirFilter::LookAhead& t, int order, double* values, double* buf, int n);
} // namespace iirkernels
#endif

namespace {

bool lookAheadAvailable()
{
#if defined(__x86_64__)
    return cpu::avx2Allowed();
#else
    return false;
#endif
}

} // namespace

const IirFilter::LookAhead& IirFilter::lookAhead()
{
    LookAhead& t = lookAhead_;
    bool same = t.valid && t.madeOrder == order_;
    for (int i = 0; same && i < 9; ++i) same = t.made[i] == v_[i];
    if (same) return t;
    const int order = order_;
    const double a[5] = {1.0, v_[kA1], v_[kA2], v_[kA3], v_[kA4]};
    // The recursive part's impulse response: g[m] = -(a1 g[m-1] + ... ).
    for (int m = 0; m < LookAhead::kGroup; ++m) {
        double acc = m == 0 ? 1.0 : 0.0;
        for (int k = 1; k <= order && k <= m; ++k) acc -= a[k] * t.g[m - k];
        t.g[m] = acc;
    }
    // The group's outputs from each earlier output alone (no input).
    for (int k = 0; k < order; ++k) {
        double y[4 + LookAhead::kGroup] = {};
        y[3 - k] = 1.0; // y[0..3] are the outputs -4..-1
        for (int j = 0; j < LookAhead::kGroup; ++j) {
            double acc = 0.0;
            for (int l = 1; l <= order; ++l) acc -= a[l] * y[4 + j - l];
            y[4 + j] = acc;
        }
        for (int j = 0; j < LookAhead::kGroup; ++j) t.p[k][j] = y[4 + j];
    }
    for (int i = 0; i < 9; ++i) t.made[i] = v_[i];
    t.madeOrder = order;
    t.valid = true;
    return t;
}

void IirFilter::processFast(double* buf, int n)
{
    const int order = order_;
    if (n < 2 * LookAhead::kGroup || order < 1 || order > 4 || !lookAheadAvailable()) {
        process(buf, n);
        return;
    }
#if defined(__x86_64__)
    iirkernels::lookAheadAvx2(lookAhead(), order, v_, buf, n);
#endif
}

} // namespace stravik::dsp
