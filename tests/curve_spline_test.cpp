// CurveSpline: Hermite pieces with given derivatives, Akima derivatives with
// their end rules and straight-stretch fallback, held ends, the unbuilt curve.
#include "dsp/CurveSpline.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <cmath>

using stravik::RecordingMessages;
using stravik::dsp::CurveSpline;

TEST(CurveSpline, HermitePiecesMatchPointsAndDerivatives)
{
    // The distortion's positive drive curve.
    const double x[8] = {0, 0.5, 0.8, 0.9, 1.0, 1.2, 1.8, 10.0};
    const double y[8] = {0, 0.5, 0.8, 0.9, 0.96, 0.98, 0.988, 0.988};
    const double d[8] = {1, 1, 1, 1, 0.2, 0.03, 0, 0};
    CurveSpline c;
    ASSERT_TRUE(c.buildHermite(x, y, d, 8));
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(c(x[i]), y[i], 1e-15) << i;
    // Slope 1 up to 0.9: the curve is the identity there.
    for (double t : {0.1, 0.33, 0.61, 0.85}) EXPECT_NEAR(c(t), t, 1e-12) << t;
    // Numerical derivative at an interior knot from both sides.
    const double e = 1e-7;
    EXPECT_NEAR((c(1.0 + e) - c(1.0)) / e, 0.2, 1e-5);
    EXPECT_NEAR((c(1.0) - c(1.0 - e)) / e, 0.2, 1e-5);
    // Held ends.
    EXPECT_EQ(c(-5.0), 0.0);
    EXPECT_EQ(c(10.0), 0.988);
    EXPECT_EQ(c(1e9), 0.988);
}

TEST(CurveSpline, AkimaInteriorDerivativesFollowTheWeightedRule)
{
    const double x[6] = {0, 1, 2, 4, 5, 7};
    const double y[6] = {0, 1, 3, 3, 6, 5};
    CurveSpline c;
    ASSERT_TRUE(c.buildAkima(x, y, 6));
    const double m[5] = {1, 2, 0, 3, -0.5}; // segment slopes
    for (int i = 2; i <= 3; ++i) {
        const double wl = std::fabs(m[i + 1] - m[i]), wr = std::fabs(m[i - 1] - m[i - 2]);
        EXPECT_NEAR(c.derivative(i), (wl * m[i - 1] + wr * m[i]) / (wl + wr), 1e-12) << i;
    }
    // Ends: the parabola through the first three points, y = x + x(x-1)/2.
    EXPECT_NEAR(c.derivative(0), 0.5, 1e-12);
    EXPECT_NEAR(c.derivative(1), 1.5, 1e-12);
    // Last three (4,3), (5,6), (7,5): slope of that parabola at 5 and 7.
    const double cc = (m[4] - m[3]) / (7.0 - 4.0);
    EXPECT_NEAR(c.derivative(4), m[3] + cc * 1.0, 1e-12);
    EXPECT_NEAR(c.derivative(5), m[3] + cc * 5.0, 1e-12);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(c(x[i]), y[i], 1e-12);
}

TEST(CurveSpline, AkimaFallbackOnStraightStretchesAndNoOvershoot)
{
    // Equal slopes on both sides of point 2: the denominator is 0.
    const double x[6] = {0, 1, 3, 4, 6, 7};
    const double y[6] = {0, 2, 6, 8, 12, 14}; // a straight line: slope 2 everywhere
    CurveSpline line;
    ASSERT_TRUE(line.buildAkima(x, y, 6));
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(line.derivative(i), 2.0, 1e-12);
    for (double t = 0.0; t <= 7.0; t += 0.37) EXPECT_NEAR(line(t), 2 * t, 1e-12);

    // Flat, then a step: Akima keeps the flat parts flat (no ringing).
    const double sx[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    const double sy[8] = {0, 0, 0, 0, 1, 1, 1, 1};
    CurveSpline step;
    ASSERT_TRUE(step.buildAkima(sx, sy, 8));
    for (double t = 0.0; t <= 2.0; t += 0.1) EXPECT_NEAR(step(t), 0.0, 1e-12) << t;
    for (double t = 5.0; t <= 7.0; t += 0.1) EXPECT_NEAR(step(t), 1.0, 1e-12) << t;
    for (double t = 0.0; t <= 7.0; t += 0.01) {
        EXPECT_GE(step(t), -1e-12);
        EXPECT_LE(step(t), 1.0 + 1e-12);
    }
    // Where the denominator is 0 but the sides differ, the slopes are
    // averaged by the lengths of their intervals.
    const double fx[6] = {0, 1, 3, 4, 5, 6};
    const double fy[6] = {0, 1, 3, 5, 7, 9}; // slopes 1, 1, 2, 2, 2
    CurveSpline f;
    ASSERT_TRUE(f.buildAkima(fx, fy, 6));
    EXPECT_NEAR(f.derivative(2), (2.0 * 1.0 + 1.0 * 2.0) / 3.0, 1e-12);
}

TEST(CurveSpline, SmallTablesAndBadInput)
{
    const double x2[2] = {1, 3}, y2[2] = {1, 5};
    CurveSpline two;
    ASSERT_TRUE(two.buildAkima(x2, y2, 2));
    EXPECT_NEAR(two(2.0), 3.0, 1e-12);
    const double x3[3] = {0, 1, 2}, y3[3] = {0, 1, 4}; // y = x^2
    CurveSpline three;
    ASSERT_TRUE(three.buildAkima(x3, y3, 3));
    EXPECT_NEAR(three.derivative(0), 0.0, 1e-12);
    EXPECT_NEAR(three.derivative(1), 2.0, 1e-12);
    EXPECT_NEAR(three.derivative(2), 4.0, 1e-12);
    EXPECT_NEAR(three(1.5), 2.25, 1e-12); // exact for a parabola
    const double bad[3] = {0, 2, 1};
    CurveSpline c;
    EXPECT_FALSE(c.buildAkima(bad, y3, 3));
    EXPECT_FALSE(c.buildAkima(x3, y3, 1));
    EXPECT_FALSE(c.built());
}

TEST(CurveSpline, AnUnbuiltCurveSaysErrorOnceAndReturnsZero)
{
    RecordingMessages messages;
    CurveSpline c(&messages);
    EXPECT_EQ(c(0.5), 0.0);
    EXPECT_EQ(c(0.7), 0.0);
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_EQ(messages.texts()[0], "Error!");
}
