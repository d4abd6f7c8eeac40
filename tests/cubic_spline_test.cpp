// CubicSpline: interpolation, end conditions, clamping, and the remembered
// interval giving the same answers as a fresh search.
#include "dsp/CubicSpline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using stravik::dsp::CubicSpline;

namespace {

// Slope of the spline at x by a central difference.
double slope(CubicSpline& s, double x, double h = 1e-6) { return (s(x + h) - s(x - h)) / (2 * h); }

} // namespace

TEST(CubicSpline, PassesThroughItsPointsAndReproducesStraightLines)
{
    const double x[5] = {0.0, 0.5, 1.5, 2.0, 4.0};
    const double y[5] = {1.0, -2.0, 0.5, 3.0, 2.5};
    CubicSpline s(x, y, 5, CubicSpline::kNatural, CubicSpline::kNatural);
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(s(x[i]), y[i], 1e-12) << i;

    // A natural spline through points on a line is that line, also outside.
    const double ly[5] = {1.0, 2.0, 4.0, 5.0, 9.0}; // y = 2x + 1
    CubicSpline line(x, ly, 5, CubicSpline::kNatural, CubicSpline::kNatural);
    for (double t : {-1.0, 0.25, 1.0, 3.3, 6.0}) EXPECT_NEAR(line(t), 2 * t + 1, 1e-12) << t;
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(line.secondDerivative(i), 0.0, 1e-12);
}

TEST(CubicSpline, NaturalEndsHaveZeroCurvatureAndFixedEndsTheirSlope)
{
    const double x[4] = {0.0, 1.0, 2.0, 3.0};
    const double y[4] = {0.0, 1.0, 0.0, 1.0};
    CubicSpline nat(x, y, 4, CubicSpline::kNatural, CubicSpline::kNatural);
    EXPECT_NEAR(nat.secondDerivative(0), 0.0, 1e-12);
    EXPECT_NEAR(nat.secondDerivative(3), 0.0, 1e-12);
    // Interior second derivatives from the tridiagonal system, solved by hand:
    // with h = 1: 4 m1 + m2 = 6 (y2 - 2y1 + y0) = -12, m1 + 4 m2 = 6 (y3 - 2y2 + y1) = 12.
    EXPECT_NEAR(nat.secondDerivative(1), -4.0, 1e-12);
    EXPECT_NEAR(nat.secondDerivative(2), 4.0, 1e-12);

    CubicSpline fixed(x, y, 4, 2.0f, -0.5f);
    EXPECT_NEAR(slope(fixed, 0.0), 2.0, 1e-5);
    EXPECT_NEAR(slope(fixed, 3.0), -0.5, 1e-5);
    // Slope zero at one end, natural at the other.
    CubicSpline mixed(x, y, 4, 0.0f, CubicSpline::kNatural);
    EXPECT_NEAR(slope(mixed, 0.0), 0.0, 1e-5);
    EXPECT_NEAR(mixed.secondDerivative(3), 0.0, 1e-12);
    // 9.9e29 as a single-precision value is still a fixed slope... of sorts;
    // anything above it is natural.
    CubicSpline big(x, y, 4, 9.0e29f, 2e30f);
    EXPECT_NEAR(big.secondDerivative(3), 0.0, 1e-12);
    EXPECT_GT(std::fabs(big.secondDerivative(0)), 1e20);
}

TEST(CubicSpline, TwoPointsGiveALineOrAHermiteCubic)
{
    const double x[2] = {1.0, 3.0};
    const double y[2] = {2.0, 6.0};
    CubicSpline line(x, y, 2, CubicSpline::kNatural, CubicSpline::kNatural);
    EXPECT_NEAR(line(2.0), 4.0, 1e-12);
    CubicSpline curve(x, y, 2, 0.0f, 0.0f);
    EXPECT_NEAR(slope(curve, 1.0), 0.0, 1e-5);
    EXPECT_NEAR(slope(curve, 3.0), 0.0, 1e-5);
    EXPECT_NEAR(curve(2.0), 4.0, 1e-12); // symmetric S-curve through the middle
}

TEST(CubicSpline, ClampHoldsEndValuesOtherwiseEndCubicsExtend)
{
    const double x[3] = {0.0, 0.415932, 1.0};
    const double y[3] = {0.0, 0.337724, 0.5};
    CubicSpline s(x, y, 3, 1.0f, 0.0f, true);
    EXPECT_EQ(s(-3.0), 0.0);
    EXPECT_EQ(s(0.0), 0.0);
    EXPECT_EQ(s(1.0), 0.5);
    EXPECT_EQ(s(25.0), 0.5);
    s.setClamp(false);
    EXPECT_NE(s(2.0), 0.5);
    // Without the clamp the last cubic goes on smoothly.
    EXPECT_NEAR(s(1.0 + 1e-7), s(1.0), 1e-6);
}

TEST(CubicSpline, RememberedIntervalGivesTheSameAnswersAsAFreshSearch)
{
    double x[21], y[21];
    for (int i = 0; i < 21; ++i) {
        x[i] = i * i * 0.1 - 3.0;
        y[i] = std::sin(i * 0.7);
    }
    CubicSpline walker(x, y, 21, 0.3f, CubicSpline::kNatural);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> jump(-8.0, 45.0), step(-0.05, 0.08);
    double t = 0.0;
    for (int i = 0; i < 5000; ++i) {
        t = (i % 100 == 0) ? jump(rng) : t + step(rng); // mostly slow, sometimes far
        CubicSpline fresh(x, y, 21, 0.3f, CubicSpline::kNatural);
        ASSERT_EQ(walker(t), fresh(t)) << t;
    }
}
