#pragma once
// A smooth curve through a table of points, as a cubic Hermite polynomial on
// each interval: the shaping curves of the distortion and the amp, the swell
// curve, the equaliser curves. The derivative at each point is either given
// or found by Akima's rule, which follows the data without the overshoot of
// an ordinary spline. Outside the table the curve holds its end values.
#include <atomic>

namespace stravik {
class UserMessages;
}

namespace stravik::dsp {

class CurveSpline {
public:
    static constexpr int kMaxPoints = 128;

    // messages (may be null) hears "Error!" when a curve that was never built
    // is evaluated (once per curve).
    explicit CurveSpline(UserMessages* messages = nullptr) : messages_(messages) {}
    CurveSpline(const CurveSpline& other);
    CurveSpline& operator=(const CurveSpline& other);

    // Akima: the derivative at an interior point weighs the slopes on either
    // side by how much the slopes beyond them change; where nothing changes
    // (a straight stretch) the neighbouring slopes are averaged, each weighted
    // by the length of its interval. The first two and the last two points
    // take the derivative of the parabola through the three end points.
    // x must be strictly increasing. False (and not built) for fewer than
    // two points or more than kMaxPoints.
    bool buildAkima(const double* x, const double* y, int count);
    // With the derivatives given.
    bool buildHermite(const double* x, const double* y, const double* dydx, int count);

    double operator()(double x) const;

    bool built() const { return n_ >= 2; }
    int size() const { return n_; }
    double derivative(int i) const { return d_[i]; }

private:
    bool copyPoints(const double* x, const double* y, int count);

    UserMessages* messages_;
    mutable std::atomic<bool> errorShown_{false};
    double x_[kMaxPoints] = {};
    double y_[kMaxPoints] = {};
    double d_[kMaxPoints] = {};
    int n_ = 0;
};

} // namespace stravik::dsp
