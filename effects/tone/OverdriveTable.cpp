#include "effects/tone/OverdriveTable.h"

#include <cmath>

namespace stravik::effects {
namespace {

// One diode pair: G(v) = is * (e^(v/vt) - asym * e^(-v/vt)), linear inside
// (-edge, edge) when edge > 0. The reverse diode is slightly weaker (asym < 1),
// which makes the clipping a little asymmetric, as real diodes are.
struct DiodePair {
    double is;
    double vt;
    double asym;
    double edge;
};

constexpr DiodePair kDiodes[4] = {
    {0.00022697, 0.07, 0.99, 0.0},  // Soft
    {3e-06, 0.049, 0.98, 0.2},      // Normal
    {1e-11, 0.03, 0.99, 0.2},       // Hard
    {2.7033e-20, 0.015, 0.99, 0.5}, // XHard
};

double diodeCurrent(const DiodePair& d, double v) { return d.is * (std::exp(v / d.vt) - d.asym * std::exp(-v / d.vt)); }

bool positive(double f) { return f >= 0.0; } // 0 counts as positive

} // namespace

double overdriveK(double drive) { return 1.0 / (std::pow(10.0, drive / 333.0) + 10.0); }

double clippingCurve(int clipType, double v)
{
    const DiodePair& d = kDiodes[clipType < 0 ? 0 : (clipType > 3 ? 3 : clipType)];
    if (d.edge > 0.0 && v > -d.edge && v < d.edge) return v * (diodeCurrent(d, d.edge) / d.edge);
    return diodeCurrent(d, v);
}

OverdriveRoot solveOverdrive(double w, double k, int clipType)
{
    const auto f = [&](double y) { return k * y - w + clippingCurve(clipType, y) / 2.0; };
    double lo = -2.0;
    double fLo = f(lo);
    for (int step = 1; step <= 40; ++step) {
        const double y = -2.0 + 0.1 * step;
        const double fy = f(y);
        if (positive(fy) != positive(fLo)) {
            double hi = y;
            for (;;) {
                const double mid = 0.5 * (lo + hi);
                const double fMid = f(mid);
                if (std::fabs(fMid) < 1e-10) return {mid, true};
                // A root where F is steeper than 1e-10 per rounding step cannot
                // meet the tolerance: the bracket has shrunk to neighbouring
                // doubles, and mid is as close as the arithmetic allows.
                if (mid == lo || mid == hi) return {mid, true};
                if (positive(fMid) == positive(fLo)) {
                    lo = mid;
                    fLo = fMid;
                } else {
                    hi = mid;
                }
            }
        }
        lo = y;
        fLo = fy;
    }
    return {0.0, false};
}

OverdriveTable::OverdriveTable()
{
    for (auto& e : table_) e.store(0.0f, std::memory_order_relaxed);
}

double OverdriveTable::lookup(double v) const
{
    v = v > 0.99 ? 0.99 : (v >= -1.0 ? v : -1.0);
    const double q = v < 0.0 ? -std::sqrt(-v) : std::sqrt(v);
    const int i = static_cast<int>((q + 1.0) * 1000.0);
    const double wi = signedSquare(i / 1000.0 - 1.0);
    const double wNext = signedSquare((i + 1) / 1000.0 - 1.0);
    const double ti = entry(i);
    const double tNext = entry(i + 1);
    return ti + (v - wi) * (tNext - ti) / (wNext - wi);
}

} // namespace stravik::effects
