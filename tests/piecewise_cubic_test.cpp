// The curves' block evaluations (the four-at-a-time one where the processor
// has it, and the plain loop) against the curve evaluated one value at a
// time, bit for bit: over dense sweeps (runs inside one interval) and random
// values (runs across intervals and signs), around every knot, at and beyond
// the ends, and at NaN, infinities, +-0 and denormal numbers, with and
// without flush-to-zero, in place and with blocks that end part-way through
// a vector.
#include "effects/tone/AmpCurves.h"

#include "dsp/CpuFeatures.h"
#include "dsp/CubicSpline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace stravik;
using stravik::effects::PiecewiseCubic;

namespace {

// Knots of uneven widths (one narrow interval makes a fine grid).
constexpr double kUpX[] = {0.0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
constexpr double kUpY[] = {0.0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
constexpr double kUpD[] = {1.0, 1.0, 1.0, 1.0, 0.2, 0.03, 0.0, 0.0};
constexpr double kDownX[] = {0.0, 0.013, 0.4, 0.55, 0.64, 0.74, 0.96, 3.0, 25.0};
constexpr double kDownY[] = {0.0, 0.013, 0.4, 0.55, 0.59, 0.602, 0.605, 0.61, 0.62};
constexpr double kDownD[] = {1.0, 1.0, 1.0, 1.0, 0.3, 0.05, 0.01, 0.0, 0.0};
// A spline's curve reaching below zero, starting at neither 0 nor 0 (the
// odd form meets its start from both sides).
constexpr double kSplineX[] = {-2.5, -0.7, -0.06, 0.0, 0.3, 1.1, 4.0};
constexpr double kSplineY[] = {-0.4, -0.3, -0.05, 0.01, 0.2, 0.6, 0.7};

uint64_t bitsOf(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

std::vector<double> arguments(const double* xa, int count)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double tiny = std::numeric_limits<double>::denorm_min();
    std::vector<double> v = {0.0,   -0.0,       tiny,     -tiny,     1e-310, -1e-310, 2.2e-308, -2.2e-308,
                             inf,   -inf,       1e300,    -1e300,    std::numeric_limits<double>::quiet_NaN(),
                             -std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::max()};
    for (int k = 0; k < count; ++k) {
        for (const double sign : {1.0, -1.0}) {
            double up = sign * xa[k], down = sign * xa[k];
            v.push_back(up);
            for (int s = 0; s < 12; ++s) {
                up = std::nextafter(up, inf);
                down = std::nextafter(down, -inf);
                v.push_back(up);
                v.push_back(down);
            }
        }
        if (k + 1 < count) v.push_back((xa[k] + xa[k + 1]) / 2.0);
    }
    // Rising through each knot ulp by ulp, with either sign (in order, so
    // that runs of four lie on one side of the knot or straddle it).
    for (int k = 0; k < count; ++k) {
        for (const double sign : {1.0, -1.0}) {
            double a = sign * xa[k];
            for (int s = 0; s < 12; ++s) a = std::nextafter(a, -inf);
            for (int s = 0; s < 25; ++s, a = std::nextafter(a, inf)) v.push_back(a);
        }
    }
    // Dense sweeps up and down, of either sign, and alternating signs.
    const double lo = xa[0] - 1.0, hi = xa[count - 1] + 1.0;
    for (const double sign : {1.0, -1.0})
        for (int i = 0; i <= 40000; ++i) v.push_back(sign * (lo + (hi - lo) * i / 40000.0));
    for (int i = 40000; i >= 0; --i) {
        const double a = lo + (hi - lo) * i / 40000.0;
        v.push_back(a);
        v.push_back(-a);
    }
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> any(-hi, hi);
    for (int i = 0; i < 20000; ++i) v.push_back(any(rng));
    return v;
}

// Every block length from 0 to 9 at the start, then the rest in one block.
template <typename Evaluate, typename Want>
void expectSame(const std::vector<double>& in, Evaluate evaluate, Want want, const char* what)
{
    std::vector<double> out(in.size(), 12345.0);
    size_t at = 0;
    for (int len = 0; len < 10 && at + static_cast<size_t>(len) <= in.size(); ++len) {
        evaluate(in.data() + at, out.data() + at, len);
        at += static_cast<size_t>(len);
    }
    evaluate(in.data() + at, out.data() + at, static_cast<int>(in.size() - at));
    std::vector<double> inPlace = in;
    evaluate(inPlace.data(), inPlace.data(), static_cast<int>(inPlace.size()));
    for (size_t i = 0; i < in.size(); ++i) {
        const double w = want(in[i]);
        ASSERT_EQ(bitsOf(out[i]), bitsOf(w)) << what << " at " << in[i] << ": " << out[i] << " vs " << w;
        ASSERT_EQ(bitsOf(inPlace[i]), bitsOf(w)) << what << " in place at " << in[i];
    }
}

void checkAll()
{
    PiecewiseCubic up, down, spline;
    up.fromHermite(kUpX, kUpY, kUpD, 8);
    down.fromHermite(kDownX, kDownY, kDownD, 9);
    dsp::CubicSpline s;
    s.setClamp(true);
    s.build(kSplineX, kSplineY, 7, 0.0f, 0.0f);
    spline.fromCubicSpline(s, kSplineX, kSplineY, 7);

    std::vector<double> in = arguments(kDownX, 9);
    for (const double a : arguments(kSplineX, 7)) in.push_back(a);
    for (const double a : arguments(kUpX, 8)) in.push_back(a);

    for (const PiecewiseCubic* c : {&up, &down, &spline})
        expectSame(
            in, [c](const double* a, double* b, int n) { c->evaluate(a, b, n); }, [c](double v) { return (*c)(v); },
            "evaluate");
    const auto odd = [&](const PiecewiseCubic& p, const PiecewiseCubic& q) {
        expectSame(
            in, [&](const double* a, double* b, int n) { PiecewiseCubic::evaluateOdd(p, q, a, b, n); },
            [&](double v) { return v >= 0.0 ? p(v) : -q(-v); }, "evaluateOdd");
    };
    odd(up, down);
    odd(down, up);
    odd(up, up);
    odd(spline, down);
    odd(up, spline);
}

void checkWithAndWithoutFlushToZero()
{
    checkAll();
    if (::testing::Test::HasFatalFailure()) return;
    dsp::cpu::ScopedFlushToZero ftz;
    checkAll();
}

} // namespace

TEST(PiecewiseCubic, BlockEvaluationIsTheScalarOneBitForBit)
{
    // The vector path where the processor has it (else this is the plain loop too).
    ASSERT_TRUE(dsp::cpu::simdEnabled());
    checkWithAndWithoutFlushToZero();
}

TEST(PiecewiseCubic, PlainLoopIsTheScalarOneBitForBit)
{
    dsp::cpu::setSimdEnabled(false);
    checkAll();
    dsp::cpu::setSimdEnabled(true);
}
