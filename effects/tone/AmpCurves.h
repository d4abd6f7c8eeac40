#pragma once
// The amp's shaping curves in a form the per-sample loops can evaluate
// inline: each interval's cubic as four polynomial coefficients, found from
// the same spline the curve is defined by (a clamped CubicSpline, or a
// CurveSpline's Hermite cubics with given derivatives), so the values agree
// with those splines to rounding. Outside the table the curve holds its end
// values, as both splines do with clamping.
//
// The interval is found without a search: a table over a uniform grid, with
// cells narrower than the narrowest interval, gives the interval where v's
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

class PiecewiseCubic;

namespace kernels {
// AmpCurvesX86.cpp: the block evaluations below, four samples at a time
// (odd: evaluateOdd, else evaluate of up).
void piecewiseCubicAvx2(const PiecewiseCubic& up, const PiecewiseCubic& down, bool odd, const double* in,
                        double* out, int n);
} // namespace kernels

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
        return cubic(intervalOf(v), v);
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
        return cubic(i, v);
    }

    // out[i] = (*this)(in[i]) for i < n, to the bit (in and out may be the
    // same array).
    void evaluate(const double* in, double* out, int n) const;

    // A curve for each polarity: out[i] = up(v) for v = in[i] >= 0 (-0
    // included), else -down(-v); a NaN gives -down's start value. To the bit
    // what that expression gives sample by sample (in and out may be the
    // same array; up and down may be the same curve).
    static void evaluateOdd(const PiecewiseCubic& up, const PiecewiseCubic& down, const double* in, double* out,
                            int n);

    int size() const { return n_; }

private:
    friend void kernels::piecewiseCubicAvx2(const PiecewiseCubic&, const PiecewiseCubic&, bool, const double*,
                                            double*, int);

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
        // A cell's interval is the last one whose start lies in an earlier
        // cell, with the cell of a knot worked out as operator() works out
        // the cell of an argument. That computation never puts a larger
        // argument in an earlier cell, so an argument never lies before the
        // start of its cell's interval, and at most the next knot (in the
        // same cell) lies between, whatever the rounding: operator() finds
        // the interval that holds v, as following() does.
        int interval = 0;
        for (int c = 0; c < cells_; ++c) {
            while (interval + 1 < n_ - 1 && cellOf(x_[interval + 1]) < c) ++interval;
            cellInterval_[c] = static_cast<uint8_t>(interval);
        }
    }

    // The grid cell of an argument inside the table.
    int cellOf(double v) const
    {
        const int cell = static_cast<int>((v - x_[0]) * cellScale_);
        return cell < cells_ ? cell : cells_ - 1;
    }

    // The interval that holds v, for x_[0] < v < x_[n_ - 1]. A cell holds
    // at most one knot; starts beyond the last interval read as +infinity.
    int intervalOf(double v) const { return intervalInCell(cellOf(v), v); }

    // The same for any v: the end intervals outside the table, and the
    // first for a NaN (the cell held to the grid, without a branch on v).
    int intervalNear(double v) const
    {
        double m = (v - x_[0]) * cellScale_;
        m = m > 0.0 ? m : 0.0;
        m = m < cells_ - 1 ? m : cells_ - 1;
        return intervalInCell(static_cast<int>(m), v);
    }

    // The interval of v in its grid cell: the cell's own, or the next when v
    // lies past the one knot the cell may hold.
    int intervalInCell(int cell, double v) const
    {
        const int i = cellInterval_[cell];
        return i + static_cast<int>(v >= starts_[i + 1]);
    }

    // Interval i's cubic at v.
    double cubic(int i, double v) const
    {
        const double b = (v - x_[i]) * invH_[i];
        const double* c = c_[i];
        return c[0] + b * (c[1] + b * (c[2] + b * c[3]));
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
