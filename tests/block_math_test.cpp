// The block forms of elementary functions agree with the C library to a unit
// or two in the last place.
#include "dsp/BlockMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Distance in representable doubles.
int64_t ulps(double a, double b)
{
    int64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    if (x < 0) x = INT64_MIN - x;
    if (y < 0) y = INT64_MIN - y;
    return x > y ? x - y : y - x;
}

} // namespace

TEST(BlockMath, SineWithinTwoUnitsInTheLastPlace)
{
    // Chorus and tremolo arguments: a few periods, and a tremolo left
    // running for an hour at its fastest.
    std::vector<double> x;
    for (int i = 0; i < 20001; ++i) x.push_back(i * 0.0007853981);
    for (int i = 0; i < 20001; ++i) x.push_back(-3.0 + i * 1.2345678e-3);
    for (int i = 0; i < 2001; ++i) x.push_back(2.26e6 + i * 0.377);
    std::vector<double> y(x.size());
    stravik::dsp::sinBlock(x.data(), y.data(), static_cast<int>(x.size()));
    for (size_t i = 0; i < x.size(); ++i) {
        const double want = std::sin(x[i]);
        if (std::fabs(want) < 1e-300) continue;
        ASSERT_LE(ulps(y[i], want), 2) << "x " << x[i];
    }
    // In place, and a short tail.
    double z[3] = {0.5, 1.0, 2.0};
    stravik::dsp::sinBlock(z, z, 3);
    EXPECT_LE(ulps(z[2], std::sin(2.0)), 2);
}
