#pragma once
// The amp's shaping curves in a form the per-sample loops can evaluate
// inline: each interval's cubic as four polynomial coefficients, found from
// the same spline the curve is defined by (a clamped CubicSpline, or a
// CurveSpline's Hermite cubics with given derivatives), so the values agree
// with those splines to rounding. Outside the table the curve holds its end
// values, as both splines do with clamping.
//
// The interval is found without a search: a table over a uniform grid, with
// cells no wider than the narrowest interval, gives the interval where v's
// cell starts, and one compare moves to the next when v lies past a knot in
// the same cell. The amp's signals wander across the intervals with the
// waveform; a search that branched on them would be mispredicted all the
// time, and a binary search costs a chain of dependent loads. (A curve whose
// argument moves smoothly, like the cone's excursion, may instead step from
// the interval it found last: following().)
#include "dsp/CubicSpline.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

namespace stravik::effects {

class PiecewiseCubic {
public:
    static constexpr int kMaxPoints = 32;

    // From a built CubicSpline through x, y (its second derivatives give the
    // cubics).
    void fromCubicSpline(const dsp::CubicSpline& spline, const double* x, const double* y, int count)
    {
        setPoints(x, y, count);
        for (int i = 0; i + 1 < n_; ++i) {
            const double h = x[i + 1] - x[i];
            const double lo = spline.secondDerivative(i), hi = spline.secondDerivative(i + 1);
            // a y_lo + b y_hi + ((a^3 - a) y2_lo + (b^3 - b) y2_hi) h^2 / 6, a = 1 - b, in powers of b.
            invH_[i] = 1.0 / h;
            c_[i][0] = y[i];
            c_[i][1] = (y[i + 1] - y[i]) + h * h / 6.0 * (-2.0 * lo - hi);
            c_[i][2] = h * h * lo / 2.0;
            c_[i][3] = h * h / 6.0 * (hi - lo);
        }
    }

    // Hermite cubics through x, y with the derivatives dydx (CurveSpline's
    // buildHermite).
    void fromHermite(const double* x, const double* y, const double* dydx, int count)
    {
        setPoints(x, y, count);
        for (int i = 0; i + 1 < n_; ++i) {
            const double h = x[i + 1] - x[i];
            const double m0 = h * dydx[i], m1 = h * dydx[i + 1];
            invH_[i] = 1.0 / h;
            c_[i][0] = y[i];
            c_[i][1] = m0;
            c_[i][2] = -3.0 * y[i] - 2.0 * m0 + 3.0 * y[i + 1] - m1;
            c_[i][3] = 2.0 * y[i] + m0 - 2.0 * y[i + 1] + m1;
        }
    }

    double operator()(double v) const
    {
        if (!(v > x_[0])) return y_[0]; // also a NaN argument: the curve's start
        if (v >= x_[n_ - 1]) return y_[n_ - 1];
        int cell = static_cast<int>((v - x_[0]) * cellScale_);
        cell = cell < cells_ ? cell : cells_ - 1;
        int i = cellInterval_[cell];
        // A cell holds at most one knot; starts beyond the last interval
        // read as +infinity.
        i += static_cast<int>(v >= starts_[i + 1]);
        const double b = (v - x_[i]) * invH_[i];
        const double* c = c_[i];
        return c[0] + b * (c[1] + b * (c[2] + b * c[3]));
    }

    // The same, for an argument that moves smoothly from call to call (the
    // cone's excursion): the interval is found by stepping from the one found
    // last (cursor, kept by the caller; any value in 0..size-2 to begin
    // with). Those steps are rare and well predicted, and without the grid's
    // look-ups the value is ready sooner, which matters on a chain that feeds
    // each sample into the next.
    double following(double v, int& cursor) const
    {
        if (!(v > x_[0])) return y_[0];
        if (v >= x_[n_ - 1]) return y_[n_ - 1];
        int i = cursor;
        while (v < x_[i]) --i;
        while (v >= starts_[i + 1]) ++i;
        cursor = i;
        const double b = (v - x_[i]) * invH_[i];
        const double* c = c_[i];
        return c[0] + b * (c[1] + b * (c[2] + b * c[3]));
    }

    int size() const { return n_; }

private:
    void setPoints(const double* x, const double* y, int count)
    {
        n_ = count < 2 ? 2 : (count > kMaxPoints ? kMaxPoints : count);
        for (int i = 0; i < n_; ++i) {
            x_[i] = x[i];
            y_[i] = y[i];
        }
        for (int i = 0; i < kMaxPoints + 1; ++i)
            starts_[i] = i < n_ - 1 ? x_[i] : std::numeric_limits<double>::infinity();
        double narrowest = x_[n_ - 1] - x_[0];
        for (int i = 0; i + 1 < n_; ++i) narrowest = std::min(narrowest, x_[i + 1] - x_[i]);
        const double range = x_[n_ - 1] - x_[0];
        // Cells no wider than the narrowest interval, so that a cell holds
        // at most one knot (the tables here need at most a few hundred).
        cells_ = static_cast<int>(std::min<double>(kMaxCells, std::ceil(range / narrowest) + 1.0));
        assert(range / cells_ <= narrowest);
        cellScale_ = cells_ / range;
        int interval = 0;
        for (int c = 0; c < cells_; ++c) {
            const double start = x_[0] + c / cellScale_;
            while (interval + 1 < n_ - 1 && start >= x_[interval + 1]) ++interval;
            cellInterval_[c] = static_cast<uint8_t>(interval);
        }
    }

    static constexpr int kMaxCells = 4096;

    int n_ = 2;
    int cells_ = 1;
    double cellScale_ = 1.0;
    double x_[kMaxPoints] = {};
    double y_[kMaxPoints] = {};
    double starts_[kMaxPoints + 1] = {};
    double invH_[kMaxPoints] = {};
    double c_[kMaxPoints][4] = {};
    uint8_t cellInterval_[kMaxCells] = {};
};

// A first-order recursion with the coefficients of an IirFilter design
// (b0, b1, a1), kept inline for the per-sample envelopes. The designs these
// come from have an input gain of 1, which therefore drops out.
struct OnePole {
    double b0 = 0.0, b1 = 0.0, a1 = 0.0;
    double x1 = 0.0, y1 = 0.0;

    double operator()(double x)
    {
        const double y = b0 * x + b1 * x1 - a1 * y1;
        x1 = x;
        y1 = y;
        return y;
    }
    void reset() { x1 = y1 = 0.0; }
};

} // namespace stravik::effects
