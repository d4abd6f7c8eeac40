#include "dsp/CurveSpline.h"

#include "dsp/UserMessages.h"

#include <cmath>
#include <cstring>
#include <string>

namespace stravik::dsp {

CurveSpline::CurveSpline(const CurveSpline& other) : messages_(other.messages_) { *this = other; }

CurveSpline& CurveSpline::operator=(const CurveSpline& other)
{
    if (this == &other) return *this;
    messages_ = other.messages_;
    errorShown_ = other.errorShown_.load();
    std::memcpy(x_, other.x_, sizeof(x_));
    std::memcpy(y_, other.y_, sizeof(y_));
    std::memcpy(d_, other.d_, sizeof(d_));
    n_ = other.n_;
    return *this;
}

bool CurveSpline::copyPoints(const double* x, const double* y, int count)
{
    n_ = 0;
    if (count < 2 || count > kMaxPoints) return false;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !(x[i] > x[i - 1])) return false;
        x_[i] = x[i];
        y_[i] = y[i];
    }
    return true;
}

bool CurveSpline::buildHermite(const double* x, const double* y, const double* dydx, int count)
{
    if (!copyPoints(x, y, count)) return false;
    for (int i = 0; i < count; ++i) d_[i] = dydx[i];
    n_ = count;
    return true;
}

bool CurveSpline::buildAkima(const double* x, const double* y, int count)
{
    if (!copyPoints(x, y, count)) return false;
    const int n = count;
    double m[kMaxPoints];
    double h[kMaxPoints];
    for (int j = 0; j < n - 1; ++j) {
        h[j] = x_[j + 1] - x_[j];
        m[j] = (y_[j + 1] - y_[j]) / h[j];
    }
    if (n == 2) {
        d_[0] = d_[1] = m[0];
        n_ = n;
        return true;
    }
    // Slope at xAt of the parabola through points first .. first + 2.
    const auto parabolaSlope = [&](int first, double xAt) {
        const double c = (m[first + 1] - m[first]) / (x_[first + 2] - x_[first]);
        return m[first] + c * ((xAt - x_[first]) + (xAt - x_[first + 1]));
    };
    for (int i = 2; i <= n - 3; ++i) {
        const double wLeft = std::fabs(m[i + 1] - m[i]);
        const double wRight = std::fabs(m[i - 1] - m[i - 2]);
        const double den = wLeft + wRight;
        if (den != 0.0)
            d_[i] = (wLeft * m[i - 1] + wRight * m[i]) / den;
        else
            d_[i] = (h[i - 1] * m[i - 1] + h[i] * m[i]) / (h[i - 1] + h[i]);
    }
    d_[0] = parabolaSlope(0, x_[0]);
    d_[1] = parabolaSlope(0, x_[1]);
    // With three points the two parabolas are the same one.
    d_[n - 2] = parabolaSlope(n - 3, x_[n - 2]);
    d_[n - 1] = parabolaSlope(n - 3, x_[n - 1]);
    n_ = n;
    return true;
}

double CurveSpline::operator()(double x) const
{
    if (n_ < 2) {
        // Static texts: nothing is built on the audio thread for the message.
        static const std::string kText = "Error!", kTitle;
        if (!errorShown_.exchange(true) && messages_) messages_->show(kText, kTitle, MessageIcon::Error);
        return 0.0;
    }
    if (x <= x_[0]) return y_[0];
    if (x >= x_[n_ - 1]) return y_[n_ - 1];
    int lo = 0, hi = n_ - 1;
    while (hi - lo > 1) {
        const int mid = (lo + hi) >> 1;
        if (x_[mid] > x)
            hi = mid;
        else
            lo = mid;
    }
    const double h = x_[hi] - x_[lo];
    const double t = (x - x_[lo]) / h;
    const double t2 = t * t, t3 = t2 * t;
    const double h00 = 2 * t3 - 3 * t2 + 1, h10 = t3 - 2 * t2 + t;
    const double h01 = -2 * t3 + 3 * t2, h11 = t3 - t2;
    return h00 * y_[lo] + h10 * h * d_[lo] + h01 * y_[hi] + h11 * h * d_[hi];
}

} // namespace stravik::dsp
