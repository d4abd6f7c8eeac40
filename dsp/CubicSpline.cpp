#include "dsp/CubicSpline.h"

#include <algorithm>
#include <cassert>

namespace stravik::dsp {

void CubicSpline::build(const double* x, const double* y, int count, float firstSlope, float lastSlope)
{
    assert(count >= 0);
    n_ = std::min(count, kMaxPoints);
    last_ = 0;
    for (int i = 0; i < n_; ++i) {
        x_[i] = x[i];
        y_[i] = y[i];
        y2_[i] = 0.0;
    }
    if (n_ < 2) return;

    double u[kMaxPoints];
    if (firstSlope > 9.9e29f) {
        y2_[0] = 0.0;
        u[0] = 0.0;
    } else {
        const double h = x_[1] - x_[0];
        y2_[0] = -0.5;
        u[0] = (3.0 / h) * ((y_[1] - y_[0]) / h - firstSlope);
    }
    for (int i = 1; i < n_ - 1; ++i) {
        const double sig = (x_[i] - x_[i - 1]) / (x_[i + 1] - x_[i - 1]);
        const double p = sig * y2_[i - 1] + 2.0;
        y2_[i] = (sig - 1.0) / p;
        const double d = (y_[i + 1] - y_[i]) / (x_[i + 1] - x_[i]) - (y_[i] - y_[i - 1]) / (x_[i] - x_[i - 1]);
        u[i] = (6.0 * d / (x_[i + 1] - x_[i - 1]) - sig * u[i - 1]) / p;
    }
    double qn, un;
    if (lastSlope > 9.9e29f) {
        qn = 0.0;
        un = 0.0;
    } else {
        const double h = x_[n_ - 1] - x_[n_ - 2];
        qn = 0.5;
        un = (3.0 / h) * (lastSlope - (y_[n_ - 1] - y_[n_ - 2]) / h);
    }
    y2_[n_ - 1] = (un - qn * u[n_ - 2]) / (qn * y2_[n_ - 2] + 1.0);
    for (int k = n_ - 2; k >= 0; --k) y2_[k] = y2_[k] * y2_[k + 1] + u[k];
}

double CubicSpline::operator()(double x)
{
    if (n_ == 0) return 0.0;
    if (n_ == 1) return y_[0];
    if (clamp_) {
        if (x <= x_[0]) return y_[0];
        if (x >= x_[n_ - 1]) return y_[n_ - 1];
    }
    int lo = last_;
    if (!(x >= x_[lo] && x <= x_[lo + 1])) {
        // Bisection; arguments outside the table land in the end intervals.
        lo = 0;
        int hi = n_ - 1;
        while (hi - lo > 1) {
            const int k = (hi + lo) >> 1;
            if (x_[k] > x)
                hi = k;
            else
                lo = k;
        }
        last_ = lo;
    }
    const int hi = lo + 1;
    const double h = x_[hi] - x_[lo];
    const double a = (x_[hi] - x) / h;
    const double b = (x - x_[lo]) / h;
    return a * y_[lo] + b * y_[hi] + ((a * a * a - a) * y2_[lo] + (b * b * b - b) * y2_[hi]) * (h * h) / 6.0;
}

} // namespace stravik::dsp
