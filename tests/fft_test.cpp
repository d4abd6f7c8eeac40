// The FFT wrappers against a direct DFT, and the round trip.
#include "dsp/Fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>

using stravik::dsp::ComplexFft;
using stravik::dsp::RealFft;

TEST(Fft, RealForwardMatchesADirectTransformAndInverseScalesByN)
{
    const int n = 48;
    RealFft fft(n);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1, 1);
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) fft.time()[i] = x[i] = u(rng);
    fft.forward();
    for (int k = 0; k <= n / 2; ++k) {
        std::complex<double> sum = 0;
        for (int i = 0; i < n; ++i) sum += x[i] * std::polar(1.0, -2 * M_PI * k * i / n);
        EXPECT_NEAR(std::abs(fft.spectrum()[k] - sum), 0.0, 1e-12) << k;
    }
    fft.inverse();
    for (int i = 0; i < n; ++i) EXPECT_NEAR(fft.time()[i], n * x[i], 1e-11);
}

TEST(Fft, ComplexRoundTripAndAPureTone)
{
    const int n = 64;
    ComplexFft fft(n);
    for (int i = 0; i < n; ++i) fft.data()[i] = std::polar(1.0, 2 * M_PI * 5 * i / n);
    fft.forward();
    for (int k = 0; k < n; ++k) EXPECT_NEAR(std::abs(fft.data()[k]), k == 5 ? n : 0.0, 1e-9) << k;
    fft.inverse();
    for (int i = 0; i < n; ++i) EXPECT_NEAR(std::abs(fft.data()[i] - double(n) * std::polar(1.0, 2 * M_PI * 5 * i / n)), 0, 1e-9);
}
