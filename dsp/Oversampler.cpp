#include "dsp/Oversampler.h"

#include "dsp/OversamplingKernels.h" // generated at build time

#include <cassert>
#include <cstdlib>
#include <cstring>

namespace stravik::dsp {

namespace kernels = oversampling_kernels;

static_assert(kernels::kInterpolationTaps == 85);
static_assert(kernels::kDecimation22050Taps == 72);
static_assert(kernels::kDecimation44100Taps == 66);
static_assert(kernels::kDecimation48000Taps == 66);

namespace {

// The base rates with their own decimation kernel.
enum class KernelRate { k22050, k44100, k48000 };

// The nearest of 22050, 44100 and 48000 Hz; a tie goes to the lower rate.
KernelRate nearestKernelRate(int sampleRate)
{
    const long r = sampleRate;
    const long d22 = std::labs(r - 22050);
    const long d44 = std::labs(r - 44100);
    const long d48 = std::labs(r - 48000);
    if (d22 <= d44 && d22 <= d48) return KernelRate::k22050;
    if (d44 <= d48) return KernelRate::k44100;
    return KernelRate::k48000;
}

} // namespace

FirKernel interpolationKernel(int /*sampleRate*/)
{
    return {kernels::kInterpolation, kernels::kInterpolationTaps};
}

FirKernel decimationKernel(int sampleRate)
{
    switch (nearestKernelRate(sampleRate)) {
    case KernelRate::k22050: return {kernels::kDecimation22050, kernels::kDecimation22050Taps};
    case KernelRate::k44100: return {kernels::kDecimation44100, kernels::kDecimation44100Taps};
    case KernelRate::k48000: break;
    }
    return {kernels::kDecimation48000, kernels::kDecimation48000Taps};
}

Oversampler::Oversampler() = default;

void Oversampler::setup(int sampleRate, int factor)
{
    assert(factor == kFactor && "only factor-4 oversampling exists");
    (void)factor;
    rate_ = sampleRate;
    const FirKernel up = interpolationKernel(sampleRate);
    const FirKernel down = decimationKernel(sampleRate);
    up_.setCoefficients(up.taps, up.count);
    down_.setCoefficients(down.taps, down.count);
    // A new stream starts from silence rather than from whatever the previous
    // one left in the filters.
    up_.clearHistory();
    down_.clearHistory();
}

void Oversampler::upsample(double* dst, const double* src, int n)
{
    assert(n >= 0);
    // After zero-stuffing the base band carries a quarter of the amplitude
    // (the rest sits in the images the kernel removes); the factor 4 restores
    // unity gain through a kernel whose taps sum to 1.
    for (int i = 0; i < n; ++i) {
        double* d = dst + kFactor * i;
        d[0] = kFactor * src[i];
        d[1] = 0.0;
        d[2] = 0.0;
        d[3] = 0.0;
    }
    up_.process(dst, kFactor * n);
}

void Oversampler::downsample(double* dst, double* src, int n)
{
    assert(n >= 0);
    down_.processDecimating(src, kFactor * n, kFactor);
    // The n results sit at the front of src; dst may be src itself.
    if (dst != src) std::memmove(dst, src, sizeof(double) * static_cast<size_t>(n));
}

} // namespace stravik::dsp
