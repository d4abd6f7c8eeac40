#include "dsp/Oversampler.h"

#include "dsp/OversamplingKernels.h" // generated at build time

#include <algorithm>
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

int kernelIndex(KernelRate r) { return static_cast<int>(r); }

// The kernels as the convolver holds them: in single precision.
struct SingleKernels {
    float up[kernels::kInterpolationTaps];
    float down[3][kernels::kDecimation22050Taps];
    int downTaps[3];
};

static_assert(kernels::kInterpolationTaps <= oversampling::kMaxTaps);
static_assert(kernels::kDecimation22050Taps <= oversampling::kMaxTaps);
static_assert(kernels::kDecimation22050Taps >= kernels::kDecimation44100Taps);
static_assert(kernels::kDecimation22050Taps >= kernels::kDecimation48000Taps);

const SingleKernels& singleKernels()
{
    static const SingleKernels k = [] {
        SingleKernels s{};
        for (int i = 0; i < kernels::kInterpolationTaps; ++i) s.up[i] = static_cast<float>(kernels::kInterpolation[i]);
        const double* tables[3] = {kernels::kDecimation22050, kernels::kDecimation44100, kernels::kDecimation48000};
        const int counts[3] = {kernels::kDecimation22050Taps, kernels::kDecimation44100Taps,
                               kernels::kDecimation48000Taps};
        for (int r = 0; r < 3; ++r) {
            s.downTaps[r] = counts[r];
            for (int i = 0; i < counts[r]; ++i) s.down[r][i] = static_cast<float>(tables[r][i]);
        }
        return s;
    }();
    return k;
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

Oversampler::Oversampler() { singleKernels(); }

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
    decimationKernel_.store(kernelIndex(nearestKernelRate(sampleRate)), std::memory_order_relaxed);
    clearRequested_.store(true, std::memory_order_release);
}

bool Oversampler::polyphaseUp()
{
#if defined(__x86_64__)
    return up_.activePath() == FirConvolver::Path::Avx2 && up_.taps() == kernels::kInterpolationTaps;
#else
    return false;
#endif
}

bool Oversampler::polyphaseDown()
{
#if defined(__x86_64__)
    return down_.activePath() == FirConvolver::Path::Avx2 &&
           down_.taps() == singleKernels().downTaps[decimationKernel_.load(std::memory_order_relaxed)];
#else
    return false;
#endif
}

void Oversampler::takeClear()
{
    if (!clearRequested_.exchange(false, std::memory_order_acq_rel)) return;
    std::fill(std::begin(upHistory_), std::end(upHistory_), 0.0f);
    for (auto& row : downHistory_) std::fill(std::begin(row), std::end(row), 0.0f);
}

// The convolver takes over from the polyphase side: the inputs it has not
// seen go through it once (their outputs are not needed), so that its
// history ends where the polyphase one does.
void Oversampler::primeInterpolator()
{
    double stuffed[kFactor * oversampling::kHistory] = {};
    for (int i = 0; i < oversampling::kHistory; ++i) stuffed[kFactor * i] = upHistory_[i];
    up_.process(stuffed, kFactor * oversampling::kHistory);
}

void Oversampler::primeDecimator()
{
    double input[kFactor * oversampling::kHistory];
    for (int i = 0; i < oversampling::kHistory; ++i)
        for (int p = 0; p < kFactor; ++p) input[kFactor * i + p] = downHistory_[p][i];
    down_.processDecimating(input, kFactor * oversampling::kHistory, kFactor);
}

void Oversampler::upsample(double* dst, const double* src, int n)
{
    assert(n >= 0);
    if (n <= 0) return;
    takeClear();
    const bool fast = polyphaseUp();
    if (!fast && upWasFast_) primeInterpolator();
    upWasFast_ = fast;
    for (int at = 0; at < n; at += oversampling::kMaxChunk)
        upsampleChunk(dst + kFactor * at, src + at, std::min(oversampling::kMaxChunk, n - at), fast);
}

void Oversampler::upsampleChunk(double* dst, const double* src, int n, bool fast)
{
    // After zero-stuffing the base band carries a quarter of the amplitude
    // (the rest sits in the images the kernel removes); the factor 4 restores
    // unity gain through a kernel whose taps sum to 1.
    float* x = upHistory_ + oversampling::kHistory;
    for (int i = 0; i < n; ++i) x[i] = static_cast<float>(kFactor * src[i]);
#if defined(__x86_64__)
    if (fast) {
        std::fill(x + n, x + n + 8, 0.0f);
        [[maybe_unused]] const bool done =
            oversampling::interpolateAvx2(singleKernels().up, kernels::kInterpolationTaps, x, n, results_);
        assert(done && "an interpolation kernel without its polyphase routine");
        for (int i = 0; i < n; ++i)
            for (int p = 0; p < kFactor; ++p)
                dst[kFactor * i + p] = static_cast<double>(results_[p * oversampling::kMaxChunk + i]);
    }
#endif
    if (!fast) {
        for (int i = 0; i < n; ++i) {
            double* d = dst + kFactor * i;
            d[0] = kFactor * src[i];
            d[1] = 0.0;
            d[2] = 0.0;
            d[3] = 0.0;
        }
        up_.process(dst, kFactor * n);
    }
    std::memmove(upHistory_, upHistory_ + n, sizeof(float) * oversampling::kHistory);
}

void Oversampler::downsample(double* dst, double* src, int n)
{
    assert(n >= 0);
    if (n <= 0) return;
    takeClear();
    const bool fast = polyphaseDown();
    if (!fast && downWasFast_) primeDecimator();
    downWasFast_ = fast;
    // Each piece's results go to dst only after its inputs were read, and
    // land below the inputs of the pieces after it; dst may be src itself.
    for (int at = 0; at < n; at += oversampling::kMaxChunk)
        downsampleChunk(dst + at, src + kFactor * at, std::min(oversampling::kMaxChunk, n - at), fast);
}

void Oversampler::downsampleChunk(double* dst, double* src, int n, bool fast)
{
    const float* phases[kFactor];
    for (int p = 0; p < kFactor; ++p) {
        float* row = downHistory_[p] + oversampling::kHistory;
        for (int i = 0; i < n; ++i) row[i] = static_cast<float>(src[kFactor * i + p]);
        phases[p] = row;
    }
#if defined(__x86_64__)
    if (fast) {
        for (int p = 0; p < kFactor; ++p) std::fill(downHistory_[p] + oversampling::kHistory + n,
                                                    downHistory_[p] + oversampling::kHistory + n + 8, 0.0f);
        const int k = decimationKernel_.load(std::memory_order_relaxed);
        [[maybe_unused]] const bool done =
            oversampling::decimateAvx2(singleKernels().down[k], singleKernels().downTaps[k], phases, n, results_);
        assert(done && "a decimation kernel without its polyphase routine");
        for (int j = 0; j < n; ++j) dst[j] = static_cast<double>(results_[j]);
    }
#endif
    if (!fast) {
        // The convolver filters in place: the n results come to the front
        // of the piece.
        down_.processDecimating(src, kFactor * n, kFactor);
        if (dst != src) std::memmove(dst, src, sizeof(double) * static_cast<size_t>(n));
    }
    for (int p = 0; p < kFactor; ++p)
        std::memmove(downHistory_[p], downHistory_[p] + n, sizeof(float) * oversampling::kHistory);
}

} // namespace stravik::dsp
